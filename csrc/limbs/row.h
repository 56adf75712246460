// One element: an expansion of 8 float64 limbs whose exact sum is the value.
// Limb 0 leads; arithmetic pushes the rounding error of limb k into limb k+1.
// Limbs are not kept sorted or non-overlapping. Infinities and NaNs live in
// limb 0.
#pragma once

#include <cmath>

#include "eft.h"

namespace limbs {

struct Row {
  double l[kLimbs];
};

LIMBS_HD inline Row zero_row() {
  Row r;
  for (int k = 0; k < kLimbs; ++k) r.l[k] = 0.0;
  return r;
}

// A fresh element: the value in limb 0, the lower limbs zero.
LIMBS_HD inline Row from_double(double x) {
  Row r = zero_row();
  r.l[0] = x;
  return r;
}

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
LIMBS_HD LIMBS_STEP inline double approx(const Row& a) {
  if (is_special(a)) return a.l[0];
  double s = a.l[7];
  for (int k = 6; k >= 0; --k) s = s + a.l[k];
  return s;
}

// Limb-wise TwoSum with each error shifted one limb down; the error of limb 7
// is dropped. Exact when the operands carry their information in the leading
// limbs; never renormalises.
LIMBS_HD LIMBS_STEP inline Row add(const Row& a, const Row& b) {
  double s[kLimbs], e[kLimbs];
  for (int k = 0; k < kLimbs; ++k) two_sum(a.l[k], b.l[k], s[k], e[k]);
  Row r;
  r.l[0] = s[0];
  for (int k = 1; k < kLimbs; ++k) r.l[k] = s[k] + e[k - 1];
  return r;
}

LIMBS_HD LIMBS_STEP inline Row neg(const Row& a) {
  Row r;
  for (int k = 0; k < kLimbs; ++k) r.l[k] = -a.l[k];
  return r;
}

// a - b is a + (-b); negation is exact.
LIMBS_HD LIMBS_STEP inline Row sub(const Row& a, const Row& b) { return add(a, neg(b)); }

// Product with a float64 number: TwoProduct on all 8 limbs, errors shifted one
// limb down as in add.
LIMBS_HD LIMBS_STEP inline Row mul_scalar(const Row& a, double c) {
  double p[kLimbs], e[kLimbs];
  for (int k = 0; k < kLimbs; ++k) two_product(a.l[k], c, p[k], e[k]);
  Row r;
  r.l[0] = p[0];
  for (int k = 1; k < kLimbs; ++k) r.l[k] = p[k] + e[k - 1];
  return r;
}

// True when a lower limb is too large for products that assume limb 0
// dominates: |l_k| > 2^-49 |l_0| for some k >= 1 (so also l_0 == 0 with a
// non-zero lower limb). Never for an inf/NaN limb 0.
LIMBS_HD LIMBS_STEP inline bool needs_renormalise(const Row& a) {
  if (is_special(a)) return false;
  double bound = 0x1p-49 * std::fabs(a.l[0]);
  for (int k = 1; k < kLimbs; ++k)
    if (std::fabs(a.l[k]) > bound) return true;
  return false;
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

// The row as the products see it: renormalised only when it must be, so
// ordinary rows keep their bits.
LIMBS_HD LIMBS_STEP inline Row dominant(const Row& a) {
  return needs_renormalise(a) ? renormalise(a) : a;
}

// Product of two elements from their leading three limbs: TwoProduct of the
// leading limbs, second-order terms into limb 1, third-order into limb 2;
// limbs 3..7 of the result are zero.
LIMBS_HD LIMBS_STEP inline Row mul(const Row& a_in, const Row& b_in) {
  const Row a = dominant(a_in);
  const Row b = dominant(b_in);
  double p, e;
  two_product(a.l[0], b.l[0], p, e);
  Row r = zero_row();
  r.l[0] = p;
  r.l[1] = (e + a.l[0] * b.l[1]) + a.l[1] * b.l[0];
  r.l[2] = (a.l[1] * b.l[1] + a.l[0] * b.l[2]) + a.l[2] * b.l[0];
  return r;
}

}  // namespace limbs
