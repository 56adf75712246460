// Dense factorisations for the PyTorch-style linear algebra: LU with partial
// pivoting, Cholesky, Householder QR, triangular solves, the symmetric
// eigenproblem (float64 Jacobi, Ogita-Aishima refinement, Jacobi sweeps),
// one-sided Jacobi SVD and the matrix exponential.
// Each works on one matrix (limbs::Matrix, row-major); batching is the
// caller's loop. tarsk's kernels in linalg.h keep their own algorithms.
//
// Element arithmetic is the limb arithmetic of row.h and elementary.h in a
// fixed order, so results are reproducible bit for bit. The product keeps
// limbs 0..2 of its operands, so every step is accurate to about 2^-104
// relative and a well-conditioned n x n problem keeps about 30 digits.
// Pivot choice looks at approx(); zero tests, signs and the order of
// eigenvalues are decided on the exact value (order.h). Jacobi iterations
// stop when a whole sweep finds nothing to rotate, tested on approx of limb
// values against kJacobiTolerance, or after kMaxSweeps sweeps.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

#include "limbs/core/chunks.h"
#include "limbs/elem/defined.h"
#include "limbs/matrix/gemm.h"
#include "limbs/matrix/tarsk_kernels.h"
#include "limbs/matrix/matrix.h"
#include "limbs/core/order.h"
#include "limbs/core/row.h"

namespace limbs {
namespace dense {

// An off-diagonal element (or column product) below this times the geometric
// mean of its diagonal pair is zero to the working precision: rotating it
// changes the eigenvalues by its square and only stirs rounding noise.
constexpr double kJacobiTolerance = 1e-31;
// Jacobi converges quadratically; 40 sweeps is far beyond what any
// matrix needs and only bounds the work on NaN input.
constexpr int kMaxSweeps = 40;
// Largest number of Taylor terms of exp(X) for ||X||_1 <= 1/2; the terms
// stop earlier once they no longer change the sum.
constexpr int kExpMaxTerms = 40;

// acc + a * b.
LIMBS_HD inline Row mul_add(const Row& acc, const Row& a, const Row& b) {
  return add(acc, mul(a, b));
}

inline Row row_abs(const Row& a) { return sign_exact(a) < 0 ? neg(a) : a; }

// --- Blocked elimination ------------------------------------------------------------
//
// The same subtractions in the same order per element as the loops of
// lu_factor_unblocked and triangular_solve_unblocked, but grouped so that
// most of them run through subtract_products_rows over packed operands: one
// element receives sub(x, mul(l, u)) for the pivot columns in ascending
// order whichever way the work is grouped, so the bytes are unchanged.

namespace blocked_detail {

inline double* limbs_at(Matrix& a, int64_t i, int64_t j) { return a.at(i, j).l; }
inline const double* limbs_at(const Matrix& a, int64_t i, int64_t j) { return a.at(i, j).l; }

// rows x cols block of a from (r0, c0); transposed reads it as its transpose.
inline MatrixView block(const Matrix& a, int64_t r0, int64_t c0, int64_t rows, int64_t cols,
                        bool transposed = false) {
  if (transposed) return MatrixView{limbs_at(a, r0, c0), cols, rows, 1, a.cols};
  return MatrixView{limbs_at(a, r0, c0), rows, cols, a.cols, 1};
}

inline MatrixOut block_out(Matrix& a, int64_t r0, int64_t c0) {
  return MatrixOut{limbs_at(a, r0, c0), a.cols, 1};
}

inline int64_t panels_of(int64_t n) { return (n + kPanel - 1) / kPanel; }

// A chunk of output panels should hold some 4096 terms of work.
inline int64_t panel_grain(int64_t work_per_panel) {
  return 4096 / (work_per_panel > 0 ? work_per_panel : 1) + 1;
}

// subtract_products_rows over [k_begin, k_end) without the columns marked in
// skip (those of exactly zero pivots, which the elimination leaves out).
inline void subtract_runs(const char* skip, const double* pa, int64_t a_stride, const double* pb,
                          int64_t k, int64_t k_begin, int64_t k_end, int64_t n, int64_t i_begin,
                          int64_t i_end, const MatrixOut& c) {
  if (skip == nullptr)
    return subtract_products_rows(pa, a_stride, pb, k, k_begin, k_end, n, i_begin, i_end, c);
  for (int64_t lo = k_begin; lo < k_end;) {
    while (lo < k_end && skip[lo]) ++lo;
    int64_t hi = lo;
    while (hi < k_end && !skip[hi]) ++hi;
    if (lo < hi) subtract_products_rows(pa, a_stride, pb, k, lo, hi, n, i_begin, i_end, c);
    lo = hi;
  }
}

// Rows [r0, r0 + h) of x (columns [c0, c0 + w)) solved in order by
// x(i) -= sum_{kk < i} t(i, kk) x(kk) within the block (upper: from the
// last row, kk = i + 1, ..., h - 1), where t's rows are packed in pa
// (a_stride fields per row, column kk of the block at kk), and each finished
// row packed into pb (depth h); then scale(i, element), for a non-unit
// diagonal. identity: x is the identity (lower solves only). Threads take
// disjoint column panels.
template <class Scale>
void solve_rows(const double* pa, int64_t a_stride, Matrix& x, int64_t r0, int64_t c0, int64_t h,
                int64_t w, bool upper, bool identity, const char* skip, double* pb,
                const Scale& scale) {
  const int64_t panels = panels_of(w);
  for_chunks(panels, panel_grain(h * h / 2 * kPanel), [&](int64_t p0, int64_t p1) {
    for (int64_t p = p0; p < p1; ++p) {
      const int64_t col0 = c0 + p * kPanel;
      const int64_t width = std::min(w - p * kPanel, kPanel);
      const MatrixView src = block(x, r0, col0, h, width);
      // This panel of pb, laid out as a packed b of its own.
      double* own = pb + p * h * kPackedFields * kPanel;
      // Columns of a lower solve's identity are exact zeros above their 1, and
      // stay so: those rows and their products are skipped.
      const int64_t first = identity ? p * kPanel : 0;
      for (int64_t step = 0; step < h - first; ++step) {
        const int64_t i = upper ? h - 1 - step : first + step;
        subtract_runs(skip, pa, a_stride, own, h, upper ? i + 1 : first, upper ? h : i, width, i,
                      i + 1, block_out(x, r0, col0));
        for (int64_t c = 0; c < width; ++c) scale(r0 + i, x.at(r0 + i, col0 + c));
        pack_b(src, own, i, i + 1);
      }
    }
  });
}

// Rows [r0, m) of a (columns [c0, c0 + w)) minus the products of the packed
// rows in pa (a_stride fields per row) and packed b (depth k), in parallel
// over rows.
inline void subtract_block(const double* pa, int64_t a_stride, const double* pb, int64_t k,
                           Matrix& a, int64_t r0, int64_t rows, int64_t c0, int64_t w,
                           const char* skip = nullptr) {
  const MatrixOut c = block_out(a, r0, c0);
  const int64_t grain = 4096 / (k * w > 0 ? k * w : 1) + 1;
  for_chunks(rows, grain, [&](int64_t i0, int64_t i1) {
    subtract_runs(skip, pa, a_stride, pb, k, 0, k, w, i0, i1, c);
  });
}

// Packing buffers kept between calls on each thread, up to kKeptScratch
// doubles (4 MB, n = 320) in each of 4 slots: fresh pages for every call cost
// more than a small factorisation. Slots 0 and 1 serve the factorisations,
// 2 and 3 the triangular solves.
constexpr size_t kKeptScratch = size_t(1) << 19;

struct Scratch {
  std::vector<double> own;
  double* get(size_t count, int slot) {
    thread_local std::vector<double> cache[4];
    std::vector<double>& v = count <= kKeptScratch ? cache[slot] : own;
    if (v.size() < count) v.resize(count);
    return v.data();
  }
};

// The recursive LU over columns. Each multiplier column is packed once,
// when it is final (its rows then follow the later swaps), and every level
// packs only the U block it hands to the product kernel.
struct BlockedLu {
  Matrix& a;
  std::vector<int32_t>& pivots;
  int64_t k;
  int64_t info = 0;
  std::vector<char> zero_pivot;  // columns the elimination leaves out
  Scratch s_l, s_b;
  double* pl;  // element (i, j) of L at (i * k + j) * kPackedFields
  double* pb;  // the U block of the current level

