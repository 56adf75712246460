// Sorting and order statistics of one slice on the exact value of the
// elements (compare_exact), never on approx. NaN orders after every number,
// as in PyTorch's sort; equal elements keep their input order (stable).
// Host code: the slices are sorted with std::stable_sort on index arrays.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "limbs/elem/defined.h"
#include "limbs/core/order.h"
#include "limbs/core/row.h"
#include "limbs/slice/scan.h"

namespace limbs {

// a < b in the sort order: exact value, NaN last, NaNs equal to each other.
inline bool sort_less(const Row& a, const Row& b) {
  const int c = compare_exact(a, b);
  if (c == kUnordered) return !is_nan_exact(a) && is_nan_exact(b);
  return c < 0;
}

// A float64 key of an element and a bound on |key - exact value|: the
// recursive float64 sum of 8 limbs is off by at most 7u sum |l_k| (u = 2^-53),
// taken with more than 2x margin (which also covers the rounding of the
// bound itself), plus the underflow of the additions. Keys further apart
// than their two bounds order the elements exactly; the rest go to
// compare_exact. Non-finite keys or bounds never decide.
struct SortKey {
  double key, err;
};

inline SortKey sort_key(const Row& a) {
  double mag = 0.0;
  for (int k = 0; k < kLimbs; ++k) mag += std::fabs(a.l[k]);
  return SortKey{approx(a), mag * 0x1p-49 + 0x1p-1068};
}

// sort_less(a, b), decided by the keys when they are far enough apart.
inline bool sort_less_keyed(const Row& a, const SortKey& ka, const Row& b, const SortKey& kb) {
  const double d = ka.key - kb.key, e = ka.err + kb.err;
  if (d > e) return false;
  if (-d > e) return true;
  return sort_less(a, b);
}

// The stable permutation that sorts rows x[0], x[stride], ... ascending (or
// descending: NaN first, then the numbers from the largest); order has n
// entries, keys is scratch for n keys.
inline void sort_order(const Row* x, int64_t n, int64_t stride, bool descending, int64_t* order,
                       SortKey* keys) {
  for (int64_t i = 0; i < n; ++i) {
    order[i] = i;
    keys[i] = sort_key(x[i * stride]);
  }
  auto less = [&](int64_t i, int64_t j) {
    return sort_less_keyed(x[i * stride], keys[i], x[j * stride], keys[j]);
  };
  if (descending)
    std::stable_sort(order, order + n, [&](int64_t i, int64_t j) { return less(j, i); });
  else
    std::stable_sort(order, order + n, less);
}

// Interpolation of quantile between the two neighbouring order statistics.
enum class QuantileMode { Linear, Lower, Higher, Midpoint, Nearest };

// lo + w (hi - lo) for w < 0.5, else hi - (1 - w)(hi - lo), as torch.lerp
// forms it; in limb arithmetic with the float64 weight. w = 0 gives lo's
// limbs unchanged.
LIMBS_HD inline Row lerp_rows(const Row& lo, const Row& hi, double w) {
  const Row d = sub(hi, lo);
  if (w < 0.5) return add(lo, mul_scalar(d, w));
  return sub(hi, mul_scalar(d, 1.0 - w));
}

// Quantile q in [0, 1] of n > 0 ascending rows (NaN last), as PyTorch
// computes it: rank q (n - 1) in float64, or the last rank when the slice
// holds a NaN (so a NaN anywhere gives NaN).
inline Row quantile_sorted(const Row* sorted, int64_t n, double q, QuantileMode mode) {
  const double last = static_cast<double>(n - 1);
  double rank = is_nan_exact(sorted[n - 1]) ? last : q * last;
  switch (mode) {
    case QuantileMode::Lower:
      rank = std::floor(rank);
      break;
    case QuantileMode::Higher:
      rank = std::ceil(rank);
      break;
    case QuantileMode::Nearest:
      rank = std::nearbyint(rank);
      break;  // half to even
    default:
      break;
  }
  const int64_t below = static_cast<int64_t>(rank);
  if (mode != QuantileMode::Linear && mode != QuantileMode::Midpoint) return sorted[below];
  const int64_t above = static_cast<int64_t>(std::ceil(rank));
  const double w = mode == QuantileMode::Midpoint ? 0.5 : rank - static_cast<double>(below);
  return lerp_rows(sorted[below], sorted[above], w);
}

// The largest (or smallest) |x| of a run on exact values; a NaN wins.
// n > 0.
LIMBS_HD inline Row abs_extremum(const Row* x, int64_t n, int64_t stride, bool largest) {
  Row best = abs(x[0]);
  for (int64_t i = 0; i < n; ++i) {
    const Row a = abs(x[i * stride]);
    if (is_nan_exact(a)) return a;
    const int c = compare_exact(a, best);
    if (largest ? c > 0 : c < 0) best = a;
  }
  return best;
}

// Elements of a run whose exact value is not zero (NaN counts).
LIMBS_HD inline int64_t count_nonzero(const Row* x, int64_t n, int64_t stride) {
  int64_t c = 0;
  for (int64_t i = 0; i < n; ++i) c += sign_exact(x[i * stride]) != 0;
  return c;
}

}  // namespace limbs
