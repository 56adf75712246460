#include "tensor/math.h"

#include <vector>

#include "limbs/functions.h"

namespace zel {

namespace {

using limbs::Row;
namespace lm = limbs::math;

// Rows per parallel chunk: the transcendental kernels cost thousands of
// float64 operations per row, the orderings a few dozen.
constexpr int64_t kHeavy = 256;
constexpr int64_t kLight = 16384;

// The result for a malformed operand (see limbs::math::malformed).
const Row kNaNRow = limbs::from_double(lm::kNaN);

Row positive(const Row& a) { return a; }
Row square(const Row& a) { return limbs::mul(a, a); }
Row negative(const Row& a) { return limbs::neg(a); }

const MathOp kOps[] = {
    {"asin", "arcsin", false, "Arcsine, accurate to 2^-100.", lm::asin, nullptr, kHeavy},
    {"acos", "arccos", false, "Arccosine, accurate to 2^-100.", lm::acos, nullptr, kHeavy},
    {"atan", "arctan", false, "Arctangent, accurate to 2^-100.", lm::atan, nullptr, kHeavy},
    {"sinh", nullptr, false, "Hyperbolic sine, accurate to 2^-100.", lm::sinh, nullptr, kHeavy},
    {"cosh", nullptr, false, "Hyperbolic cosine, accurate to 2^-100.", lm::cosh, nullptr, kHeavy},
    {"asinh", "arcsinh", false, "Inverse hyperbolic sine, accurate to 2^-100.", lm::asinh, nullptr, kHeavy},
    {"acosh", "arccosh", false, "Inverse hyperbolic cosine, accurate to 2^-100.", lm::acosh, nullptr, kHeavy},
    {"atanh", "arctanh", false, "Inverse hyperbolic tangent, accurate to 2^-100.", lm::atanh, nullptr, kHeavy},
    {"expm1", nullptr, true, "exp(x) - 1, accurate to 2^-100.", lm::expm1, nullptr, kHeavy},
    {"log1p", nullptr, true, "log(1 + x), accurate to 2^-100.", lm::log1p, nullptr, kHeavy},
    {"log2", nullptr, false, "Base-2 logarithm, accurate to 2^-100.", lm::log2, nullptr, kHeavy},
    {"log10", nullptr, false, "Base-10 logarithm, accurate to 2^-100.", lm::log10, nullptr, kHeavy},
    {"exp2", nullptr, true, "2 ** x, accurate to 2^-100.", lm::exp2, nullptr, kHeavy},
    {"erf", nullptr, true, "Error function, accurate to 2^-100.", lm::erf, nullptr, kHeavy},
    {"erfc", nullptr, true, "Complementary error function, accurate to 2^-100.", lm::erfc, nullptr, kHeavy},
    {"rsqrt", nullptr, false, "1 / sqrt(x), accurate to 2^-100.", lm::rsqrt, nullptr, kHeavy},
    {"sinc", nullptr, true, "sin(pi x) / (pi x), accurate to 2^-100.", lm::sinc, nullptr, kHeavy},
    {"deg2rad", nullptr, false, "Degrees to radians, accurate to 2^-100.", lm::deg2rad, nullptr, kLight},
    {"rad2deg", nullptr, false, "Radians to degrees, accurate to 2^-100.", lm::rad2deg, nullptr, kLight},
    {"trunc", "fix", false, "Integer part of the exact value.", lm::trunc, nullptr, kLight},
    {"frac", nullptr, false, "Fractional part of the exact value.", lm::frac, nullptr, kLight},
    {"sign", nullptr, false, "Sign of the exact value: -1, 0 or 1.", lm::sign, nullptr, kLight},
    {"sgn", nullptr, false, "Sign of the exact value (sign, for real tensors).", lm::sign, nullptr, kLight},
    {"square", nullptr, false, "x * x (the product of ** 2).", square, nullptr, kLight},
    {"neg", "negative", false, "Negation of every limb (exact).", negative, nullptr, kLight},
    {"positive", nullptr, false, "The tensor itself.", positive, nullptr, kLight},
    {"atan2", "arctan2", false, "Arctangent of input / other in the quadrant of (other, input).", nullptr,
     lm::atan2, kHeavy},
    {"hypot", nullptr, false, "sqrt(input^2 + other^2) without overflow, accurate to 2^-100.", nullptr, lm::hypot,
     kHeavy},
    {"fmod", nullptr, false, "C fmod: input - trunc(input / other) * other, with the sign of input.", nullptr,
     lm::fmod, kHeavy},
    {"remainder", nullptr, false, "Python modulus: the result has the sign of other.", nullptr, lm::remainder,
     kHeavy},
    {"maximum", nullptr, false, "Element-wise maximum on the exact value; NaN propagates.", nullptr, lm::maximum,
     kLight},
    {"minimum", nullptr, false, "Element-wise minimum on the exact value; NaN propagates.", nullptr, lm::minimum,
     kLight},
    {"fmax", nullptr, false, "Element-wise maximum on the exact value; NaN ignored.", nullptr, lm::fmax, kLight},
    {"fmin", nullptr, false, "Element-wise minimum on the exact value; NaN ignored.", nullptr, lm::fmin, kLight},
    {"copysign", nullptr, false, "|input| with the sign of other.", nullptr, lm::copysign, kLight},
    {"logaddexp", nullptr, false, "log(exp(input) + exp(other)), accurate to 2^-100.", nullptr, lm::logaddexp,
     kHeavy},
    {"logaddexp2", nullptr, false, "log2(2**input + 2**other), accurate to 2^-100.", nullptr, lm::logaddexp2,
     kHeavy},
    {"xlogy", nullptr, true, "input * log(other), 0 where input is 0.", nullptr, lm::xlogy, kHeavy},
    {"float_power", nullptr, false, "input ** exponent, accurate to 2^-100.", nullptr, lm::pow, kHeavy},
};

// Row index of each operand for output row i: the broadcast of up to
// three shapes, for the functions of three operands.
struct Broadcast3 {
  Shape out;
  std::vector<int64_t> st[3];