  BlockedLu(Matrix& a_, std::vector<int32_t>& pivots_)
      : a(a_), pivots(pivots_), k(std::min(a_.rows, a_.cols)), zero_pivot(size_t(k), 0) {
    pl = s_l.get(static_cast<size_t>(packed_a_size(a.rows, k)), 0);
    pb = s_b.get(static_cast<size_t>(packed_b_size(k / 2, a.cols - k / 2)), 1);
  }

  double* packed_l(int64_t i, int64_t j) { return pl + (i * k + j) * kPackedFields; }

  // Factors columns [c0, c1) (rows c0..m-1) whose earlier columns are done;
  // the block ending at k also carries the columns up to a.cols.
  void columns(int64_t c0, int64_t c1) {
    const int64_t m = a.rows, n = a.cols;
    if (c1 - c0 == 1) return column(c0);
    const int64_t mid = c0 + (c1 - c0) / 2, h = mid - c0;
    const int64_t w = (c1 == k ? n : c1) - mid;
    columns(c0, mid);
    const char* skip = info != 0 ? zero_pivot.data() + c0 : nullptr;
    solve_rows(packed_l(c0, c0), k, a, c0, mid, h, w, false, false, skip, pb, [](int64_t, Row&) {});
    subtract_block(packed_l(mid, c0), k, pb, h, a, mid, m - mid, mid, w, skip);
    columns(mid, c1);
  }

