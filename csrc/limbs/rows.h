// Element functions over contiguous runs of rows: out[i] = f(in[i]) for
// i < n (in == out allowed). On x86-64 processors with AVX2 four rows at a
// time go through the Lanes4 instantiation of the same templates (chosen at
// run time, so the baseline build runs everywhere); the rest, and every
// other processor, take the scalar instantiation. Both give the same bytes.
#pragma once

#include <cstdint>

#include "elementary.h"

namespace limbs {

#if defined(LIMBS_HAVE_LANES4)

inline bool lanes4_supported() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}

// Four rows side by side, and back. The whole function, f included, is
// inlined (flatten), so every Lanes4 operation is compiled for AVX2 here
// and nowhere else. AVX2 does not include FMA, and the build never
// contracts: each lane does the scalar operations.
template <class F>
__attribute__((target("avx2"), flatten)) inline void rows_lanes4(const Row* in, Row* out, int64_t n, const F& f) {
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    RowOf<Lanes4> x;
    for (int k = 0; k < kLimbs; ++k)
      x.l[k] = Lanes4{LanesVector{in[i].l[k], in[i + 1].l[k], in[i + 2].l[k], in[i + 3].l[k]}};
    // Which NaN an operation on two NaNs returns depends on the operand
    // order the compiler picks, so non-finite elements take the scalar code
    // in both builds.
    const Lanes4 val = approx(x);
    const RowOf<Lanes4> y = lanes_or_scalar(
        x, val, is_finite(val), [&f](const RowOf<Lanes4>& r, const Lanes4&) { return f(r); },
        [&f](const Row& r) { return f(r); });
    for (int j = 0; j < 4; ++j) out[i + j] = row_lane(y, j);
  }
  for (; i < n; ++i) out[i] = f(in[i]);
}

#endif

// f is a generic callable (a template of the element type).
template <class F>
inline void rows_scalar(const Row* in, Row* out, int64_t n, const F& f) {
  for (int64_t i = 0; i < n; ++i) out[i] = f(in[i]);
}

template <class F>
inline void apply_rows(const Row* in, Row* out, int64_t n, const F& f) {
#if defined(LIMBS_HAVE_LANES4)
  if (lanes4_supported()) {
    rows_lanes4(in, out, n, f);
    return;
  }
#endif
  rows_scalar(in, out, n, f);
}

#define LIMBS_ROWS_KERNEL(name)                                                        \
  inline void name##_rows(const Row* in, Row* out, int64_t n) {                         \
    apply_rows(in, out, n, [](const auto& x) { return name(x); });                        \
  }
LIMBS_ROWS_KERNEL(reciprocal)
LIMBS_ROWS_KERNEL(sqrt)
LIMBS_ROWS_KERNEL(exp)
LIMBS_ROWS_KERNEL(log)
LIMBS_ROWS_KERNEL(sin)
LIMBS_ROWS_KERNEL(cos)
LIMBS_ROWS_KERNEL(tan)
LIMBS_ROWS_KERNEL(tanh)
LIMBS_ROWS_KERNEL(sigmoid)
LIMBS_ROWS_KERNEL(silu)
LIMBS_ROWS_KERNEL(gelu)
#undef LIMBS_ROWS_KERNEL

// a ** e for a float64 exponent, through log and exp.
inline void pow_float_rows(const Row* in, Row* out, int64_t n, double e) {
  apply_rows(in, out, n, [e](const auto& x) { return pow_float(x, e); });
}

// a ** m for m >= 1 in little-endian 64-bit words; with `invert`, 1 / a ** m.
inline void pow_positive_rows(const Row* in, Row* out, int64_t n, const unsigned long long* words, int count,
                              bool invert) {
  apply_rows(in, out, n, [words, count, invert](const auto& x) {
    using R = typename std::decay<decltype(x)>::type;
    const R p = pow_positive(x, words, count);
    if (!invert) return p;
    return div(from_value(splat<typename std::decay<decltype(x.l[0])>::type>(1.0)), p);
  });
}

}  // namespace limbs
