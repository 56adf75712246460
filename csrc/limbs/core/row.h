// One element: an expansion of 8 float64 limbs whose exact sum is the value.
// Limb 0 leads; arithmetic pushes the rounding error of limb k into limb k+1.
// Limbs are not kept sorted or non-overlapping. Infinities and NaNs live in
// limb 0.
#pragma once

#include <cmath>
#include <limits>

#include "limbs/core/eft.h"

namespace limbs {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The limbs of one element (D = double) or of one element per lane.
template <class D>
struct RowOf {
  D l[kLimbs];
};

using Row = RowOf<double>;

template <class D = double>
LIMBS_HD LIMBS_STEP inline RowOf<D> zero_row() {
  RowOf<D> r;
  for (int k = 0; k < kLimbs; ++k) r.l[k] = splat<D>(0.0);
  return r;
}

// A fresh element: the value in limb 0, the lower limbs zero.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> from_value(const D& x) {
  RowOf<D> r = zero_row<D>();
  r.l[0] = x;
  return r;
}

LIMBS_HD LIMBS_STEP inline Row from_double(double x) { return from_value(x); }

LIMBS_HD inline Row load(const double* p) {
  Row r;
  for (int k = 0; k < kLimbs; ++k) r.l[k] = p[k];
  return r;
}

LIMBS_HD inline void store(const Row& r, double* p) {
  for (int k = 0; k < kLimbs; ++k) p[k] = r.l[k];
}

LIMBS_HD inline bool is_special(const Row& a) { return !std::isfinite(a.l[0]); }

// The one float64 approximation of an element: limb 0 when it is inf or NaN,
// else the limbs summed from the smallest index up.
template <class D>
LIMBS_HD LIMBS_STEP inline D approx(const RowOf<D>& a) {
  D s = a.l[7];
  for (int k = 6; k >= 0; --k) s = s + a.l[k];
  return select(is_finite(a.l[0]), s, a.l[0]);
}

// Limb-wise TwoSum with each error shifted one limb down; the error of limb 7
// is dropped. Exact when the operands carry their information in the leading
// limbs; never renormalises.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> add(const RowOf<D>& a, const RowOf<D>& b) {
  D s[kLimbs], e[kLimbs];
  for (int k = 0; k < kLimbs; ++k) two_sum(a.l[k], b.l[k], s[k], e[k]);
  RowOf<D> r;
  r.l[0] = s[0];
  for (int k = 1; k < kLimbs; ++k) r.l[k] = s[k] + e[k - 1];
  return r;
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> neg(const RowOf<D>& a) {
  RowOf<D> r;
  for (int k = 0; k < kLimbs; ++k) r.l[k] = -a.l[k];
  return r;
}

// a - b is a + (-b); negation is exact.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> sub(const RowOf<D>& a, const RowOf<D>& b) {
  return add(a, neg(b));
}

template <class D>
struct NotDeduced {
  using Type = D;
};

// Product with a float64 number: TwoProduct on all 8 limbs, errors shifted one
// limb down as in add.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> mul_scalar(const RowOf<D>& a,
                                               const typename NotDeduced<D>::Type& c) {
  D c_hi, c_lo;
  split(c, c_hi, c_lo);
  D p[kLimbs], e[kLimbs];
  for (int k = 0; k < kLimbs; ++k) {
    D hi, lo;
    split(a.l[k], hi, lo);
    p[k] = a.l[k] * c;
    e[k] = product_error(p[k], hi, lo, c_hi, c_lo);
  }
  RowOf<D> r;
  r.l[0] = p[0];
  for (int k = 1; k < kLimbs; ++k) r.l[k] = p[k] + e[k - 1];
  return r;
}

// True when a lower limb is too large for products that assume limb 0
// dominates: |l_k| > 2^-49 |l_0| for some k >= 1 (so also l_0 == 0 with a
// non-zero lower limb). Never for an inf/NaN limb 0.
template <class D>
LIMBS_HD LIMBS_STEP inline Mask<D> needs_renormalise(const RowOf<D>& a) {
  const D bound = 0x1p-49 * vabs(a.l[0]);
  Mask<D> large = vabs(a.l[1]) > bound;
  for (int k = 2; k < kLimbs; ++k) large = mask_or(large, vabs(a.l[k]) > bound);
  return mask_and(large, is_finite(a.l[0]));
}

// Same value, leading limb dominant: a bottom-up TwoSum sweep, then a
// top-down sweep that drops zero errors.
LIMBS_HD inline Row renormalise(const Row& a) {
  double t[kLimbs];
  double s = a.l[7];
  for (int k = 6; k >= 0; --k) two_sum(a.l[k], s, s, t[k + 1]);
  t[0] = s;
  Row out = zero_row();
  int i = 0;
  s = t[0];
  for (int k = 1; k < kLimbs; ++k) {
    double s2, e;
    two_sum(s, t[k], s2, e);
    if (e != 0.0) {
      out.l[i++] = s2;
      s = e;
    } else {
      s = s2;
    }
  }
  out.l[i] = s;
  return out;
}

// Lane i of a row of lanes, and back.
template <class D>
LIMBS_HD LIMBS_STEP inline Row row_lane(const RowOf<D>& a, int i) {
  Row r;
  for (int k = 0; k < kLimbs; ++k) r.l[k] = lane(a.l[k], i);
  return r;
}

template <class D>
LIMBS_HD LIMBS_STEP inline void set_row_lane(RowOf<D>& a, int i, const Row& r) {
  for (int k = 0; k < kLimbs; ++k) set_lane(a.l[k], i, r.l[k]);
}