  void column(int64_t j) {
    const int64_t m = a.rows;
    const int64_t p = linalg_detail::pivot_row(a, j, m);
    pivots[static_cast<size_t>(j)] = static_cast<int32_t>(p + 1);
    if (p != j) {
      linalg_detail::swap_rows(a, j, p, a.cols);
      std::swap_ranges(packed_l(j, 0), packed_l(j, j), packed_l(p, 0));
    }
    const Row pivot = a.at(j, j);
    if (sign_exact(pivot) == 0) {
      if (info == 0) info = j + 1;
      zero_pivot[static_cast<size_t>(j)] = 1;
      return;
    }
    const Row inv_pivot = reciprocal(pivot);
    for (int64_t i = j + 1; i < m; ++i) {
      a.at(i, j) = mul(a.at(i, j), inv_pivot);
      pack_element(a.at(i, j).l, packed_l(i, j), 1);
    }
  }
};

}  // namespace blocked_detail

// Below this order the packing costs more than it saves.
constexpr int64_t kBlockedMin = 16;

// --- LU ----------------------------------------------------------------------

// In place: a (m x n) becomes L below the diagonal (unit diagonal implied)
// and U on and above it, with rows swapped as LAPACK's getrf does. pivots
// gets min(m, n) 1-based row numbers. Returns 0, or the 1-based column of
// the first exactly zero pivot (elimination skips that column, as getrf).
inline int64_t lu_factor_unblocked(Matrix& a, std::vector<int32_t>& pivots) {
  const int64_t m = a.rows, n = a.cols, k = std::min(m, n);
  pivots.assign(static_cast<size_t>(k), 0);
  int64_t info = 0;
  for (int64_t j = 0; j < k; ++j) {
    const int64_t p = linalg_detail::pivot_row(a, j, m);
    pivots[static_cast<size_t>(j)] = static_cast<int32_t>(p + 1);
    if (p != j) linalg_detail::swap_rows(a, j, p, n);
    const Row pivot = a.at(j, j);
    if (sign_exact(pivot) == 0) {
      if (info == 0) info = j + 1;
      continue;
    }
    const Row inv_pivot = reciprocal(pivot);
    for (int64_t i = j + 1; i < m; ++i) {
      const Row factor = mul(a.at(i, j), inv_pivot);
      a.at(i, j) = factor;
      for (int64_t c = j + 1; c < n; ++c) a.at(i, c) = sub(a.at(i, c), mul(factor, a.at(j, c)));
    }
  }
  return info;
}

// lu_factor_unblocked's result, bit for bit, through the blocked steps.
inline int64_t lu_factor(Matrix& a, std::vector<int32_t>& pivots) {
  const int64_t k = std::min(a.rows, a.cols);
  if (k < kBlockedMin) return lu_factor_unblocked(a, pivots);
  pivots.assign(static_cast<size_t>(k), 0);
  blocked_detail::BlockedLu lu(a, pivots);
  lu.columns(0, k);
  return lu.info;
}

// Row permutation of getrf's pivots: row i of P A is row perm[i] of A.
inline std::vector<int64_t> pivot_permutation(const std::vector<int32_t>& pivots, int64_t m) {
  std::vector<int64_t> perm(static_cast<size_t>(m));
  std::iota(perm.begin(), perm.end(), int64_t(0));
  for (size_t j = 0; j < pivots.size(); ++j)
    std::swap(perm[j], perm[static_cast<size_t>(pivots[j] - 1)]);
  return perm;
}

inline bool odd_pivots(const std::vector<int32_t>& pivots) {
  bool odd = false;
  for (size_t j = 0; j < pivots.size(); ++j)
    if (pivots[j] != static_cast<int32_t>(j + 1)) odd = !odd;
  return odd;
}

// Solves T X = B in place for a triangular T (n x n) and B (n x k): upper
// or lower, with the diagonal taken as 1 when unit. A zero diagonal element
// gives infinities and NaNs, as LAPACK's trsm does.
inline void triangular_solve_unblocked(const Matrix& t, Matrix& b, bool upper, bool unit) {
  const int64_t n = t.rows, k = b.cols;
  Vector inv_diag(static_cast<size_t>(n), from_double(1.0));
  if (!unit)
    for (int64_t i = 0; i < n; ++i) inv_diag[static_cast<size_t>(i)] = reciprocal(t.at(i, i));
  for (int64_t step = 0; step < n; ++step) {
    const int64_t i = upper ? n - 1 - step : step;
    for (int64_t c = 0; c < k; ++c) {
      Row val = b.at(i, c);
      if (upper) {
        for (int64_t j = i + 1; j < n; ++j) val = sub(val, mul(t.at(i, j), b.at(j, c)));
      } else {
        for (int64_t j = 0; j < i; ++j) val = sub(val, mul(t.at(i, j), b.at(j, c)));
      }
      b.at(i, c) = unit ? val : mul(val, inv_diag[static_cast<size_t>(i)]);
    }
  }
}

// triangular_solve_unblocked's result, bit for bit, with each row's
// subtractions through subtract_products_rows.
inline void triangular_solve(const Matrix& t, Matrix& b, bool upper, bool unit) {
  const int64_t n = t.rows;
  if (n < kBlockedMin) return triangular_solve_unblocked(t, b, upper, unit);
  Vector inv_diag(static_cast<size_t>(unit ? 0 : n));
  for (int64_t i = 0; i < n && !unit; ++i)
    inv_diag[static_cast<size_t>(i)] = reciprocal(t.at(i, i));
  // Only the triangle that the rows read.
  blocked_detail::Scratch s_a, s_b;
  double* pa = s_a.get(static_cast<size_t>(packed_a_size(n, n)), 2);
  for (int64_t i = 0; i < n; ++i)
    for (int64_t kk = upper ? i + 1 : 0; kk < (upper ? n : i); ++kk)
      pack_element(t.at(i, kk).l, pa + (i * n + kk) * kPackedFields, 1);
  double* pb = s_b.get(static_cast<size_t>(packed_b_size(n, b.cols)), 3);
  blocked_detail::solve_rows(pa, n, b, 0, 0, n, b.cols, upper, false, nullptr, pb,
                             [&](int64_t i, Row& x) {
                               if (!unit) x = mul(x, inv_diag[static_cast<size_t>(i)]);
                             });
}

// X with A X = B from lu_factor's result (square n x n): rows of B swapped
// as the pivots say, then the unit-lower and the upper solve.
inline void lu_solve(const Matrix& lu, const std::vector<int32_t>& pivots, Matrix& b) {
  for (size_t j = 0; j < pivots.size(); ++j) {
    const int64_t p = pivots[j] - 1;
    if (p != static_cast<int64_t>(j))
      linalg_detail::swap_rows(b, static_cast<int64_t>(j), p, b.cols);
  }
  triangular_solve(lu, b, false, true);
  triangular_solve(lu, b, true, false);
}

// lu_solve's result on the identity, bit for bit. The unit-lower solve runs
// on I in column order, where each column is exactly zero above its 1, and
// its columns then take the pivots' order; entries that are not finite
// (whose products with zero are not zero) take the plain lu_solve.
inline Matrix lu_inverse(const Matrix& lu, const std::vector<int32_t>& pivots) {
  const int64_t n = lu.rows;
  bool finite = true;
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j < i; ++j)
      for (int l = 0; l < kLimbs; ++l) finite = finite && std::isfinite(lu.at(i, j).l[l]);
  if (n < kBlockedMin || !finite) {
    Matrix x = identity(n);
    lu_solve(lu, pivots, x);
    return x;
  }
  // Slots 0 and 1: the LU is done; triangular_solve below takes 2 and 3.
  blocked_detail::Scratch s_a, s_b;
  double* pa = s_a.get(static_cast<size_t>(packed_a_size(n, n)), 0);
  for (int64_t i = 0; i < n; ++i)
    for (int64_t kk = 0; kk < i; ++kk)
      pack_element(lu.at(i, kk).l, pa + (i * n + kk) * kPackedFields, 1);
  double* pb = s_b.get(static_cast<size_t>(packed_b_size(n, n)), 1);
  Matrix z = identity(n);
  blocked_detail::solve_rows(pa, n, z, 0, 0, n, n, false, true, nullptr, pb, [](int64_t, Row&) {});
  // Column c of P I is the unit vector of the row that P brings to c.
  const std::vector<int64_t> perm = pivot_permutation(pivots, n);
  std::vector<int64_t> source(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) source[static_cast<size_t>(perm[static_cast<size_t>(i)])] = i;
  Matrix y(n, n);
  for (int64_t r = 0; r < n; ++r)
    for (int64_t c = 0; c < n; ++c) y.at(r, c) = z.at(r, source[static_cast<size_t>(c)]);
  triangular_solve(lu, y, true, false);
  return y;
}

// X with A^T X = B from the same factors: A^T = U^T L^T P, so the lower
// solve with U^T, the unit upper solve with L^T (both read from the
// transpose of lu), then the row swaps undone in reverse order.
inline void lu_solve_transposed(const Matrix& lu, const std::vector<int32_t>& pivots, Matrix& b) {
  const Matrix lut = transpose(lu);
  triangular_solve(lut, b, false, false);
  triangular_solve(lut, b, true, true);
  for (size_t j = pivots.size(); j-- > 0;) {
    const int64_t p = pivots[j] - 1;
    if (p != static_cast<int64_t>(j))
      linalg_detail::swap_rows(b, static_cast<int64_t>(j), p, b.cols);
  }
}

// The diagonal of U multiplied from the top, negated for an odd number of
// row swaps.
inline Row lu_det(const Matrix& lu, const std::vector<int32_t>& pivots) {
  Row d = from_double(1.0);
  for (int64_t i = 0; i < lu.rows; ++i) d = mul(d, lu.at(i, i));
  return odd_pivots(pivots) ? neg(d) : d;
}

// sign and log|det| from the LU diagonal; the product is kept as a row times
// 2^exponent so that no size of matrix overflows it.

inline SlogDet lu_slogdet(const Matrix& lu, const std::vector<int32_t>& pivots) {
  Row mant = from_double(1.0);
  int64_t exponent = 0;
  int sign = odd_pivots(pivots) ? -1 : 1;
  for (int64_t i = 0; i < lu.rows; ++i) {
    const Row& u = lu.at(i, i);
    const int s = sign_exact(u);
    if (s == kUnordered) return {from_double(kNaN), from_double(kNaN)};
    if (s == 0) return {zero_row(), from_double(-kInf)};
    if (s < 0) sign = -sign;
    mant = mul(mant, row_abs(u));
    const double m = approx(mant);
    // A product that left the float64 range (only from entries near it) is
    // not rescaled: ilogb has no exponent for it to negate.
    const int e = std::isfinite(m) && m != 0.0 ? std::ilogb(m) : 0;
    if (e > 64 || e < -64) {
      for (int l = 0; l < kLimbs; ++l) mant.l[l] = std::ldexp(mant.l[l], -e);
      exponent += e;
    }
  }
  const Row log_mant = log(mant);
  return {from_double(static_cast<double>(sign)),
          add(log_mant, mul_scalar(row3(kLn2), static_cast<double>(exponent)))};
}

// --- Solve by float64 elimination and refinement ------------------------------------
//
// A x = b for a few right-hand sides: a float64 LU gives a start and each
// correction, the residual b - A x is formed in limb arithmetic, and x
// gathers the corrections with the limb add (Wilson-Moler refinement).
// Each step gains the float64 LU's accuracy, so a few steps reach the
// precision of the residual. Matrices too ill-conditioned for that, and any
// step that stops improving short of it, go to the limb LU instead, which
// also keeps its verdict on singular matrices.

// A pivot below this fraction of the largest entry: refinement would gain
// too little per step to be worth trying.
constexpr double kRefinePivotFloor = 0x1p-40;
constexpr int kRefineMaxSteps = 10;
// Beyond this many right-hand sides the residuals cost more than the LU.
constexpr int64_t kRefineMaxRhs = 8;

namespace refine_detail {

// Rows [i_begin, i_end) of a (n x n) minus their multiple of pivot row j.
LIMBS_VECTOR_CLONES inline void eliminate_rows(double* a, int64_t n, int64_t j, int64_t i_begin,
                                               int64_t i_end) {
  const double* prow = a + j * n;
  for (int64_t i = i_begin; i < i_end; ++i) {
    double* row = a + i * n;
    const double f = row[j] / prow[j];
    row[j] = f;
    for (int64_t c = j + 1; c < n; ++c) row[c] = row[c] - f * prow[c];
  }
}

// In place, partial pivoting on |a| (the first largest wins); perm[j] is the
// row swapped with j. False at a pivot under the floor or a non-finite entry.
inline bool lu_float64(std::vector<double>& a, int64_t n, std::vector<int64_t>& perm) {
  double amax = 0.0;
  for (double v : a) {
    if (!std::isfinite(v)) return false;
    amax = std::max(amax, std::fabs(v));
  }
  perm.assign(static_cast<size_t>(n), 0);
  for (int64_t j = 0; j < n; ++j) {
    int64_t p = j;
    for (int64_t i = j + 1; i < n; ++i)
      if (std::fabs(a[i * n + j]) > std::fabs(a[p * n + j])) p = i;
    perm[static_cast<size_t>(j)] = p;
    if (p != j) std::swap_ranges(&a[j * n], &a[j * n + n], &a[p * n]);
    const double pivot = a[j * n + j];
    if (!(std::fabs(pivot) > amax * kRefinePivotFloor)) return false;
    // Rows are independent: chunks of some 131072 products in parallel (a
    // thread's wake-up costs more than a column of fewer).
    for_chunks(n - j - 1, 131072 / (n - j) + 1, [&](int64_t i0, int64_t i1) {
      eliminate_rows(a.data(), n, j, j + 1 + i0, j + 1 + i1);
    });
  }
  return true;
}

inline void solve_float64(const std::vector<double>& lu, int64_t n,
                          const std::vector<int64_t>& perm, double* x) {
  for (int64_t j = 0; j < n; ++j) std::swap(x[j], x[perm[static_cast<size_t>(j)]]);
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j < i; ++j) x[i] = x[i] - lu[i * n + j] * x[j];
  for (int64_t i = n - 1; i >= 0; --i) {
    for (int64_t j = i + 1; j < n; ++j) x[i] = x[i] - lu[i * n + j] * x[j];
    x[i] = x[i] / lu[i * n + i];
  }
}

}  // namespace refine_detail

