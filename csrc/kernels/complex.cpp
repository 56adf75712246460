// The complex element kernels: one run loop per function of
// limbs/elem/complex_functions.h, found by name.
#include "kernels/complex.h"

#include <cstring>

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
    {"mul", binary_run<cm::mul>},
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
