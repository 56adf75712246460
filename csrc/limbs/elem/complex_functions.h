// Complex element functions on pairs of expansions (real, imaginary), each
// component within 2^-100 relative. Products and quotients use the exact
// formulas in limb arithmetic (no three-multiplication trick). The real
// functions inside are the triple-double paths of accurate_functions.h
// (about 150 bits), so the cancellation a formula cannot avoid near a zero of
// a component still leaves 2^-100; the results are reproducible bit for bit
// and independent of the function-precision setting.
//
// Special values: an operand with an infinite or NaN component takes the
// float64 result of the C library (C99 Annex G, as PyTorch does), with a
// finite nonzero component (a multiple of pi/4) replaced by the same multiple
// of pi to full precision. Algorithms: Kahan's for sqrt and tanh ("Branch
// cuts for complex elementary functions", 1987); Hull, Fairgrieve and Tang's
// for asin and acos (ACM TOMS 23, 1997).
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>

#include "limbs/elem/accurate_functions.h"
#include "limbs/elem/defined.h"

namespace limbs {
namespace cmath {

using math::is_inf;
using math::is_nan;
using triple::Triple;

struct Complex {
  Row re, im;
};

inline Complex make(const Row& re, const Row& im) { return {re, im}; }
inline Complex make(double re, double im) { return {from_double(re), from_double(im)}; }

inline bool finite(const Complex& z) {
  return std::isfinite(z.re.l[0]) && std::isfinite(z.im.l[0]);
}
inline bool is_zero(const Row& a) { return a.l[0] == 0.0; }
inline bool negative(const Row& a) { return std::signbit(a.l[0]); }
inline Row abs_row(const Row& a) { return negative(a) ? neg(a) : a; }
inline Row scale(const Row& a, int e) { return mul_scalar(a, std::ldexp(1.0, e)); }
// a 2^e for e beyond one float64 power of two (a quotient of scaled operands).
inline Row scale2(const Row& a, int e) {
  const int h = e / 2;
  return scale(scale(a, h), e - h);
}
inline Row half(const Row& a) { return mul_scalar(a, 0.5); }
inline Row constant(const Triple& t) { return triple::to_row(t); }
// Quotients and roots inside the functions at the triple-double precision
// (about 150 bits), so cancellation that follows keeps 2^-100.
inline Row tdiv(const Row& a, const Row& b) {
  const Triple r = triple::div(triple::from_row(a), triple::from_row(b));
  return r.h == 0.0 ? from_double(a.l[0] / b.l[0]) : triple::to_row(r);
}
inline Row tsqrt(const Row& a) { return triple::to_row(triple::sqrt(triple::from_row(a))); }
// Zeros keep IEEE's signs (the triples drop them), which C99's special
// values rest on.
inline Row tmul(const Row& a, const Row& b) {
  const Triple r = triple::mul(triple::from_row(a), triple::from_row(b));
  return r.h == 0.0 ? from_double(a.l[0] * b.l[0]) : triple::to_row(r);
}
inline Row tadd(const Row& a, const Row& b) {
  if (a.l[0] == 0.0 && b.l[0] == 0.0) return from_double(a.l[0] + b.l[0]);
  return triple::to_row(triple::add(triple::from_row(a), triple::from_row(b)));
}
inline Row tsub(const Row& a, const Row& b) {
  if (a.l[0] == 0.0 && b.l[0] == 0.0) return from_double(a.l[0] - b.l[0]);
  return triple::to_row(triple::sub(triple::from_row(a), triple::from_row(b)));
}

// A multiple of pi/4 in float64 (what the C library returns for an infinite
// operand) as the same multiple to full precision; other values unchanged.
inline Row exact_special(double v) {
  constexpr double kQuarterPi = 0.7853981633974483;
  if (!std::isfinite(v) || v == 0.0 || v == 1.0 || v == -1.0) return from_double(v);
  const double n = std::nearbyint(v / kQuarterPi);
  if (n != 0.0 && std::fabs(n) <= 4.0 && v == n * kQuarterPi)
    return constant(triple::mul(triple::scale(triple::pi(), -2), n));
  return from_double(v);
}

inline Complex from_std(const std::complex<double>& c) {
  return {exact_special(c.real()), exact_special(c.imag())};
}
inline std::complex<double> to_std(const Complex& z) { return {z.re.l[0], z.im.l[0]}; }

// --- Arithmetic ----------------------------------------------------------------

inline Complex add(const Complex& a, const Complex& b) {
  return {limbs::add(a.re, b.re), limbs::add(a.im, b.im)};
}
inline Complex sub(const Complex& a, const Complex& b) {
  return {limbs::sub(a.re, b.re), limbs::sub(a.im, b.im)};
}
inline Complex neg(const Complex& a) { return {limbs::neg(a.re), limbs::neg(a.im)}; }
inline Complex conj(const Complex& a) { return {a.re, limbs::neg(a.im)}; }
// -i z and i z.
inline Complex times_minus_i(const Complex& z) { return {z.im, limbs::neg(z.re)}; }
inline Complex times_i(const Complex& z) { return {limbs::neg(z.im), z.re}; }

// (a + bi)(c + di) = (ac - bd) + (ad + bc)i, as PyTorch's kernels form it.
inline Complex mul(const Complex& a, const Complex& b) {
  return {limbs::sub(limbs::mul(a.re, b.re), limbs::mul(a.im, b.im)),
          limbs::add(limbs::mul(a.re, b.im), limbs::mul(a.im, b.re))};
}
inline Complex mul_real(const Complex& a, const Row& r) {
  return {limbs::mul(a.re, r), limbs::mul(a.im, r)};
}

// Binade of the larger component of a finite nonzero z.
inline int binade(const Row& a, const Row& b) {
  return std::ilogb(std::fmax(std::fabs(a.l[0]), std::fabs(b.l[0])));
}

// (a + bi) / (c + di): both scaled by powers of two to their larger
// component, so c'^2 + d'^2 lies in [1, 8), nothing overflows before the last
// scaling and no lower limb of a tiny operand is lost to the subnormals.
inline Complex div(const Complex& a, const Complex& b) {
  if (!finite(a) || !finite(b) || (is_zero(b.re) && is_zero(b.im)))
    return from_std(to_std(a) / to_std(b));
  if (is_zero(a.re) && is_zero(a.im)) return from_std(to_std(a) / to_std(b));
  const int e = binade(b.re, b.im), f = binade(a.re, a.im);
  const Row c = scale(b.re, -e), d = scale(b.im, -e);
  const Row x = scale(a.re, -f), y = scale(a.im, -f);
  const Row den = limbs::add(limbs::mul(c, c), limbs::mul(d, d));
  const Row re = limbs::add(limbs::mul(x, c), limbs::mul(y, d));
  const Row im = limbs::sub(limbs::mul(y, c), limbs::mul(x, d));
  return {scale2(limbs::div(re, den), f - e), scale2(limbs::div(im, den), f - e)};
}

inline Row squared_modulus_scaled(const Complex& z, int e) {
  const Row x = scale(z.re, -e), y = scale(z.im, -e);
  return tadd(tmul(x, x), tmul(y, y));
}

// The quotient inside a function: div's scaling, triple-double steps.
inline Complex tdiv_c(const Complex& a, const Complex& b) {
  if (!finite(a) || !finite(b) || (is_zero(b.re) && is_zero(b.im)) ||
      (is_zero(a.re) && is_zero(a.im)))
    return from_std(to_std(a) / to_std(b));
  const int e = binade(b.re, b.im), f = binade(a.re, a.im);
  const Row c = scale(b.re, -e), d = scale(b.im, -e);
  const Row x = scale(a.re, -f), y = scale(a.im, -f);
  const Row den = tadd(tmul(c, c), tmul(d, d));
  const Row re = tadd(tmul(x, c), tmul(y, d));
  const Row im = tsub(tmul(y, c), tmul(x, d));
  return {scale2(tdiv(re, den), f - e), scale2(tdiv(im, den), f - e)};
}

inline Complex reciprocal(const Complex& z) { return tdiv_c(make(1.0, 0.0), z); }

inline Row abs(const Complex& z) { return math::hypot(z.re, z.im); }
inline Row angle(const Complex& z) { return math::atan2_triple(z.im, z.re); }

// z / |z|, 0 for 0 (PyTorch's sgn).
inline Complex sgn(const Complex& z) {
  if (is_zero(z.re) && is_zero(z.im)) return make(0.0, 0.0);
  if (!finite(z)) {
    const std::complex<double> c = to_std(z);
    return from_std(c / std::abs(c));
  }
  const int e = binade(z.re, z.im);
  const Complex w = {scale(z.re, -e), scale(z.im, -e)};
  const Row r = abs(w);
  return {tdiv(w.re, r), tdiv(w.im, r)};
}

// --- Exponential and logarithms --------------------------------------------------

// e^x (cos y + i sin y); above x = 709 e^x is applied as e^(x/2) twice, so a
// product that fits is not lost to an overflowing factor.
inline Complex exp(const Complex& z) {
  if (!finite(z)) return from_std(std::exp(to_std(z)));
  if (is_zero(z.im)) return {math::exp_triple(z.re), z.im};
  const Row c = math::cos_triple(z.im), s = math::sin_triple(z.im);
  if (approx(z.re) <= 709.0) {
    const Row m = math::exp_triple(z.re);
    return {tmul(m, c), tmul(m, s)};
  }
  const Row m = math::exp_triple(half(z.re));
  return {tmul(tmul(m, c), m), tmul(tmul(m, s), m)};
}

// c + x^2 + y^2 exactly (TwoProduct of every pair of limbs, the larger
// pairs first), rounded once: near the unit circle the sum cancels far
// below the squares, past what triple-double products keep. The smallest
// pairs of eight-limb rows are dropped before the expansion could fill.
inline Row squares_plus(const Row& c, const Row& x, const Row& y) {
  triple::Expansion e;
  e.add(c);
  for (int s = 0; s <= 2 * (kLimbs - 1); ++s)
    for (const Row* r : {&x, &y})
      for (int i = 0; i < kLimbs; ++i) {
        const int k = s - i;
        if (k < 0 || k >= kLimbs || r->l[i] == 0.0 || r->l[k] == 0.0) continue;
        if (e.n > triple::Expansion::kCapacity - 2) return triple::to_row(e.to_triple());
        double p, q;
        two_product(r->l[i], r->l[k], p, q);
        e.add(p);
        e.add(q);
      }
  return triple::to_row(e.to_triple());
}

// log|z|: near the unit circle as log1p(x^2 + y^2 - 1) / 2, the argument
// formed exactly.
inline Row log_modulus(const Complex& z) {
  const Row x = abs_row(z.re), y = abs_row(z.im);
  const bool x_big = compare_exact(x, y) >= 0;
  const Row big = x_big ? x : y, small = x_big ? y : x;
  const double b = approx(big);
  if (b > 0.5 && b < 2.0 && approx(small) < 1.0)
    return half(math::log1p_triple(squares_plus(from_double(-1.0), x, y)));
  const int e = binade(z.re, z.im);
  const Row r2 = squared_modulus_scaled(z, e);
  Row l = half(math::log_triple(r2));
  if (e != 0) l = tadd(l, constant(triple::mul(triple::ln2(), static_cast<double>(e))));
  return l;
}

inline Complex log(const Complex& z) {
  if (!finite(z) || (is_zero(z.re) && is_zero(z.im))) return from_std(std::log(to_std(z)));
  return {log_modulus(z), angle(z)};
}

inline Complex log_scaled(const Complex& z, const Triple& k) {
  const Complex l = log(z);
  const Row c = constant(k);
  return {tmul(l.re, c), tmul(l.im, c)};
}
inline Complex log2(const Complex& z) {
  if (!finite(z) || (is_zero(z.re) && is_zero(z.im)))
    return from_std(std::log(to_std(z)) / std::log(2.0));
  return log_scaled(z, triple::inv_ln2());
}
inline Complex log10(const Complex& z) {
  if (!finite(z) || (is_zero(z.re) && is_zero(z.im))) return from_std(std::log10(to_std(z)));
  return log_scaled(z, triple::inv_ln10());
}

// log(1 + z): where |1 + z| is near 1 (small z included) through
// log1p(2x + x^2 + y^2) / 2, its argument formed exactly (1 + x rounded
// first would leave 2^-160 against a sum that cancels further); elsewhere
// log of 1 + z formed in limbs.
inline Complex log1p(const Complex& z) {
  if (!finite(z)) return from_std(std::log(1.0 + to_std(z)));
  const Row one = from_double(1.0);
  const Row xp1 = tadd(z.re, one);
  const double a = std::fabs(approx(xp1)), b = std::fabs(approx(z.im));
  const bool small = std::fabs(approx(z.re)) < 0.5 && b < 0.5;
  const bool circle = std::max(a, b) > 0.5 && std::max(a, b) < 2.0 && std::min(a, b) < 1.0;
  if (small || circle) {
    const Row t = squares_plus(mul_scalar(z.re, 2.0), z.re, z.im);
    return {half(math::log1p_triple(t)), math::atan2_triple(z.im, xp1)};
  }
  return log(make(xp1, z.im));
}

// e^z - 1: the real part as expm1(x) cos y - 2 sin^2(y/2), without the
// cancellation of e^x cos y - 1 near 0.
inline Complex expm1(const Complex& z) {
  if (!finite(z)) return from_std(std::exp(to_std(z)) - 1.0);
  if (std::fabs(approx(z.re)) > 1.0) {
    const Complex e = exp(z);
    return {tsub(e.re, from_double(1.0)), e.im};
  }
  const Row em1 = math::expm1_triple(z.re);
  const Row s2 = math::sin_triple(half(z.im));
  const Row re = tsub(tmul(em1, math::cos_triple(z.im)), mul_scalar(tmul(s2, s2), 2.0));
  const Row im = tmul(math::exp_triple(z.re), math::sin_triple(z.im));
  return {re, im};
}

// --- Roots and powers --------------------------------------------------------------

// Kahan: t = sqrt((|x| + |z|) / 2); for x >= 0 the root is t + i y/(2t),
// otherwise |y|/(2t) + i copysign(t, y). Operands scaled by an even power of
// two keep |x| + |z| finite.
inline Complex sqrt(const Complex& z) {
  if (!finite(z)) return from_std(std::sqrt(to_std(z)));
  if (is_zero(z.re) && is_zero(z.im)) return {from_double(0.0), z.im};
  int e = binade(z.re, z.im);
  e -= e & 1;
  const Complex s = {scale(z.re, -e), scale(z.im, -e)};
  const Row ts = tsqrt(half(tadd(abs_row(s.re), abs(s))));
  const Row t = scale(ts, e / 2);
  // The other part from the scaled operands, unless y underflowed there.
  const Row q =
      is_zero(s.im) ? tdiv(half(abs_row(z.im)), t) : scale(tdiv(half(abs_row(s.im)), ts), e / 2);
  if (!negative(z.re) || is_zero(z.re)) return {t, negative(z.im) ? limbs::neg(q) : q};
  return {q, negative(z.im) ? limbs::neg(t) : t};
}

inline Complex rsqrt(const Complex& z) {
  if (is_zero(z.re) && is_zero(z.im)) return from_std(1.0 / std::sqrt(to_std(z)));
  return reciprocal(sqrt(z));
}

// A complex product inside a function, at the triple-double precision.
inline Complex tmul_c(const Complex& a, const Complex& b) {
  return {tsub(tmul(a.re, b.re), tmul(a.im, b.im)), tadd(tmul(a.re, b.im), tmul(a.im, b.re))};
}

// Small integer powers by repeated squaring (as accurate as the products);
// other exponents as e^(w log z). A negative power inverts the base first:
// z^|n| itself may lie below the normal range (its lower limbs lost) where
// the result does not.
inline Complex pow_int(Complex z, long long n) {
  unsigned long long m = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : n;
  if (n < 0) z = reciprocal(z);
  Complex r = make(1.0, 0.0);
  while (m) {
    if (m & 1) r = tmul_c(r, z);
    m >>= 1;
    if (m) z = tmul_c(z, z);
  }
  return r;
}

// A real power of a base left of the imaginary axis: its angle w (pi - b)
// is taken as n pi + (f pi - w b) with w = n + f, n an integer, so a
// sine near a multiple of pi keeps its bits (w pi formed at once leaves
// 2^-150 of w pi against sin(f pi) where f is tiny).
inline Complex pow_negative_base(const Complex& z, const Row& w) {
  const double n = std::nearbyint(w.l[0]);
  const Row f = tsub(w, from_double(n));
  const Row b = math::atan2_triple(abs_row(z.im), limbs::neg(z.re));
  const Row phi = tsub(tmul(f, constant(triple::pi())), tmul(w, b));
  const Row lr = tmul(w, log_modulus(z));
  const Row cp = math::cos_triple(phi), sp = math::sin_triple(phi);
  Row c, s;
  if (approx(lr) <= 709.0) {
    const Row r = math::exp_triple(lr);
    c = tmul(r, cp);
    s = tmul(r, sp);
  } else {  // e^lr overflows where |cos| or |sin| below 1 brings it back
    const Row m = math::exp_triple(half(lr));
    c = tmul(tmul(m, cp), m);
    s = tmul(tmul(m, sp), m);
  }
  if (std::fmod(n, 2.0) != 0.0) {
    c = limbs::neg(c);
    s = limbs::neg(s);
  }
  return {c, negative(z.im) ? limbs::neg(s) : s};
}

inline Complex pow(const Complex& z, const Complex& w) {
  if (!finite(z) || !finite(w)) return from_std(std::pow(to_std(z), to_std(w)));
  if (is_zero(w.re) && is_zero(w.im)) return make(1.0, 0.0);
  if (is_zero(z.re) && is_zero(z.im)) {
    if (is_zero(w.im) && approx(w.re) > 0.0) return make(0.0, 0.0);
    return from_std(std::pow(to_std(z), to_std(w)));
  }
  if (is_zero(w.im) && w.re.l[1] == 0.0) {
    const double n = w.re.l[0];
    if (n == std::trunc(n) && std::fabs(n) <= 64.0) return pow_int(z, static_cast<long long>(n));
  }
  if (is_zero(w.im) && negative(z.re)) return pow_negative_base(z, w.re);
  return exp(tmul_c(w, log(z)));
}

// --- Trigonometric and hyperbolic ------------------------------------------------------

inline Complex sinh(const Complex& z) {
  if (!finite(z)) return from_std(std::sinh(to_std(z)));
  if (is_zero(z.im)) return {math::sinh_triple(z.re), z.im};
  return {tmul(math::sinh_triple(z.re), math::cos_triple(z.im)),
          tmul(math::cosh_triple(z.re), math::sin_triple(z.im))};
}

inline Complex cosh(const Complex& z) {
  if (!finite(z)) return from_std(std::cosh(to_std(z)));
  if (is_zero(z.im)) {
    const Row zero = negative(z.re) ? limbs::neg(z.im) : z.im;
    return {math::cosh_triple(z.re), zero};
  }
  return {tmul(math::cosh_triple(z.re), math::cos_triple(z.im)),
          tmul(math::sinh_triple(z.re), math::sin_triple(z.im))};
}

// sin z = -i sinh(iz), cos z = cosh(iz).
inline Complex sin(const Complex& z) { return times_minus_i(sinh(times_i(z))); }
inline Complex cos(const Complex& z) { return cosh(times_i(z)); }

// Kahan: with t = tan y, b = 1 + t^2, s = sinh x, r = cosh x,
// tanh z = (b r s + i t) / (1 + b s^2); beyond |x| = 300 the real part is
// +-1 (within e^-600) and the imaginary part 4 sin y cos y e^(-2|x|).
inline Complex tanh(const Complex& z) {
  if (!finite(z)) return from_std(std::tanh(to_std(z)));
  if (is_zero(z.im)) return {math::tanh_triple(z.re), z.im};
  if (std::fabs(approx(z.re)) > 300.0) {
    const Row one = from_double(negative(z.re) ? -1.0 : 1.0);
    const Row e = math::exp_triple(mul_scalar(abs_row(z.re), -2.0));
    const Row im = mul_scalar(tmul(tmul(math::sin_triple(z.im), math::cos_triple(z.im)), e), 4.0);
    return {one, im};
  }
  const Row t = math::tan_triple(z.im);
  const Row b = tadd(from_double(1.0), tmul(t, t));
  const Row s = math::sinh_triple(z.re);
  const Row r = math::cosh_triple(z.re);
  const Row den = tadd(from_double(1.0), tmul(b, tmul(s, s)));
  return {tdiv(tmul(tmul(b, r), s), den), tdiv(t, den)};
}

// tan z = -i tanh(iz).
inline Complex tan(const Complex& z) { return times_minus_i(tanh(times_i(z))); }

// --- Inverse functions -------------------------------------------------------------

// Hull, Fairgrieve and Tang: with r = |z + 1|, s = |z - 1|, A = (r + s)/2,
// B = x/A, for x, y >= 0. Re asin = asin(B) (or an atan form near B = 1), and
// Im asin = log(A + sqrt(A^2 - 1)) with A - 1 formed without cancellation
// near the real segment. acos shares the parts.
struct InverseParts {
  Row re_asin, re_acos, im;
};

inline InverseParts inverse_parts(const Row& x, const Row& y) {
  const Row one = from_double(1.0);
  const Row xp1 = tadd(x, one), xm1 = tsub(x, one);
  const Row r = math::hypot(xp1, y), s = math::hypot(xm1, y);
  const Row a = half(tadd(r, s));
  const Row b = tdiv(x, a);
  const Row y2 = tmul(y, y);
  const bool x_below_one = compare_exact(x, one) < 0;
  // (A + x)/2 and A - 1 without cancellation.
  const Row rx = tadd(r, xp1);
  Row am1;
  if (x_below_one)
    am1 = half(tadd(tdiv(y2, rx), tdiv(y2, tadd(s, tsub(one, x)))));
  else
    am1 = half(tadd(tdiv(y2, rx), tadd(s, xm1)));
  InverseParts p;
  const Row ap = tadd(a, x);
  if (approx(b) <= 0.6417) {
    p.re_asin = math::asin_triple(b);
    p.re_acos = math::acos_triple(b);
  } else if (x_below_one) {
    const Row d = tsqrt(half(tmul(ap, tadd(tdiv(y2, rx), tadd(s, tsub(one, x))))));
    p.re_asin = math::atan_triple(tdiv(x, d));
    p.re_acos = math::atan_triple(tdiv(d, x));
  } else {
    const Row d = tmul(y, tsqrt(half(tadd(tdiv(ap, rx), tdiv(ap, tadd(s, xm1))))));
    p.re_asin = math::atan_triple(tdiv(x, d));
    p.re_acos = math::atan_triple(tdiv(d, x));
  }
  if (x_below_one && approx(y) < 0x1p-300)
    // (A - 1) would underflow: Im asin = y / sqrt(1 - x^2) within y^2.
    p.im = tdiv(y, tsqrt(tmul(tsub(one, x), xp1)));
  else if (approx(a) <= 1.5)
    p.im = math::log1p_triple(tadd(am1, tsqrt(tmul(am1, tadd(a, one)))));
  else
    p.im = math::log_triple(tadd(a, tsqrt(tmul(tsub(a, one), tadd(a, one)))));
  return p;
}

// Beyond 2^500 A = |z| (within 2^-1000) and the parts come from log|z| + log 2
// and atan2; the formulas above would overflow in r and s.
inline bool huge(const Complex& z) {
  return std::fmax(std::fabs(z.re.l[0]), std::fabs(z.im.l[0])) > 0x1p500;
}

inline Complex asin(const Complex& z) {
  if (!finite(z)) return from_std(std::asin(to_std(z)));
  const Row x = abs_row(z.re), y = abs_row(z.im);
  Row re, im;
  if (huge(z)) {
    re = math::atan2_triple(x, y);
    im = tadd(log_modulus(make(x, y)), constant(triple::ln2()));
  } else if (is_zero(y) && compare_exact(x, from_double(1.0)) <= 0) {
    re = math::asin_triple(x);
    im = from_double(0.0);
  } else {
    const InverseParts p = inverse_parts(x, y);
    re = p.re_asin;
    im = p.im;
  }
  return {negative(z.re) ? limbs::neg(re) : re, negative(z.im) ? limbs::neg(im) : im};
}

inline Complex acos(const Complex& z) {
  if (!finite(z)) return from_std(std::acos(to_std(z)));
  const Row x = abs_row(z.re), y = abs_row(z.im);
  Row re, im;
  if (huge(z)) {
    re = math::atan2_triple(y, x);
    im = tadd(log_modulus(make(x, y)), constant(triple::ln2()));
  } else if (is_zero(y) && compare_exact(x, from_double(1.0)) <= 0) {
    re = math::acos_triple(x);
    im = from_double(0.0);
  } else {
    const InverseParts p = inverse_parts(x, y);
    re = p.re_acos;
    im = p.im;
  }
  if (negative(z.re)) re = tsub(constant(triple::pi()), re);
  // acos(z) = re - i sign(y) im.
  return {re, negative(z.im) ? im : limbs::neg(im)};
}

// asinh z = -i asin(iz); acosh z = i acos(z) or -i acos(z), whichever has a
// non-negative real part (C99's sign of zero from the imaginary part).
inline Complex asinh(const Complex& z) { return times_minus_i(asin(times_i(z))); }

inline Complex acosh(const Complex& z) {
  if (!finite(z)) return from_std(std::acosh(to_std(z)));
  const Complex w = acos(z);
  // i (a + ib) = -b + ia; the branch with Re >= 0 and Im of the sign of y.
  const Row re = abs_row(w.im);
  const Row im = negative(z.im) ? limbs::neg(abs_row(w.re)) : abs_row(w.re);
  return {re, im};
}

// atanh z = log1p(4x / ((1 - x)^2 + y^2)) / 4 + i atan2(2y, (1 - x)(1 + x) - y^2) / 2;
// beyond 2^500 it is 1/z + i pi/2 sign(y) (within 2^-1000).
inline Complex atanh(const Complex& z) {
  if (!finite(z)) return from_std(std::atanh(to_std(z)));
  const Row one = from_double(1.0);
  if (huge(z)) {
    const Complex r = reciprocal(z);
    const Row hp = constant(triple::half_pi());
    const Row re = is_zero(r.re) ? from_double(std::copysign(0.0, z.re.l[0])) : r.re;
    return {re, negative(z.im) ? limbs::neg(hp) : hp};
  }
  if (is_zero(z.im)) {
    const int c = compare_exact(abs_row(z.re), one);
    if (c < 0) return {math::atanh_triple(z.re), z.im};
    if (c == 0) return from_std(std::atanh(to_std(z)));
  }
  const Row omx = tsub(one, z.re);
  const Row y2 = tmul(z.im, z.im);
  const Row den = tadd(tmul(omx, omx), y2);
  // log1p(4x / den) cancels where 4x / den nears -1: there the quotient of
  // |1 + z|^2 and |1 - z|^2, both free of cancellation.
  const Row t = tdiv(mul_scalar(z.re, 4.0), den);
  Row l;
  if (std::fabs(approx(t)) <= 0.5) {
    l = math::log1p_triple(t);
  } else {
    // Through log|1 + z| - log|1 - z|, which scale: the squares may underflow.
    l = mul_scalar(tsub(log_modulus(make(tadd(one, z.re), z.im)), log_modulus(make(omx, z.im))),
                   2.0);
  }
  const Row re = mul_scalar(l, 0.25);
  const Row d = tsub(tmul(omx, tadd(one, z.re)), y2);
  // On the cut (y = 0, |x| > 1) the sign of the zero picks the side.
  const Row im = half(math::atan2_triple(mul_scalar(z.im, 2.0), d));
  return {re, im};
}

// atan z = -i atanh(iz).
inline Complex atan(const Complex& z) { return times_minus_i(atanh(times_i(z))); }

// (1 + tanh(z/2)) / 2, which has no cancellation at the poles z = i pi (2k + 1)
// where 1 + e^-z does; below x = -1, where tanh nears -1, e^z / (1 + e^z).
inline Complex sigmoid(const Complex& z) {
  if (!finite(z)) return from_std(1.0 / (1.0 + std::exp(-to_std(z))));
  if (approx(z.re) < -1.0) {
    const Complex e = exp(z);
    return tdiv_c(e, {tadd(from_double(1.0), e.re), e.im});
  }
  const Complex t = tanh({half(z.re), half(z.im)});
  return {half(tadd(from_double(1.0), t.re)), half(t.im)};
}

}  // namespace cmath
}  // namespace limbs