  Broadcast3(const Shape& a, const Shape& b, const Shape& c)
      : out(broadcast_shapes(broadcast_shapes(a, b), c)) {
    st[0] = broadcast_strides(a, out);
    st[1] = broadcast_strides(b, out);
    st[2] = broadcast_strides(c, out);
  }

  void index(int64_t i, int64_t (&at)[3]) const {
    at[0] = at[1] = at[2] = 0;
    for (int64_t d = static_cast<int64_t>(out.size()) - 1; d >= 0; --d) {
      const int64_t k = i % out[d];
      i /= out[d];
      for (int j = 0; j < 3; ++j) at[j] += k * st[j][d];
    }
  }
};

template <class F>
LimbTensor ternary_rows(const LimbTensor& a, const LimbTensor& b, const LimbTensor& c, const char* op,
                        const F& f) {
  const Broadcast3 bc(a.shape, b.shape, c.shape);
  at::Tensor da = cpu_limbs(a, op), db = cpu_limbs(b, op), dc = cpu_limbs(c, op);
  const int64_t n = shape_numel(bc.out);
  at::Tensor r = new_limbs_for(n, op);
  const Row *pa = rows_of(da), *pb = rows_of(db), *pc = rows_of(dc);
  Row* pr = rows_of(r);
  parallel_rows(n, kHeavy, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      int64_t at[3];
      bc.index(i, at);
      const Row &x = pa[at[0]], &y = pb[at[1]], &z = pc[at[2]];
      pr[i] = lm::malformed(x) || lm::malformed(y) || lm::malformed(z) ? kNaNRow : f(x, y, z);
    }
  });
  return make_result(r, bc.out, a.data.device());
}

at::Tensor on_device(const at::Tensor& cpu, const at::Device& dev) { return dev.is_cpu() ? cpu : cpu.to(dev); }

}  // namespace

const MathOp* math_ops(size_t& count) {
  count = sizeof(kOps) / sizeof(kOps[0]);
  return kOps;
}

LimbTensor apply_unary(const LimbTensor& a, const MathOp& op) {
  const UnaryKernel f = op.unary;
  return map_rows(a, op.name, [f](const Row& x) { return lm::malformed(x) ? kNaNRow : f(x); }, op.grain);
}

LimbTensor apply_binary(const LimbTensor& a, const LimbTensor& b, const MathOp& op) {
  const BinaryKernel f = op.binary;
  return binary_rows(
      a, b, op.name,
      [f](const Row& x, const Row& y) { return lm::malformed(x) || lm::malformed(y) ? kNaNRow : f(x, y); },
      op.grain);
}

