// The two reductions softmax needs, on one strided slice of a limb array:
// n elements, element i at rows + i * stride * kLimbs (stride in elements),
// so every slice along an axis is read in place. The input is never written.
#pragma once

#include <cstdint>

#include "row.h"

namespace limbs {

// Rows of scratch slice_tree_sum needs for n elements.
LIMBS_HD inline int64_t slice_scratch_rows(int64_t n) { return n > 1 ? (n + 1) / 2 : 0; }

// The pairwise TwoSum tree of the whole-tensor sum: at each level of n rows,
// row i is added to row i + n/2 (limb-wise TwoSum, errors one limb down) and
// an odd last row is carried unchanged to the end of the next level. The
// pairing order is part of the result. No elements give 0, one gives itself.
LIMBS_HD inline Row slice_tree_sum(const double* rows, int64_t n, int64_t stride, Row* scratch) {
  if (n == 0) return zero_row();
  const int64_t step = stride * kLimbs;
  if (n == 1) return load(rows);
  // The first level reads the slice, later levels work in place on scratch:
  // pair i writes row i after reading rows i and i + half, both >= i.
  int64_t half = n / 2;
  for (int64_t i = 0; i < half; ++i) scratch[i] = add(load(rows + i * step), load(rows + (i + half) * step));
  if (n % 2) scratch[half] = load(rows + (n - 1) * step);
  n = half + n % 2;
  while (n > 1) {
    half = n / 2;
    for (int64_t i = 0; i < half; ++i) scratch[i] = add(scratch[i], scratch[i + half]);
    if (n % 2) scratch[half] = scratch[n - 1];
    n = half + n % 2;
  }
  return scratch[0];
}

// Index of the largest approx in the slice, the first of equal maxima; a NaN
// approx counts as larger than everything (the first NaN wins), as in
// PyTorch's argmax. n must be at least 1.
LIMBS_HD inline int64_t slice_argmax(const double* rows, int64_t n, int64_t stride) {
  const int64_t step = stride * kLimbs;
  int64_t best = 0;
  double best_val = approx(load(rows));
  for (int64_t i = 1; i < n && best_val == best_val; ++i) {
    const double v = approx(load(rows + i * step));
    if (v > best_val || v != v) {
      best = i;
      best_val = v;
    }
  }
  return best;
}

}  // namespace limbs
