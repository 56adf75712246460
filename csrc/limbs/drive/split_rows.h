// Element functions whose lane cores leave some rows to a row-by-row
// kernel (limbs/elem/accurate_lanes.h): out[i] = f(in[i]) (or f(a[i], b[i]))
// for i < n, out apart from the inputs (slow rows are read again). Where
// the processor has AVX2, groups of rows go through the
// Lanes4 or Lanes8 core; the rows it marks slow, and the rows past the last
// full group, go to `row`, the one compiled scalar kernel, after the lane
// loop (a call inside it would keep the lane rows in memory). `row` runs the
// scalar instantiation of the same core first, so both give the same bytes.
#pragma once

#include <cstdint>

#include "limbs/core/row.h"

namespace limbs {

using RowFunction = Row (*)(const Row&);
using PairFunction = Row (*)(const Row&, const Row&);

#if defined(LIMBS_HAVE_LANES4)

template <class L, class F, class S>
__attribute__((target("avx2"), flatten)) inline void split_rows_lanes(const Row* in, Row* out,
                                                                      int64_t n, const F& f,
                                                                      const S& row) {
  constexpr int kCount = kLaneCount<L>;
  constexpr int kPending = 64;
  int64_t pending[kPending];
  int64_t i = 0;
  while (i + kCount <= n) {
    int np = 0;
    for (; i + kCount <= n && np < kPending; i += kCount) {
      Mask<L> slow;
      store_rows(f(load_rows<L>(in + i), slow), out + i);
      if (any(slow)) pending[np++] = i;
    }
    // Redone whole: the group's fast rows come out the same.
    for (int p = 0; p < np; ++p)
      for (int j = 0; j < kCount; ++j) out[pending[p] + j] = row(in[pending[p] + j]);
  }
  for (; i < n; ++i) out[i] = row(in[i]);
}

template <class F>
__attribute__((target("avx2"), flatten)) inline void split_pairs_lanes(const Row* a, const Row* b,
                                                                       Row* out, int64_t n,
                                                                       const F& f,
                                                                       PairFunction pair) {
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Mask<Lanes4> slow;
    const RowOf<Lanes4> r = f(load_rows<Lanes4>(a + i), load_rows<Lanes4>(b + i), slow);
    store_rows(r, out + i);
    if (any(slow))
      for (int j = 0; j < 4; ++j)
        if (mask_lane(slow, j)) out[i + j] = pair(a[i + j], b[i + j]);
  }
  for (; i < n; ++i) out[i] = pair(a[i], b[i]);
}

#endif

// f is a generic callable (a template of the element type): f(x, slow);
// row a function pointer or a callable that calls one.
template <class L, class F, class S>
inline void split_rows(const Row* in, Row* out, int64_t n, const F& f, const S& row) {
#if defined(LIMBS_HAVE_LANES4)
  if (lanes_supported()) {
    split_rows_lanes<L>(in, out, n, f, row);
    return;
  }
#endif
  (void)f;
  for (int64_t i = 0; i < n; ++i) out[i] = row(in[i]);
}

template <class F>
inline void split_pairs(const Row* a, const Row* b, Row* out, int64_t n, const F& f,
                        PairFunction pair) {
#if defined(LIMBS_HAVE_LANES4)
  if (lanes_supported()) {
    split_pairs_lanes(a, b, out, n, f, pair);
    return;
  }
#endif
  (void)f;
  for (int64_t i = 0; i < n; ++i) out[i] = pair(a[i], b[i]);
}

}  // namespace limbs