LimbTensor pow_tensor(const LimbTensor& a, const LimbTensor& b) {
  return binary_rows(
      a, b, "pow",
      [](const Row& x, const Row& y) { return lm::malformed(x) || lm::malformed(y) ? kNaNRow : lm::pow(x, y); },
      kHeavy);
}

LimbTensor logit(const LimbTensor& a, bool has_eps, double eps) {
  if (!has_eps)
    return map_rows(a, "logit", [](const Row& x) { return lm::malformed(x) ? kNaNRow : lm::logit(x); }, kHeavy);
  return map_rows(
      a, "logit", [eps](const Row& x) { return lm::malformed(x) ? kNaNRow : lm::logit_eps(x, eps); }, kHeavy);
}

LimbTensor nan_to_num(const LimbTensor& a, double nan, double posinf, double neginf) {
  return map_rows(
      a, "nan_to_num", [=](const Row& x) { return lm::nan_to_num(x, nan, posinf, neginf); }, kLight);
}

LimbTensor lerp(const LimbTensor& start, const LimbTensor& end, const LimbTensor& weight) {
  return ternary_rows(start, end, weight, "lerp",
                      [](const Row& s, const Row& e, const Row& w) { return lm::lerp(s, e, w); });
}

LimbTensor addc(const LimbTensor& input, const LimbTensor& t1, const LimbTensor& t2, double value, bool divide,
                const char* op) {
  if (divide)
    return ternary_rows(input, t1, t2, op,
                        [value](const Row& i, const Row& x, const Row& y) { return lm::addcdiv(i, x, y, value); });
  return ternary_rows(input, t1, t2, op,
                      [value](const Row& i, const Row& x, const Row& y) { return lm::addcmul(i, x, y, value); });
}

LimbTensor clamp_rows(const LimbTensor& a, const LimbTensor* lo, const LimbTensor* hi, const char* op) {
  // An absent bound is broadcast as a 0-d operand that the kernel ignores.
  const LimbTensor none{at::zeros({1, limbs::kLimbs}, at::kDouble), Shape{}};
  const bool has_lo = lo != nullptr, has_hi = hi != nullptr;
  return ternary_rows(a, has_lo ? *lo : none, has_hi ? *hi : none, op,
                      [has_lo, has_hi](const Row& x, const Row& l, const Row& h) {
                        return lm::clamp_rows(x, has_lo ? &l : nullptr, has_hi ? &h : nullptr);
                      });
}

at::Tensor isclose(const LimbTensor& a, const LimbTensor& b, double rtol, double atol, bool equal_nan) {
  Shape out = broadcast_shapes(a.shape, b.shape);
  at::Tensor da = cpu_limbs(a, "isclose"), db = cpu_limbs(b, "isclose");
  at::Tensor r = at::empty({shape_numel(out)}, at::kBool);
  bool* pr = r.data_ptr<bool>();
  const Row *pa = rows_of(da), *pb = rows_of(db);
  for_each_broadcast(out, a.shape, b.shape, kLight, [&](int64_t i, int64_t ia, int64_t ib) {
    pr[i] = lm::isclose(pa[ia], pb[ib], rtol, atol, equal_nan);
  });
  return on_device(r.reshape(out), a.data.device());
}

at::Tensor signbit(const LimbTensor& a) {
  at::Tensor da = cpu_limbs(a, "signbit");
  const int64_t n = da.size(0);
  at::Tensor r = at::empty({n}, at::kBool);
  bool* pr = r.data_ptr<bool>();
  const Row* pa = rows_of(da);
  parallel_rows(n, kLight, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) pr[i] = lm::signbit(pa[i]);
  });
  return on_device(r.reshape(a.shape), a.data.device());
}

bool equal(const LimbTensor& a, const LimbTensor& b) {
  at::Tensor da = cpu_limbs(a, "equal"), db = cpu_limbs(b, "equal");
  if (a.shape != b.shape) return false;
  const Row *pa = rows_of(da), *pb = rows_of(db);
  for (int64_t i = 0; i < da.size(0); ++i)
    if (limbs::compare_exact(pa[i], pb[i]) != 0) return false;
  return true;
}

}  // namespace zel
