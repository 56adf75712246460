// The complex element kernels: one run loop per function of
// limbs/elem/complex_functions.h, found by name.
#include "kernels/complex.h"

#include <cstring>

#include "limbs/drive/lane_fallback.h"
#include "limbs/elem/complex_functions.h"

namespace zel {
namespace kernels {

namespace {

namespace cm = limbs::cmath;

template <cm::Complex (*F)(const cm::Complex&)>
void unary_run(const Row* in, Row* out, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    const cm::Complex r = F({in[2 * i], in[2 * i + 1]});
    out[2 * i] = r.re;
    out[2 * i + 1] = r.im;
  }
}

template <cm::Complex (*F)(const cm::Complex&, const cm::Complex&)>
void binary_run(const Row* a, const Row* b, Row* out, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    const cm::Complex r = F({a[2 * i], a[2 * i + 1]}, {b[2 * i], b[2 * i + 1]});
    out[2 * i] = r.re;
    out[2 * i + 1] = r.im;
  }
}

// The product is cm::mul's operations, four elements at a time in Lanes4,
// each operand's factor formed once for its two products (the same bytes:
// a factor depends on its operand only). A product that is not finite is
// redone by cm::mul, as the real products' lanes do (a NaN's sign may
// depend on the order of operands).
#if defined(LIMBS_HAVE_LANES4)
__attribute__((target("avx2"), flatten)) void mul_lanes(const Row* a, const Row* b, Row* out,
                                                        int64_t n) {
  using L = limbs::Lanes4;
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const limbs::Factor<L> ar = limbs::factor(limbs::strided_lanes(a[0].l, i, 2));
    const limbs::Factor<L> ai = limbs::factor(limbs::strided_lanes(a[1].l, i, 2));
    const limbs::Factor<L> br = limbs::factor(limbs::strided_lanes(b[0].l, i, 2));
    const limbs::Factor<L> bi = limbs::factor(limbs::strided_lanes(b[1].l, i, 2));
    const limbs::RowOf<L> re = limbs::sub(limbs::mul(ar, br), limbs::mul(ai, bi));
    const limbs::RowOf<L> im = limbs::add(limbs::mul(ar, bi), limbs::mul(ai, br));
    Row res[4], ims[4];
    limbs::store_rows(re, res);
    limbs::store_rows(im, ims);
    const limbs::Mask4 finite{limbs::finite_lanes(re).v & limbs::finite_lanes(im).v};
    for (int j = 0; j < 4; ++j) {
      const int64_t k = i + j;
      if (limbs::mask_lane(finite, j)) {
        out[2 * k] = res[j];
        out[2 * k + 1] = ims[j];
      } else {
        const cm::Complex r = cm::mul({a[2 * k], a[2 * k + 1]}, {b[2 * k], b[2 * k + 1]});
        out[2 * k] = r.re;
        out[2 * k + 1] = r.im;
      }
    }
  }
  binary_run<cm::mul>(a + 2 * i, b + 2 * i, out + 2 * i, n - i);
}
#endif

void mul_run(const Row* a, const Row* b, Row* out, int64_t n) {
#if defined(LIMBS_HAVE_LANES4)
  if (n >= 4 && limbs::lanes_supported()) {
    mul_lanes(a, b, out, n);
    return;
  }
#endif
  binary_run<cm::mul>(a, b, out, n);
}

struct UnaryEntry {
  const char* name;
  ComplexUnaryKernel kernel;
};
struct BinaryEntry {
  const char* name;
  ComplexBinaryKernel kernel;
};

constexpr UnaryEntry kUnary[] = {
    {"exp", unary_run<cm::exp>},
    {"log", unary_run<cm::log>},
    {"log2", unary_run<cm::log2>},
    {"log10", unary_run<cm::log10>},
    {"log1p", unary_run<cm::log1p>},
    {"expm1", unary_run<cm::expm1>},
    {"sqrt", unary_run<cm::sqrt>},
    {"rsqrt", unary_run<cm::rsqrt>},
    {"reciprocal", unary_run<cm::reciprocal>},
    {"sin", unary_run<cm::sin>},
    {"cos", unary_run<cm::cos>},
    {"tan", unary_run<cm::tan>},
    {"sinh", unary_run<cm::sinh>},
    {"cosh", unary_run<cm::cosh>},
    {"tanh", unary_run<cm::tanh>},
    {"asin", unary_run<cm::asin>},
    {"acos", unary_run<cm::acos>},
    {"atan", unary_run<cm::atan>},
    {"asinh", unary_run<cm::asinh>},
    {"acosh", unary_run<cm::acosh>},
    {"atanh", unary_run<cm::atanh>},
    {"sigmoid", unary_run<cm::sigmoid>},
    {"sgn", unary_run<cm::sgn>},
};

constexpr BinaryEntry kBinary[] = {
    {"mul", mul_run},
    {"div", binary_run<cm::div>},
    {"pow", binary_run<cm::pow>},
};

}  // namespace

ComplexUnaryKernel complex_unary_kernel(const char* name) {
  for (const UnaryEntry& e : kUnary)
    if (std::strcmp(e.name, name) == 0) return e.kernel;
  return nullptr;
}

ComplexBinaryKernel complex_binary_kernel(const char* name) {
  for (const BinaryEntry& e : kBinary)
    if (std::strcmp(e.name, name) == 0) return e.kernel;
  return nullptr;
}

}  // namespace kernels
}  // namespace zel
