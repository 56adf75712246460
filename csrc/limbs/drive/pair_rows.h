// Element-wise operations of two operands over contiguous runs of rows:
// out[i] = f(a[i], b[i]) for i < n (out may be a or b). Where the processor
// has AVX2, four rows at a time go through the Lanes4 instantiation of f;
// elsewhere, and for the rows left over, the scalar one. Both give the same
// bytes.
#pragma once

#include <cstdint>

#include "limbs/drive/lane_fallback.h"

namespace limbs {

// f on one pair of rows, compiled once for each f and never inlined.
template <class F>
LIMBS_ONE_COPY inline Row pair_once(const Row& a, const Row& b, F f) {
  return f(a, b);
}

#if defined(LIMBS_HAVE_LANES4)
// A row whose result is not finite is redone by pair_once.
template <class F>
__attribute__((target("avx2"), flatten)) inline void pair_rows_lanes(const Row* a, const Row* b,
                                                                     Row* out, int64_t n, F f) {
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    RowOf<Lanes4> r = f(load_rows<Lanes4>(a + i), load_rows<Lanes4>(b + i));
    const Mask4 finite = finite_lanes(r);
    if (!all(finite))
      for (int j = 0; j < 4; ++j)
        if (!mask_lane(finite, j)) set_row_lane(r, j, pair_once(a[i + j], b[i + j], f));
    store_rows(r, out + i);
  }
  for (; i < n; ++i) out[i] = pair_once(a[i], b[i], f);
}
#endif

// f is a generic callable (a template of the element type) without state
// that depends on the row.
template <class F>
inline void pair_rows(const Row* a, const Row* b, Row* out, int64_t n, F f) {
#if defined(LIMBS_HAVE_LANES4)
  if (n >= 4 && lanes_supported()) {
    pair_rows_lanes(a, b, out, n, f);
    return;
  }
#endif
  for (int64_t i = 0; i < n; ++i) out[i] = pair_once(a[i], b[i], f);
}

// The element-wise sum, difference and three-limb product.
struct AddRows {
  template <class D>
  RowOf<D> operator()(const RowOf<D>& x, const RowOf<D>& y) const {
    return add(x, y);
  }
};

struct SubRows {
  template <class D>
  RowOf<D> operator()(const RowOf<D>& x, const RowOf<D>& y) const {
    return sub(x, y);
  }
};

struct MulRows {
  template <class D>
  RowOf<D> operator()(const RowOf<D>& x, const RowOf<D>& y) const {
    return mul(x, y);
  }
};

}  // namespace limbs