// b <- x with a x = b (a n x n, b n x k), or false (b untouched) where the
// caller should factor in limbs.
inline bool refined_solve(const Matrix& a, Matrix& b) {
  using namespace refine_detail;
  const int64_t n = a.rows, k = b.cols;
  if (n == 0 || k == 0) return false;  // the LU still judges a singular A
  std::vector<double> lu(static_cast<size_t>(n * n));
  for (int64_t i = 0; i < n * n; ++i)
    lu[static_cast<size_t>(i)] = approx(a.data[static_cast<size_t>(i)]);
  std::vector<int64_t> perm;
  if (!lu_float64(lu, n, perm)) return false;
  Matrix x(n, k), r(n, k);
  std::vector<double> col(static_cast<size_t>(n));
  // Each column is judged on its own scale and stops on its own.
  std::vector<double> prev(static_cast<size_t>(k));
  std::vector<char> done(static_cast<size_t>(k), 0);
  // Column c of x += lu^-1 approx(column c of r); returns max |correction|.
  auto correct = [&](const Matrix& rhs, int64_t c) {
    double dmax = 0.0;
    for (int64_t i = 0; i < n; ++i) col[static_cast<size_t>(i)] = approx(rhs.at(i, c));
    solve_float64(lu, n, perm, col.data());
    for (int64_t i = 0; i < n; ++i) {
      const double d = col[static_cast<size_t>(i)];
      x.at(i, c) = add(x.at(i, c), from_double(d));
      dmax = std::isfinite(d) ? std::max(dmax, std::fabs(d)) : kInf;
    }
    return dmax;
  };
  for (int64_t c = 0; c < k; ++c) prev[static_cast<size_t>(c)] = correct(b, c);
  for (int step = 0; step < kRefineMaxSteps; ++step) {
    for_chunks(n, 4096 / (n * k) + 1, [&](int64_t i0, int64_t i1) {
      std::vector<double> scratch(static_cast<size_t>(tree_scratch_rows(n) * kLimbs));
      for (int64_t i = i0; i < i1; ++i)
        for (int64_t c = 0; c < k; ++c)
          if (!done[static_cast<size_t>(c)])
            r.at(i, c) = sub(b.at(i, c), dot(a.at(i, 0).l, 1, x.at(0, c).l, k, n, scratch.data()));
    });
    bool all_done = true;
    for (int64_t c = 0; c < k; ++c) {
      if (done[static_cast<size_t>(c)]) continue;
      const double dmax = correct(r, c);
      double xmax = 0.0;
      for (int64_t i = 0; i < n; ++i) xmax = std::max(xmax, std::fabs(approx(x.at(i, c))));
      // Overflow, NaN, or no digit of x settled.
      if (!(dmax <= xmax) || !std::isfinite(xmax)) return false;
      const double p = prev[static_cast<size_t>(c)];
      // Done when the next correction, at this step's rate, would be lost.
      bool stop = dmax <= 0x1p-104 * xmax || dmax * (dmax / p) <= 0x1p-106 * xmax;
      if (!stop && dmax > 0.5 * p) {
        if (dmax > 0x1p-90 * xmax) return false;
        stop = true;  // stalled at the residual's own rounding
      }
      done[static_cast<size_t>(c)] = stop;
      prev[static_cast<size_t>(c)] = dmax;
      all_done = all_done && stop;
    }
    if (all_done) {
      b = std::move(x);
      return true;
    }
  }
  return false;
}

// --- Cholesky ------------------------------------------------------------------

// L with A = L L^T from the lower triangle of a (n x n), column by column.
// Returns 0, or the order of the first leading minor that is not positive
// definite (its pivot is <= 0 or NaN on the exact value); L is then
// meaningless.
inline int64_t cholesky_unblocked(const Matrix& a, Matrix& l) {
  const int64_t n = a.rows;
  l = Matrix(n, n);
  for (int64_t j = 0; j < n; ++j) {
    Row d = a.at(j, j);
    for (int64_t k = 0; k < j; ++k) d = sub(d, mul(l.at(j, k), l.at(j, k)));
    const int s = sign_exact(d);
    if (s != 1) return j + 1;
    const Row l_jj = sqrt(d);
    l.at(j, j) = l_jj;
    const Row inv = reciprocal(l_jj);
    for (int64_t i = j + 1; i < n; ++i) {
      Row v = a.at(i, j);
      for (int64_t k = 0; k < j; ++k) v = sub(v, mul(l.at(i, k), l.at(j, k)));
      l.at(i, j) = mul(v, inv);
    }
  }
  return 0;
}

namespace blocked_detail {

// cholesky_unblocked's subtractions per element in the same order, by
// recursion over columns as BlockedLu, on the lower triangle only.
struct BlockedCholesky {
  Matrix& l;
  int64_t n;
  Scratch s_l, s_b;
  double* pl;  // element (i, j) of L at (i * n + j) * kPackedFields
  double* pb;

  explicit BlockedCholesky(Matrix& l_) : l(l_), n(l_.rows) {
    pl = s_l.get(static_cast<size_t>(packed_a_size(n, n)), 0);
    pb = s_b.get(static_cast<size_t>(packed_b_size(n / 2, n - n / 2)), 1);
  }

  double* packed_l(int64_t i, int64_t j) { return pl + (i * n + j) * kPackedFields; }

  // 0, or the order of the first leading minor that is not positive definite.
  int64_t columns(int64_t c0, int64_t c1) {
    if (c1 - c0 == 1) return column(c0);
    const int64_t mid = c0 + (c1 - c0) / 2, h = mid - c0, w = c1 - mid;
    if (const int64_t bad = columns(c0, mid)) return bad;
    // b(kk, c) = L(c, kk): the finished columns' rows of the next block.
    pack_b(block(l, mid, c0, w, h, true), pb, 0, h);
    // The diagonal block up to its diagonal only, then the rows below it.
    const MatrixOut diag = block_out(l, mid, mid);
    for_chunks(w, 8192 / (h * w + 1) + 1, [&](int64_t r0, int64_t r1) {
      for (int64_t r = r0; r < r1; ++r)
        subtract_products_rows(packed_l(mid, c0), n, pb, h, 0, h, r + 1, r, r + 1, diag);
    });
    subtract_block(packed_l(c1, c0), n, pb, h, l, c1, n - c1, mid, w);
    return columns(mid, c1);
  }

  int64_t column(int64_t j) {
    const Row d = l.at(j, j);
    if (sign_exact(d) != 1) return j + 1;
    const Row l_jj = sqrt(d);
    l.at(j, j) = l_jj;
    const Row inv = reciprocal(l_jj);
    for (int64_t i = j + 1; i < n; ++i) {
      l.at(i, j) = mul(l.at(i, j), inv);
      pack_element(l.at(i, j).l, packed_l(i, j), 1);
    }
    return 0;
  }
};

}  // namespace blocked_detail

// L with A = L L^T from the lower triangle of a: cholesky_unblocked's
// result, bit for bit.
inline int64_t cholesky(const Matrix& a, Matrix& l) {
  const int64_t n = a.rows;
  if (n < kBlockedMin) return cholesky_unblocked(a, l);
  l = Matrix(n, n);
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j <= i; ++j) l.at(i, j) = a.at(i, j);
  return blocked_detail::BlockedCholesky(l).columns(0, n);
}

// --- Householder QR --------------------------------------------------------------

// Applies H = I - beta v v^T (v on rows j..) to columns [c0, c1) of a.
inline void apply_reflector(Matrix& a, const Vector& v, const Row& beta, int64_t j, int64_t c0,
                            int64_t c1) {
  const int64_t len = static_cast<int64_t>(v.size());
  for (int64_t c = c0; c < c1; ++c) {
    Row w = zero_row();
    for (int64_t i = 0; i < len; ++i) w = mul_add(w, v[static_cast<size_t>(i)], a.at(j + i, c));
    const Row f = mul(beta, w);
    // An entry the reflector cancels is left as [d, -d, tiny]: renormalised, so
    // the next reflector and the sums over it see its value.
    for (int64_t i = 0; i < len; ++i)
      a.at(j + i, c) = dominant(sub(a.at(j + i, c), mul(f, v[static_cast<size_t>(i)])));
  }
}

