// Element types of the limb arithmetic. Every algorithm is written once, as
// a template over its float64 type D: `double` (one element; also the CUDA
// instantiation) or, on x86-64 hosts, `Lanes4`, four elements side by side
// in one 256-bit register, or `Lanes8`, two such registers. A lane performs exactly the IEEE
// operations of the scalar code (the same +, -, *, / and sqrt, never a fused multiply-add), so both
// give the same bytes. The helpers below are the only places where the two types differ: branch
// masks, lane access and bit comparison.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#ifndef LIMBS_HD
#define LIMBS_HD
#endif

// For the small per-limb steps that the iterative functions call thousands
// of times per element. In a large translation unit GCC runs out of inlining
// budget and calls them out of line, passing 64-byte rows through memory:
// reciprocal, exp and sqrt then run 2-3x slower. Inlining changes no result.
#if defined(__GNUC__)
#define LIMBS_STEP __attribute__((always_inline))
#else
#define LIMBS_STEP
#endif

// For a function compiled once and never inlined: which NaN an operation
// on two NaNs returns depends on the operand order the compiler picks, so
// every scalar evaluation of a kernel, its lanes' redone rows included,
// must run the same machine code.
#if defined(__GNUC__) && !defined(__clang__) && !defined(__CUDACC__)
#define LIMBS_ONE_COPY __attribute__((noipa))
#else
#define LIMBS_ONE_COPY
#endif

namespace limbs {

template <class D>
struct LaneTraits;

template <>
struct LaneTraits<double> {
  using Mask = bool;
  static constexpr int kCount = 1;
};

template <class D>
using Mask = typename LaneTraits<D>::Mask;

template <class D>
constexpr bool kScalar = std::is_same<D, double>::value;

template <class D>
constexpr int kLaneCount = LaneTraits<D>::kCount;

// Scalar instances: a branch is a bool, the only lane is the value.
template <class D>
LIMBS_HD LIMBS_STEP inline D splat(double c);
template <>
LIMBS_HD LIMBS_STEP inline double splat<double>(double c) {
  return c;
}

LIMBS_HD LIMBS_STEP inline double vabs(double x) { return std::fabs(x); }
LIMBS_HD LIMBS_STEP inline bool is_finite(double x) { return std::isfinite(x); }
LIMBS_HD LIMBS_STEP inline bool any(bool m) { return m; }
LIMBS_HD LIMBS_STEP inline bool all(bool m) { return m; }
LIMBS_HD LIMBS_STEP inline bool mask_and(bool a, bool b) { return a && b; }
LIMBS_HD LIMBS_STEP inline bool mask_or(bool a, bool b) { return a || b; }
LIMBS_HD LIMBS_STEP inline bool mask_not(bool a) { return !a; }
LIMBS_HD LIMBS_STEP inline bool mask_lane(bool m, int) { return m; }
LIMBS_HD LIMBS_STEP inline double select(bool m, double a, double b) { return m ? a : b; }
LIMBS_HD LIMBS_STEP inline double lane(double x, int) { return x; }
LIMBS_HD LIMBS_STEP inline void set_lane(double& x, int, double v) { x = v; }

// Bitwise equality: tells -0.0 from +0.0 and compares NaN payloads, which
// == cannot.
LIMBS_HD LIMBS_STEP inline bool same_bits(double a, double b) {
#if defined(__CUDA_ARCH__)
  return __double_as_longlong(a) == __double_as_longlong(b);
#else
  uint64_t x, y;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
#endif
}

// A float64 library function (floor, log, ldexp, ...) applied to each lane.
template <class F>
LIMBS_HD LIMBS_STEP inline double per_lane(double x, const F& f) {
  return f(x);
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__CUDACC__)
#define LIMBS_HAVE_LANES4 1

typedef double LanesVector __attribute__((vector_size(32)));
typedef long long LanesBits __attribute__((vector_size(32)));

inline bool lanes_supported() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported;
}

// Four float64 lanes. Wrapped in a struct (always passed by reference) so
// that no function passes a bare 256-bit vector by value: that changes
// the calling convention between AVX and baseline code. Every function on
// it is inlined into the AVX2 kernels of rows.h.
struct Lanes4 {
  LanesVector v;
};

// A lane mask: all bits set where the condition holds.
struct Mask4 {
  LanesBits v;
};

template <>
struct LaneTraits<Lanes4> {
  using Mask = Mask4;
  static constexpr int kCount = 4;
};

template <>
LIMBS_STEP inline Lanes4 splat<Lanes4>(double c) {
  return Lanes4{LanesVector{c, c, c, c}};
}

#define LIMBS_LANES4_ARITH(op)                                                                 \
  LIMBS_STEP inline Lanes4 operator op(const Lanes4& a, const Lanes4& b) {                     \
    return Lanes4{a.v op b.v};                                                                 \
  }                                                                                            \
  LIMBS_STEP inline Lanes4 operator op(const Lanes4& a, double b) { return Lanes4{a.v op b}; } \
  LIMBS_STEP inline Lanes4 operator op(double a, const Lanes4& b) { return Lanes4{a op b.v}; }
