// Element functions over contiguous runs of rows: out[i] = f(in[i]) for
// i < n (in == out allowed). On x86-64 processors with AVX2 four or eight
// rows at a time go through the Lanes4 or Lanes8 instantiation of the same
// templates (chosen at run time, so the baseline build runs everywhere); the
// rest, and every other processor, take the scalar instantiation. All give
// the same bytes.
#pragma once

#include <cstdint>

#include "limbs/elem/defined.h"

namespace limbs {

#if defined(LIMBS_HAVE_LANES4)

// Rows side by side in the lanes of L, and back. The lane instantiation of
// f is inlined (flatten), so every Lanes4 operation is compiled for AVX2
// here and nowhere else. Non-finite rows and the rows past the last full
// group run the one scalar copy, scalar_once, called out of the lane loop:
// a call inside it would make the compiler keep the lane rows in memory
// (reciprocal 39 -> 42 ns). AVX2 does not include FMA, and the build never
// contracts: each lane does the scalar operations.
template <class F, class L>
__attribute__((target("avx2"), flatten)) inline void rows_lanes(const Row* in, Row* out, int64_t n,
                                                                const F& f) {
  constexpr int kCount = kLaneCount<L>;
  constexpr int kPending = 64;
  int64_t pending[kPending];
  int64_t i = 0;
  while (i + kCount <= n) {
    int np = 0;
    for (; i + kCount <= n && np < kPending; i += kCount) {
      const RowOf<L> x = load_rows<L>(in + i);
      const L val = approx(x);
      const Mask<L> finite = is_finite(val);
      if (all(finite)) {
        store_rows(f(x), out + i);
        continue;
      }
      // The other lanes see the harmless element 1; the group's non-finite
      // rows are redone below, out of this loop.
      const L one = splat<L>(1.0);
      store_rows(f(select_row(finite, x, from_value(one))), out + i);
      pending[np++] = i;
    }
    for (int p = 0; p < np; ++p)
      for (int j = 0; j < kCount; ++j) {
        const int64_t k = pending[p] + j;
        if (!std::isfinite(approx(in[k]))) out[k] = scalar_once(f, in[k]);
      }
  }
  for (; i < n; ++i) out[i] = scalar_once(f, in[i]);
}

#else

// Where there are no lanes only the scalar path runs; the lane widths
// named below are then just placeholders.
using Lanes4 = double;
using Lanes8 = double;

#endif

// f is a generic callable (a template of the element type).
template <class F>
inline void rows_scalar(const Row* in, Row* out, int64_t n, const F& f) {
  for (int64_t i = 0; i < n; ++i) out[i] = scalar_once(f, in[i]);
}

// L picks the lane width: two interleaved vectors (Lanes8) suit the long
// exp-based chains, one (Lanes4) the series and iterations whose rows fill
// the registers (at -O3, ns per element, Lanes4 / Lanes8: exp 177 / 143,
// tanh 289 / 276, sin 73 / 127, sqrt 359 / 433).
template <class L, class F>
inline void apply_rows(const Row* in, Row* out, int64_t n, const F& f) {
#if defined(LIMBS_HAVE_LANES4)
  if (lanes_supported()) {
    rows_lanes<F, L>(in, out, n, f);
    return;
  }
#endif
  rows_scalar(in, out, n, f);
}

#define LIMBS_ROWS_KERNEL(name, lanes)                                    \
  inline void name##_rows(const Row* in, Row* out, int64_t n) {           \
    apply_rows<lanes>(in, out, n, [](const auto& x) { return name(x); }); \
  }
LIMBS_ROWS_KERNEL(reciprocal, Lanes8)
LIMBS_ROWS_KERNEL(sqrt, Lanes4)
LIMBS_ROWS_KERNEL(exp, Lanes8)
LIMBS_ROWS_KERNEL(log, Lanes8)
LIMBS_ROWS_KERNEL(sin, Lanes4)
LIMBS_ROWS_KERNEL(cos, Lanes4)
LIMBS_ROWS_KERNEL(tan, Lanes4)
LIMBS_ROWS_KERNEL(tanh, Lanes8)
LIMBS_ROWS_KERNEL(sigmoid, Lanes8)
LIMBS_ROWS_KERNEL(silu, Lanes8)
LIMBS_ROWS_KERNEL(gelu, Lanes8)
#undef LIMBS_ROWS_KERNEL

// a ** m for m >= 1 in little-endian 64-bit words; with `invert`, 1 / a ** m.
inline void pow_positive_rows(const Row* in, Row* out, int64_t n, const unsigned long long* words,
                              int count, bool invert) {
  apply_rows<Lanes4>(in, out, n, [words, count, invert](const auto& x) {
    using R = typename std::decay<decltype(x)>::type;
    const R p = pow_positive(x, words, count);
    if (!invert) return p;
    return div(from_value(splat<typename std::decay<decltype(x.l[0])>::type>(1.0)), p);
  });
}

}  // namespace limbs