// Reflector j of A = Q R from column j of h.r (rows j..), applied to columns
// j + 1 .. c1 - 1; LAPACK's geqrf sign convention: R[j][j] = -sign(x_0) |x|,
// and the identity where nothing below the diagonal is left to zero (as
// LAPACK's larfg: the last column of a square matrix keeps its sign).
inline void householder_column(Householder& h, int64_t j, int64_t c1) {
  const int64_t m = h.r.rows;
  Vector v(static_cast<size_t>(m - j));
  Row ss = zero_row();
  bool below = false;
  for (int64_t i = j; i < m; ++i) {
    v[static_cast<size_t>(i - j)] = h.r.at(i, j);
    ss = mul_add(ss, h.r.at(i, j), h.r.at(i, j));
    below = below || (i > j && sign_exact(h.r.at(i, j)) != 0);
  }
  Row beta = zero_row();
  if (below && sign_exact(ss) == 1) {
    const Row norm = sqrt(ss);
    const Row alpha = sign_exact(v[0]) < 0 ? norm : neg(norm);
    // v = x - alpha e_0; v^T v = 2 (|x|^2 - alpha x_0), no cancellation.
    const Row vtv = mul_scalar(sub(ss, mul(alpha, v[0])), 2.0);
    v[0] = sub(v[0], alpha);
    beta = mul_scalar(reciprocal(vtv), 2.0);
    apply_reflector(h.r, v, beta, j, j + 1, c1);
    h.r.at(j, j) = alpha;
  }
  for (int64_t i = j + 1; i < m; ++i) h.r.at(i, j) = zero_row();
  h.v.push_back(std::move(v));
  h.beta.push_back(beta);
}

namespace blocked_detail {

// Reflectors j0 .. j0 + jb - 1 of h as the columns of V (rows j0 .. m - 1,
// zero above each one's first row), and T with H_j0 ... H_{j0+jb-1} =
// I - V T V^T (upper triangular, LAPACK's larft order).
struct ReflectorBlock {
  Matrix v, t;
  ReflectorBlock(const Householder& h, int64_t j0, int64_t jb, int64_t m)
      : v(m - j0, jb), t(jb, jb) {
    using linalg_detail::product;
    using linalg_detail::view;
    for (int64_t i = 0; i < jb; ++i) {
      const Vector& vi = h.v[static_cast<size_t>(j0 + i)];
      for (size_t r = 0; r < vi.size(); ++r) v.at(i + static_cast<int64_t>(r), i) = vi[r];
    }
    const Matrix g = product(block(v, 0, 0, v.rows, jb, true), view(v));  // V^T V
    for (int64_t i = 0; i < jb; ++i) {
      const Row& beta = h.beta[static_cast<size_t>(j0 + i)];
      t.at(i, i) = beta;
      for (int64_t r = 0; r < i; ++r) {
        Row acc = zero_row();
        for (int64_t c = r; c < i; ++c) acc = mul_add(acc, t.at(r, c), g.at(c, i));
        t.at(r, i) = neg(mul(beta, acc));
      }
    }
  }

  // Columns [c0, c1) of rows j0.. of a become (I - V T' V^T) times them, T'
  // being T^T (the reflectors in order, as the factorisation applies them)
  // or T (their product Q, as Q is formed).
  void apply(Matrix& a, int64_t j0, int64_t c0, int64_t c1, bool transposed) const {
    using linalg_detail::product;
    using linalg_detail::view;
    const int64_t rows = v.rows, jb = v.cols, nc = c1 - c0;
    if (nc <= 0) return;
    const Matrix w = product(block(v, 0, 0, rows, jb, true), block(a, j0, c0, rows, nc));
    const Matrix tw = product(block(t, 0, 0, jb, jb, transposed), view(w));
    const Matrix d = product(view(v), view(tw));
    for (int64_t i = 0; i < rows; ++i)
      for (int64_t c = 0; c < nc; ++c)
        a.at(j0 + i, c0 + c) = dominant(sub(a.at(j0 + i, c0 + c), d.at(i, c)));
  }
};

// Columns a panel of the blocked QR factors one reflector at a time.
constexpr int64_t kQrPanel = 16;

}  // namespace blocked_detail

// Below this many reflectors QR applies them one by one.
constexpr int64_t kBlockedQrMin = 32;

// A = Q R with Q the product of min(m, n) reflectors (householder_column).
// Past kBlockedQrMin reflectors, a panel's reflectors reach the columns to
// its right together, as I - V T^T V^T, through matrix products.
inline Householder householder_qr(const Matrix& a) {
  const int64_t m = a.rows, n = a.cols, k = std::min(m, n);
  Householder h{a, {}, {}};
  if (k >= kBlockedQrMin) {
    for (int64_t j0 = 0; j0 < k; j0 += blocked_detail::kQrPanel) {
      const int64_t jb = std::min(blocked_detail::kQrPanel, k - j0);
      for (int64_t j = j0; j < j0 + jb; ++j) householder_column(h, j, j0 + jb);
      if (j0 + jb < n)
        blocked_detail::ReflectorBlock(h, j0, jb, m).apply(h.r, j0, j0 + jb, n, true);
    }
    return h;
  }
  for (int64_t j = 0; j < k; ++j) householder_column(h, j, n);
  return h;
}

// The first `cols` columns of Q = H_0 H_1 ... (m x cols), by applying the
// reflectors to the identity from the last one back.
inline Matrix householder_q(const Householder& h, int64_t m, int64_t cols) {
  Matrix q(m, cols);
  for (int64_t i = 0; i < std::min(m, cols); ++i) q.at(i, i) = from_double(1.0);
  const int64_t k = static_cast<int64_t>(h.v.size());
  if (k >= kBlockedQrMin) {
    // A panel's reflectors together, from the last panel back.
    const int64_t panel = blocked_detail::kQrPanel;
    for (int64_t j0 = (k - 1) / panel * panel; j0 >= 0; j0 -= panel)
      blocked_detail::ReflectorBlock(h, j0, std::min(panel, k - j0), m)
          .apply(q, j0, 0, cols, false);
    return q;
  }
  for (int64_t j = static_cast<int64_t>(h.v.size()) - 1; j >= 0; --j)
    if (sign_exact(h.beta[static_cast<size_t>(j)]) != 0)
      apply_reflector(q, h.v[static_cast<size_t>(j)], h.beta[static_cast<size_t>(j)], j, 0, cols);
  return q;
}

// --- Symmetric eigenproblem: cyclic Jacobi --------------------------------------

// The rotation (c, s) that zeroes the pair: with zeta = (y - x) / (2 z),
// t = sign(zeta) / (|zeta| + sqrt(1 + zeta^2)) (the smaller root, |t| <= 1),
// c = 1 / sqrt(1 + t^2), s = t c. Once the Jacobi passes near the end, the
// angles are tiny: for |w| = |z / (y - x)| < 2^-31, t = w - w^3 and
// c = 1 - t^2 / 2 to far below 2^-110, without a square root.
struct Rotation {
  Row t, c, s;
};

constexpr double kSmallAngle = 0x1p-31;

inline Rotation jacobi_rotation(const Row& x, const Row& y, const Row& z) {
  const Row d = sub(y, x);
  const double ad = std::fabs(approx(d)), az = std::fabs(approx(z));
  Rotation r;
  if (az < kSmallAngle * ad) {
    const Row w = div(z, d);
    r.t = sub(w, mul(mul(w, w), w));
    r.c = sub(from_double(1.0), mul_scalar(mul(r.t, r.t), 0.5));
  } else {
    const Row zeta = div(d, mul_scalar(z, 2.0));
    const Row t = reciprocal(add(row_abs(zeta), sqrt(add(from_double(1.0), mul(zeta, zeta)))));
    r.t = sign_exact(zeta) < 0 ? neg(t) : t;
    r.c = reciprocal(sqrt(add(from_double(1.0), mul(r.t, r.t))));
  }
  r.s = mul(r.t, r.c);
  return r;
}