LIMBS_LANES4_ARITH(+)
LIMBS_LANES4_ARITH(-)
LIMBS_LANES4_ARITH(*)
LIMBS_LANES4_ARITH(/)
#undef LIMBS_LANES4_ARITH

#define LIMBS_LANES4_COMPARE(op)                                          \
  LIMBS_STEP inline Mask4 operator op(const Lanes4& a, const Lanes4& b) { \
    return Mask4{(LanesBits)(a.v op b.v)};                                \
  }                                                                       \
  LIMBS_STEP inline Mask4 operator op(const Lanes4& a, double b) {        \
    return Mask4{(LanesBits)(a.v op b)};                                  \
  }
LIMBS_LANES4_COMPARE(<)
LIMBS_LANES4_COMPARE(<=)
LIMBS_LANES4_COMPARE(>)
LIMBS_LANES4_COMPARE(>=)
#undef LIMBS_LANES4_COMPARE

LIMBS_STEP inline Lanes4 operator-(const Lanes4& a) { return Lanes4{-a.v}; }

LIMBS_STEP inline Lanes4 vabs(const Lanes4& x) {
  const LanesBits magnitude = (LanesBits)x.v & ~(LanesBits)(LanesVector{-0.0, -0.0, -0.0, -0.0});
  return Lanes4{(LanesVector)magnitude};
}
// NaN compares false, as std::isfinite says.
LIMBS_STEP inline Mask4 is_finite(const Lanes4& x) { return vabs(x) <= 0x1.fffffffffffffp+1023; }
// any and all on the sign bits of the two 128-bit halves (SSE2's movmskpd).
typedef long long LanesBits2 __attribute__((vector_size(16)));
typedef double LanesVector2 __attribute__((vector_size(16)));
LIMBS_STEP inline LanesBits2 low_half(const Mask4& m) {
  return __builtin_shufflevector(m.v, m.v, 0, 1);
}
LIMBS_STEP inline LanesBits2 high_half(const Mask4& m) {
  return __builtin_shufflevector(m.v, m.v, 2, 3);
}
LIMBS_STEP inline bool any(const Mask4& m) {
  return __builtin_ia32_movmskpd((LanesVector2)(low_half(m) | high_half(m))) != 0;
}
LIMBS_STEP inline bool all(const Mask4& m) {
  return __builtin_ia32_movmskpd((LanesVector2)(low_half(m) & high_half(m))) == 3;
}
LIMBS_STEP inline Mask4 mask_and(const Mask4& a, const Mask4& b) { return Mask4{a.v & b.v}; }
LIMBS_STEP inline Mask4 mask_or(const Mask4& a, const Mask4& b) { return Mask4{a.v | b.v}; }
LIMBS_STEP inline Mask4 mask_not(const Mask4& a) { return Mask4{~a.v}; }
LIMBS_STEP inline bool mask_lane(const Mask4& m, int i) { return m.v[i] != 0; }
LIMBS_STEP inline Lanes4 select(const Mask4& m, const Lanes4& a, const Lanes4& b) {
  return Lanes4{(LanesVector)((m.v & (LanesBits)a.v) | (~m.v & (LanesBits)b.v))};
}
LIMBS_STEP inline double lane(const Lanes4& x, int i) { return x.v[i]; }
LIMBS_STEP inline void set_lane(Lanes4& x, int i, double v) { x.v[i] = v; }
LIMBS_STEP inline Mask4 same_bits(const Lanes4& a, const Lanes4& b) {
  return Mask4{(LanesBits)a.v == (LanesBits)b.v};
}

template <class F>
LIMBS_STEP inline Lanes4 per_lane(const Lanes4& x, const F& f) {
  return Lanes4{LanesVector{f(x.v[0]), f(x.v[1]), f(x.v[2]), f(x.v[3])}};
}

// Four consecutive float64 values, and back; unaligned.
LIMBS_STEP inline void load_vector(const double* p, LanesVector& v) {
  std::memcpy(&v, p, sizeof v);
}
LIMBS_STEP inline void store_vector(const LanesVector& v, double* p) {
  std::memcpy(p, &v, sizeof v);
}

// Transposes the 4x4 block whose rows are a, b, c, d.
LIMBS_STEP inline void transpose4(LanesVector& a, LanesVector& b, LanesVector& c, LanesVector& d) {
  const LanesVector t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6);
  const LanesVector t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
  const LanesVector t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6);
  const LanesVector t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
  a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  b = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  c = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// Eight lanes in two Lanes4 vectors: the two dependency chains interleave,
// so the processor overlaps the latency of one with the work of the other
// (1.2-1.6x over one vector on the element functions).
struct Lanes8 {
  LanesVector v[2];
};

struct Mask8 {
  LanesBits v[2];
};

