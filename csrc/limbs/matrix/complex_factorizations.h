// Dense factorisations of complex matrices: LU with partial pivoting,
// Cholesky, Householder QR, Hessenberg reduction and single-shift QR for the
// eigenvalues and eigenvectors of general matrices, Jacobi rotations for
// Hermitian ones and one-sided Jacobi for the SVD. Each works on one matrix;
// batching is the caller's loop.
//
// Elements are pairs of extended values: expansions renormalised after every
// operation and cut to four limbs, with products of all the terms down to
// the fourth order. Every step is then accurate to about 2^-200 relative,
// so ill-conditioned eigenvalues (the roots of Wilkinson's polynomial from
// its companion matrix) keep about 50 digits where the library's three-limb
// products would keep about 17. Sums are exact before the cut (renormalise
// is an error-free transformation); results are reproducible bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "limbs/core/order.h"
#include "limbs/core/row.h"

namespace limbs {
namespace cx {

// --- extended values -----------------------------------------------------------

constexpr int kKeep = 4;

// The sum of the limbs as a non-overlapping expansion in the leading four.
inline Row xnorm(const Row& a) {
  if (!std::isfinite(a.l[0])) return from_double(a.l[0]);
  Row r = renormalise(a);
  for (int k = kKeep; k < kLimbs; ++k) r.l[k] = 0.0;
  return r;
}

inline Row xfrom(double v) { return from_double(v); }

// The binary exponent of v; 0 for zero, inf and NaN, whose ilogb would make
// a scaling by its negation overflow.
inline int exponent_of(double v) { return (v == 0.0 || !std::isfinite(v)) ? 0 : std::ilogb(v); }

inline bool xfinite(const Row& a) {
  for (int k = 0; k < kKeep; ++k)
    if (!std::isfinite(a.l[k])) return false;
  return true;
}

// a + b: the eight leading limbs merged by magnitude so that renormalise's
// sweeps see them in order, then renormalised.
inline Row xadd(const Row& a, const Row& b) {
  if (!std::isfinite(a.l[0]) || !std::isfinite(b.l[0])) return from_double(a.l[0] + b.l[0]);
  Row m;
  int i = 0, j = 0;
  for (int k = 0; k < kLimbs; ++k) {
    const bool take_a = j >= kKeep || (i < kKeep && std::fabs(a.l[i]) >= std::fabs(b.l[j]));
    m.l[k] = take_a ? a.l[i++] : b.l[j++];
  }
  return xnorm(m);
}

inline Row xneg(const Row& a) { return neg(a); }
inline Row xsub(const Row& a, const Row& b) { return xadd(a, neg(b)); }

// Exact scaling by a power of two (no overflow or underflow in range).
inline Row xscale(const Row& a, int e) {
  Row r = a;
  for (int k = 0; k < kKeep; ++k) r.l[k] = std::ldexp(a.l[k], e);
  return r;
}

// a * b from the terms a_i b_j with i + j <= 3, the leading ones as exact
// products; the two groups are summed exactly and then added.
inline Row xmul(const Row& a, const Row& b) {
  if (!std::isfinite(a.l[0]) || !std::isfinite(b.l[0])) return from_double(a.l[0] * b.l[0]);
  double p[6], e[6];
  const int ia[6] = {0, 0, 1, 0, 1, 2}, ib[6] = {0, 1, 0, 2, 1, 0};
  for (int t = 0; t < 6; ++t) two_product(a.l[ia[t]], b.l[ib[t]], p[t], e[t]);
  Row hi, lo;
  hi.l[0] = p[0];
  hi.l[1] = p[1];
  hi.l[2] = p[2];
  hi.l[3] = e[0];
  hi.l[4] = p[3];
  hi.l[5] = p[4];
  hi.l[6] = p[5];
  hi.l[7] = e[1];
  lo.l[0] = e[2];
  lo.l[1] = e[3];
  lo.l[2] = e[4];
  lo.l[3] = e[5];
  lo.l[4] = a.l[0] * b.l[3];
  lo.l[5] = a.l[1] * b.l[2];
  lo.l[6] = a.l[2] * b.l[1];
  lo.l[7] = a.l[3] * b.l[0];
  return xadd(xnorm(hi), xnorm(lo));
}

// 1 / b by Newton's iteration from the float64 reciprocal (53, 106, 212
// bits), on b scaled near 1 so that no step overflows or underflows.
inline Row xrecip(const Row& b) {
  const double b0 = b.l[0];
  if (b0 == 0.0 || !std::isfinite(b0)) return from_double(1.0 / b0);
  const int e = exponent_of(b0);
  const Row bs = xscale(b, -e);
  Row x = xfrom(1.0 / bs.l[0]);
  for (int it = 0; it < 3; ++it) x = xadd(x, xmul(x, xsub(xfrom(1.0), xmul(bs, x))));
  return xscale(x, -e);
}

// a / b: a times the reciprocal, with one correction by the residual.
inline Row xdiv(const Row& a, const Row& b) {
  const Row r = xrecip(b);
  const Row q = xmul(a, r);
  if (!xfinite(q)) return q;
  return xadd(q, xmul(r, xsub(a, xmul(b, q))));
}

// sqrt(a) from Newton's iteration on 1/sqrt(a), then one correction, on a
// scaled by an even power of two near 1.
inline Row xsqrt(const Row& a0) {
  const double v = a0.l[0];
  if (v <= 0.0 || !std::isfinite(v)) return from_double(std::sqrt(v));
  const int half = exponent_of(v) / 2;
  const Row a = xscale(a0, -2 * half);
  Row y = xfrom(1.0 / std::sqrt(a.l[0]));
  for (int it = 0; it < 3; ++it) {
    const Row r = xsub(xfrom(1.0), xmul(a, xmul(y, y)));
    y = xadd(y, xscale(xmul(y, r), -1));
  }
  const Row s = xmul(a, y);
  return xscale(xadd(s, xscale(xmul(y, xsub(a, xmul(s, s))), -1)), half);
}

// -1, 0, 1, or kUnordered; the leading limb carries the sign.
inline int xsign(const Row& a) {
  if (std::isnan(a.l[0])) return kUnordered;
  return a.l[0] > 0.0 ? 1 : (a.l[0] < 0.0 ? -1 : 0);
}

inline Row xabs(const Row& a) { return xsign(a) < 0 ? neg(a) : a; }

// --- complex values ------------------------------------------------------------

struct C {
  Row re, im;
};

inline C czero() { return {zero_row(), zero_row()}; }
inline C cfrom(double re, double im = 0.0) { return {xfrom(re), xfrom(im)}; }
inline C cadd(const C& a, const C& b) { return {xadd(a.re, b.re), xadd(a.im, b.im)}; }
inline C csub(const C& a, const C& b) { return {xsub(a.re, b.re), xsub(a.im, b.im)}; }
inline C cneg(const C& a) { return {neg(a.re), neg(a.im)}; }
inline C cconj(const C& a) { return {a.re, neg(a.im)}; }
inline C cscale(const C& a, int e) { return {xscale(a.re, e), xscale(a.im, e)}; }
inline C cmul_real(const C& a, const Row& r) { return {xmul(a.re, r), xmul(a.im, r)}; }

// The exact formula, each product to the working precision.
inline C cmul(const C& a, const C& b) {
  return {xsub(xmul(a.re, b.re), xmul(a.im, b.im)), xadd(xmul(a.re, b.im), xmul(a.im, b.re))};
}

// conj(a) * b, the term of inner products and reflections.
inline C cmul_conj(const C& a, const C& b) {
  return {xadd(xmul(a.re, b.re), xmul(a.im, b.im)), xsub(xmul(a.re, b.im), xmul(a.im, b.re))};
}

inline bool cis_zero(const C& a) { return xsign(a.re) == 0 && xsign(a.im) == 0; }
inline bool cfinite(const C& a) { return xfinite(a.re) && xfinite(a.im); }

// |re| + |im| in float64: pivots and convergence tests only.
inline double cabs1(const C& a) { return std::fabs(a.re.l[0]) + std::fabs(a.im.l[0]); }

// The power of two that brings max(|re|, |im|) near 1.
inline int cexponent(const C& a) {
  const double m = std::max(std::fabs(a.re.l[0]), std::fabs(a.im.l[0]));
  return exponent_of(m);
}

// |a|^2 and |a|, scaled by a power of two so that the squares cannot
// overflow or underflow.
inline Row cnorm2(const C& a) { return xadd(xmul(a.re, a.re), xmul(a.im, a.im)); }
inline Row cabs(const C& a) {
  const int e = cexponent(a);
  return xscale(xsqrt(cnorm2(cscale(a, -e))), e);
}

// z / |z|, from z scaled by a power of two so that tiny or huge z keep
// the quotient finite.
inline C cunit(const C& z) {
  const C zs = cscale(z, -cexponent(z));
  const Row inv = xrecip(cabs(zs));
  return cmul_real(zs, inv);
}

// a / b as a conj(b) / |b|^2 with b scaled by a power of two first.
inline C cdiv(const C& a, const C& b) {
  const int e = cexponent(b);
  const C bs = cscale(b, -e);
  const Row inv = xrecip(cnorm2(bs));
  const C q = cmul_real(cmul_conj(bs, a), inv);
  return cscale(q, -e);
}

inline C cdiv_real(const C& a, const Row& r) { return {xdiv(a.re, r), xdiv(a.im, r)}; }

// Principal square root: t = sqrt((|z| + |re|) / 2), the other part im / 2t.
inline C csqrt(const C& z) {
  if (cis_zero(z)) return czero();
  const Row t = xsqrt(xscale(xadd(cabs(z), xabs(z.re)), -1));
  const Row other = xdiv(xabs(z.im), xscale(t, 1));
  if (xsign(z.re) >= 0) return {t, xsign(z.im) < 0 ? neg(other) : other};
  return {other, xsign(z.im) < 0 ? neg(t) : t};
}

// --- matrices ------------------------------------------------------------------

struct CMatrix {
  int64_t rows = 0, cols = 0;
  std::vector<C> data;
  CMatrix() = default;
  CMatrix(int64_t r, int64_t c) : rows(r), cols(c), data(static_cast<size_t>(r * c), czero()) {}
  C& at(int64_t i, int64_t j) { return data[static_cast<size_t>(i * cols + j)]; }
  const C& at(int64_t i, int64_t j) const { return data[static_cast<size_t>(i * cols + j)]; }
};

// From the rows of a real view: element (i, j) is rows 2 (i cols + j) and
// the one after it.
inline CMatrix cmatrix_from_rows(const Row* p, int64_t rows, int64_t cols) {
  CMatrix a(rows, cols);
  for (int64_t k = 0; k < rows * cols; ++k)
    a.data[static_cast<size_t>(k)] = {xnorm(p[2 * k]), xnorm(p[2 * k + 1])};
  return a;
}

inline void cmatrix_to_rows(const CMatrix& a, Row* p) {
  for (int64_t k = 0; k < a.rows * a.cols; ++k) {
    p[2 * k] = a.data[static_cast<size_t>(k)].re;
    p[2 * k + 1] = a.data[static_cast<size_t>(k)].im;
  }
}

inline CMatrix cidentity(int64_t n) {
  CMatrix a(n, n);
  for (int64_t i = 0; i < n; ++i) a.at(i, i) = cfrom(1.0);
  return a;
}

// The power of two that brings the largest element of a near 1, and a
// scaled by its inverse (exact): products and squares of the scaled
// elements can neither overflow nor underflow.
inline int balance_exponent(const CMatrix& a) {
  double m = 0.0;
  for (const C& z : a.data) m = std::max(m, cabs1(z));
  return exponent_of(m);
}

inline CMatrix scaled(const CMatrix& a, int e) {
  CMatrix r = a;
  for (C& z : r.data) z = cscale(z, e);
  return r;
}

inline bool all_finite(const CMatrix& a) {
  for (const C& z : a.data)
    if (!cfinite(z)) return false;
  return true;
}

inline CMatrix filled_nan(int64_t rows, int64_t cols) {
  CMatrix a(rows, cols);
  for (C& z : a.data) z = cfrom(kNaN, kNaN);
  return a;
}

// --- LU ------------------------------------------------------------------------

// In place, zgetrf's pivoting (the largest |re| + |im|, first on ties);
// pivots 0-based. Returns 0 or the 1-based column of the first exactly zero
// pivot (that column is skipped).
inline int64_t lu_factor(CMatrix& a, std::vector<int64_t>& pivots) {
  const int64_t n = a.rows;
  pivots.assign(static_cast<size_t>(n), 0);
  int64_t info = 0;
  for (int64_t j = 0; j < n; ++j) {
    int64_t p = j;
    double best = cabs1(a.at(j, j));
    for (int64_t i = j + 1; i < n; ++i) {
      const double v = cabs1(a.at(i, j));
      if (v > best) best = v, p = i;
    }
    pivots[static_cast<size_t>(j)] = p;
    if (p != j)
      for (int64_t c = 0; c < a.cols; ++c) std::swap(a.at(j, c), a.at(p, c));
    if (cis_zero(a.at(j, j))) {
      if (info == 0) info = j + 1;
      continue;
    }
    for (int64_t i = j + 1; i < n; ++i) {
      const C f = cdiv(a.at(i, j), a.at(j, j));
      a.at(i, j) = f;
      for (int64_t c = j + 1; c < n; ++c) a.at(i, c) = csub(a.at(i, c), cmul(f, a.at(j, c)));
    }
  }
  return info;
}

// X with A X = B from lu_factor's result, in place in b (n x k).
inline void lu_solve(const CMatrix& lu, const std::vector<int64_t>& pivots, CMatrix& b) {
  const int64_t n = lu.rows, k = b.cols;
  for (int64_t j = 0; j < n; ++j) {
    const int64_t p = pivots[static_cast<size_t>(j)];
    if (p != j)
      for (int64_t c = 0; c < k; ++c) std::swap(b.at(j, c), b.at(p, c));
  }
  for (int64_t c = 0; c < k; ++c) {
    for (int64_t i = 0; i < n; ++i) {
      C v = b.at(i, c);
      for (int64_t j = 0; j < i; ++j) v = csub(v, cmul(lu.at(i, j), b.at(j, c)));
      b.at(i, c) = v;
    }
    for (int64_t i = n - 1; i >= 0; --i) {
      C v = b.at(i, c);
      for (int64_t j = i + 1; j < n; ++j) v = csub(v, cmul(lu.at(i, j), b.at(j, c)));
      b.at(i, c) = cdiv(v, lu.at(i, i));
    }
  }
}

inline int swap_count(const std::vector<int64_t>& pivots) {
  int s = 0;
  for (size_t j = 0; j < pivots.size(); ++j) s += pivots[j] != static_cast<int64_t>(j);
  return s;
}

// det, its phase (det / |det|, 0 for a singular matrix) and log |det| from
// the diagonal of U. The modulus is kept as a value near 1 times 2^exponent
// so that no size of matrix overflows it; the phase is renormalised to
// modulus 1 at every step.
struct CDet {
  C det, sign;
  Row log_mant;  // log |det| = log(log_mant) + exponent log 2
  int64_t exponent = 0;
  bool zero = false;
};

inline CDet lu_det(const CMatrix& lu, const std::vector<int64_t>& pivots) {
  CDet r;
  const bool odd = swap_count(pivots) % 2 == 1;
  r.det = cfrom(odd ? -1.0 : 1.0);
  r.sign = r.det;
  r.log_mant = xfrom(1.0);
  for (int64_t i = 0; i < lu.rows; ++i) {
    const C& u = lu.at(i, i);
    r.det = cmul(r.det, u);
    if (cis_zero(u)) {
      r.zero = true;
      continue;
    }
    const Row m = cabs(u);
    r.sign = cmul(r.sign, cunit(u));
    r.sign = cdiv_real(r.sign, cabs(r.sign));
    r.log_mant = xmul(r.log_mant, m);
    const int e = exponent_of(r.log_mant.l[0]);
    if (e > 64 || e < -64) {
      r.log_mant = xscale(r.log_mant, -e);
      r.exponent += e;
    }
  }
  if (r.zero) r.sign = czero();
  return r;
}

// --- Cholesky ------------------------------------------------------------------

// L with A = L L^H from the lower triangle of a (the real part of the
// diagonal). Returns 0 or the order of the first leading minor that is not
// positive definite.
inline int64_t cholesky(const CMatrix& a, CMatrix& l) {
  const int64_t n = a.rows;
  l = CMatrix(n, n);
  for (int64_t j = 0; j < n; ++j) {
    Row d = a.at(j, j).re;
    for (int64_t k = 0; k < j; ++k) d = xsub(d, cnorm2(l.at(j, k)));
    if (xsign(d) != 1) return j + 1;
    const Row ljj = xsqrt(d);
    l.at(j, j) = {ljj, zero_row()};
    const Row inv = xrecip(ljj);
    for (int64_t i = j + 1; i < n; ++i) {
      C v = a.at(i, j);
      for (int64_t k = 0; k < j; ++k) v = csub(v, cmul(l.at(i, k), cconj(l.at(j, k))));
      l.at(i, j) = cmul_real(v, inv);
    }
  }
  return 0;
}

// --- Householder QR ------------------------------------------------------------

// zlarfg: H = I - tau v v^H with v_0 = 1 and H^H x = beta e_0, beta real
// with the sign opposite to re(x_0). tau = 0 when x is already beta e_0.
struct Reflector {
  std::vector<C> v;
  C tau;
  Row beta;
};

inline Reflector make_reflector(const std::vector<C>& x) {
  Reflector h{x, czero(), x[0].re};
  Row tail = zero_row();
  for (size_t i = 1; i < x.size(); ++i) tail = xadd(tail, cnorm2(x[i]));
  const C alpha = x[0];
  if (xsign(tail) == 0 && xsign(alpha.im) == 0) {
    h.v.assign(x.size(), czero());
    h.v[0] = cfrom(1.0);
    return h;
  }
  Row norm = xsqrt(xadd(cnorm2(alpha), tail));
  if (xsign(alpha.re) >= 0) norm = neg(norm);
  h.beta = norm;
  h.tau = cdiv_real(csub({norm, zero_row()}, alpha), norm);
  const C scale = csub(alpha, {norm, zero_row()});
  h.v[0] = cfrom(1.0);
  for (size_t i = 1; i < x.size(); ++i) h.v[i] = cdiv(x[i], scale);
  return h;
}

// Rows r0.. of columns [c0, c1) of a times (I - t v v^H): t = conj(tau) for
// H^H from the left.
inline void reflect_left(CMatrix& a, const std::vector<C>& v, const C& t, int64_t r0, int64_t c0,
                         int64_t c1) {
  for (int64_t c = c0; c < c1; ++c) {
    C w = czero();
    for (size_t i = 0; i < v.size(); ++i) w = cadd(w, cmul_conj(v[i], a.at(r0 + i, c)));
    const C f = cmul(t, w);
    for (size_t i = 0; i < v.size(); ++i) a.at(r0 + i, c) = csub(a.at(r0 + i, c), cmul(f, v[i]));
  }
}

// A = Q R with zgeqrf's reflectors; Q is m x m when complete, else m x k.
inline void householder_qr(const CMatrix& a, bool complete, CMatrix& q, CMatrix& r) {
  const int64_t m = a.rows, n = a.cols, k = std::min(m, n);
  r = a;
  std::vector<Reflector> hs;
  for (int64_t j = 0; j < k; ++j) {
    std::vector<C> x(static_cast<size_t>(m - j));
    for (int64_t i = j; i < m; ++i) x[static_cast<size_t>(i - j)] = r.at(i, j);
    Reflector h = make_reflector(x);
    reflect_left(r, h.v, cconj(h.tau), j, j + 1, n);
    r.at(j, j) = {h.beta, zero_row()};
    for (int64_t i = j + 1; i < m; ++i) r.at(i, j) = czero();
    hs.push_back(std::move(h));
  }
  const int64_t qc = complete ? m : k;
  q = CMatrix(m, qc);
  for (int64_t i = 0; i < std::min(m, qc); ++i) q.at(i, i) = cfrom(1.0);
  for (int64_t j = k - 1; j >= 0; --j)
    reflect_left(q, hs[static_cast<size_t>(j)].v, hs[static_cast<size_t>(j)].tau, j, 0, qc);
}

// --- Givens rotations ------------------------------------------------------------

// G = [[c, s], [-conj(s), c]], c real, with G [f; g] = [r; 0].
struct Rotation {
  Row c;
  C s, r;
};

inline Rotation make_rotation(const C& f, const C& g) {
  if (cis_zero(g)) return {xfrom(1.0), czero(), f};
  if (cis_zero(f)) return {zero_row(), cconj(cunit(g)), {cabs(g), zero_row()}};
  // f and g scaled together, so that c, s and the norm come from values near
  // 1 whatever the size of the pair.
  const int e = std::max(cexponent(f), cexponent(g));
  const C fs = cscale(f, -e), gs = cscale(g, -e);
  const Row af = cabs(fs);
  const Row norm = xsqrt(xadd(cnorm2(fs), cnorm2(gs)));
  const C phase = cunit(f);
  const Row inv = xrecip(norm);
  return {xmul(af, inv), cmul_real(cmul(phase, cconj(gs)), inv), cscale(cmul_real(phase, norm), e)};
}

// Rows i, i + 1 of columns [c0, c1) become G times them.
inline void rotate_rows(CMatrix& a, const Rotation& g, int64_t i, int64_t c0, int64_t c1) {
  const C ms = cneg(cconj(g.s));
  for (int64_t c = c0; c < c1; ++c) {
    const C x = a.at(i, c), y = a.at(i + 1, c);
    a.at(i, c) = cadd(cmul_real(x, g.c), cmul(g.s, y));
    a.at(i + 1, c) = cadd(cmul(ms, x), cmul_real(y, g.c));
  }
}

// Columns j, j + 1 of rows [r0, r1) become them times G^H.
inline void rotate_cols(CMatrix& a, const Rotation& g, int64_t j, int64_t r0, int64_t r1) {
  const C sc = cconj(g.s), ms = cneg(g.s);
  for (int64_t r = r0; r < r1; ++r) {
    const C x = a.at(r, j), y = a.at(r, j + 1);
    a.at(r, j) = cadd(cmul_real(x, g.c), cmul(sc, y));
    a.at(r, j + 1) = cadd(cmul(ms, x), cmul_real(y, g.c));
  }
}

// --- general eigenproblem ----------------------------------------------------------

// A subdiagonal element below this times its diagonal neighbours is zero to
// the working precision (about 2^-200 relative, with room for the rounding
// of n-term sums).
constexpr double kDeflate = 1e-55;
// Iterations per eigenvalue before giving up; exceptional shifts every 10.
constexpr int kMaxIterations = 100;
// For a real matrix: an imaginary part below this times the largest element
// is zero, and two eigenvalues that far from each other's conjugate are a
// pair. The arithmetic leaves about 1e-60 times the eigenvalue's condition
// there; a genuine pair that close to the real axis is a double real
// eigenvalue to far more digits than float64 holds.
constexpr double kRealTolerance = 1e-40;

struct CEigen {
  std::vector<C> values;
  CMatrix vectors;  // unit columns
  bool converged = true;
};

// The eigenvalue of [[a, b], [c, d]] nearer to d: d - bc / (p + sqrt(p^2 + bc))
// with p = (a - d) / 2 and the root's sign that avoids cancellation.
inline C wilkinson_shift(const C& a, const C& b, const C& c, const C& d) {
  const C p = cscale(csub(a, d), -1);
  const C bc = cmul(b, c);
  if (cis_zero(bc)) return d;
  C disc = csqrt(cadd(cmul(p, p), bc));
  const C dot = cmul_conj(p, disc);
  if (xsign(dot.re) < 0) disc = cneg(disc);
  const C den = cadd(p, disc);
  if (cis_zero(den)) return d;
  return csub(d, cdiv(bc, den));
}

// Eigenvalues in the order of the diagonal of the Schur form T = Z^H A Z,
// eigenvectors Z x with x from back substitution in T.
inline CEigen eig(const CMatrix& a0, bool want_vectors, bool real_input) {
  const int64_t n = a0.rows;
  CEigen out;
  const int scale = balance_exponent(a0);
  CMatrix h = scaled(a0, -scale);
  CMatrix z = cidentity(n);
  // Hessenberg form by rotations from the bottom of each column.
  for (int64_t k = 0; k + 2 < n; ++k)
    for (int64_t i = n - 1; i > k + 1; --i) {
      if (cis_zero(h.at(i, k))) continue;
      const Rotation g = make_rotation(h.at(i - 1, k), h.at(i, k));
      rotate_rows(h, g, i - 1, k, n);
      h.at(i - 1, k) = g.r;
      h.at(i, k) = czero();
      rotate_cols(h, g, i - 1, 0, n);
      rotate_cols(z, g, i - 1, 0, n);
    }
  double hnorm = 0.0;
  for (const C& v : h.data) hnorm = std::max(hnorm, cabs1(v));
  int64_t hi = n - 1;
  int its = 0;
  while (hi >= 0) {
    int64_t l = hi;
    for (; l > 0; --l) {
      const double sub = cabs1(h.at(l, l - 1));
      double diag = cabs1(h.at(l, l)) + cabs1(h.at(l - 1, l - 1));
      if (diag == 0.0) diag = hnorm;
      if (sub <= kDeflate * diag || sub <= 1e-3 * kDeflate * kDeflate * hnorm) {
        h.at(l, l - 1) = czero();
        break;
      }
    }
    if (l == hi) {
      --hi;
      its = 0;
      continue;
    }
    if (++its > kMaxIterations) {
      out.converged = false;
      break;
    }
    C shift;
    if (its % 10 == 0) {
      // zlahqr's exceptional shift, from the bottom or the top of the block.
      const int64_t at = its % 20 == 0 ? hi : l;
      const int64_t below = at == hi ? hi : l + 1;
      const Row s = xmul(xfrom(0.75), xabs(h.at(below, below - 1).re));
      shift = cadd(h.at(at, at), {s, zero_row()});
    } else {
      shift =
          wilkinson_shift(h.at(hi - 1, hi - 1), h.at(hi - 1, hi), h.at(hi, hi - 1), h.at(hi, hi));
    }
    for (int64_t k = l; k < hi; ++k) {
      Rotation g;
      if (k == l) {
        g = make_rotation(csub(h.at(l, l), shift), h.at(l + 1, l));
      } else {
        g = make_rotation(h.at(k, k - 1), h.at(k + 1, k - 1));
      }
      rotate_rows(h, g, k, k == l ? l : k - 1, n);
      if (k > l) {
        h.at(k, k - 1) = g.r;
        h.at(k + 1, k - 1) = czero();
      }
      rotate_cols(h, g, k, 0, std::min(k + 3, hi + 1));
      rotate_cols(z, g, k, 0, n);
    }
  }
  // A real matrix's spectrum is closed under conjugation, as LAPACK's dgeev
  // returns it: an imaginary part at the noise level is zero, and the other
  // eigenvalues are paired with the nearest conjugate of the opposite sign.
  std::vector<int64_t> partner(static_cast<size_t>(n), -1);
  std::vector<bool> real_value(static_cast<size_t>(n), false);
  if (real_input && out.converged) {
    const double tol = kRealTolerance * hnorm;
    for (int64_t i = 0; i < n; ++i)
      if (std::fabs(h.at(i, i).im.l[0]) <= tol) {
        real_value[static_cast<size_t>(i)] = true;
        h.at(i, i).im = zero_row();
      }
    for (int64_t i = 0; i < n; ++i) {
      if (real_value[static_cast<size_t>(i)] || h.at(i, i).im.l[0] < 0.0) continue;
      const C want = cconj(h.at(i, i));
      int64_t best = -1;
      double best_d = 0.0;
      for (int64_t j = 0; j < n; ++j) {
        if (real_value[static_cast<size_t>(j)] || partner[static_cast<size_t>(j)] >= 0 ||
            h.at(j, j).im.l[0] > 0.0)
          continue;
        const double d = cabs1(csub(h.at(j, j), want));
        if (d <= tol && (best < 0 || d < best_d)) best = j, best_d = d;
      }
      if (best < 0) continue;
      partner[static_cast<size_t>(i)] = best;
      partner[static_cast<size_t>(best)] = i;
      h.at(best, best) = want;
    }
  }
  out.values.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) out.values[static_cast<size_t>(i)] = cscale(h.at(i, i), scale);
  if (!want_vectors || !out.converged) return out;
  // ztrevc: a zero difference of eigenvalues is replaced by a tiny one.
  const double smin = std::max(1e-60 * hnorm, 1e-290);
  out.vectors = CMatrix(n, n);
  for (int64_t k = 0; k < n; ++k) {
    std::vector<C> x(static_cast<size_t>(k + 1), czero());
    x[static_cast<size_t>(k)] = cfrom(1.0);
    const C lambda = h.at(k, k);
    for (int64_t i = k - 1; i >= 0; --i) {
      C s = czero();
      for (int64_t j = i + 1; j <= k; ++j) s = cadd(s, cmul(h.at(i, j), x[static_cast<size_t>(j)]));
      C d = csub(h.at(i, i), lambda);
      if (cabs1(d) < smin) d = cfrom(smin);
      x[static_cast<size_t>(i)] = cneg(cdiv(s, d));
      // Keeps the partial vector far from overflow; only its direction matters.
      const double big = cabs1(x[static_cast<size_t>(i)]);
      if (big > 1e100) {
        const int e = exponent_of(big);
        for (int64_t j = i; j <= k; ++j)
          x[static_cast<size_t>(j)] = cscale(x[static_cast<size_t>(j)], -e);
      }
    }
    std::vector<C> v(static_cast<size_t>(n), czero());
    for (int64_t r = 0; r < n; ++r)
      for (int64_t j = 0; j <= k; ++j)
        v[static_cast<size_t>(r)] =
            cadd(v[static_cast<size_t>(r)], cmul(z.at(r, j), x[static_cast<size_t>(j)]));
    // Unit 2-norm with the largest component real and positive, as zgeev.
    int64_t big = 0;
    int e = 0;
    const auto modulus2 = [](const C& z) { return z.re.l[0] * z.re.l[0] + z.im.l[0] * z.im.l[0]; };
    for (int64_t r = 0; r < n; ++r) {
      if (modulus2(v[static_cast<size_t>(r)]) > modulus2(v[static_cast<size_t>(big)])) big = r;
    }
    e = cexponent(v[static_cast<size_t>(big)]);
    Row ss = zero_row();
    for (int64_t r = 0; r < n; ++r) {
      v[static_cast<size_t>(r)] = cscale(v[static_cast<size_t>(r)], -e);
      ss = xadd(ss, cnorm2(v[static_cast<size_t>(r)]));
    }
    const C top = v[static_cast<size_t>(big)];
    const C phase = cdiv_real(cconj(top), xmul(cabs(top), xsqrt(ss)));
    for (int64_t r = 0; r < n; ++r) out.vectors.at(r, k) = cmul(v[static_cast<size_t>(r)], phase);
    // With its largest component real, the vector of a real eigenvalue of a
    // real matrix is real up to noise.
    if (real_value[static_cast<size_t>(k)])
      for (int64_t r = 0; r < n; ++r) out.vectors.at(r, k).im = zero_row();
  }
  // The second of a conjugate pair takes the conjugate of the first's vector.
  for (int64_t k = 0; k < n; ++k) {
    const int64_t j = partner[static_cast<size_t>(k)];
    if (j > k || j < 0) continue;
    for (int64_t r = 0; r < n; ++r) out.vectors.at(r, k) = cconj(out.vectors.at(r, j));
  }
  return out;
}

// --- Hermitian eigenproblem ----------------------------------------------------------

// An off-diagonal element below this times the geometric mean of its
// diagonal pair is not rotated: it moves the eigenvalues by its square.
constexpr double kJacobiTolerance = 1e-40;
// Nor is one below this times the largest element: it is rounding noise of
// the extended arithmetic, and eigenvalues near zero would otherwise have it
// rotated forever.
constexpr double kJacobiNoise = 1e-58;
constexpr int kMaxSweeps = 40;

struct CEigh {
  std::vector<Row> values;  // ascending
  CMatrix vectors;
  bool converged = true;
};

// Cyclic Jacobi: each rotation is the phase diag(1, conj(u)), u = a_pq / |a_pq|,
// that makes a_pq real, then the real rotation of the 2 x 2 symmetric problem.
inline CEigh eigh(const CMatrix& a0, bool want_vectors) {
  const int64_t n = a0.rows;
  const int scale = balance_exponent(a0);
  CMatrix a = scaled(a0, -scale);
  for (int64_t i = 0; i < n; ++i) a.at(i, i).im = zero_row();
  CMatrix v = cidentity(n);
  CEigh out;
  double largest = 0.0;
  for (const C& z : a.data) largest = std::max(largest, cabs1(z));
  const double floor = kJacobiNoise * largest;
  bool done = n < 2;
  for (int sweep = 0; sweep < kMaxSweeps && !done; ++sweep) {
    done = true;
    for (int64_t p = 0; p < n; ++p)
      for (int64_t q = p + 1; q < n; ++q) {
        const C apq = a.at(p, q);
        const double off = cabs1(apq);
        const double app = std::fabs(a.at(p, p).re.l[0]), aqq = std::fabs(a.at(q, q).re.l[0]);
        if (off <= kJacobiTolerance * std::sqrt(app) * std::sqrt(aqq) || off <= floor) continue;
        done = false;
        const Row m = cabs(apq);
        const C u = cunit(apq);
        // tau = (a_qq - a_pp) / 2|a_pq|; t = sign(tau) / (|tau| + sqrt(1 + tau^2)).
        const Row tau = xdiv(xsub(a.at(q, q).re, a.at(p, p).re), xscale(m, 1));
        Row t;
        const Row root = xsqrt(xadd(xfrom(1.0), xmul(tau, tau)));
        if (!xfinite(root)) {
          t = xrecip(xscale(tau, 1));
        } else {
          t = xrecip(xadd(xabs(tau), root));
          if (xsign(tau) < 0) t = neg(t);
        }
        const Row c = xrecip(xsqrt(xadd(xfrom(1.0), xmul(t, t))));
        const Row s = xmul(t, c);
        // U = [[c, s], [-conj(u) s, conj(u) c]] on columns p, q; A <- U^H A U.
        const C cu = cconj(u);
        const C u21 = cneg(cmul_real(cu, s)), u22 = cmul_real(cu, c);
        for (int64_t r = 0; r < n; ++r) {
          const C x = a.at(r, p), y = a.at(r, q);
          a.at(r, p) = cadd(cmul_real(x, c), cmul(y, u21));
          a.at(r, q) = cadd(cmul_real(x, s), cmul(y, u22));
        }
        for (int64_t col = 0; col < n; ++col) {
          const C x = a.at(p, col), y = a.at(q, col);
          a.at(p, col) = cadd(cmul_real(x, c), cmul_conj(u21, y));
          a.at(q, col) = cadd(cmul_real(x, s), cmul_conj(u22, y));
        }
        a.at(p, q) = czero();
        a.at(q, p) = czero();
        a.at(p, p).im = zero_row();
        a.at(q, q).im = zero_row();
        if (want_vectors)
          for (int64_t r = 0; r < n; ++r) {
            const C x = v.at(r, p), y = v.at(r, q);
            v.at(r, p) = cadd(cmul_real(x, c), cmul(y, u21));
            v.at(r, q) = cadd(cmul_real(x, s), cmul(y, u22));
          }
      }
  }
  out.converged = done;
  std::vector<int64_t> order(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
  std::stable_sort(order.begin(), order.end(), [&](int64_t x, int64_t y) {
    return compare_exact(a.at(x, x).re, a.at(y, y).re) == -1;
  });
  out.vectors = CMatrix(want_vectors ? n : 0, want_vectors ? n : 0);
  for (int64_t k = 0; k < n; ++k) {
    const int64_t src = order[static_cast<size_t>(k)];
    out.values.push_back(xscale(a.at(src, src).re, scale));
    if (want_vectors)
      for (int64_t r = 0; r < n; ++r) out.vectors.at(r, k) = v.at(r, src);
  }
  return out;
}

// --- singular value decomposition --------------------------------------------------

struct CSvd {
  CMatrix u;           // m x m (complete) or m x p, orthonormal columns
  std::vector<Row> s;  // p = min(m, n), descending
  CMatrix v;           // n x n or n x p
  bool converged = true;
};

// Columns of the scaled a (m x n, m >= n) rotated by the Jacobi rotation of
// their 2 x 2 Gram matrix until every pair is orthogonal (Hestenes), V the
// product of the rotations. Singular values are the column norms; columns
// whose norm is zero to the working precision are completed by QR.
inline CSvd one_sided_jacobi(const CMatrix& a0, bool complete) {
  const int64_t m = a0.rows, n = a0.cols;
  const int scale = balance_exponent(a0);
  CMatrix a = scaled(a0, -scale);
  CMatrix v = cidentity(n);
  CSvd out;
  const auto dot = [&](int64_t p, int64_t q) {
    C g = czero();
    for (int64_t r = 0; r < m; ++r) g = cadd(g, cmul_conj(a.at(r, p), a.at(r, q)));
    return g;
  };
  double largest = 0.0;
  for (int64_t c = 0; c < n; ++c) largest = std::max(largest, dot(c, c).re.l[0]);
  const double floor = kJacobiNoise * largest;
  bool done = n < 2;
  for (int sweep = 0; sweep < kMaxSweeps && !done; ++sweep) {
    done = true;
    for (int64_t p = 0; p < n; ++p)
      for (int64_t q = p + 1; q < n; ++q) {
        const C g = dot(p, q);
        const Row app = dot(p, p).re, aqq = dot(q, q).re;
        const double off = cabs1(g);
        if (off <= kJacobiTolerance * std::sqrt(app.l[0]) * std::sqrt(aqq.l[0]) || off <= floor)
          continue;
        done = false;
        const Row mg = cabs(g);
        const C u = cunit(g);
        const Row tau = xdiv(xsub(aqq, app), xscale(mg, 1));
        const Row root = xsqrt(xadd(xfrom(1.0), xmul(tau, tau)));
        Row t = xrecip(xfinite(root) ? xadd(xabs(tau), root) : xscale(xabs(tau), 1));
        if (xsign(tau) < 0) t = neg(t);
        const Row c = xrecip(xsqrt(xadd(xfrom(1.0), xmul(t, t))));
        const Row s = xmul(t, c);
        const C cu = cconj(u);
        const C u21 = cneg(cmul_real(cu, s)), u22 = cmul_real(cu, c);
        const auto rotate = [&](CMatrix& x, int64_t rows) {
          for (int64_t r = 0; r < rows; ++r) {
            const C xp = x.at(r, p), xq = x.at(r, q);
            x.at(r, p) = cadd(cmul_real(xp, c), cmul(xq, u21));
            x.at(r, q) = cadd(cmul_real(xp, s), cmul(xq, u22));
          }
        };
        rotate(a, m);
        rotate(v, n);
      }
  }
  out.converged = done;
  std::vector<Row> norms(static_cast<size_t>(n));
  for (int64_t c = 0; c < n; ++c) norms[static_cast<size_t>(c)] = xsqrt(dot(c, c).re);
  std::vector<int64_t> order(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) order[static_cast<size_t>(i)] = i;
  std::stable_sort(order.begin(), order.end(), [&](int64_t x, int64_t y) {
    return compare_exact(norms[static_cast<size_t>(x)], norms[static_cast<size_t>(y)]) == 1;
  });
  const double top = n > 0 ? norms[static_cast<size_t>(order[0])].l[0] : 0.0;
  int64_t found = 0;
  for (int64_t k = 0; k < n; ++k) {
    const Row& sv = norms[static_cast<size_t>(order[static_cast<size_t>(k)])];
    out.s.push_back(xscale(sv, scale));
    if (sv.l[0] > 1e-55 * top) ++found;
  }
  CMatrix uk(m, found);
  for (int64_t k = 0; k < found; ++k) {
    const int64_t src = order[static_cast<size_t>(k)];
    const Row inv = xrecip(norms[static_cast<size_t>(src)]);
    for (int64_t r = 0; r < m; ++r) uk.at(r, k) = cmul_real(a.at(r, src), inv);
  }
  // The columns of zero singular values: an orthonormal complement of those found.
  const int64_t want = complete ? m : n;
  out.u = CMatrix(m, want);
  CMatrix q, rr;
  if (want > found) {
    if (found > 0) {
      householder_qr(uk, true, q, rr);
    } else {
      q = cidentity(m);
    }
  }
  for (int64_t r = 0; r < m; ++r)
    for (int64_t k = 0; k < want; ++k) out.u.at(r, k) = k < found ? uk.at(r, k) : q.at(r, k);
  out.v = CMatrix(n, n);
  for (int64_t k = 0; k < n; ++k)
    for (int64_t r = 0; r < n; ++r) out.v.at(r, k) = v.at(r, order[static_cast<size_t>(k)]);
  return out;
}

}  // namespace cx
}  // namespace limbs