// Whether z is negligible next to the pair (x, y) it couples, or below
// `floor` (for eigh kJacobiTolerance times the largest diagonal element:
// below that a rotation moves the results by less than their rounding).
inline bool negligible(const Row& x, const Row& y, const Row& z, double floor) {
  const double az = std::fabs(approx(z));
  if (az == 0.0 || az <= floor) return true;
  return az <= kJacobiTolerance * std::sqrt(std::fabs(approx(x))) * std::sqrt(std::fabs(approx(y)));
}

inline double largest_magnitude(const Vector& v) {
  double m = 0.0;
  for (const Row& r : v) m = std::max(m, std::fabs(approx(r)));
  return m;
}

// (x, y) <- (c x - s y, s x + c y).
inline void rotate(Row& x, Row& y, const Row& c, const Row& s) {
  const Row nx = sub(mul(c, x), mul(s, y));
  const Row ny = add(mul(s, x), mul(c, y));
  x = nx;
  y = ny;
}

// Indices 0..n-1 ordered by the exact value of keys, ascending or
// descending; equal keys keep their index order.
inline std::vector<int64_t> exact_order(const Vector& keys, bool descending) {
  std::vector<int64_t> idx(keys.size());
  std::iota(idx.begin(), idx.end(), int64_t(0));
  std::stable_sort(idx.begin(), idx.end(), [&](int64_t i, int64_t j) {
    const int c = compare_exact(keys[static_cast<size_t>(i)], keys[static_cast<size_t>(j)]);
    return descending ? c == 1 : c == -1;
  });
  return idx;
}

namespace detail {

// The float64 start of eigh: the same rotations in plain float64
// (deterministic: no library, no FMA), on approx() of the matrix, until they
// converge to float64 precision. v (from the identity) collects them as
// rows, so v S v^T is nearly diagonal.
constexpr double kFloat64Tolerance = 1e-15;

inline void rotate_f64(double& x, double& y, double c, double s) {
  const double nx = c * x - s * y;
  const double ny = s * x + c * y;
  x = nx;
  y = ny;
}

inline bool pair_rotation_f64(double x, double y, double z, double& c, double& s) {
  if (z == 0.0 ||
      !(std::fabs(z) > kFloat64Tolerance * std::sqrt(std::fabs(x)) * std::sqrt(std::fabs(y))))
    return false;
  const double zeta = (y - x) / (2.0 * z);
  const double t = (zeta >= 0.0 ? 1.0 : -1.0) / (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
  c = 1.0 / std::sqrt(1.0 + t * t);
  s = t * c;
  return std::isfinite(c) && std::isfinite(s);
}

inline std::vector<double> approx_of(const Matrix& a) {
  std::vector<double> d(a.data.size());
  for (size_t i = 0; i < d.size(); ++i) d[i] = approx(a.data[i]);
  return d;
}

// sqrt(a^2 + b^2) without overflow or underflow on the way.
inline double hypot_f64(double a, double b) {
  const double x = std::fabs(a), y = std::fabs(b);
  if (x > y) return x * std::sqrt(1.0 + (y / x) * (y / x));
  return y == 0.0 ? 0.0 : y * std::sqrt(1.0 + (x / y) * (x / y));
}

// The same start for larger matrices, in O(n^3) with a small constant:
// Householder reduction to tridiagonal form and implicit QL iterations
// (EISPACK's tred2 and tql2). False, v untouched, where an iteration does
// not converge or a value is not finite; the Jacobi sweeps then start.
inline bool tridiagonal_start(std::vector<double> a, int64_t n, std::vector<double>& v) {
  auto at = [&](int64_t i, int64_t j) -> double& { return a[static_cast<size_t>(i * n + j)]; };
  std::vector<double> d(static_cast<size_t>(n)), e(static_cast<size_t>(n));
  for (int64_t i = n - 1; i > 0; --i) {
    const int64_t l = i - 1;
    double h = 0.0;
    if (l > 0) {
      double scale = 0.0;
      for (int64_t k = 0; k <= l; ++k) scale += std::fabs(at(i, k));
      if (scale == 0.0) {
        e[i] = at(i, l);
      } else {
        for (int64_t k = 0; k <= l; ++k) {
          at(i, k) /= scale;
          h += at(i, k) * at(i, k);
        }
        double f = at(i, l);
        double g = f >= 0.0 ? -std::sqrt(h) : std::sqrt(h);
        e[i] = scale * g;
        h -= f * g;
        at(i, l) = f - g;
        f = 0.0;
        for (int64_t j = 0; j <= l; ++j) {
          at(j, i) = at(i, j) / h;
          g = 0.0;
          for (int64_t k = 0; k <= j; ++k) g += at(j, k) * at(i, k);
          for (int64_t k = j + 1; k <= l; ++k) g += at(k, j) * at(i, k);
          e[j] = g / h;
          f += e[j] * at(i, j);
        }
        const double hh = f / (h + h);
        for (int64_t j = 0; j <= l; ++j) {
          f = at(i, j);
          g = e[j] - hh * f;
          e[j] = g;
          for (int64_t k = 0; k <= j; ++k) at(j, k) -= f * e[k] + g * at(i, k);
        }
      }
    } else {
      e[i] = at(i, l);
    }
    d[i] = h;
  }
  d[0] = 0.0;
  e[0] = 0.0;
  for (int64_t i = 0; i < n; ++i) {
    if (d[i] != 0.0)
      for (int64_t j = 0; j < i; ++j) {
        double g = 0.0;
        for (int64_t k = 0; k < i; ++k) g += at(i, k) * at(k, j);
        for (int64_t k = 0; k < i; ++k) at(k, j) -= g * at(k, i);
      }
    d[i] = at(i, i);
    at(i, i) = 1.0;
    for (int64_t j = 0; j < i; ++j) at(j, i) = at(i, j) = 0.0;
  }
  // QL iterations on (d, e); the rotations go into the columns of a.
  for (int64_t i = 1; i < n; ++i) e[i - 1] = e[i];
  e[n - 1] = 0.0;
  for (int64_t l = 0; l < n; ++l) {
    int iterations = 0;
    int64_t m;
    do {
      for (m = l; m < n - 1; ++m) {
        const double dd = std::fabs(d[m]) + std::fabs(d[m + 1]);
        if (std::fabs(e[m]) <= 0x1p-52 * dd) break;
      }
      if (m == l) break;
      if (++iterations > 60) return false;
      double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
      double r = hypot_f64(g, 1.0);
      g = d[m] - d[l] + e[l] / (g + (g >= 0.0 ? r : -r));
      double sn = 1.0, c = 1.0, p = 0.0;
      int64_t i = m - 1;
      for (; i >= l; --i) {
        const double f = sn * e[i], b = c * e[i];
        r = hypot_f64(f, g);
        e[i + 1] = r;
        if (r == 0.0) {
          d[i + 1] -= p;
          e[m] = 0.0;
          break;
        }
        sn = f / r;
        c = g / r;
        g = d[i + 1] - p;
        r = (d[i] - g) * sn + 2.0 * c * b;
        p = sn * r;
        d[i + 1] = g + p;
        g = c * r - b;
        for (int64_t k = 0; k < n; ++k) {
          const double z = at(k, i + 1);
          at(k, i + 1) = sn * at(k, i) + c * z;
          at(k, i) = c * at(k, i) - sn * z;
        }
      }
      if (r == 0.0 && i >= l) continue;
      d[l] -= p;
      e[l] = g;
      e[m] = 0.0;
    } while (true);
  }
  for (double x : a)
    if (!std::isfinite(x)) return false;
  // Column j of a is eigenvector j: v holds them as rows.
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j < n; ++j) v[static_cast<size_t>(j * n + i)] = at(i, j);
  return true;
}

// From this order on eigh starts from the tridiagonal reduction.
constexpr int64_t kTridiagonalStart = 32;

// Rows of v with v S v^T nearly diagonal, S symmetric n x n (row-major).
inline std::vector<double> eigh_start(std::vector<double> s, int64_t n) {
  if (n >= kTridiagonalStart) {
    std::vector<double> v(static_cast<size_t>(n * n));
    if (tridiagonal_start(s, n, v)) return v;
  }
  std::vector<double> v(static_cast<size_t>(n * n), 0.0);
  for (int64_t i = 0; i < n; ++i) v[static_cast<size_t>(i * n + i)] = 1.0;
  auto at = [&](std::vector<double>& m, int64_t i, int64_t j) -> double& {
    return m[static_cast<size_t>(i * n + j)];
  };
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    bool rotated = false;
    for (int64_t p = 0; p + 1 < n; ++p)
      for (int64_t q = p + 1; q < n; ++q) {
        double c, sn;
        if (!pair_rotation_f64(at(s, p, p), at(s, q, q), at(s, p, q), c, sn)) continue;
        rotated = true;
        for (int64_t r = 0; r < n; ++r) rotate_f64(at(s, r, p), at(s, r, q), c, sn);
        for (int64_t r = 0; r < n; ++r) rotate_f64(at(s, p, r), at(s, q, r), c, sn);
        for (int64_t r = 0; r < n; ++r) rotate_f64(at(v, p, r), at(v, q, r), c, sn);
      }
    if (!rotated) break;
  }
  return v;
}