template <>
struct LaneTraits<Lanes8> {
  using Mask = Mask8;
  static constexpr int kCount = 8;
};

template <>
LIMBS_STEP inline Lanes8 splat<Lanes8>(double c) {
  return Lanes8{{LanesVector{c, c, c, c}, LanesVector{c, c, c, c}}};
}

#define LIMBS_LANES8_ARITH(op)                                             \
  LIMBS_STEP inline Lanes8 operator op(const Lanes8& a, const Lanes8& b) { \
    return Lanes8{{a.v[0] op b.v[0], a.v[1] op b.v[1]}};                   \
  }                                                                        \
  LIMBS_STEP inline Lanes8 operator op(const Lanes8& a, double b) {        \
    return Lanes8{{a.v[0] op b, a.v[1] op b}};                             \
  }                                                                        \
  LIMBS_STEP inline Lanes8 operator op(double a, const Lanes8& b) {        \
    return Lanes8{{a op b.v[0], a op b.v[1]}};                             \
  }
LIMBS_LANES8_ARITH(+)
LIMBS_LANES8_ARITH(-)
LIMBS_LANES8_ARITH(*)
LIMBS_LANES8_ARITH(/)
#undef LIMBS_LANES8_ARITH

#define LIMBS_LANES8_COMPARE(op)                                                  \
  LIMBS_STEP inline Mask8 operator op(const Lanes8& a, const Lanes8& b) {         \
    return Mask8{{(LanesBits)(a.v[0] op b.v[0]), (LanesBits)(a.v[1] op b.v[1])}}; \
  }                                                                               \
  LIMBS_STEP inline Mask8 operator op(const Lanes8& a, double b) {                \
    return Mask8{{(LanesBits)(a.v[0] op b), (LanesBits)(a.v[1] op b)}};           \
  }
LIMBS_LANES8_COMPARE(<)
LIMBS_LANES8_COMPARE(<=)
LIMBS_LANES8_COMPARE(>)
LIMBS_LANES8_COMPARE(>=)
#undef LIMBS_LANES8_COMPARE

LIMBS_STEP inline Lanes8 operator-(const Lanes8& a) { return Lanes8{{-a.v[0], -a.v[1]}}; }

LIMBS_STEP inline Lanes8 vabs(const Lanes8& x) {
  return Lanes8{{vabs(Lanes4{x.v[0]}).v, vabs(Lanes4{x.v[1]}).v}};
}
LIMBS_STEP inline Mask8 is_finite(const Lanes8& x) { return vabs(x) <= 0x1.fffffffffffffp+1023; }
LIMBS_STEP inline bool any(const Mask8& m) { return any(Mask4{m.v[0] | m.v[1]}); }
LIMBS_STEP inline bool all(const Mask8& m) { return all(Mask4{m.v[0] & m.v[1]}); }
LIMBS_STEP inline Mask8 mask_and(const Mask8& a, const Mask8& b) {
  return Mask8{{a.v[0] & b.v[0], a.v[1] & b.v[1]}};
}
LIMBS_STEP inline Mask8 mask_or(const Mask8& a, const Mask8& b) {
  return Mask8{{a.v[0] | b.v[0], a.v[1] | b.v[1]}};
}
LIMBS_STEP inline Mask8 mask_not(const Mask8& a) { return Mask8{{~a.v[0], ~a.v[1]}}; }
LIMBS_STEP inline bool mask_lane(const Mask8& m, int i) { return m.v[i >> 2][i & 3] != 0; }
LIMBS_STEP inline Lanes8 select(const Mask8& m, const Lanes8& a, const Lanes8& b) {
  return Lanes8{{select(Mask4{m.v[0]}, Lanes4{a.v[0]}, Lanes4{b.v[0]}).v,
                 select(Mask4{m.v[1]}, Lanes4{a.v[1]}, Lanes4{b.v[1]}).v}};
}
LIMBS_STEP inline double lane(const Lanes8& x, int i) { return x.v[i >> 2][i & 3]; }
LIMBS_STEP inline void set_lane(Lanes8& x, int i, double v) { x.v[i >> 2][i & 3] = v; }
LIMBS_STEP inline Mask8 same_bits(const Lanes8& a, const Lanes8& b) {
  return Mask8{{(LanesBits)a.v[0] == (LanesBits)b.v[0], (LanesBits)a.v[1] == (LanesBits)b.v[1]}};
}

template <class F>
LIMBS_STEP inline Lanes8 per_lane(const Lanes8& x, const F& f) {
  return Lanes8{{per_lane(Lanes4{x.v[0]}, f).v, per_lane(Lanes4{x.v[1]}, f).v}};
}

#endif  // LIMBS_HAVE_LANES4

// The mask of every lane.
template <class D>
LIMBS_HD LIMBS_STEP inline Mask<D> all_lanes() {
  return splat<D>(0.0) <= 0.0;
}

}  // namespace limbs
