// The accurate element functions: each reads its operands from all eight
// limbs (1 - x, x - 1, 1 + x and differences are formed exactly before any
// rounding), computes in triple-double (accurate.h) and returns a row
// [h, m, l, 0, ..., 0] within 2^-100 relative of the exact result (absolute
// near a zero of the function), wherever the result is at least 2^-970 in
// magnitude (below that its lower limbs fall into the subnormal range).
//
// Special values follow IEEE / C99 as PyTorch does, as clean rows
// [value, 0, ..., 0]; "zero", "negative", "at most 1" are decided on the
// exact value of the limbs, NaN and infinity on limb 0 (N4). The sign of an
// exact zero is the sign of limb 0.
#pragma once

#include <cfloat>
#include <cmath>
#include <limits>

#include "limbs/elem/accurate_lanes.h"
#include "limbs/elem/triple.h"
#include "limbs/core/order.h"

namespace limbs {
namespace math {

using triple::Triple;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Beyond these |x| the exponential-type results are inf, 0 or saturated.
constexpr double kExpRange = 746.0;
// Above 2^80, asinh and acosh are log(2x) to far below 2^-160.
constexpr double kLogTwoX = 0x1p80;

LIMBS_HD inline bool is_nan(const Row& a) { return std::isnan(a.l[0]); }
LIMBS_HD inline bool is_inf(const Row& a) { return std::isinf(a.l[0]); }

// The exact zero of a with the sign of its limb 0.
LIMBS_HD inline Row signed_zero(const Row& a) { return from_double(std::copysign(0.0, a.l[0])); }

LIMBS_HD inline Row out(const Triple& t) { return triple::to_row(t); }

// A finite limb 0 with a non-finite lower limb, or limbs whose sums
// overflow: no value (a malformed row from outside). Callers give NaN
// without calling a kernel, whose integer steps need finite values.
LIMBS_HD inline bool malformed(const Row& a) {
  return std::isfinite(a.l[0]) &&
         !(std::isfinite(approx(a)) && std::isfinite(triple::from_row(a).h));
}

// A kernel with that check in front.
template <Row (*F)(const Row&)>
LIMBS_HD Row guarded(const Row& a) {
  return malformed(a) ? from_double(kNaN) : F(a);
}

template <Row (*F)(const Row&, const Row&)>
LIMBS_HD Row guarded(const Row& a, const Row& b) {
  return malformed(a) || malformed(b) ? from_double(kNaN) : F(a, b);
}

// Every limb negated when the exact value is negative (exact).
LIMBS_HD inline Row abs_exact(const Row& a) { return sign_exact(a) < 0 ? neg(a) : a; }

// --- Inverse trigonometric ----------------------------------------------------

// asin x = atan2(x, sqrt((1 - x)(1 + x))), both factors exact from the limbs.
// The triple-double path: what the lane core leaves to it, and the
// working precision (about 150 bits) of the complex functions.
LIMBS_HD inline Row asin_triple(const Row& a) {
  if (is_nan(a)) return from_double(kNaN);
  const Triple one_minus = triple::neg(triple::from_row(a, -1.0));
  const Triple one_plus = triple::from_row(a, 1.0);
  if (is_inf(a) || one_minus.h < 0.0 || one_plus.h < 0.0) return from_double(kNaN);
  if (one_minus.h == 0.0) return out(triple::half_pi());
  if (one_plus.h == 0.0) return out(triple::neg(triple::half_pi()));
  const Triple x = triple::from_row(a);
  if (x.h == 0.0) return signed_zero(a);
  return out(triple::atan2(x, triple::sqrt(triple::mul(one_minus, one_plus))));
}

LIMBS_HD inline Row asin(const Row& a) {
  bool slow;
  const Row fast = lanes_math::asin_row(a, slow);
  return slow ? asin_triple(a) : fast;
}

// acos x = atan2(sqrt((1 - x)(1 + x)), x).
LIMBS_HD inline Row acos_triple(const Row& a) {
  if (is_nan(a)) return from_double(kNaN);
  const Triple one_minus = triple::neg(triple::from_row(a, -1.0));
  const Triple one_plus = triple::from_row(a, 1.0);
  if (is_inf(a) || one_minus.h < 0.0 || one_plus.h < 0.0) return from_double(kNaN);
  if (one_minus.h == 0.0) return from_double(0.0);
  if (one_plus.h == 0.0) return out(triple::pi());
  return out(triple::atan2(triple::sqrt(triple::mul(one_minus, one_plus)), triple::from_row(a)));
}

LIMBS_HD inline Row acos(const Row& a) {
  bool slow;
  const Row fast = lanes_math::acos_row(a, slow);
  return slow ? acos_triple(a) : fast;
}

LIMBS_HD inline Row atan_triple(const Row& a) {
  if (is_nan(a)) return from_double(kNaN);
  if (is_inf(a)) return out(a.l[0] > 0.0 ? triple::half_pi() : triple::neg(triple::half_pi()));
  const Triple x = triple::from_row(a);
  if (x.h == 0.0) return signed_zero(a);
  return out(triple::atan(x));
}

LIMBS_HD inline Row atan(const Row& a) {
  bool slow;
  const Row fast = lanes_math::atan_row(a, slow);
  return slow ? atan_triple(a) : fast;
}

// C99's table for zeros and infinities; the quadrant from the signs.
LIMBS_HD inline Row atan2_triple(const Row& y, const Row& x) {
  if (is_nan(y) || is_nan(x)) return from_double(kNaN);
  const int sy = sign_exact(y), sx = sign_exact(x);
  const bool y_neg = sy < 0 || (sy == 0 && std::signbit(y.l[0]));
  const bool x_neg = sx < 0 || (sx == 0 && std::signbit(x.l[0]));
  auto with_sign = [y_neg](const Triple& t) { return out(y_neg ? triple::neg(t) : t); };
  if (is_inf(y)) {
    if (!is_inf(x)) return with_sign(triple::half_pi());
    return with_sign(x_neg ? triple::mul(triple::pi(), 0.75) : triple::scale(triple::pi(), -2));
  }
  if (is_inf(x) || sy == 0) {
    if (x_neg) return with_sign(triple::pi());
    return from_double(y_neg ? -0.0 : 0.0);
  }
  if (sx == 0) return with_sign(triple::half_pi());
  // Both scaled by the binade of the larger: the quotient keeps its error
  // terms out of the subnormal range.
  const Triple ty = triple::from_row(y), tx = triple::from_row(x);
  const int e = std::ilogb(std::fmax(std::fabs(ty.h), std::fabs(tx.h)));
  return out(triple::atan2(triple::scale(ty, -e), triple::scale(tx, -e)));
}

LIMBS_HD inline Row atan2(const Row& y, const Row& x) {
  bool slow;
  const Row fast = lanes_math::atan2_row(y, x, slow);
  return slow ? atan2_triple(y, x) : fast;
}

// --- Hyperbolic -------------------------------------------------------------

// sinh and cosh from e^|x| = m 2^k: below |x| = 0.35 sinh is
// (t + t/(1+t)) / 2 with t = e^|x| - 1 (no cancellation); above k = 100
// the e^-|x| term is below 2^-200 and the result is m 2^(k-1).
LIMBS_HD inline Row sinh_triple(const Row& a) {
  if (is_nan(a) || is_inf(a)) return from_double(a.l[0]);
  const Triple x = triple::from_row(a);
  if (x.h == 0.0) return signed_zero(a);
  const Triple ax = triple::abs(x);
  Triple r;
  if (ax.h > kExpRange) {
    r = triple::of(kInf);
  } else if (ax.h < 0.35) {
    const Triple t = triple::expm1_reduced(ax);
    r = triple::mul(triple::add(t, triple::div(t, triple::add(t, 1.0))), 0.5);
  } else {
    const triple::Scaled e = triple::exp_scaled(ax);
    if (e.k > 100) {
      r = triple::scale(e.m, e.k - 1);
    } else {
      const Triple ex = triple::unscale(e);
      r = triple::mul(triple::sub(ex, triple::div(triple::of(1.0), ex)), 0.5);
    }
  }
  return out(x.h < 0.0 ? triple::neg(r) : r);
}

LIMBS_HD inline Row sinh(const Row& a) {
  bool slow;
  const Row fast = lanes_math::sinh_row(a, slow);
  return slow ? sinh_triple(a) : fast;
}

LIMBS_HD inline Row cosh_triple(const Row& a) {
  if (is_nan(a)) return from_double(kNaN);
  if (is_inf(a)) return from_double(kInf);
  const Triple ax = triple::abs(triple::from_row(a));
  if (ax.h > kExpRange) return from_double(kInf);
  const triple::Scaled e = triple::exp_scaled(ax);
  if (e.k > 100) return out(triple::scale(e.m, e.k - 1));
  const Triple ex = triple::unscale(e);
  return out(triple::mul(triple::add(ex, triple::div(triple::of(1.0), ex)), 0.5));
}

LIMBS_HD inline Row cosh(const Row& a) {
  bool slow;
  const Row fast = lanes_math::cosh_row(a, slow);
  return slow ? cosh_triple(a) : fast;
}

// asinh |x| = log1p(|x| + x^2 / (1 + sqrt(1 + x^2))), log(2|x|) above 2^80.
LIMBS_HD inline Row asinh_triple(const Row& a) {
  if (is_nan(a) || is_inf(a)) return from_double(a.l[0]);
  const Triple x = triple::from_row(a);
  if (x.h == 0.0) return signed_zero(a);
  const Triple ax = triple::abs(x);
  Triple r;
  if (ax.h > kLogTwoX) {
    r = triple::add(triple::log(ax), triple::ln2());
  } else {
    const Triple q = triple::sqr(ax);
    r = triple::log1p(
        triple::add(ax, triple::div(q, triple::add(triple::sqrt(triple::add(q, 1.0)), 1.0))));
  }
  return out(x.h < 0.0 ? triple::neg(r) : r);
}

LIMBS_HD inline Row asinh(const Row& a) {
  bool slow;
  const Row fast = lanes_math::asinh_row(a, slow);
  return slow ? asinh_triple(a) : fast;
}

// acosh x = log1p(d + sqrt(d (2 + d))) with d = x - 1 exact.
LIMBS_HD inline Row acosh_triple(const Row& a) {
  if (is_nan(a) || a.l[0] == -kInf) return from_double(kNaN);
  if (is_inf(a)) return from_double(kInf);
  const Triple d = triple::from_row(a, -1.0);
  if (d.h < 0.0) return from_double(kNaN);
  if (d.h == 0.0) return from_double(0.0);
  if (d.h > kLogTwoX) return out(triple::add(triple::log(triple::from_row(a)), triple::ln2()));
  return out(triple::log1p(triple::add(d, triple::sqrt(triple::mul(d, triple::add(d, 2.0))))));
}

LIMBS_HD inline Row acosh(const Row& a) {
  bool slow;
  const Row fast = lanes_math::acosh_row(a, slow);
  return slow ? acosh_triple(a) : fast;
}

// atanh |x| = log1p(2|x| / (1 - |x|)) / 2 with 1 - |x| exact.
LIMBS_HD inline Row atanh_triple(const Row& a) {
  if (is_nan(a)) return from_double(kNaN);
  const Triple x = triple::from_row(a);
  if (x.h == 0.0) return signed_zero(a);
  const bool negative = x.h < 0.0;
  const Triple one_minus =
      negative ? triple::from_row(a, 1.0) : triple::neg(triple::from_row(a, -1.0));
  if (is_inf(a) || one_minus.h < 0.0) return from_double(kNaN);
  if (one_minus.h == 0.0) return from_double(negative ? -kInf : kInf);
  const Triple ax = triple::abs(x);
  const Triple r = triple::mul(triple::log1p(triple::div(triple::mul(ax, 2.0), one_minus)), 0.5);
  return out(negative ? triple::neg(r) : r);
}

LIMBS_HD inline Row atanh(const Row& a) {
  bool slow;
  const Row fast = lanes_math::atanh_row(a, slow);
  return slow ? atanh_triple(a) : fast;
}

// --- Exponentials and logarithms ----------------------------------------------

LIMBS_HD inline Row expm1_triple(const Row& a) {
  if (is_nan(a)) return from_double(kNaN);
  if (is_inf(a)) return from_double(a.l[0] > 0.0 ? kInf : -1.0);
  const Triple x = triple::from_row(a);
  if (x.h == 0.0) return signed_zero(a);
  if (x.h > kExpRange) return from_double(kInf);
  if (x.h < -kExpRange) return from_double(-1.0);
  if (std::fabs(x.h) < 0.34) return out(triple::expm1_reduced(x));
  return out(triple::add(triple::unscale(triple::exp_scaled(x)), -1.0));
}

LIMBS_HD inline Row expm1(const Row& a) {
  bool slow;
  const Row fast = lanes_math::expm1_row(a, slow);
  return slow ? expm1_triple(a) : fast;
}

// 2^x = 2^n 2^(x - n) with n = round(x) and x - n exact from the limbs, so
// integral x gives the power of two exactly.
LIMBS_HD inline Row exp2(const Row& a) {
  bool slow;
  const Row fast = lanes_math::exp2_row(a, slow);
  if (!slow) return fast;
  if (is_nan(a)) return from_double(kNaN);
  if (is_inf(a)) return from_double(a.l[0] > 0.0 ? kInf : 0.0);
  const double v = approx(a);
  if (v > 1100.0) return from_double(kInf);
  if (v < -1100.0) return from_double(0.0);
  const double n = std::nearbyint(v);
  const Triple f = triple::from_row(a, -n);
  const Triple m = triple::add(triple::expm1_reduced(triple::mul(f, triple::ln2())), 1.0);
  return out(triple::scale(m, static_cast<int>(n)));
}

// log(1 + x) with 1 + x exact; x itself near 0.
LIMBS_HD inline Row log1p_triple(const Row& a) {
  if (is_nan(a) || a.l[0] == -kInf) return from_double(kNaN);
  if (is_inf(a)) return from_double(kInf);
  const Triple d = triple::from_row(a, 1.0);
  if (d.h < 0.0) return from_double(kNaN);
  if (d.h == 0.0) return from_double(-kInf);
  const Triple x = triple::from_row(a);
  if (x.h == 0.0) return signed_zero(a);
  if (x.h > -0.29 && x.h < 0.41) return out(triple::log1p_reduced(x));
  return out(triple::log(d));
}

LIMBS_HD inline Row log1p(const Row& a) {
  bool slow;
  const Row fast = lanes_math::log1p_row(a, slow);
  return slow ? log1p_triple(a) : fast;
}

// The domain cases shared by the logarithms: NaN for x < 0 and NaN, -inf
// at 0, inf at inf; false when x is positive and finite.
LIMBS_HD inline bool log_special(const Row& a, Row& r) {
  if (is_nan(a)) {
    r = from_double(kNaN);
    return true;
  }
  const int s = sign_exact(a);
  if (s < 0)
    r = from_double(kNaN);
  else if (s == 0)
    r = from_double(-kInf);
  else if (is_inf(a))
    r = from_double(kInf);
  else
    return false;
  return true;
}

// Near 1 the logarithm reads x - 1 from all limbs: (log(y), m) with
// x = 2^m y, m = 0 for x in (0.71, 1.41).
LIMBS_HD inline Triple log_parts(const Row& a, int& m) {
  const double v = approx(a);
  if (v > 0.71 && v < 1.41) {
    m = 0;
    return triple::log1p_reduced(triple::from_row(a, -1.0));
  }
  return triple::log_parts(triple::from_row(a), m);
}

// log of a positive finite element.
LIMBS_HD inline Triple log_positive(const Row& a) {
  int m;
  const Triple r = log_parts(a, m);
  return m == 0 ? r : triple::add(r, triple::mul(triple::ln2(), static_cast<double>(m)));
}

// log2 x = m + log(y) / ln2: exact at powers of two.
LIMBS_HD inline Row log2(const Row& a) {
  bool slow;
  const Row fast = lanes_math::log2_row(a, slow);
  if (!slow) return fast;
  Row r;
  if (log_special(a, r)) return r;
  int m;
  const Triple y = log_parts(a, m);
  return out(triple::add(triple::mul(y, triple::inv_ln2()), static_cast<double>(m)));
}

LIMBS_HD inline Row log10(const Row& a) {
  bool slow;
  const Row fast = lanes_math::log10_row(a, slow);
  if (!slow) return fast;
  Row r;
  if (log_special(a, r)) return r;
  return out(triple::mul(log_positive(a), triple::inv_ln10()));
}

// logit x = log(x / (1 - x)); on [1/4, 3/4], where that quotient is near 1,
// log1p((2x - 1) / (1 - x)) with both differences exact.
LIMBS_HD inline Row logit(const Row& a) {
  if (is_nan(a) || is_inf(a)) return from_double(kNaN);
  const int s = sign_exact(a);
  const Triple one_minus = triple::neg(triple::from_row(a, -1.0));
  if (s < 0 || one_minus.h < 0.0) return from_double(kNaN);
  if (s == 0) return from_double(-kInf);
  if (one_minus.h == 0.0) return from_double(kInf);
  const Triple x = triple::from_row(a);
  if (x.h < 0.25 || x.h > 0.75) return out(triple::log(triple::div(x, one_minus)));
  const Triple two_x_minus = triple::from_row(mul_scalar(a, 2.0), -1.0);
  return out(triple::log1p(triple::div(two_x_minus, one_minus)));
}

// x clamped to [eps, 1 - eps] on the exact value first, as PyTorch's eps.
LIMBS_HD inline Row logit_eps(const Row& a, double eps) {
  if (is_nan(a)) return from_double(kNaN);
  const Row lo = from_double(eps), hi = from_double(1.0 - eps);
  if (compare_exact(a, lo) == -1) return logit(lo);
  if (compare_exact(a, hi) == 1) return logit(hi);
  return logit(a);
}

// --- Error function -----------------------------------------------------------

// erf from the series below 3, 1 - erfc above, exactly +-1 above 12
// (erfc(12) < 2^-210).
LIMBS_HD inline Triple erf_positive(const Triple& x) {
  if (x.h < 3.0) return triple::erf_series(x);
  if (x.h > 12.0) return triple::of(1.0);
  return triple::sub(triple::of(1.0), triple::unscale(triple::erfc_fraction(x)));
}

LIMBS_HD inline Row erf(const Row& a) {
  if (is_nan(a)) return from_double(kNaN);
  if (is_inf(a)) return from_double(a.l[0] > 0.0 ? 1.0 : -1.0);
  const Triple x = triple::from_row(a);
  if (x.h == 0.0) return signed_zero(a);
  const Triple r = erf_positive(triple::abs(x));
  return out(x.h < 0.0 ? triple::neg(r) : r);
}

// erfc: 1 + erf(|x|) for x < 0, 1 - erf(x) below 3 (at most 16 bits
// cancel), the continued fraction above; 0 beyond 27.3 (below 2^-1075).
LIMBS_HD inline Row erfc(const Row& a) {
  if (is_nan(a)) return from_double(kNaN);
  if (is_inf(a)) return from_double(a.l[0] > 0.0 ? 0.0 : 2.0);
  const Triple x = triple::from_row(a);
  if (x.h < 0.0) return out(triple::add(erf_positive(triple::neg(x)), 1.0));
  if (x.h < 3.0) return out(triple::sub(triple::of(1.0), triple::erf_series(x)));
  if (x.h > 27.3) return from_double(0.0);
  return out(triple::unscale(triple::erfc_fraction(x)));
}

// --- Powers and roots ---------------------------------------------------------

LIMBS_HD inline Row rsqrt(const Row& a) {
  if (is_nan(a)) return from_double(kNaN);
  const int s = sign_exact(a);
  if (s < 0) return from_double(kNaN);
  if (s == 0) return from_double(std::signbit(a.l[0]) ? -kInf : kInf);
  if (is_inf(a)) return from_double(0.0);
  // On x 2^-2j near 1, so that no error term of the root falls below 2^-1022.
  const Triple x = triple::from_row(a);
  const int j = std::ilogb(x.h) / 2;
  const Triple r = triple::div(triple::of(1.0), triple::sqrt(triple::scale(x, -2 * j)));
  return out(triple::scale(r, -j));
}

// a minus the nearest even integer, exactly: the limbs reduce mod 2 without
// error (fmod), their sum S lies in (-16, 16), and S - 2 round(S/2) in
// [-1, 1]. Finite a.
LIMBS_HD inline Triple mod_two(const Row& a) {
  triple::Expansion e;
  for (int k = 0; k < kLimbs; ++k) e.add(std::fmod(a.l[k], 2.0));
  e.add(-2.0 * std::nearbyint(e.to_triple().h * 0.5));
  return e.to_triple();
}

// a^b as C99 pow: b = 0 or a = 1 give 1 (NaN included); a negative needs
// an integral b (decided exactly) and takes its parity; otherwise
// e^(b log|a|) with log|a| read from all limbs near 1.
LIMBS_HD inline Row pow(const Row& a, const Row& b) {
  bool slow;
  const Row fast = lanes_math::pow_row(a, b, slow);
  if (!slow) return fast;
  const int sb = sign_exact(b);
  if (sb == 0) return from_double(1.0);
  if (!is_nan(a) && compare_exact(a, from_double(1.0)) == 0) return from_double(1.0);
  if (is_nan(a) || is_nan(b)) return from_double(kNaN);
  const int sa = sign_exact(a);
  bool integral = false, odd = false;
  if (!is_inf(b)) {
    const Triple r = mod_two(b);
    odd = std::fabs(r.h) == 1.0 && r.m == 0.0;
    integral = odd || r.h == 0.0;
  }
  const bool a_neg = sa < 0 || (sa == 0 && std::signbit(a.l[0]));
  const double sign = a_neg && odd ? -1.0 : 1.0;
  if (sa == 0) return from_double(sb < 0 ? sign * kInf : sign * 0.0);
  if (is_inf(b)) {
    const int mag = compare_exact(abs_exact(a), from_double(1.0));
    if (mag == 0) return from_double(1.0);
    return from_double((mag > 0) == (sb > 0) ? kInf : 0.0);
  }
  if (is_inf(a)) return from_double(sb > 0 ? sign * kInf : sign * 0.0);
  if (sa < 0 && !integral) return from_double(kNaN);
  const Triple z = triple::mul(log_positive(abs_exact(a)), triple::from_row(b));
  if (z.h > kExpRange) return from_double(sign * kInf);
  if (z.h < -kExpRange) return from_double(sign * 0.0);
  const Triple r = triple::unscale(triple::exp_scaled(z));
  return out(sign < 0.0 ? triple::neg(r) : r);
}

// sqrt(a^2 + b^2) on operands scaled by the binade of the larger, so
// nothing overflows or underflows in between; inf wins over NaN.
LIMBS_HD inline Row hypot(const Row& a, const Row& b) {
  if (is_inf(a) || is_inf(b)) return from_double(kInf);
  if (is_nan(a) || is_nan(b)) return from_double(kNaN);
  const Triple x = triple::abs(triple::from_row(a));
  const Triple y = triple::abs(triple::from_row(b));
  const double big = std::fmax(x.h, y.h);
  if (big == 0.0) return from_double(0.0);
  const int e = std::ilogb(big);
  const Triple xs = triple::scale(x, -e), ys = triple::scale(y, -e);
  return out(triple::scale(triple::sqrt(triple::add(triple::sqr(xs), triple::sqr(ys))), e));
}

// --- Integer and fraction parts -------------------------------------------------

// The integer part of the exact value as trunc(limbs) + j: every limb
// splits exactly into trunc(l) and l - trunc(l); the fractions sum to F in
// (-8, 8), and j is the integer that brings F - j into [0, 1) for x >= 0,
// (-1, 0] for x < 0. Finite a; the fractions are left in `fractions`.
LIMBS_HD inline double whole_shift(const Row& a, triple::Expansion& fractions) {
  for (int k = 0; k < kLimbs; ++k) fractions.add(a.l[k] - std::trunc(a.l[k]));
  const bool negative = sign_exact(a) < 0;
  const double f = fractions.to_triple().h;
  double j = negative ? std::ceil(f) : std::floor(f);
  for (int round = 0; round < 2; ++round) {
    triple::Expansion g = fractions;
    g.add(-j);
    const int s = g.sign();
    if (!negative && s < 0)
      j -= 1.0;
    else if (negative && s > 0)
      j += 1.0;
    else {
      g.add(negative ? 1.0 : -1.0);
      const int t = g.sign();
      if (!negative && t >= 0)
        j += 1.0;
      else if (negative && t <= 0)
        j -= 1.0;
      else
        break;
    }
  }
  return j;
}

LIMBS_HD inline Row trunc(const Row& a) {
  if (is_nan(a) || is_inf(a)) return from_double(a.l[0]);
  triple::Expansion fractions;
  const double j = whole_shift(a, fractions);
  triple::Expansion whole;
  for (int k = 0; k < kLimbs; ++k) whole.add(std::trunc(a.l[k]));
  whole.add(j);
  if (whole.n == 0) return from_double(sign_exact(a) < 0 || std::signbit(a.l[0]) ? -0.0 : 0.0);
  return out(whole.to_triple());
}

LIMBS_HD inline Row frac(const Row& a) {
  if (is_nan(a) || is_inf(a)) return from_double(kNaN);
  triple::Expansion fractions;
  const double j = whole_shift(a, fractions);
  fractions.add(-j);
  return out(fractions.to_triple());
}

// r - q d for the integer row q, exactly: TwoProduct of every limb pair.
LIMBS_HD inline void subtract_product(triple::Expansion& r, const Row& q, const Row& d) {
  for (int i = 0; i < 3; ++i) {
    if (q.l[i] == 0.0) continue;
    for (int k = 0; k < kLimbs; ++k) {
      if (d.l[k] == 0.0) continue;
      double p, e;
      two_product(q.l[i], d.l[k], p, e);
      r.add(-p);
      r.add(-e);
    }
  }
}

// The eight largest components of an expansion as a row (the rest summed
// into the last limb).
LIMBS_HD inline Row expansion_row(const triple::Expansion& e) {
  Row r = zero_row();
  int k = 0;
  for (int i = e.n - 1; i >= 0; --i) {
    if (k < kLimbs - 1 || i == 0) r.l[k] = r.l[k] + e.c[i];
    if (k < kLimbs - 1) ++k;
  }
  return r;
}

// a - trunc(a / b) b with the sign of a (C fmod), exactly while the
// quotient stays below 2^140: the quotient is the truncated triple
// quotient, the remainder is formed from all limbs and moved by |b| while
// it has the wrong sign or is not below |b|. Larger quotients are reduced
// first by multiples b 2^s, 140 bits at a time.
LIMBS_HD inline Row fmod(const Row& a, const Row& b) {
  if (is_nan(a) || is_nan(b) || is_inf(a)) return from_double(kNaN);
  const int sb = sign_exact(b);
  if (sb == 0) return from_double(kNaN);
  if (is_inf(b)) return a;
  const int sa = sign_exact(a);
  if (sa == 0) return signed_zero(a);
  const Row abs_b = sb < 0 ? neg(b) : b;
  const double bh = triple::from_row(abs_b).h;
  if (!std::isfinite(bh)) return from_double(kNaN);  // limbs whose exact sum overflows
  const int eb = std::ilogb(bh);
  Row rem = a;
  for (int round = 0; round < 20; ++round) {
    const Triple tr = triple::from_row(rem);
    if (tr.h == 0.0) break;
    if (!std::isfinite(tr.h)) return from_double(kNaN);
    const int gap = std::ilogb(tr.h) - eb - 140;
    const int shift = gap > 0 ? gap : 0;
    Row d = abs_b;
    for (int k = 0; k < kLimbs; ++k) d.l[k] = std::ldexp(d.l[k], shift);
    const Triple q = triple::div(tr, triple::from_row(d));
    const Row qi = trunc(out(q));
    triple::Expansion r;
    r.add(rem);
    subtract_product(r, qi, d);
    for (int fix = 0; fix < 3; ++fix) {
      if (r.sign() == -sa) {
        r.add(sa > 0 ? d : neg(d));
        continue;
      }
      triple::Expansion t = r;
      if (sa > 0)
        t.sub(d);
      else
        t.add(d);
      if (t.sign() == 0 || t.sign() == sa)
        r = t;
      else
        break;
    }
    rem = expansion_row(r);
    if (shift == 0) break;
  }
  if (sign_exact(rem) == 0) return signed_zero(a);
  return out(triple::from_row(rem));
}

// PyTorch's remainder: fmod, then + b when the non-zero result and b differ
// in sign (the sign of the divisor, as Python's %).
LIMBS_HD inline Row remainder(const Row& a, const Row& b) {
  const Row r = fmod(a, b);
  if (is_nan(r)) return r;
  const int sr = sign_exact(r), sb = sign_exact(b);
  if (sr == 0 || sr == sb) return r;
  if (is_inf(b)) return b;
  triple::Expansion e;
  e.add(r);
  e.add(b);
  return out(e.to_triple());
}

// --- Signs and ordering (exact) ---------------------------------------------------

// x ** 2 as the defined power computes it, and the identity.
LIMBS_HD inline Row square(const Row& a) { return mul(a, a); }
LIMBS_HD inline Row positive(const Row& a) { return a; }

// -1, 0 or 1 on the exact value; NaN stays NaN (+0 for zeros of either sign).
LIMBS_HD inline Row sign(const Row& a) {
  const int s = sign_exact(a);
  if (s == kUnordered) return from_double(kNaN);
  return from_double(static_cast<double>(s));
}

// The argument of a real number, as PyTorch's angle: pi for a negative
// exact value (-inf included), 0 for zeros of either sign and positive
// values, NaN for NaN.
LIMBS_HD inline Row angle(const Row& a) {
  const int s = sign_exact(a);
  if (s == kUnordered) return from_double(kNaN);
  return s < 0 ? out(triple::pi()) : from_double(0.0);
}

LIMBS_HD inline bool signbit(const Row& a) {
  const int s = sign_exact(a);
  if (s == -1) return true;
  if (s == 1) return false;
  return std::signbit(a.l[0]);
}

// The whole row of the larger (smaller) operand, a on ties; NaN wins.
LIMBS_HD inline Row maximum(const Row& a, const Row& b) {
  const int c = compare_exact(a, b);
  if (c == kUnordered) return from_double(kNaN);
  return c >= 0 ? a : b;
}

LIMBS_HD inline Row minimum(const Row& a, const Row& b) {
  const int c = compare_exact(a, b);
  if (c == kUnordered) return from_double(kNaN);
  return c <= 0 ? a : b;
}

// As maximum and minimum, but a NaN operand gives way to the other.
LIMBS_HD inline Row fmax(const Row& a, const Row& b) {
  if (is_nan(a)) return is_nan(b) ? from_double(kNaN) : b;
  if (is_nan(b)) return a;
  return maximum(a, b);
}

LIMBS_HD inline Row fmin(const Row& a, const Row& b) {
  if (is_nan(a)) return is_nan(b) ? from_double(kNaN) : b;
  if (is_nan(b)) return a;
  return minimum(a, b);
}

// |a| with the sign of b (sign bit of limb 0 for a zero or NaN b).
LIMBS_HD inline Row copysign(const Row& a, const Row& b) {
  if (is_nan(a)) return from_double(kNaN);
  const bool negative = signbit(b);
  const int sa = sign_exact(a);
  if (sa == 0) return from_double(negative ? -0.0 : 0.0);
  return (sa < 0) != negative ? neg(a) : a;
}

// Clamp with element bounds: below lo gives lo, then above hi gives hi
// (whole rows); NaN anywhere gives NaN, as torch.clamp with tensors.
LIMBS_HD inline Row clamp_rows(const Row& a, const Row* lo, const Row* hi) {
  if (is_nan(a) || (lo && is_nan(*lo)) || (hi && is_nan(*hi))) return from_double(kNaN);
  Row r = a;
  if (lo && compare_exact(r, *lo) < 0) r = *lo;
  if (hi && compare_exact(r, *hi) > 0) r = *hi;
  return r;
}

// |a - b| <= atol + rtol |b| on the exact difference (equal values,
// infinities included, are always close; NaN only with equal_nan).
LIMBS_HD inline bool isclose(const Row& a, const Row& b, double rtol, double atol, bool equal_nan) {
  if (is_nan(a) || is_nan(b)) return equal_nan && is_nan(a) && is_nan(b);
  if (compare_exact(a, b) == 0) return true;
  if (is_inf(a) || is_inf(b)) return false;
  triple::Expansion d;
  d.add(a);
  d.sub(b);
  const Triple diff = triple::abs(d.to_triple());
  const Triple bound = triple::add(triple::mul(triple::abs(triple::from_row(b)), rtol), atol);
  return triple::sub(bound, diff).h >= 0.0;
}

// --- Sums of logarithms and products ----------------------------------------------

// max + log1p(e^-|a - b|) (base 2: max + log1p(2^-|a - b|) / ln2), the
// difference exact from all limbs.
LIMBS_HD inline Row logaddexp_base(const Row& a, const Row& b, bool base2) {
  if (is_nan(a) || is_nan(b)) return from_double(kNaN);
  // The larger operand where the log term vanishes; -0 + log1p(0) is +0.
  auto larger = [](const Row& r) { return sign_exact(r) == 0 ? from_double(0.0) : r; };
  if (is_inf(a) || is_inf(b)) {
    const double x = a.l[0], y = b.l[0];
    if (x == kInf || y == kInf) return from_double(kInf);
    return is_inf(a) ? (is_inf(b) ? from_double(-kInf) : larger(b)) : larger(a);
  }
  triple::Expansion e;
  e.add(a);
  e.sub(b);
  const Triple d = e.to_triple();
  const Row& top = compare_exact(a, b) >= 0 ? a : b;
  const Triple ad = triple::neg(triple::abs(d));
  if (!(ad.h >= -1100.0)) return larger(top);  // also a difference that overflows
  const Triple t = triple::unscale(base2 ? triple::exp2_scaled(ad) : triple::exp_scaled(ad));
  Triple l = triple::log1p(t);
  if (base2) l = triple::mul(l, triple::inv_ln2());
  return out(triple::add(triple::from_row(top), l));
}

LIMBS_HD inline Row logaddexp(const Row& a, const Row& b) { return logaddexp_base(a, b, false); }
LIMBS_HD inline Row logaddexp2(const Row& a, const Row& b) { return logaddexp_base(a, b, true); }

// x log y; 0 where x is 0 and y is not NaN.
LIMBS_HD inline Row xlogy(const Row& x, const Row& y) {
  if (is_nan(y)) return from_double(kNaN);
  if (is_nan(x)) return from_double(kNaN);
  if (sign_exact(x) == 0) return from_double(0.0);
  Row l;
  if (log_special(y, l)) return from_double(approx(x) * l.l[0]);
  if (is_inf(x)) return from_double(x.l[0] * approx(out(log_positive(y))));
  return out(triple::mul(triple::from_row(x), log_positive(y)));
}

// PyTorch's lerp: start + w (end - start) for |w| < 1/2, else
// end - (end - start)(1 - w); end - start and 1 - w exact. Non-finite
// operands take the same formula in float64.
LIMBS_HD inline Row lerp(const Row& start, const Row& end, const Row& weight) {
  const double w = approx(weight);
  if (is_special(start) || is_special(end) || is_special(weight)) {
    const double s = approx(start), e = approx(end);
    return from_double(std::fabs(w) < 0.5 ? s + w * (e - s) : e - (e - s) * (1.0 - w));
  }
  triple::Expansion d;
  d.add(end);
  d.sub(start);
  const Triple diff = d.to_triple();
  if (std::fabs(w) < 0.5)
    return out(triple::add(triple::from_row(start), triple::mul(triple::from_row(weight), diff)));
  const Triple one_minus = triple::neg(triple::from_row(weight, -1.0));
  return out(triple::sub(triple::from_row(end), triple::mul(diff, one_minus)));
}

// input + value t1 t2 and input + value t1 / t2; non-finite operands (or a
// zero divisor) in float64.
LIMBS_HD inline Row addcmul(const Row& in, const Row& t1, const Row& t2, double value) {
  if (is_special(in) || is_special(t1) || is_special(t2) || !std::isfinite(value))
    return from_double(approx(in) + value * (approx(t1) * approx(t2)));
  const Triple p = triple::mul(triple::mul(triple::from_row(t1), triple::from_row(t2)), value);
  return out(triple::add(triple::from_row(in), p));
}

LIMBS_HD inline Row addcdiv(const Row& in, const Row& t1, const Row& t2, double value) {
  if (is_special(in) || is_special(t1) || is_special(t2) || !std::isfinite(value) ||
      sign_exact(t2) == 0)
    return from_double(approx(in) + value * (approx(t1) / approx(t2)));
  const Triple q = triple::mul(triple::div(triple::from_row(t1), triple::from_row(t2)), value);
  return out(triple::add(triple::from_row(in), q));
}

// --- Scalings and small functions -------------------------------------------------

LIMBS_HD inline Row scaled_by(const Row& a, const Triple& c) {
  if (is_special(a)) return from_double(a.l[0] * c.h);
  const Triple x = triple::from_row(a);
  if (x.h == 0.0) return signed_zero(a);
  return out(triple::mul(x, c));
}

LIMBS_HD inline Row deg2rad(const Row& a) { return scaled_by(a, triple::rad_per_deg()); }
LIMBS_HD inline Row rad2deg(const Row& a) { return scaled_by(a, triple::deg_per_rad()); }

// sin(pi x) / (pi x) with x reduced mod 2 exactly (so integers give exact
// zeros); NaN at infinity.
LIMBS_HD inline Row sinc(const Row& a) {
  if (is_special(a)) return from_double(kNaN);
  const Triple x = triple::from_row(a);
  // Below 2^-80, 1 - (pi x)^2 / 6 is 1 to 2^-155.
  if (std::fabs(x.h) < 0x1p-80) return from_double(1.0);
  const Triple s = triple::sin_pi(mod_two(a));
  if (s.h == 0.0) return from_double(0.0);
  if (std::fabs(x.h) > 0x1p1000) return out(triple::div(triple::div(s, triple::pi()), x));
  return out(triple::div(s, triple::mul(triple::pi(), x)));
}

// NaN, +inf and -inf (limb 0) replaced; every other row kept whole.
LIMBS_HD inline Row nan_to_num(const Row& a, double nan, double posinf, double neginf) {
  if (is_nan(a)) return from_double(nan);
  if (is_inf(a)) return from_double(a.l[0] > 0.0 ? posinf : neginf);
  return a;
}

// --- Full function precision ------------------------------------------------------
// The functions whose defined algorithms limit their precision, computed as
// the accurate kernels are: the same mathematical function (gelu keeps its
// tanh form and constants), within 2^-100 relative.

// pi/2 to about 420 bits: the limbs of pi (each the float64 nearest the rest), halved.
LIMBS_HD inline Row half_pi_row() {
  const double pi[kLimbs] = {3.141592653589793,       1.2246467991473532e-16,
                             -2.9947698097183397e-33, 1.1124542208633653e-49,
                             5.672231979640316e-66,   1.7449862161352486e-83,
                             6.02937273224954e-100,   1.91012354687999e-116};
  Row r;
  for (int k = 0; k < kLimbs; ++k) r.l[k] = 0.5 * pi[k];
  return r;
}

// The bits of 2/pi, 24 at a time: 2/pi = sum of c[j] 2^(-24(j+1)).
LIMBS_HD inline double two_over_pi_chunk(int j) {
  LIMBS_TABLE double c[70] = {
      0xA2F983, 0x6E4E44, 0x1529FC, 0x2757D1, 0xF534DD, 0xC0DB62, 0x95993C, 0x439041, 0xFE5163,
      0xABDEBB, 0xC561B7, 0x246E3A, 0x424DD2, 0xE00649, 0x2EEA09, 0xD1921C, 0xFE1DEB, 0x1CB129,
      0xA73EE8, 0x8235F5, 0x2EBB44, 0x84E99C, 0x7026B4, 0x5F7E41, 0x3991D6, 0x398353, 0x39F49C,
      0x845F8B, 0xBDF928, 0x3B1FF8, 0x97FFDE, 0x05980F, 0xEF2F11, 0x8B5A0A, 0x6D1F6D, 0x367ECF,
      0x27CB09, 0xB74F46, 0x3F669E, 0x5FEA2D, 0x7527BA, 0xC7EBE5, 0xF17B3D, 0x0739F7, 0x8A5292,
      0xEA6BFB, 0x5FB11F, 0x8D5D08, 0x560330, 0x46FC7B, 0x6BABF0, 0xCFBC20, 0x9AF436, 0x1DA9E3,
      0x91615E, 0xE61B08, 0x659985, 0x5F14A0, 0x68408D, 0xFFD880, 0x4D7327, 0x310606, 0x1556CA,
      0x73A8C9, 0x60E27B, 0xC08C6B, 0x47C419, 0xC367CD, 0xDCE809, 0x2A8359};
  return c[j];
}

// Payne and Hanek's reduction for |x| >= 2^250, where the 420 bits of pi run
// out: each limb m 2^(e-52) times the chunks of 2/pi that reach below 4
// (the rest is a multiple of 4 and leaves the quadrant alone), every
// product exact by TwoProduct, reduced mod 4 exactly and summed into one
// expansion. Chunks run to 2^-320, so the fraction keeps its 159 bits even
// next to a multiple of pi/2.
LIMBS_HD inline Triple reduce_half_pi_huge(const Row& a, int& quadrant) {
  triple::Expansion e;
  for (int k = 0; k < kLimbs; ++k) {
    const double x = a.l[k];
    if (x == 0.0) continue;
    const int ex = std::ilogb(x);
    const double m = std::ldexp(x, 52 - ex);
    for (int j = 0; j < 70; ++j) {
      const int p = ex - 52 - 24 * (j + 1);
      if (p >= 2) continue;
      if (p < -320) break;
      double h, l;
      two_product(m, two_over_pi_chunk(j), h, l);
      e.add(std::fmod(std::ldexp(h, p), 4.0));
      e.add(std::fmod(std::ldexp(l, p), 4.0));
    }
  }
  double n = std::nearbyint(e.to_triple().h);
  e.add(-n);
  Triple f = e.to_triple();
  if (std::fabs(f.h) > 0.5) {
    const double step = f.h > 0.0 ? 1.0 : -1.0;
    n += step;
    e.add(-step);
    f = e.to_triple();
  }
  const long long q = static_cast<long long>(std::fmod(n, 4.0));
  quadrant = static_cast<int>((q + 4) % 4);
  return triple::mul(f, triple::half_pi());
}

// x = n pi/2 + r, |r| <= pi/4, n mod 4 in `quadrant` (x finite). x - n pi/2
// is formed exactly (an expansion of the limbs and of n times every limb of
// pi/2), so r keeps 2^-159 relative next to a multiple of pi/2. Beyond 2^52,
// x is first reduced by 2 pi (fmod), exact while the 420 bits of pi last;
// beyond 2^250 by the bits of 2/pi.
LIMBS_HD inline Triple reduce_half_pi(const Row& a, int& quadrant) {
  if (std::fabs(approx(a)) >= 0x1p250) return reduce_half_pi_huge(a, quadrant);
  const Row hp = half_pi_row();
  Row x = a;
  if (std::fabs(approx(x)) >= 0x1p52) {
    Row two_pi = hp;
    for (int k = 0; k < kLimbs; ++k) two_pi.l[k] *= 4.0;
    x = fmod(a, two_pi);
  }
  double n = std::nearbyint(approx(x) / hp.l[0]);
  Triple r = triple::from_row(x);
  for (int attempt = 0; attempt < 3; ++attempt) {
    triple::Expansion e;
    e.add(x);
    subtract_product(e, from_double(n), hp);
    r = e.to_triple();
    // A quotient rounded to the wrong integer leaves |r| near pi/2: one step over.
    if (std::fabs(r.h) <= 0.79) break;
    n += r.h > 0.0 ? 1.0 : -1.0;
  }
  const long long q = static_cast<long long>(std::fmod(n, 4.0));
  quadrant = static_cast<int>((q + 4) % 4);
  return r;
}

LIMBS_HD inline Row sin_triple(const Row& a) {
  if (is_special(a)) return from_double(kNaN);
  if (sign_exact(a) == 0) return signed_zero(a);
  int q;
  const Triple r = reduce_half_pi(a, q);
  const Triple v = q % 2 ? triple::cos_reduced(r) : triple::sin_reduced(r);
  return out(q >= 2 ? triple::neg(v) : v);
}

LIMBS_HD inline Row sin_full(const Row& a) {
  bool slow;
  const Row fast = lanes_math::sin_row(a, 0.0, slow);
  return slow ? sin_triple(a) : fast;
}

LIMBS_HD inline Row cos_triple(const Row& a) {
  if (is_special(a)) return from_double(kNaN);
  int q;
  const Triple r = reduce_half_pi(a, q);
  const Triple v = q % 2 ? triple::sin_reduced(r) : triple::cos_reduced(r);
  return out(q == 1 || q == 2 ? triple::neg(v) : v);
}

LIMBS_HD inline Row cos_full(const Row& a) {
  bool slow;
  const Row fast = lanes_math::sin_row(a, 32.0, slow);
  return slow ? cos_triple(a) : fast;
}

LIMBS_HD inline Row tan_triple(const Row& a) {
  if (is_special(a)) return from_double(kNaN);
  if (sign_exact(a) == 0) return signed_zero(a);
  int q;
  const Triple r = reduce_half_pi(a, q);
  const Triple s = triple::sin_reduced(r), c = triple::cos_reduced(r);
  return out(q % 2 ? triple::neg(triple::div(c, s)) : triple::div(s, c));
}

LIMBS_HD inline Row tan_full(const Row& a) {
  bool slow;
  const Row fast = lanes_math::tan_row(a, slow);
  return slow ? tan_triple(a) : fast;
}

// e^x of a triple: 1 + expm1 near 0, 2^k m otherwise, inf and 0 beyond the range.
LIMBS_HD inline Triple exp_of(const Triple& x) {
  if (x.h > kExpRange) return triple::of(kInf);
  if (x.h < -kExpRange) return triple::of(0.0);
  if (std::fabs(x.h) < 0.34) return triple::add(triple::expm1_reduced(x), 1.0);
  return triple::unscale(triple::exp_scaled(x));
}

LIMBS_HD inline Row exp_triple(const Row& a) {
  if (is_nan(a)) return from_double(kNaN);
  if (is_inf(a)) return from_double(a.l[0] > 0.0 ? kInf : 0.0);
  return out(exp_of(triple::from_row(a)));
}

LIMBS_HD inline Row exp_full(const Row& a) {
  bool slow;
  const Row fast = lanes_math::exp_row(a, slow);
  return slow ? exp_triple(a) : fast;
}

// log x, with x - 1 formed exactly near 1.
LIMBS_HD inline Row log_triple(const Row& a) {
  if (is_nan(a) || a.l[0] == -kInf) return from_double(kNaN);
  if (is_inf(a)) return from_double(kInf);
  const int s = sign_exact(a);
  if (s == 0) return from_double(-kInf);
  if (s < 0) return from_double(kNaN);
  const Triple d = triple::from_row(a, -1.0);
  if (d.h == 0.0) return from_double(0.0);
  if (d.h > -0.29 && d.h < 0.41) return out(triple::log1p_reduced(d));
  return out(triple::log(triple::from_row(a)));
}

LIMBS_HD inline Row log_full(const Row& a) {
  bool slow;
  const Row fast = lanes_math::log_row(a, slow);
  return slow ? log_triple(a) : fast;
}

// tanh |x| = t / (t + 2), t = e^(2|x|) - 1 (no cancellation); above 60 it is 1
// to 2^-170.
LIMBS_HD inline Row tanh_triple(const Row& a) {
  if (is_nan(a)) return from_double(kNaN);
  if (is_inf(a)) return from_double(a.l[0] > 0.0 ? 1.0 : -1.0);
  const Triple x = triple::from_row(a);
  if (x.h == 0.0) return signed_zero(a);
  const Triple u = triple::mul(triple::abs(x), 2.0);
  Triple r = triple::of(1.0);
  if (u.h < 120.0) {
    const Triple t = u.h < 0.34 ? triple::expm1_reduced(u) : triple::add(exp_of(u), -1.0);
    r = triple::div(t, triple::add(t, 2.0));
  }
  return out(x.h < 0.0 ? triple::neg(r) : r);
}

LIMBS_HD inline Row tanh_full(const Row& a) {
  bool slow;
  const Row fast = lanes_math::tanh_row(a, slow);
  return slow ? tanh_triple(a) : fast;
}

// 1 / (1 + e^-x), as e^x / (1 + e^x) for x < 0: the exponential never overflows.
LIMBS_HD inline Triple sigmoid_of(const Triple& x) {
  if (x.h >= 0.0) return triple::div(triple::of(1.0), triple::add(exp_of(triple::neg(x)), 1.0));
  const Triple e = exp_of(x);
  return triple::div(e, triple::add(e, 1.0));
}

LIMBS_HD inline Row sigmoid_full(const Row& a) {
  bool slow;
  const Row fast = lanes_math::sigmoid_row(a, slow);
  if (!slow) return fast;
  if (is_nan(a)) return from_double(kNaN);
  if (is_inf(a)) return from_double(a.l[0] > 0.0 ? 1.0 : 0.0);
  return out(sigmoid_of(triple::from_row(a)));
}

// An underflowed product keeps the sign of x (-0.0 far left, as PyTorch's).
LIMBS_HD inline Row signed_product(const Triple& x, const Triple& p) {
  const Triple r = triple::mul(x, p);
  return r.h == 0.0 ? from_double(std::copysign(0.0, x.h)) : out(r);
}

// -inf gives NaN (-inf times 0), as PyTorch's.
LIMBS_HD inline Row silu_full(const Row& a) {
  bool slow;
  const Row fast = lanes_math::silu_row(a, slow);
  if (!slow) return fast;
  if (is_nan(a)) return from_double(kNaN);
  if (is_inf(a)) return from_double(a.l[0] > 0.0 ? kInf : kNaN);
  const Triple x = triple::from_row(a);
  if (x.h == 0.0) return signed_zero(a);
  return signed_product(x, sigmoid_of(x));
}

// The defined gelu's function, 0.5 x (1 + tanh(z)) with z = c (x + k x^3) and
// its float64 constants, as x sigmoid(2 z): no cancellation for x < 0.
LIMBS_HD inline Row gelu_full(const Row& a) {
  bool slow;
  const Row fast = lanes_math::gelu_row(a, slow);
  if (!slow) return fast;
  constexpr double kC = 0.7978845608028654, kK = 0.044715;
  if (is_nan(a)) return from_double(kNaN);
  if (is_inf(a)) return from_double(a.l[0] > 0.0 ? kInf : kNaN);
  const Triple x = triple::from_row(a);
  if (x.h == 0.0) return signed_zero(a);
  if (std::fabs(x.h) > 1e100) return x.h > 0.0 ? a : from_double(-0.0);
  const Triple z = triple::mul(triple::add(x, triple::mul(triple::mul(triple::sqr(x), x), kK)), kC);
  return signed_product(x, sigmoid_of(triple::mul(z, 2.0)));
}

}  // namespace math
}  // namespace limbs
