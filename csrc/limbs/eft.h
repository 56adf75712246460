// Error-free transformations on float64: the building blocks of every limb
// operation. No ATen, no Python; compile with -ffp-contract=off so that no
// multiply-add is ever fused (the results are defined bit for bit).
#pragma once

#include <cmath>

#ifndef LIMBS_HD
#define LIMBS_HD
#endif

// For the small per-limb steps that the iterative functions call thousands
// of times per element. In a large translation unit GCC runs out of inlining
// budget and calls them out of line, passing 64-byte rows through memory:
// reciprocal, exp and sqrt then run 2-3x slower. Inlining changes no result.
#if defined(__GNUC__)
#define LIMBS_STEP __attribute__((always_inline))
#else
#define LIMBS_STEP
#endif

namespace limbs {

constexpr int kLimbs = 8;
constexpr double kSplitFactor = 134217729.0;  // 2^27 + 1
// Above 2^996 the Veltkamp product kSplitFactor * a overflows; such
// operands are split on a * 2^-28 and the halves scaled back.
constexpr double kSplitThreshold = 0x1p996;
constexpr double kSplitDown = 0x1p-28;
constexpr double kSplitUp = 0x1p28;

// Computes s = fl(a + b) and e with s + e == a + b exactly (Knuth, six
// operations, no ordering of |a| and |b| required). e is NaN when a or b is
// non-finite or the sum overflows.
LIMBS_HD LIMBS_STEP inline void two_sum(double a, double b, double& s, double& e) {
  s = a + b;
  double a_prime = s - b;
  double b_prime = s - a_prime;
  double da = a - a_prime;
  double db = b - b_prime;
  e = da + db;
}

// Veltkamp split: a == hi + lo, each half of at most 26 significant bits.
LIMBS_HD LIMBS_STEP inline void split(double a, double& hi, double& lo) {
  if (std::fabs(a) > kSplitThreshold) {
    double as = a * kSplitDown;
    double big = kSplitFactor * as;
    double h = big - (big - as);
    double l = as - h;
    hi = h * kSplitUp;
    lo = l * kSplitUp;
    return;
  }
  double big = kSplitFactor * a;
  hi = big - (big - a);
  lo = a - hi;
}

// Computes p = fl(a * b) and e with p + e == a * b exactly (Dekker), unless
// the product overflows or underflows. The partial products are summed in
// the fixed order (((hi*hi - p) + hi*lo) + lo*hi) + lo*lo.
LIMBS_HD LIMBS_STEP inline void two_product(double a, double b, double& p, double& e) {
  p = a * b;
  double a_hi, a_lo, b_hi, b_lo;
  split(a, a_hi, a_lo);
  split(b, b_hi, b_lo);
  e = (((a_hi * b_hi - p) + a_hi * b_lo) + a_lo * b_hi) + a_lo * b_lo;
}

}  // namespace limbs
