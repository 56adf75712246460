// Running reductions along a strided slice (n elements, element i at
// src + i * stride rows; the output has the same layout). The running value
// is carried from element 0 up, one limb operation per element, so every
// prefix is computed in a fixed order whatever the thread count.
#pragma once

#include <cstdint>

#include "limbs/core/order.h"
#include "limbs/core/row.h"

namespace limbs {

// cumsum: acc = x_0, then acc = acc + x_i (the limb sum, no rounding to
// float64), so [1e16, 1, -1e16] gives exactly [1e16, 1e16 + 1, 1].
LIMBS_HD inline void cumsum_slice(const Row* src, int64_t n, int64_t stride, Row* dst) {
  if (n <= 0) return;
  Row acc = src[0];
  dst[0] = acc;
  for (int64_t i = 1; i < n; ++i) {
    acc = add(acc, src[i * stride]);
    dst[i * stride] = acc;
  }
}

// cumprod: acc = x_0, then acc = acc * x_i (the three-limb tensor product).
LIMBS_HD inline void cumprod_slice(const Row* src, int64_t n, int64_t stride, Row* dst) {
  if (n <= 0) return;
  Row acc = src[0];
  dst[0] = acc;
  for (int64_t i = 1; i < n; ++i) {
    acc = mul(acc, src[i * stride]);
    dst[i * stride] = acc;
  }
}

// cummax / cummin on exact values, with PyTorch's indices: a tie moves the
// index to the later element, a NaN takes over and every later NaN moves
// the index again.
template <bool kMax>
LIMBS_HD inline void cum_extremum_slice(const Row* src, int64_t n, int64_t stride, Row* dst,
                                        int64_t* idx) {
  if (n <= 0) return;
  Row best = src[0];
  int64_t at = 0;
  bool best_nan = is_nan_exact(best);
  for (int64_t i = 0; i < n; ++i) {
    const Row& x = src[i * stride];
    if (i > 0) {
      if (is_nan_exact(x)) {
        best = x;
        at = i;
        best_nan = true;
      } else if (!best_nan) {
        const int c = compare_exact(x, best);
        if (kMax ? c >= 0 : c <= 0) {
          best = x;
          at = i;
        }
      }
    }
    dst[i * stride] = best;
    idx[i * stride] = at;
  }
}

}  // namespace limbs
