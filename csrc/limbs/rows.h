// Element functions over contiguous runs of rows: out[i] = f(in[i]) for
// i < n (in == out allowed). On x86-64 processors with AVX2 four or eight
// rows at a time go through the Lanes4 or Lanes8 instantiation of the same
// templates (chosen at run time, so the baseline build runs everywhere); the
// rest, and every other processor, take the scalar instantiation. All give
// the same bytes.
#pragma once

#include <cstdint>

#include "elementary.h"

namespace limbs {

#if defined(LIMBS_HAVE_LANES4)

// Rows side by side in the lanes of L, and back. The lane instantiation of
// f is inlined (flatten), so every Lanes4 operation is compiled for AVX2
// here and nowhere else; the rows computed alone (irregular or non-finite
// lanes, the tail) run the one scalar copy, scalar_once. AVX2 does not
// include FMA, and the build never contracts: each lane does the scalar
// operations.
template <class F, class L>
__attribute__((target("avx2"), flatten)) inline void rows_lanes(const Row* in, Row* out, int64_t n, const F& f) {
  constexpr int kCount = kLaneCount<L>;
  int64_t i = 0;
  for (; i + kCount <= n; i += kCount) {
    const RowOf<L> x = load_rows<L>(in + i);
    // Which NaN an operation on two NaNs returns depends on the operand
    // order the compiler picks, so non-finite elements take the scalar copy
    // on every processor.
    const L val = approx(x);
    const RowOf<L> y = lanes_or_scalar(
        x, val, is_finite(val), [&f](const RowOf<L>& r, const L&) { return f(r); },
        [&f](const Row& r) { return scalar_once(f, r); });
    store_rows(y, out + i);
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

#define LIMBS_ROWS_KERNEL(name, lanes)                                     \
  inline void name##_rows(const Row* in, Row* out, int64_t n) {             \
    apply_rows<lanes>(in, out, n, [](const auto& x) { return name(x); });   \
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
inline void pow_positive_rows(const Row* in, Row* out, int64_t n, const unsigned long long* words, int count,
                              bool invert) {
  apply_rows<Lanes4>(in, out, n, [words, count, invert](const auto& x) {
    using R = typename std::decay<decltype(x)>::type;
    const R p = pow_positive(x, words, count);
    if (!invert) return p;
    return div(from_value(splat<typename std::decay<decltype(x.l[0])>::type>(1.0)), p);
  });
}

}  // namespace limbs