// One step of Ogita and Aishima's refinement of approximate eigenvectors
// (RefSyEv, Japan J. Indust. Appl. Math. 2018), on the rows of v: with
// R = I - v v^T and S = v A v^T, lambda_i = S_ii / (1 - R_ii) and
// v <- v + E^T v, where E_ii = R_ii / 2 and E_ij = (S_ij + lambda_j R_ij) /
// (lambda_j - lambda_i), or R_ij / 2 for pairs closer than `cluster` (the
// Jacobi sweeps separate those). The errors square with each step, so two
// or three take float64 vectors to the working precision; only matrix
// products and n^2 / 2 reciprocals. Returns the largest |E_ij|, i != j.
inline double refine_eigenvectors(const Matrix& a, Matrix& v, double cluster) {
  using linalg_detail::product;
  using linalg_detail::view;
  const int64_t n = a.rows;
  const Matrix vt = transpose(v);
  const Matrix gram = product(view(v), view(vt));
  const Matrix s = product(view(v), view(product(view(a), view(vt))));
  Matrix r(n, n);
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j < n; ++j)
      r.at(i, j) = i == j ? sub(from_double(1.0), gram.at(i, j)) : neg(gram.at(i, j));
  Vector lambda(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i)
    lambda[static_cast<size_t>(i)] = div(s.at(i, i), sub(from_double(1.0), r.at(i, i)));
  Matrix et(n, n);  // E^T
  double largest = 0.0;
  for (int64_t i = 0; i < n; ++i) {
    et.at(i, i) = mul_scalar(r.at(i, i), 0.5);
    for (int64_t j = i + 1; j < n; ++j) {
      const Row gap = sub(lambda[static_cast<size_t>(j)], lambda[static_cast<size_t>(i)]);
      Row e_ij, e_ji;
      if (std::fabs(approx(gap)) > cluster) {
        const Row inv = reciprocal(gap);
        e_ij = mul(add(s.at(i, j), mul(lambda[static_cast<size_t>(j)], r.at(i, j))), inv);
        e_ji = neg(mul(add(s.at(j, i), mul(lambda[static_cast<size_t>(i)], r.at(j, i))), inv));
      } else {
        e_ij = mul_scalar(r.at(i, j), 0.5);
        e_ji = mul_scalar(r.at(j, i), 0.5);
      }
      et.at(j, i) = e_ij;
      et.at(i, j) = e_ji;
      largest = std::max({largest, std::fabs(approx(e_ij)), std::fabs(approx(e_ji))});
    }
  }
  const Matrix delta = product(view(et), view(v));
  for (size_t k = 0; k < v.data.size(); ++k) v.data[k] = add(v.data[k], delta.data[k]);
  return largest;
}

// Refinement steps: stop once the corrections are below 2^-60 (the next
// one would be below the rounding), at most kRefineSteps.
constexpr int kRefineSteps = 4;
constexpr double kRefineDone = 0x1p-60;
// Eigenvalues closer than this times the largest are a cluster for the
// refinement.
constexpr double kClusterGap = 0x1p-40;

}  // namespace detail

// Eigenvalues (ascending) and orthonormal eigenvectors of the symmetric
// matrix whose lower (or upper) triangle a holds: float64 Jacobi vectors,
// refined in limb arithmetic until V A V^T is diagonal to the working
// precision but for clusters, which cyclic Jacobi rotations in row order
// then separate (a sweep that finds nothing to rotate ends it). Vectors
// only when want_vectors.
inline EigenSystem jacobi_eigh(const Matrix& a, bool lower, bool want_vectors) {
  using linalg_detail::product;
  using linalg_detail::view;
  const int64_t n = a.rows;
  Matrix sym(n, n);
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j <= i; ++j) {
      const Row& v = lower ? a.at(i, j) : a.at(j, i);
      sym.at(i, j) = v;
      sym.at(j, i) = v;
    }
  // v holds the eigenvectors as rows: the float64 ones, refined, then
  // rotated (rows p, q turn together).
  const std::vector<double> start = detail::eigh_start(detail::approx_of(sym), n);
  Matrix v(n, n);
  double largest = 0.0;
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j < n; ++j) v.at(i, j) = from_double(start[static_cast<size_t>(i * n + j)]);
  for (const Row& x : sym.data) largest = std::max(largest, std::fabs(approx(x)));
  for (int step = 0; step < detail::kRefineSteps; ++step)
    if (!(detail::refine_eigenvectors(sym, v, detail::kClusterGap * largest) > detail::kRefineDone))
      break;
  Matrix s = product(view(v), view(product(view(sym), view(transpose(v)))));
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j < i; ++j) s.at(j, i) = s.at(i, j);  // exactly symmetric
  Vector start_diag(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) start_diag[static_cast<size_t>(i)] = s.at(i, i);
  const double floor = kJacobiTolerance * largest_magnitude(start_diag);
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    bool rotated = false;
    for (int64_t p = 0; p + 1 < n; ++p)
      for (int64_t q = p + 1; q < n; ++q) {
        const Row app = s.at(p, p), aqq = s.at(q, q), apq = s.at(p, q);
        if (negligible(app, aqq, apq, floor)) continue;
        rotated = true;
        const Rotation rot = jacobi_rotation(app, aqq, apq);
        const Row &t = rot.t, &c = rot.c, &sn = rot.s;
        // S <- J^T S J with J the rotation in the (p, q) plane.
        for (int64_t r = 0; r < n; ++r) rotate(s.at(r, p), s.at(r, q), c, sn);
        for (int64_t r = 0; r < n; ++r) rotate(s.at(p, r), s.at(q, r), c, sn);
        s.at(p, p) = sub(app, mul(t, apq));
        s.at(q, q) = add(aqq, mul(t, apq));
        s.at(p, q) = zero_row();
        s.at(q, p) = zero_row();
        if (want_vectors)
          for (int64_t r = 0; r < n; ++r) rotate(v.at(p, r), v.at(q, r), c, sn);
      }
    if (!rotated) break;
  }
  Vector diag(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) diag[static_cast<size_t>(i)] = s.at(i, i);
  const std::vector<int64_t> order = exact_order(diag, false);
  EigenSystem e{Vector(static_cast<size_t>(n)), want_vectors ? Matrix(n, n) : Matrix()};
  for (int64_t i = 0; i < n; ++i) {
    const int64_t o = order[static_cast<size_t>(i)];
    e.values[static_cast<size_t>(i)] = diag[static_cast<size_t>(o)];
    if (want_vectors)
      for (int64_t r = 0; r < n; ++r) e.vectors.at(r, i) = v.at(o, r);
  }
  return e;
}

// --- SVD: one-sided Jacobi -------------------------------------------------------

