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

#include "limbs/core/row.h"

namespace limbs {

// Divisors whose approximation is below this in magnitude count as zero.
constexpr double kZeroDivisor = 1e-300;

constexpr int kReciprocalSteps = 12;
constexpr int kSqrtSteps = 8;
constexpr int kLogSteps = 8;
constexpr int kExpTerms = 19;
constexpr int kTrigTerms = 14;

// ln 2 and 2*pi to about 160 bits; limb 0 of each is the nearest float64.
// Scalars, so that device code can read them; the arrays are for host code.
constexpr double kLn2Limb0 = 0.6931471805599453;
constexpr double kLn2Limb1 = 2.3190468138462996e-17;
constexpr double kLn2Limb2 = 5.707708438416212e-34;
constexpr double kTwoPiLimb0 = 6.283185307179586;
constexpr double kTwoPiLimb1 = 2.4492935982947064e-16;
constexpr double kTwoPiLimb2 = -5.989539619436679e-33;
constexpr double kLn2[3] = {kLn2Limb0, kLn2Limb1, kLn2Limb2};
constexpr double kTwoPi[3] = {kTwoPiLimb0, kTwoPiLimb1, kTwoPiLimb2};

// exp overflows above log(DBL_MAX) and is 0 below log(2^-1075).
constexpr double kExpOverflow = 709.782712893384;
constexpr double kExpUnderflow = -745.1332191019412;
// Beyond this tanh is +-1 to far more than 8 limbs, and exp(2x) would soon
// overflow.
constexpr double kTanhSaturation = 354.0;
constexpr double kSqrtTwoOverPi = 0.7978845608028654;
constexpr double kGeluCubic = 0.044715;

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> row3(double c0, double c1, double c2) {
  RowOf<D> r = zero_row<D>();
  r.l[0] = splat<D>(c0);
  r.l[1] = splat<D>(c1);
  r.l[2] = splat<D>(c2);
  return r;
}

LIMBS_HD inline Row row3(const double (&c)[3]) { return row3<double>(c[0], c[1], c[2]); }

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> ln2_row() {
  return row3<D>(kLn2Limb0, kLn2Limb1, kLn2Limb2);
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> two_pi_row() {
  return row3<D>(kTwoPiLimb0, kTwoPiLimb1, kTwoPiLimb2);
}

// Limbs 0..2 of reciprocal_scalar(i) for i = 1..19: the divisors of the exp
// series, computed once by the 12-step Newton iteration below. The
// reference tests recompute them through exp. A table local to the
// function, so that host and device code read the same one.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> inverse_integer(int i) {
  static constexpr double table[20][3] = {
      {0.0, 0.0, 0.0},
      {0x1p+0, 0.0, 0.0},                                   // 1/1
      {0x1p-1, 0.0, 0.0},                                   // 1/2
      {0x1.5555555555555p-2, 0x1.5555555555555p-56, 0.0},   // 1/3
      {0x1p-2, 0.0, 0.0},                                   // 1/4
      {0x1.999999999999ap-3, -0x1.999999999999ap-57, 0.0},  // 1/5
      {0x1.5555555555555p-3, 0x1.5555555555555p-57, 0.0},   // 1/6
      {0x1.2492492492492p-3, 0x1.2492492492492p-57, 0.0},   // 1/7
      {0x1p-3, 0.0, 0.0},                                   // 1/8
      {0x1.c71c71c71c71cp-4, 0x1.c71c71c71c71cp-58, 0.0},   // 1/9
      {0x1.999999999999ap-4, -0x1.999999999999ap-58, 0.0},  // 1/10
      {0x1.745d1745d1746p-4, -0x1.745d1745d1746p-59, 0.0},  // 1/11
      {0x1.5555555555555p-4, 0x1.5555555555555p-58, 0.0},   // 1/12
      {0x1.3b13b13b13b14p-4, -0x1.3b13b13b13b14p-58, 0.0},  // 1/13
      {0x1.2492492492492p-4, 0x1.2492492492492p-58, 0.0},   // 1/14
      {0x1.1111111111111p-4, 0x1.1111111111111p-60, 0.0},   // 1/15
      {0x1p-4, 0.0, 0.0},                                   // 1/16
      {0x1.e1e1e1e1e1e1ep-5, 0x1.e1e1e1e1e1e1ep-61, 0.0},   // 1/17
      {0x1.c71c71c71c71cp-5, 0x1.c71c71c71c71cp-59, 0.0},   // 1/18
      {0x1.af286bca1af28p-5, 0x1.af286bca1af28p-59, 0.0},   // 1/19
  };
  return row3<D>(table[i][0], table[i][1], table[i][2]);
}

// --- Iterations and lanes -----------------------------------------------------

// x after `steps` applications of `step`, a pure function of the row. Once a
// state repeats bit for bit (a fixed point, or a cycle of length L first
// seen at step j) the rest of the sequence is known: the state after
// `steps` is the one at j + (steps - j) mod L, and the loop stops there.
// On random rows the reciprocal repeats within 3-5 of its 12 steps and sqrt
// within 3-7 of its 8 (log's Halley steps seldom repeat). Lanes stop
// together, once each has seen its repeat.
template <int kSteps, class D, class Step>
LIMBS_HD inline RowOf<D> iterate(const RowOf<D>& x, const Step& step) {
  RowOf<D> seen[kSteps + 1];
  int pick[kLaneCount<D>];
  for (int i = 0; i < kLaneCount<D>; ++i) pick[i] = kSteps;
  Mask<D> open = all_lanes<D>();
  seen[0] = x;
  for (int k = 1; k <= kSteps; ++k) {
    seen[k] = step(seen[k - 1]);
    if (k == kSteps) break;
    for (int j = k - 1; j >= 0; --j) {
      const Mask<D> hit = mask_and(open, same_row_bits(seen[k], seen[j]));
      if (!any(hit)) continue;
      for (int i = 0; i < kLaneCount<D>; ++i)
        if (mask_lane(hit, i)) pick[i] = j + (kSteps - j) % (k - j);
      open = mask_and(open, mask_not(hit));
    }
    if (!any(open)) break;
  }
  if constexpr (kScalar<D>) {
    return seen[pick[0]];
  } else {
    RowOf<D> r;
    for (int i = 0; i < kLaneCount<D>; ++i) set_row_lane(r, i, row_lane(seen[pick[i]], i));
    return r;
  }
}

// f(x) for one row, compiled once for each f and never inlined: the rows
// that a run of rows computes alone (non-finite rows, the rows past the
// last full group, every row on processors without lanes) run this one
// copy, which is then not compiled again inside each lane kernel.
template <class F>
LIMBS_ONE_COPY Row scalar_once(const F& f, const Row& x) {
  return f(x);
}

// A function on lanes: the lanes where `regular` holds go through `core`
// side by side (the other lanes there see the harmless element 1); each
// other lane is computed alone by `scalar`, the scalar instantiation of the
// same function, which handles special values and rare ranges. exp and
// tanh pass their one scalar copy (scalar_once), which then is not compiled
// again inside every lane kernel that uses them (exp also runs 134 -> 115
// ns); the others inline theirs (a call here costs sqrt 6 %, log 10 %).
template <class D, class Core, class Scalar>
LIMBS_HD inline RowOf<D> lanes_or_scalar(const RowOf<D>& a, const D& val, const Mask<D>& regular,
                                         const Core& core, const Scalar& scalar) {
  if (all(regular)) return core(a, val);
  RowOf<D> r = a;
  if (any(regular)) {
    const D one = splat<D>(1.0);
    r = core(select_row(regular, a, from_value(one)), select(regular, val, one));
  }
  for (int i = 0; i < kLaneCount<D>; ++i)
    if (!mask_lane(regular, i)) set_row_lane(r, i, scalar(row_lane(a, i)));
  return r;
}

// --- Reciprocal and division -------------------------------------------------

// 1/s for a float64 divisor, as a row: Newton-Raphson x <- x (2 - s x) from
// the float64 quotient, in tensor products. |s| < 1e-300 gives +inf for
// s >= 0 (so also for -0.0) and -inf otherwise; 1/+-inf is +-0, 1/NaN is NaN.
LIMBS_HD inline Row reciprocal_scalar(double s) {
  if (std::fabs(s) < kZeroDivisor) return from_double(s >= 0.0 ? kInf : -kInf);
  if (!std::isfinite(s)) return from_double(1.0 / s);
  const Factor<double> d = factor(from_double(s));
  const Row two = from_double(2.0);
  return iterate<kReciprocalSteps>(from_double(1.0 / s),
                                   [&](const Row& x) { return mul(x, sub(two, mul(d, x))); });
}

// The iteration of reciprocal from 1/val, val = approx(a) finite, not zero.
template <class D>
LIMBS_HD inline RowOf<D> reciprocal_iteration(const RowOf<D>& a, const D& val) {
  const Factor<D> fa = factor(a);
  const RowOf<D> two = from_value(splat<D>(2.0));
  return iterate<kReciprocalSteps>(from_value(1.0 / val),
                                   [&](const RowOf<D>& x) { return mul(x, sub(two, mul(fa, x))); });
}

// Element-wise 1/a by the same iteration started from 1/approx(a). A zero
// element (|approx| < 1e-300, either sign) gives +inf; +-inf gives +-0 and
// NaN gives NaN.
template <class D>
LIMBS_HD inline RowOf<D> reciprocal(const RowOf<D>& a) {
  const D val = approx(a);
  if constexpr (kScalar<D>) {
    if (!std::isfinite(val)) return from_double(1.0 / val);
    if (std::fabs(val) < kZeroDivisor) return from_double(kInf);
    return reciprocal_iteration(a, val);
  } else {
    return lanes_or_scalar(
        a, val, mask_and(is_finite(val), vabs(val) >= kZeroDivisor),
        [](const RowOf<D>& x, const D& v) { return reciprocal_iteration(x, v); },
        [](const Row& x) { return reciprocal(x); });
  }
}

// a / b: the tensor product with the reciprocal of b.
template <class D>
LIMBS_HD inline RowOf<D> div(const RowOf<D>& a, const RowOf<D>& b) {
  return mul(a, reciprocal(b));
}

// a / c for a float64 c. A loop over many elements should compute
// reciprocal_scalar(c) once and call mul; the bytes are the same.
LIMBS_HD inline Row div_scalar(const Row& a, double c) { return mul(a, reciprocal_scalar(c)); }

// --- Integer powers ----------------------------------------------------------

// a^m for m >= 1, m given as little-endian 64-bit words (m = sum of
// words[i] * 2^(64 i)) so that exponents of any size take the same path:
// m = 1 is a copy, m = 2 one square, larger m binary exponentiation from 1
// (result * base when the bit is set, then base * base).
template <class D>
LIMBS_HD inline RowOf<D> pow_positive(const RowOf<D>& a, const unsigned long long* words,
                                      int count) {
  while (count > 0 && words[count - 1] == 0) --count;
  if (count == 1 && words[0] == 1) return a;
  if (count == 1 && words[0] == 2) return mul(a, a);
  RowOf<D> result = from_value(splat<D>(1.0));
  RowOf<D> base = a;
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

// Every limb times 2^k, k integral, as ldexp does it: exact, or one
// rounding where a limb falls into the subnormal range. Where 2^k is itself
// a float64 (k in [-1074, 1023]) the product with it is that same single
// rounding, so lanes multiply; other lanes call ldexp.
template <class D>
LIMBS_HD LIMBS_STEP inline void scale_by_power_of_two(RowOf<D>& r, const D& k) {
  if constexpr (kScalar<D>) {
    for (int j = 0; j < kLimbs; ++j) r.l[j] = std::ldexp(r.l[j], static_cast<int>(k));
  } else {
    const Mask<D> exact = mask_and(k >= -1074.0, k <= 1023.0);
    const D factor = per_lane(select(exact, k, splat<D>(0.0)),
                              [](double v) { return std::ldexp(1.0, static_cast<int>(v)); });
    const RowOf<D> unscaled = r;
    for (int j = 0; j < kLimbs; ++j) r.l[j] = r.l[j] * factor;
    if (all(exact)) return;
    for (int i = 0; i < kLaneCount<D>; ++i)
      if (!mask_lane(exact, i))
        for (int j = 0; j < kLimbs; ++j)
          set_lane(r.l[j], i, std::ldexp(lane(unscaled.l[j], i), static_cast<int>(lane(k, i))));
  }
}

// --- exp, log, sqrt ----------------------------------------------------------

// The series of exp for val = approx(a) in [kExpUnderflow, kExpOverflow],
// its sum carried in the leading kSumLimbs limbs. Every term is a product
// (limbs 3..7 are +0.0), and TwoSum of a finite limb with +0.0 leaves an
// error of +0.0, so from the start value 1 on limbs 4..7 of the sum stay
// +0.0 for as long as the sum is finite: four limbs give the bytes of
// eight, and carry a quarter of the work the series does per term.
template <int kSumLimbs, class D>
LIMBS_HD inline RowOf<D> exp_series_sum(const RowOf<D>& a, const D& val) {
  const D k = per_lane(val / kLn2Limb0, [](double v) { return std::floor(v); });
  const Factor<D> r = factor(sub(a, mul_scalar(ln2_row<D>(), k)));
  RowOf<D> term = from_value(splat<D>(1.0));
  D sum[kSumLimbs];
  sum[0] = splat<D>(1.0);
  for (int j = 1; j < kSumLimbs; ++j) sum[j] = splat<D>(0.0);
  for (int i = 1; i <= kExpTerms; ++i) {
    term = mul(mul(term, r), inverse_integer<D>(i));
    // add(sum, term), limb by limb.
    D s[kSumLimbs], e[kSumLimbs];
    for (int j = 0; j < kSumLimbs; ++j) two_sum(sum[j], term.l[j], s[j], e[j]);
    sum[0] = s[0];
    for (int j = 1; j < kSumLimbs; ++j) sum[j] = s[j] + e[j - 1];
  }
  RowOf<D> result = zero_row<D>();
  for (int j = 0; j < kSumLimbs; ++j) result.l[j] = sum[j];
  scale_by_power_of_two(result, k);
  return result;
}

// A non-finite limb never becomes finite again in the sum, so one that is
// finite at the end was finite throughout. Where it is not (an operand
// whose limbs cancel far below approx can reach a huge reduced argument),
// the lane takes the eight-limb sum, which spreads the NaN as add does.
template <class D>
LIMBS_HD inline RowOf<D> exp_series(const RowOf<D>& a, const D& val) {
  const RowOf<D> short_sum = exp_series_sum<4>(a, val);
  Mask<D> finite = is_finite(short_sum.l[0]);
  for (int j = 1; j < 4; ++j) finite = mask_and(finite, is_finite(short_sum.l[j]));
  if (all(finite)) return short_sum;
  RowOf<D> r = short_sum;
  for (int i = 0; i < kLaneCount<D>; ++i)
    if (!mask_lane(finite, i)) {
      const Row x = row_lane(a, i);
      set_row_lane(r, i, exp_series_sum<kLimbs>(x, lane(val, i)));
    }
  return r;
}

// e^a: with k = floor(approx / ln2), the Taylor series of e^r to r^19/19! on
// r = a - ln2 * k (all limbs of a and of the 3-limb ln2), then every limb
// scaled by 2^k. The truncated series limits the accuracy to about 1e-22
// relative when r is near ln2 (1e-29 near r = 0.3); results below 2^-1022
// lose their lower limbs to the subnormal range.
template <class D>
LIMBS_HD inline RowOf<D> exp(const RowOf<D>& a) {
  const D val = approx(a);
  if constexpr (kScalar<D>) {
    if (std::isnan(val)) return from_double(val);
    if (val > kExpOverflow) return from_double(kInf);
    if (val < kExpUnderflow) return zero_row();
    return exp_series(a, val);
  } else {
    return lanes_or_scalar(
        a, val, mask_and(val >= kExpUnderflow, val <= kExpOverflow),
        [](const RowOf<D>& x, const D& v) { return exp_series(x, v); },
        [](const Row& x) { return scalar_once(&exp<double>, x); });
  }
}

// Halley's iteration y <- y + 2 (a - e^y) / (a + e^y), 8 steps from
// log(val), val = approx(a) finite and positive.
template <class D>
LIMBS_HD inline RowOf<D> log_halley(const RowOf<D>& a, const D& val) {
  const Factor<D> two = factor(from_value(splat<D>(2.0)));
  const RowOf<D> y = from_value(per_lane(val, [](double v) { return std::log(v); }));
  return iterate<kLogSteps>(y, [&](const RowOf<D>& x) {
    const RowOf<D> ex = exp(x);
    return add(x, div(mul(two, sub(a, ex)), add(a, ex)));
  });
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
template <class D>
LIMBS_HD inline RowOf<D> log(const RowOf<D>& a) {
  const D val = approx(a);
  if constexpr (kScalar<D>) {
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
    return add(log_halley(scaled, approx(scaled)),
               mul_scalar(ln2_row<double>(), static_cast<double>(m)));
  } else {
    return lanes_or_scalar(
        a, val, mask_and(val >= kLogDirectMin, val <= kLogDirectMax),
        [](const RowOf<D>& x, const D& v) { return log_halley(x, v); },
        [](const Row& x) { return log(x); });
  }
}

// Heron's iteration y <- 0.5 (y + a / y), 8 steps from sqrt(val), val =
// approx(a) finite and positive.
template <class D>
LIMBS_HD inline RowOf<D> sqrt_heron(const RowOf<D>& a, const D& val) {
  const Factor<D> half = factor(from_value(splat<D>(0.5)));
  const Factor<D> fa = factor(a);
  const RowOf<D> y = from_value(per_lane(val, [](double v) { return std::sqrt(v); }));
  // a / x is the tensor product of a with the reciprocal of x.
  return iterate<kSqrtSteps>(
      y, [&](const RowOf<D>& x) { return mul(half, add(x, mul(fa, reciprocal(x)))); });
}

// Square root by Heron's iteration. sqrt(+-0) = +-0, sqrt(+inf) = +inf,
// sqrt(x < 0) = NaN.
template <class D>
LIMBS_HD inline RowOf<D> sqrt(const RowOf<D>& a) {
  const D val = approx(a);
  if constexpr (kScalar<D>) {
    if (std::isnan(val)) return from_double(val);
    if (val < 0.0) return from_double(kNaN);
    if (val == 0.0 || std::isinf(val)) return from_double(val);
    return sqrt_heron(a, val);
  } else {
    return lanes_or_scalar(
        a, val, mask_and(val > 0.0, is_finite(val)),
        [](const RowOf<D>& x, const D& v) { return sqrt_heron(x, v); },
        [](const Row& x) { return sqrt(x); });
  }
}

// a^e for a float64 exponent, through log and exp: taken for every float
// exponent, integral ones too, so it has no real result for negative a.
template <class D>
LIMBS_HD inline RowOf<D> pow_float(const RowOf<D>& a, double e) {
  return exp(mul_scalar(log(a), splat<D>(e)));
}

// --- Trigonometric and hyperbolic functions ----------------------------------

// a - 2*pi * k with k = round-half-even(approx / 2*pi), in limb arithmetic,
// so that the lower limbs of a survive the reduction. approx must be finite.
template <class D>
LIMBS_HD inline RowOf<D> reduce_two_pi(const RowOf<D>& a, const D& val) {
  const D k = per_lane(val / kTwoPiLimb0, [](double v) { return std::nearbyint(v); });
  return sub(a, mul_scalar(two_pi_row<D>(), k));
}

// Taylor series to x^29 on the reduced argument. Each coefficient
// -1/((2i)(2i+1)) is rounded to float64, which bounds the accuracy near
// 1e-17 relative.
template <class D>
LIMBS_HD inline RowOf<D> sin_series(const RowOf<D>& a, const D& val) {
  const RowOf<D> x = reduce_two_pi(a, val);
  const Factor<D> x_sq = factor(mul(x, x));
  RowOf<D> result = x;
  RowOf<D> term = x;
  for (int i = 1; i <= kTrigTerms; ++i) {
    const double coeff = -1.0 / static_cast<double>((2 * i) * (2 * i + 1));
    term = mul_scalar(mul(term, x_sq), splat<D>(coeff));
    result = add(result, term);
  }
  return result;
}

// Taylor series to x^28, coefficients -1/((2i-1)(2i)) as float64.
template <class D>
LIMBS_HD inline RowOf<D> cos_series(const RowOf<D>& a, const D& val) {
  const RowOf<D> x = reduce_two_pi(a, val);
  const Factor<D> x_sq = factor(mul(x, x));
  RowOf<D> result = from_value(splat<D>(1.0));
  RowOf<D> term = result;
  for (int i = 1; i <= kTrigTerms; ++i) {
    const double coeff = -1.0 / static_cast<double>((2 * i - 1) * (2 * i));
    term = mul_scalar(mul(term, x_sq), splat<D>(coeff));
    result = add(result, term);
  }
  return result;
}

// sin and cos of a non-finite element are NaN.
template <class D>
LIMBS_HD inline RowOf<D> sin(const RowOf<D>& a) {
  const D val = approx(a);
  if constexpr (kScalar<D>) {
    if (!std::isfinite(val)) return from_double(kNaN);
    return sin_series(a, val);
  } else {
    return lanes_or_scalar(
        a, val, is_finite(val), [](const RowOf<D>& x, const D& v) { return sin_series(x, v); },
        [](const Row& x) { return sin(x); });
  }
}

template <class D>
LIMBS_HD inline RowOf<D> cos(const RowOf<D>& a) {
  const D val = approx(a);
  if constexpr (kScalar<D>) {
    if (!std::isfinite(val)) return from_double(kNaN);
    return cos_series(a, val);
  } else {
    return lanes_or_scalar(
        a, val, is_finite(val), [](const RowOf<D>& x, const D& v) { return cos_series(x, v); },
        [](const Row& x) { return cos(x); });
  }
}

template <class D>
LIMBS_HD inline RowOf<D> tan(const RowOf<D>& a) {
  return div(sin(a), cos(a));
}

// (e^2a - 1) / (e^2a + 1) where |approx| <= 354.
template <class D>
LIMBS_HD inline RowOf<D> tanh_quotient(const RowOf<D>& a, const D&) {
  const RowOf<D> one = from_value(splat<D>(1.0));
  const RowOf<D> e2x = exp(mul_scalar(a, splat<D>(2.0)));
  return div(sub(e2x, one), add(e2x, one));
}

// Exactly +-1 where |approx| > 354, +-inf included.
template <class D>
LIMBS_HD inline RowOf<D> tanh(const RowOf<D>& a) {
  const D val = approx(a);
  if constexpr (kScalar<D>) {
    if (std::isnan(val)) return from_double(val);
    if (std::fabs(val) > kTanhSaturation) return from_double(val > 0.0 ? 1.0 : -1.0);
    return tanh_quotient(a, val);
  } else {
    return lanes_or_scalar(
        a, val, vabs(val) <= kTanhSaturation,
        [](const RowOf<D>& x, const D& v) { return tanh_quotient(x, v); },
        [](const Row& x) { return scalar_once(&tanh<double>, x); });
  }
}

// --- Activations -------------------------------------------------------------

// 1 / (1 + e^-a).
template <class D>
LIMBS_HD inline RowOf<D> sigmoid(const RowOf<D>& a) {
  const RowOf<D> one = from_value(splat<D>(1.0));
  return div(one, add(one, exp(neg(a))));
}

// a * sigmoid(a).
template <class D>
LIMBS_HD inline RowOf<D> silu(const RowOf<D>& a) {
  return mul(a, sigmoid(a));
}

// Tanh form: (a * 0.5) * (1 + tanh(sqrt(2/pi) * (a + 0.044715 a^3))), the
// cube formed as ((0.044715 * a) * a) * a.
template <class D>
LIMBS_HD inline RowOf<D> gelu(const RowOf<D>& a) {
  const RowOf<D> half_a = mul_scalar(a, splat<D>(0.5));
  const RowOf<D> cubic = mul(mul(mul_scalar(a, splat<D>(kGeluCubic)), a), a);
  const RowOf<D> inner = mul_scalar(add(a, cubic), splat<D>(kSqrtTwoOverPi));
  const RowOf<D> b = add(from_value(splat<D>(1.0)), tanh(inner));
  return mul(half_a, b);
}

// Keeps the whole element (all limbs) where approx >= 0, -0.0 included;
// anything else, NaN included, becomes 0.
LIMBS_HD inline Row relu(const Row& a) { return approx(a) >= 0.0 ? a : zero_row(); }

// --- Absolute value, clamping, rounding ---------------------------------------

// Every limb times the sign of approx (exact). A zero approx counts as +1, so
// such an element comes back unchanged; a NaN approx makes every limb NaN.
template <class D>
LIMBS_HD inline RowOf<D> abs(const RowOf<D>& a) {
  const D val = approx(a);
  const D sign =
      select(val >= 0.0, splat<D>(1.0), select(val < 0.0, splat<D>(-1.0), splat<D>(kNaN)));
  RowOf<D> r;
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
