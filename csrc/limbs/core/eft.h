// Error-free transformations on float64: the building blocks of every limb
// operation. No ATen, no Python; compile with -ffp-contract=off so that no
// multiply-add is ever fused (the results are defined bit for bit).
#pragma once

#include <cmath>

#include "limbs/core/lanes.h"

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
template <class D>
LIMBS_HD LIMBS_STEP inline void two_sum(const D& a_in, const D& b_in, D& s, D& e) {
  const D a = a_in, b = b_in;  // s or e may alias an operand
  s = a + b;
  const D a_prime = s - b;
  const D b_prime = s - a_prime;
  const D da = a - a_prime;
  const D db = b - b_prime;
  e = da + db;
}

// Veltkamp split: a == hi + lo, each half of at most 26 significant bits.
// Lanes above the threshold take the scaled split.
template <class D>
LIMBS_HD LIMBS_STEP inline void split(const D& a_in, D& hi, D& lo) {
  const D a = a_in;
  const Mask<D> huge = vabs(a) > kSplitThreshold;
  const D big = kSplitFactor * a;
  const D h = big - (big - a);
  const D l = a - h;
  if (any(huge)) {
    const D as = a * kSplitDown;
    const D big_s = kSplitFactor * as;
    const D h_s = big_s - (big_s - as);
    const D l_s = as - h_s;
    hi = select(huge, h_s * kSplitUp, h);
    lo = select(huge, l_s * kSplitUp, l);
    return;
  }
  hi = h;
  lo = l;
}

// The rounding error of p = fl(a * b) from the Veltkamp halves of a and b,
// with the partial products summed in the fixed order
// (((hi*hi - p) + hi*lo) + lo*hi) + lo*lo. Splits that many products share
// are computed once by the callers.
template <class D>
LIMBS_HD LIMBS_STEP inline D product_error(const D& p, const D& a_hi, const D& a_lo, const D& b_hi,
                                           const D& b_lo) {
  return (((a_hi * b_hi - p) + a_hi * b_lo) + a_lo * b_hi) + a_lo * b_lo;
}

// Computes p = fl(a * b) and e with p + e == a * b exactly (Dekker), unless
// the product overflows or underflows.
template <class D>
LIMBS_HD LIMBS_STEP inline void two_product(const D& a_in, const D& b_in, D& p, D& e) {
  const D a = a_in, b = b_in;
  p = a * b;
  D a_hi, a_lo, b_hi, b_lo;
  split(a, a_hi, a_lo);
  split(b, b_hi, b_lo);
  e = product_error(p, a_hi, a_lo, b_hi, b_lo);
}

}  // namespace limbs