namespace detail {

inline Row row_dot(const Matrix& w, int64_t p, int64_t q) {
  Row acc = zero_row();
  for (int64_t i = 0; i < w.cols; ++i) acc = mul_add(acc, w.at(p, i), w.at(q, i));
  return acc;
}

// Orthonormal rows: the first `have` rows of `basis` (k x len, orthonormal
// already) are kept and rows have..k-1 are filled with an orthonormal
// complement, from the complete Householder QR of the kept rows.
inline void complete_rows(Matrix& basis, int64_t have) {
  const int64_t k = basis.rows, len = basis.cols;
  if (have >= k) return;
  Matrix kept(len, have);
  for (int64_t i = 0; i < have; ++i)
    for (int64_t j = 0; j < len; ++j) kept.at(j, i) = basis.at(i, j);
  const Householder h = householder_qr(kept);
  const Matrix q = householder_q(h, len, k);
  for (int64_t i = have; i < k; ++i)
    for (int64_t j = 0; j < len; ++j) basis.at(i, j) = q.at(j, i);
}

}  // namespace detail

// Hestenes' method on the rows of W = A^T (m >= n) or A (m < n), started
// from the eigenvectors of W W^T: rotate pairs of rows until every pair is
// orthogonal to kJacobiTolerance relative to their norms; the row norms are
// the singular values, the normalised rows one set of singular vectors, the
// accumulated rotations the other.
inline Svd jacobi_svd(const Matrix& a, bool full, bool want_vectors) {
  const int64_t m = a.rows, n = a.cols, k = std::min(m, n);
  const bool wide = m < n;
  // The rows of w0 are the columns (of A or A^T) being orthogonalised.
  const Matrix w0 = wide ? a : transpose(a);
  const int64_t rows = w0.rows, len = w0.cols;  // rows = short side k
  // Start from the eigenvectors of W W^T: v W then has rows orthogonal to
  // the working precision relative to the largest singular value, and the
  // sweeps need only restore it relative to the small ones.
  const Matrix gram =
      linalg_detail::product(linalg_detail::view(w0), linalg_detail::view(transpose(w0)));
  Matrix v = transpose(jacobi_eigh(gram, true, true).vectors);
  Matrix w = linalg_detail::product(linalg_detail::view(v), linalg_detail::view(w0));
  // Row dot products as row_dot gives them for the rows as they are: those
  // of rows no rotation has moved in this sweep from one matrix product
  // (which sums each in row_dot's order, to the same bits), the squared
  // norms kept until their row moves.
  std::vector<char> moved(static_cast<size_t>(rows)), norm_ok(static_cast<size_t>(rows));
  Vector norm2(static_cast<size_t>(rows));
  for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
    bool rotated = false;
    const Matrix dots =
        linalg_detail::product(linalg_detail::view(w), linalg_detail::view(transpose(w)));
    std::fill(moved.begin(), moved.end(), 0);
    for (int64_t p = 0; p < rows; ++p) norm2[static_cast<size_t>(p)] = dots.at(p, p);
    std::fill(norm_ok.begin(), norm_ok.end(), 1);
    auto norm = [&](int64_t p) -> const Row& {
      if (!norm_ok[static_cast<size_t>(p)]) {
        norm2[static_cast<size_t>(p)] = detail::row_dot(w, p, p);
        norm_ok[static_cast<size_t>(p)] = 1;
      }
      return norm2[static_cast<size_t>(p)];
    };
    for (int64_t p = 0; p + 1 < rows; ++p)
      for (int64_t q = p + 1; q < rows; ++q) {
        const Row alpha = norm(p);
        const Row beta = norm(q);
        const Row gamma = moved[static_cast<size_t>(p)] || moved[static_cast<size_t>(q)]
                              ? detail::row_dot(w, p, q)
                              : dots.at(p, q);
        // Relative orthogonality only: U's columns are these rows normalised.
        if (negligible(alpha, beta, gamma, 0.0)) continue;
        rotated = true;
        moved[static_cast<size_t>(p)] = moved[static_cast<size_t>(q)] = 1;
        norm_ok[static_cast<size_t>(p)] = norm_ok[static_cast<size_t>(q)] = 0;
        const Rotation rot = jacobi_rotation(alpha, beta, gamma);
        const Row &c = rot.c, &sn = rot.s;
        for (int64_t i = 0; i < len; ++i) rotate(w.at(p, i), w.at(q, i), c, sn);
        for (int64_t i = 0; i < rows; ++i) rotate(v.at(p, i), v.at(q, i), c, sn);
      }
    if (!rotated) break;
  }
  Vector norms(static_cast<size_t>(rows));
  for (int64_t p = 0; p < rows; ++p) norms[static_cast<size_t>(p)] = sqrt(detail::row_dot(w, p, p));
  const std::vector<int64_t> order = exact_order(norms, true);
  Svd r;
  r.s.resize(static_cast<size_t>(k));
  for (int64_t i = 0; i < k; ++i)
    r.s[static_cast<size_t>(i)] = norms[static_cast<size_t>(order[static_cast<size_t>(i)])];
  if (!want_vectors) return r;
  // long: rows are singular vectors along the long side (len), short: the
  // rotations, rows of V^T... both stored as rows here and transposed below.
  const int64_t long_count = full ? len : k;
  Matrix long_vecs(long_count, len);
  Matrix short_vecs(k, rows);
  int64_t nonzero = 0;
  for (int64_t i = 0; i < k; ++i) {
    const int64_t o = order[static_cast<size_t>(i)];
    for (int64_t j = 0; j < rows; ++j) short_vecs.at(i, j) = v.at(o, j);
    const Row& s = r.s[static_cast<size_t>(i)];
    if (sign_exact(s) != 1) continue;
    const Row inv = reciprocal(s);
    for (int64_t j = 0; j < len; ++j) long_vecs.at(i, j) = mul(w.at(o, j), inv);
    nonzero = i + 1;
  }
  detail::complete_rows(long_vecs, nonzero);
  // A = W^T (tall): A = U S V^T with U = long vectors as columns, V^T rows =
  // short vectors. Wide: A = W, A^T = (long as columns) S (short)^T, so
  // U = short vectors as columns, V^T = long vectors as rows.
  if (wide) {
    r.u = transpose(short_vecs);
    r.vh = std::move(long_vecs);
  } else {
    r.u = transpose(long_vecs);
    r.vh = std::move(short_vecs);
  }
  return r;
}

// --- Matrix exponential ----------------------------------------------------------

// exp(A) by scaling and squaring: X = A / 2^s with ||X||_1 <= 1/2, the
// Taylor series of exp(X) summed until a term no longer changes the sum
// (at most kExpMaxTerms terms), then s squarings.
inline Matrix matrix_exp(const Matrix& a) {
  using linalg_detail::product;
  using linalg_detail::view;
  const int64_t n = a.rows;
  double norm1 = 0.0;
  for (int64_t j = 0; j < n; ++j) {
    double col = 0.0;
    for (int64_t i = 0; i < n; ++i) col += std::fabs(approx(a.at(i, j)));
    norm1 = std::max(norm1, col);
  }
  if (!std::isfinite(norm1)) {
    Matrix bad(n, n);
    for (Row& r : bad.data) r = from_double(kNaN);
    return bad;
  }
  int s = 0;
  if (norm1 > 0.5) s = std::ilogb(norm1) + 2;
  Matrix x = a;
  for (Row& r : x.data)
    for (int l = 0; l < kLimbs; ++l) r.l[l] = std::ldexp(r.l[l], -s);
  Matrix result = identity(n);
  Matrix term = identity(n);
  for (int i = 1; i <= kExpMaxTerms; ++i) {
    term = product(view(term), view(x));
    const Row inv_i = reciprocal_scalar(static_cast<double>(i));
    double term_max = 0.0, sum_max = 0.0;
    for (size_t e = 0; e < term.data.size(); ++e) {
      term.data[e] = mul(term.data[e], inv_i);
      result.data[e] = add(result.data[e], term.data[e]);
      term_max = std::max(term_max, std::fabs(approx(term.data[e])));
      sum_max = std::max(sum_max, std::fabs(approx(result.data[e])));
    }
    if (term_max <= 0x1p-115 * sum_max) break;
  }
  for (int i = 0; i < s; ++i) result = product(view(result), view(result));
  return result;
}

}  // namespace dense
}  // namespace limbs