#if defined(LIMBS_HAVE_LANES4)
// Four rows, at p[0..3], into the lanes of one row and back: two 4x4
// transposes (limbs 0..3 and 4..7) instead of 64 lane moves.
LIMBS_STEP inline RowOf<Lanes4> load_lanes(const double* const p[4]) {
  RowOf<Lanes4> r;
  for (int h = 0; h < kLimbs; h += 4) {
    LanesVector a, b, c, d;
    load_vector(p[0] + h, a);
    load_vector(p[1] + h, b);
    load_vector(p[2] + h, c);
    load_vector(p[3] + h, d);
    transpose4(a, b, c, d);
    r.l[h].v = a;
    r.l[h + 1].v = b;
    r.l[h + 2].v = c;
    r.l[h + 3].v = d;
  }
  return r;
}

// The four rows of r to p, p + kLimbs, p + 2 kLimbs and p + 3 kLimbs.
LIMBS_STEP inline void store_lanes(const RowOf<Lanes4>& r, double* p) {
  for (int h = 0; h < kLimbs; h += 4) {
    LanesVector a = r.l[h].v, b = r.l[h + 1].v, c = r.l[h + 2].v, d = r.l[h + 3].v;
    transpose4(a, b, c, d);
    store_vector(a, p + h);
    store_vector(b, p + kLimbs + h);
    store_vector(c, p + 2 * kLimbs + h);
    store_vector(d, p + 3 * kLimbs + h);
  }
}

// Consecutive rows in[0 .. kLaneCount<L>) into the lanes of one row, and back.
template <class L>
LIMBS_STEP inline RowOf<L> load_rows(const Row* in);
template <>
LIMBS_STEP inline RowOf<Lanes4> load_rows<Lanes4>(const Row* in) {
  const double* const p[4] = {in[0].l, in[1].l, in[2].l, in[3].l};
  return load_lanes(p);
}
template <>
LIMBS_STEP inline RowOf<Lanes8> load_rows<Lanes8>(const Row* in) {
  const RowOf<Lanes4> lo = load_rows<Lanes4>(in), hi = load_rows<Lanes4>(in + 4);
  RowOf<Lanes8> r;
  for (int k = 0; k < kLimbs; ++k) r.l[k] = Lanes8{{lo.l[k].v, hi.l[k].v}};
  return r;
}

LIMBS_STEP inline void store_rows(const RowOf<Lanes4>& r, Row* out) { store_lanes(r, out[0].l); }
LIMBS_STEP inline void store_rows(const RowOf<Lanes8>& r, Row* out) {
  RowOf<Lanes4> lo, hi;
  for (int k = 0; k < kLimbs; ++k) {
    lo.l[k].v = r.l[k].v[0];
    hi.l[k].v = r.l[k].v[1];
  }
  store_lanes(lo, out[0].l);
  store_lanes(hi, out[4].l);
}
#endif

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> select_row(const Mask<D>& m, const RowOf<D>& a,
                                               const RowOf<D>& b) {
  RowOf<D> r;
  for (int k = 0; k < kLimbs; ++k) r.l[k] = select(m, a.l[k], b.l[k]);
  return r;
}

// Lane-wise bitwise equality of all 8 limbs.
template <class D>
LIMBS_HD LIMBS_STEP inline Mask<D> same_row_bits(const RowOf<D>& a, const RowOf<D>& b) {
  Mask<D> m = same_bits(a.l[0], b.l[0]);
  for (int k = 1; k < kLimbs; ++k) m = mask_and(m, same_bits(a.l[k], b.l[k]));
  return m;
}

// The row as the products see it: renormalised only when it must be, so
// ordinary rows keep their bits. Renormalising drops zero errors at
// data-dependent places, so lanes that need it (rare) are done one by one.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> dominant(const RowOf<D>& a) {
  const Mask<D> m = needs_renormalise(a);
  if (!any(m)) return a;
  RowOf<D> r = a;
  for (int i = 0; i < kLaneCount<D>; ++i)
    if (mask_lane(m, i)) set_row_lane(r, i, renormalise(row_lane(a, i)));
  return r;
}

// An operand as the tensor product sees it: the dominant row and the
// Veltkamp halves of its leading limb. Both depend on the operand only, so
// an operand of many products is prepared once; the products are the same.
template <class D>
struct Factor {
  RowOf<D> row;
  D hi, lo;
};

template <class D>
LIMBS_HD LIMBS_STEP inline Factor<D> factor(const RowOf<D>& a) {
  Factor<D> f;
  f.row = dominant(a);
  split(f.row.l[0], f.hi, f.lo);
  return f;
}

// Product of two elements from their leading three limbs: TwoProduct of the
// leading limbs, second-order terms into limb 1, third-order into limb 2;
// limbs 3..7 of the result are zero.
template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> mul(const Factor<D>& fa, const Factor<D>& fb) {
  const RowOf<D>& a = fa.row;
  const RowOf<D>& b = fb.row;
  const D p = a.l[0] * b.l[0];
  const D e = product_error(p, fa.hi, fa.lo, fb.hi, fb.lo);
  RowOf<D> r = zero_row<D>();
  r.l[0] = p;
  r.l[1] = (e + a.l[0] * b.l[1]) + a.l[1] * b.l[0];
  r.l[2] = (a.l[1] * b.l[1] + a.l[0] * b.l[2]) + a.l[2] * b.l[0];
  return r;
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> mul(const RowOf<D>& a, const RowOf<D>& b) {
  return mul(factor(a), factor(b));
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> mul(const Factor<D>& a, const RowOf<D>& b) {
  return mul(a, factor(b));
}

template <class D>
LIMBS_HD LIMBS_STEP inline RowOf<D> mul(const RowOf<D>& a, const Factor<D>& b) {
  return mul(factor(a), b);
}

}  // namespace limbs
