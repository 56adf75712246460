// Ordering on the exact value of elements: the sum of all limbs, not the
// float64 approximation. Two elements that differ only in limb 7 compare
// as different.
#pragma once

#include <cmath>

#include "limbs/core/row.h"

namespace limbs {

// Result of an exact comparison: the sign of a - b, or unordered when NaN
// takes part.
constexpr int kUnordered = 2;

namespace detail {

// Largest |limb| of two rows, to tell whether a TwoSum could overflow.
LIMBS_HD inline double max_limb(const Row& a, const Row& b) {
  double m = 0.0;
  for (int k = 0; k < kLimbs; ++k) {
    m = std::fmax(m, std::fabs(a.l[k]));
    m = std::fmax(m, std::fabs(b.l[k]));
  }
  return m;
}

// Sign of the exact sum of the limbs of a minus those of b (all finite):
// Shewchuk's Grow-Expansion with zero elimination keeps a non-overlapping
// expansion of the partial sums, whose largest component carries the sign.
LIMBS_HD inline int sign_of_difference(const Row& a, const Row& b, double scale) {
  double e[2 * kLimbs];
  int n = 0;
  for (int t = 0; t < 2 * kLimbs; ++t) {
    double q = t < kLimbs ? a.l[t] * scale : -(b.l[t - kLimbs] * scale);
    if (q == 0.0) continue;
    int m = 0;
    for (int i = 0; i < n; ++i) {
      double s, h;
      two_sum(q, e[i], s, h);
      q = s;
      if (h != 0.0) e[m++] = h;
    }
    if (q != 0.0) e[m++] = q;
    n = m;
  }
  if (n == 0) return 0;
  return e[n - 1] > 0.0 ? 1 : -1;
}

}  // namespace detail

// Exact three-way comparison: -1, 0 or 1 for a < b, a == b, a > b, and
// kUnordered when either is NaN. Infinities (limb 0) compare as IEEE; -0 and
// +0 are equal; a non-finite lower limb is judged by approx. Limbs above 2^1000 are first scaled by
// 2^-8 so that no TwoSum overflows; only limbs below 2^-1014 can then lose bits, which matters only
// when everything above them cancels exactly.
LIMBS_HD inline int compare_exact(const Row& a, const Row& b) {
  const double a0 = a.l[0], b0 = b.l[0];
  if (std::isnan(a0) || std::isnan(b0)) return kUnordered;
  if (std::isinf(a0) || std::isinf(b0)) {
    const double x = std::isinf(a0) ? a0 : 0.0;
    const double y = std::isinf(b0) ? b0 : 0.0;
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  const double m = detail::max_limb(a, b);
  if (!std::isfinite(m)) {  // a lower limb overflowed: decide as approx does
    const double x = approx(a), y = approx(b);
    if (std::isnan(x) || std::isnan(y)) return kUnordered;
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  const double scale = m > 0x1p1000 ? 0x1p-8 : 1.0;
  return detail::sign_of_difference(a, b, scale);
}

// Sign of the exact value: -1, 0, 1, or kUnordered for NaN.
LIMBS_HD inline int sign_exact(const Row& a) { return compare_exact(a, zero_row()); }

// True for an element that orders as NaN (limb 0 NaN, or a lower limb that
// makes the exact value undefined).
LIMBS_HD inline bool is_nan_exact(const Row& a) { return compare_exact(a, a) == kUnordered; }

}  // namespace limbs
