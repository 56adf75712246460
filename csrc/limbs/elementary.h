// Element-wise functions on one 8-limb element. Each function is the fixed
// sequence of limb operations (add, sub, mul, mul_scalar) that defines it,
// in that order, so the result bytes are reproducible on every device.
//
// Start values, thresholds, signs and masks come from approx(). Where approx
// is inf or NaN, or outside the domain, reciprocal, exp, log, sqrt, sin, cos
// and tanh give the IEEE answer as a clean row [value, 0, ..., 0] instead of
// iterating on it (the iterations would only spread NaN through the limbs).
// Every std:: call below is qualified: inside this namespace the unqualified
// names exp, log, sqrt, floor, ... are the row functions.
#pragma once

#include <cmath>
#include <limits>

#include "row.h"

namespace limbs {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Divisors whose approximation is below this in magnitude count as zero.
constexpr double kZeroDivisor = 1e-300;

constexpr int kReciprocalSteps = 12;
constexpr int kSqrtSteps = 8;
constexpr int kLogSteps = 8;
constexpr int kExpTerms = 19;
constexpr int kTrigTerms = 14;

// ln 2 and 2*pi to about 160 bits; limb 0 of each is the nearest float64.
constexpr double kLn2[3] = {0.6931471805599453, 2.3190468138462996e-17,
                            5.707708438416212e-34};
constexpr double kTwoPi[3] = {6.283185307179586, 2.4492935982947064e-16,
                              -5.989539619436679e-33};

// exp overflows above log(DBL_MAX) and is 0 below log(2^-1075).
constexpr double kExpOverflow = 709.782712893384;
constexpr double kExpUnderflow = -745.1332191019412;
// Beyond this tanh is +-1 to far more than 8 limbs, and exp(2x) would soon
// overflow.
constexpr double kTanhSaturation = 354.0;
constexpr double kSqrtTwoOverPi = 0.7978845608028654;
constexpr double kGeluCubic = 0.044715;

// Limbs 0..2 of reciprocal_scalar(i) for i = 1..19 (row 0 unused): the
// divisors of the exp series, computed once by the 12-step Newton iteration
// below. The reference tests recompute them through exp.
constexpr double kInverseIntegers[20][3] = {
    {0.0, 0.0, 0.0},
    {0x1p+0, 0.0, 0.0},  // 1/1
    {0x1p-1, 0.0, 0.0},  // 1/2
    {0x1.5555555555555p-2, 0x1.5555555555555p-56, 0.0},  // 1/3
    {0x1p-2, 0.0, 0.0},  // 1/4
    {0x1.999999999999ap-3, -0x1.999999999999ap-57, 0.0},  // 1/5
    {0x1.5555555555555p-3, 0x1.5555555555555p-57, 0.0},  // 1/6
    {0x1.2492492492492p-3, 0x1.2492492492492p-57, 0.0},  // 1/7
    {0x1p-3, 0.0, 0.0},  // 1/8
    {0x1.c71c71c71c71cp-4, 0x1.c71c71c71c71cp-58, 0.0},  // 1/9
    {0x1.999999999999ap-4, -0x1.999999999999ap-58, 0.0},  // 1/10
    {0x1.745d1745d1746p-4, -0x1.745d1745d1746p-59, 0.0},  // 1/11
    {0x1.5555555555555p-4, 0x1.5555555555555p-58, 0.0},  // 1/12
    {0x1.3b13b13b13b14p-4, -0x1.3b13b13b13b14p-58, 0.0},  // 1/13
    {0x1.2492492492492p-4, 0x1.2492492492492p-58, 0.0},  // 1/14
    {0x1.1111111111111p-4, 0x1.1111111111111p-60, 0.0},  // 1/15
    {0x1p-4, 0.0, 0.0},  // 1/16
    {0x1.e1e1e1e1e1e1ep-5, 0x1.e1e1e1e1e1e1ep-61, 0.0},  // 1/17
    {0x1.c71c71c71c71cp-5, 0x1.c71c71c71c71cp-59, 0.0},  // 1/18
    {0x1.af286bca1af28p-5, 0x1.af286bca1af28p-59, 0.0},  // 1/19
};

LIMBS_HD inline Row row3(const double (&c)[3]) {
  Row r = zero_row();
  r.l[0] = c[0];
  r.l[1] = c[1];
  r.l[2] = c[2];
  return r;
}

// --- Reciprocal and division -------------------------------------------------

// 1/s for a float64 divisor, as a row: Newton-Raphson x <- x (2 - s x) from
// the float64 quotient, in tensor products. |s| < 1e-300 gives +inf for
// s >= 0 (so also for -0.0) and -inf otherwise; 1/+-inf is +-0, 1/NaN is NaN.
LIMBS_HD inline Row reciprocal_scalar(double s) {
  if (std::fabs(s) < kZeroDivisor) return from_double(s >= 0.0 ? kInf : -kInf);
  if (!std::isfinite(s)) return from_double(1.0 / s);
  const Row d = from_double(s);
  const Row two = from_double(2.0);
  Row x = from_double(1.0 / s);
  for (int i = 0; i < kReciprocalSteps; ++i) x = mul(x, sub(two, mul(d, x)));
  return x;
}

// Element-wise 1/a by the same iteration started from 1/approx(a). A zero
// element (|approx| < 1e-300, either sign) gives +inf; +-inf gives +-0 and
// NaN gives NaN.
LIMBS_HD inline Row reciprocal(const Row& a) {
  const double val = approx(a);
  if (!std::isfinite(val)) return from_double(1.0 / val);
  if (std::fabs(val) < kZeroDivisor) return from_double(kInf);
  const Row two = from_double(2.0);
  Row x = from_double(1.0 / val);
  for (int i = 0; i < kReciprocalSteps; ++i) x = mul(x, sub(two, mul(a, x)));
  return x;
}

// a / b: the tensor product with the reciprocal of b.
LIMBS_HD inline Row div(const Row& a, const Row& b) { return mul(a, reciprocal(b)); }

// a / c for a float64 c. A loop over many elements should compute
// reciprocal_scalar(c) once and call mul; the bytes are the same.
LIMBS_HD inline Row div_scalar(const Row& a, double c) {
  return mul(a, reciprocal_scalar(c));
}

// --- Integer powers ----------------------------------------------------------

// a^m for m >= 1, m given as little-endian 64-bit words (m = sum of
// words[i] * 2^(64 i)) so that exponents of any size take the same path:
// m = 1 is a copy, m = 2 one square, larger m binary exponentiation from 1
// (result * base when the bit is set, then base * base).
LIMBS_HD inline Row pow_positive(const Row& a, const unsigned long long* words, int count) {
  while (count > 0 && words[count - 1] == 0) --count;
  if (count == 1 && words[0] == 1) return a;
  if (count == 1 && words[0] == 2) return mul(a, a);
  Row result = from_double(1.0);
  Row base = a;
  for (int w = 0; w < count; ++w) {
    unsigned long long m = words[w];
    // The last word stops at its top bit; the others run all 64 bits.
    for (int bit = 0; bit < 64 && (w + 1 < count || m != 0); ++bit, m >>= 1) {
      if (m & 1ULL) result = mul(result, base);
      base = mul(base, base);
    }
  }
  return result;
}

LIMBS_HD inline Row pow_positive(const Row& a, unsigned long long m) {
  return pow_positive(a, &m, 1);
}

// a^n for any integer n: 1 for n = 0 (whatever a is), 1 / a^-n for n < 0.
LIMBS_HD inline Row pow_int(const Row& a, long long n) {
  if (n == 0) return from_double(1.0);
  if (n > 0) return pow_positive(a, static_cast<unsigned long long>(n));
  // 0 - n in unsigned arithmetic is |n| even for the most negative n.
  const unsigned long long m = 0ULL - static_cast<unsigned long long>(n);
  return div(from_double(1.0), pow_positive(a, m));
}

// --- exp, log, sqrt ----------------------------------------------------------

// e^a: with k = floor(approx / ln2), the Taylor series of e^r to r^19/19! on
// r = a - ln2 * k (all limbs of a and of the 3-limb ln2), then every limb
// scaled by 2^k. The truncated series limits the accuracy to about 1e-22
// relative when r is near ln2 (1e-29 near r = 0.3); results below 2^-1022
// lose their lower limbs to the subnormal range.
LIMBS_HD inline Row exp(const Row& a) {
  const double val = approx(a);
  if (std::isnan(val)) return from_double(val);
  if (val > kExpOverflow) return from_double(kInf);
  if (val < kExpUnderflow) return zero_row();
  const double k = std::floor(val / kLn2[0]);
  const Row r = sub(a, mul_scalar(row3(kLn2), k));
  Row result = from_double(1.0);
  Row term = from_double(1.0);
  for (int i = 1; i <= kExpTerms; ++i) {
    term = mul(mul(term, r), row3(kInverseIntegers[i]));
    result = add(result, term);
  }
  const int e = static_cast<int>(k);
  for (int j = 0; j < kLimbs; ++j) result.l[j] = std::ldexp(result.l[j], e);
  return result;
}

// Halley's iteration y <- y + 2 (a - e^y) / (a + e^y), 8 steps from
// log(val), val = approx(a) finite and positive.
LIMBS_HD inline Row log_halley(const Row& a, double val) {
  const Row two = from_double(2.0);
  Row y = from_double(std::log(val));
  for (int i = 0; i < kLogSteps; ++i) {
    const Row ey = exp(y);
    y = add(y, div(mul(two, sub(a, ey)), add(a, ey)));
  }
  return y;
}

// Outside [2^-960, 2^960] the iteration breaks down: below about 5e-301 the
// divisor a + e^y counts as zero, the lower limbs of e^y and of the
// reciprocal fall into the subnormal range well before that, and above
// about 9e307 a + e^y overflows. There log(a) = log(a 2^-m) + m ln2, with
// 2^m the binade of val (scaling every limb by 2^-m is exact but for
// limbs that fall below 2^-1074) and m ln2 formed from the 3-limb ln2.
constexpr double kLogDirectMin = 0x1p-960;
constexpr double kLogDirectMax = 0x1p960;

// Natural logarithm. log(0) = -inf, log(x < 0) = NaN, log(+inf) = +inf.
LIMBS_HD inline Row log(const Row& a) {
  const double val = approx(a);
  if (std::isnan(val)) return from_double(val);
  if (val < 0.0) return from_double(kNaN);
  if (val == 0.0) return from_double(-kInf);
  if (std::isinf(val)) return from_double(kInf);
  if (val >= kLogDirectMin && val <= kLogDirectMax) return log_halley(a, val);
  // A dominant leading limb keeps the scaled limbs finite.
  const Row d = dominant(a);
  const int m = std::ilogb(val);
  Row scaled;
  for (int k = 0; k < kLimbs; ++k) scaled.l[k] = std::ldexp(d.l[k], -m);
  return add(log_halley(scaled, approx(scaled)), mul_scalar(row3(kLn2), static_cast<double>(m)));
}

// Square root: Heron's iteration y <- 0.5 (y + a / y), 8 steps from
// sqrt(approx). sqrt(+-0) = +-0, sqrt(+inf) = +inf, sqrt(x < 0) = NaN.
LIMBS_HD inline Row sqrt(const Row& a) {
  const double val = approx(a);
  if (std::isnan(val)) return from_double(val);
  if (val < 0.0) return from_double(kNaN);
  if (val == 0.0 || std::isinf(val)) return from_double(val);
  const Row half = from_double(0.5);
  Row y = from_double(std::sqrt(val));
  for (int i = 0; i < kSqrtSteps; ++i) y = mul(half, add(y, div(a, y)));
  return y;
}

// a^e for a float64 exponent, through log and exp: taken for every float
// exponent, integral ones too, so it has no real result for negative a.
LIMBS_HD inline Row pow_float(const Row& a, double e) {
  return exp(mul_scalar(log(a), e));
}

// --- Trigonometric and hyperbolic functions ----------------------------------

// a - 2*pi * k with k = round-half-even(approx / 2*pi), in limb arithmetic,
// so that the lower limbs of a survive the reduction. approx must be finite.
LIMBS_HD inline Row reduce_two_pi(const Row& a, double val) {
  const double k = std::nearbyint(val / kTwoPi[0]);
  return sub(a, mul_scalar(row3(kTwoPi), k));
}

// Taylor series to x^29 on the reduced argument. Each coefficient
// -1/((2i)(2i+1)) is rounded to float64, which bounds the accuracy near
// 1e-17 relative.
LIMBS_HD inline Row sin(const Row& a) {
  const double val = approx(a);
  if (!std::isfinite(val)) return from_double(kNaN);
  const Row x = reduce_two_pi(a, val);
  const Row x_sq = mul(x, x);
  Row result = x;
  Row term = x;
  for (int i = 1; i <= kTrigTerms; ++i) {
    const double coeff = -1.0 / static_cast<double>((2 * i) * (2 * i + 1));
    term = mul_scalar(mul(term, x_sq), coeff);
    result = add(result, term);
  }
  return result;
}

// Taylor series to x^28, coefficients -1/((2i-1)(2i)) as float64.
LIMBS_HD inline Row cos(const Row& a) {
  const double val = approx(a);
  if (!std::isfinite(val)) return from_double(kNaN);
  const Row x = reduce_two_pi(a, val);
  const Row x_sq = mul(x, x);
  Row result = from_double(1.0);
  Row term = from_double(1.0);
  for (int i = 1; i <= kTrigTerms; ++i) {
    const double coeff = -1.0 / static_cast<double>((2 * i - 1) * (2 * i));
    term = mul_scalar(mul(term, x_sq), coeff);
    result = add(result, term);
  }
  return result;
}

LIMBS_HD inline Row tan(const Row& a) { return div(sin(a), cos(a)); }

// (e^2a - 1) / (e^2a + 1); exactly +-1 where |approx| > 354, +-inf included.
LIMBS_HD inline Row tanh(const Row& a) {
  const double val = approx(a);
  if (std::isnan(val)) return from_double(val);
  if (std::fabs(val) > kTanhSaturation) return from_double(val > 0.0 ? 1.0 : -1.0);
  const Row one = from_double(1.0);
  const Row e2x = exp(mul_scalar(a, 2.0));
  return div(sub(e2x, one), add(e2x, one));
}

// --- Activations -------------------------------------------------------------

// 1 / (1 + e^-a).
LIMBS_HD inline Row sigmoid(const Row& a) {
  const Row one = from_double(1.0);
  return div(one, add(one, exp(neg(a))));
}

// a * sigmoid(a).
LIMBS_HD inline Row silu(const Row& a) { return mul(a, sigmoid(a)); }

// Tanh form: (a * 0.5) * (1 + tanh(sqrt(2/pi) * (a + 0.044715 a^3))), the
// cube formed as ((0.044715 * a) * a) * a.
LIMBS_HD inline Row gelu(const Row& a) {
  const Row half_a = mul_scalar(a, 0.5);
  const Row cubic = mul(mul(mul_scalar(a, kGeluCubic), a), a);
  const Row inner = mul_scalar(add(a, cubic), kSqrtTwoOverPi);
  const Row b = add(from_double(1.0), tanh(inner));
  return mul(half_a, b);
}

// Keeps the whole element (all limbs) where approx >= 0, -0.0 included;
// anything else, NaN included, becomes 0.
LIMBS_HD inline Row relu(const Row& a) {
  return approx(a) >= 0.0 ? a : zero_row();
}

// --- Absolute value, clamping, rounding ---------------------------------------

// Every limb times the sign of approx (exact). A zero approx counts as +1, so
// such an element comes back unchanged; a NaN approx makes every limb NaN.
LIMBS_HD inline Row abs(const Row& a) {
  const double val = approx(a);
  double sign;
  if (val > 0.0 || val == 0.0) sign = 1.0;
  else if (val < 0.0) sign = -1.0;
  else sign = kNaN;
  Row r;
  for (int k = 0; k < kLimbs; ++k) r.l[k] = a.l[k] * sign;
  return r;
}

// approx clamped below, then above (so min > max gives max), in limb 0. An
// approx equal to a bound keeps its own sign of zero; a NaN approx stays NaN
// and a NaN bound is ignored, as torch.clamp does.
LIMBS_HD inline Row clamp(const Row& a, bool has_min, double min_val, bool has_max,
                          double max_val) {
  double v = approx(a);
  if (has_min && v < min_val) v = min_val;
  if (has_max && v > max_val) v = max_val;
  return from_double(v);
}

// 10.0 ** decimals as Python computes it (pow). It is inf when decimals is
// too large; callers raise OverflowError then, as Python does.
LIMBS_HD inline double decimal_factor(long long decimals) {
  return std::pow(10.0, static_cast<double>(decimals));
}

// round(approx * f) / f in limb 0, rounding half to even (std::nearbyint in
// the default rounding mode); f = 10^decimals as the caller computed it.
LIMBS_HD inline Row round_scaled(const Row& a, double f) {
  return from_double(std::nearbyint(approx(a) * f) / f);
}

// approx rounded half to even, or round_scaled with f = 10^decimals.
LIMBS_HD inline Row round_decimals(const Row& a, long long decimals) {
  if (decimals == 0) return from_double(std::nearbyint(approx(a)));
  return round_scaled(a, decimal_factor(decimals));
}

// floor and ceil of approx: an element just below an integer whose limbs sum
// to the integer in float64 counts as that integer.
LIMBS_HD inline Row floor(const Row& a) { return from_double(std::floor(approx(a))); }

LIMBS_HD inline Row ceil(const Row& a) { return from_double(std::ceil(approx(a))); }

}  // namespace limbs
