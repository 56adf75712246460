// Linear algebra on row-major matrices of 8-limb elements: LU with partial
// pivoting, determinant, solve, Gauss-Jordan inverse, modified Gram-Schmidt
// QR, least squares, Cholesky, eigenvalues by unshifted QR iteration, SVD
// from the eigenvectors of A^T A, entry-wise norms, condition number, rank.
//
// Every element operation is one limb operation (add, sub, neg, mul, div,
// sqrt) in a fixed order with fixed operand order (mul is not commutative
// bit for bit), so results are reproducible limb for limb. Decisions (pivot
// choice, zero tests, thresholds, sort keys) look at approx() only. Loop
// counts are fixed; nothing tests for convergence.
//
// Errors are thrown as standard exceptions; the binding layer maps
//   std::invalid_argument -> ValueError
//   std::domain_error     -> ZeroDivisionError
//   std::out_of_range     -> IndexError
// and passes the message through unchanged. These functions need no GIL and
// touch only their own results.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "limbs/core/chunks.h"
#include "limbs/matrix/matrix.h"
#include "limbs/elem/defined.h"
#include "limbs/matrix/gemm.h"
#include "limbs/slice/tree.h"
#include "limbs/core/row.h"

namespace limbs {

namespace linalg_detail {

inline const double* limbs_of(const Vector& v) { return reinterpret_cast<const double*>(v.data()); }
inline double* limbs_of(Vector& v) { return reinterpret_cast<double*>(v.data()); }

inline MatrixView view(const Matrix& a) {
  return MatrixView{limbs_of(a.data), a.rows, a.cols, a.cols, 1};
}

// "(2, 3)", as Python prints a shape tuple.
inline std::string shape_string(int64_t rows, int64_t cols) {
  return "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

inline void check_square(const Matrix& a) {
  if (a.rows != a.cols)
    throw std::invalid_argument("expected a square matrix, got shape " +
                                shape_string(a.rows, a.cols));
}

// A right-hand side that does not match: the message of the matrix product
// that applies `a` (rows x cols) to b as a one-column matrix.
inline void check_rhs(int64_t rows, int64_t cols, const Vector& b) {
  if (static_cast<int64_t>(b.size()) != cols)
    throw std::invalid_argument("Matrix shapes " + shape_string(rows, cols) + " and " +
                                shape_string(static_cast<int64_t>(b.size()), 1) + " incompatible");
}

// a (m x k) times b (k x n): every element accumulated from an exact zero as
// acc + a[i][kk] * b[kk][j], kk ascending.
inline Matrix product(const MatrixView& a, const MatrixView& b) {
  Matrix c(a.rows, b.cols);
  matmul(a, b, MatrixOut{limbs_of(c.data), c.cols, 1});
  return c;
}

// a times the vector x (a.cols elements at x_stride) as a matrix times a
// one-column matrix: the sequential accumulation above, not the tree sum of
// a matrix-vector product.
inline Vector product_vector(const MatrixView& a, const double* x, int64_t x_stride) {
  Vector out(static_cast<size_t>(a.rows), zero_row());
  matmul(a, MatrixView{x, a.cols, 1, x_stride, 0}, MatrixOut{limbs_of(out), 1, 0});
  return out;
}

// The default norm of a vector: sqrt of the tree sum of x * x.
inline Row norm2(const Vector& v) {
  const int64_t n = static_cast<int64_t>(v.size());
  std::vector<double> scratch(static_cast<size_t>(tree_scratch_rows(n) * kLimbs));
  return norm2_slice(limbs_of(v), n, 1, scratch.data());
}

inline void swap_rows(Matrix& a, int64_t r1, int64_t r2, int64_t col_end) {
  for (int64_t j = 0; j < col_end; ++j) std::swap(a.at(r1, j), a.at(r2, j));
}

// Partial pivoting: the row in [k, n) whose column-k element has the largest
// |approx|, strictly larger than every earlier candidate, so ties keep the
// earlier row. A NaN never wins, and a NaN at row k is never displaced.
inline int64_t pivot_row(const Matrix& a, int64_t k, int64_t n) {
  int64_t max_idx = k;
  double max_val = std::fabs(approx(a.at(k, k)));
  for (int64_t i = k + 1; i < n; ++i) {
    const double val = std::fabs(approx(a.at(i, k)));
    if (val > max_val) {
      max_val = val;
      max_idx = i;
    }
  }
  return max_idx;
}

}  // namespace linalg_detail

// --- LU and determinant -------------------------------------------------------

// P*A = L*U by Doolittle elimination with partial pivoting on approx. A
// column whose pivot approximates to 0 is skipped (no error); the update of
// each row starts at the pivot column, so U keeps the computed residuals
// U[i][k] - factor * U[k][k] below its diagonal instead of exact zeros.
inline LuResult lu(const Matrix& a) {
  using namespace linalg_detail;
  check_square(a);
  const int64_t n = a.rows;
  LuResult r{Matrix(n, n), identity(n), a, std::vector<int64_t>(static_cast<size_t>(n))};
  Matrix& L = r.L;
  Matrix& U = r.U;
  for (int64_t i = 0; i < n; ++i) r.perm[static_cast<size_t>(i)] = i;
  for (int64_t k = 0; k + 1 < n; ++k) {
    const int64_t p = pivot_row(U, k, n);
    if (p != k) {
      std::swap(r.perm[static_cast<size_t>(k)], r.perm[static_cast<size_t>(p)]);
      swap_rows(U, k, p, n);
      swap_rows(L, k, p, k);  // only the multipliers found so far
    }
    const Row pivot = U.at(k, k);
    if (approx(pivot) == 0.0) continue;
    // factor = U[i][k] / pivot; the reciprocal is the same for every row.
    const Row inv_pivot = reciprocal(pivot);
    for (int64_t i = k + 1; i < n; ++i) {
      const Row factor = mul(U.at(i, k), inv_pivot);
      L.at(i, k) = factor;
      for (int64_t j = k; j < n; ++j) U.at(i, j) = sub(U.at(i, j), mul(factor, U.at(k, j)));
    }
  }
  for (int64_t i = 0; i < n; ++i) r.P.at(i, r.perm[static_cast<size_t>(i)]) = from_double(1.0);
  return r;
}

// Sorts a copy of the permutation by swaps and reports whether their number
// is odd.
inline bool odd_permutation(std::vector<int64_t> perm) {
  bool odd = false;
  for (size_t i = 0; i < perm.size(); ++i)
    while (perm[i] != static_cast<int64_t>(i)) {
      std::swap(perm[i], perm[static_cast<size_t>(perm[i])]);
      odd = !odd;
    }
  return odd;
}

// The product of U's diagonal from 1, left to right, negated for an odd
// permutation. A singular matrix gives its (possibly tiny) product, no error.
inline Row det(const Matrix& a) {
  const LuResult f = lu(a);
  Row result = from_double(1.0);
  for (int64_t i = 0; i < a.rows; ++i) result = mul(result, f.U.at(i, i));
  return odd_permutation(f.perm) ? neg(result) : result;
}

// --- Solve and inverse ----------------------------------------------------------

// x with A x = b: LU, P*b as a matrix product, forward substitution with the
// unit L, back substitution with U. An unknown whose diagonal element of U
// approximates to 0 stays 0; no error for a singular A.
inline Vector solve(const Matrix& a, const Vector& b) {
  using namespace linalg_detail;
  check_square(a);
  check_rhs(a.rows, a.cols, b);
  const int64_t n = a.rows;
  const LuResult f = lu(a);
  const Vector pb = product_vector(view(f.P), limbs_of(b), 1);
  Vector y(static_cast<size_t>(n), zero_row());
  for (int64_t i = 0; i < n; ++i) {
    Row val = pb[static_cast<size_t>(i)];
    for (int64_t j = 0; j < i; ++j) val = sub(val, mul(f.L.at(i, j), y[static_cast<size_t>(j)]));
    y[static_cast<size_t>(i)] = val;
  }
  Vector x(static_cast<size_t>(n), zero_row());
  for (int64_t i = n - 1; i >= 0; --i) {
    Row val = y[static_cast<size_t>(i)];
    for (int64_t j = i + 1; j < n; ++j)
      val = sub(val, mul(f.U.at(i, j), x[static_cast<size_t>(j)]));
    const Row diag = f.U.at(i, i);
    if (approx(diag) != 0.0) x[static_cast<size_t>(i)] = div(val, diag);
  }
  return x;
}

// Gauss-Jordan elimination with partial pivoting on [A | I]. Throws
// std::invalid_argument("Singular matrix") at the first column whose chosen
// pivot approximates to 0. The pivot row is divided by the pivot read before
// the division (so the pivot itself becomes pivot/pivot), and every other
// row is updated over all 2n columns (eliminated entries keep residuals).
inline Matrix inv(const Matrix& a) {
  using namespace linalg_detail;
  check_square(a);
  const int64_t n = a.rows;
  Matrix aug(n, 2 * n);
  for (int64_t i = 0; i < n; ++i) {
    for (int64_t j = 0; j < n; ++j) aug.at(i, j) = a.at(i, j);
    aug.at(i, n + i) = from_double(1.0);
  }
  for (int64_t k = 0; k < n; ++k) {
    const int64_t p = pivot_row(aug, k, n);
    if (p != k) swap_rows(aug, k, p, 2 * n);
    const Row pivot = aug.at(k, k);
    if (approx(pivot) == 0.0) throw std::invalid_argument("Singular matrix");
    const Row inv_pivot = reciprocal(pivot);
    for (int64_t j = 0; j < 2 * n; ++j) aug.at(k, j) = mul(aug.at(k, j), inv_pivot);
    // Each row's update reads only itself and row k.
    for_chunks(n, 2048 / n + 1, [&](int64_t i0, int64_t i1) {
      for (int64_t i = i0; i < i1; ++i) {
        if (i == k) continue;
        const Row factor = aug.at(i, k);
        for (int64_t j = 0; j < 2 * n; ++j)
          aug.at(i, j) = sub(aug.at(i, j), mul(factor, aug.at(k, j)));
      }
    });
  }
  Matrix result(n, n);
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j < n; ++j) result.at(i, j) = aug.at(i, n + j);
  return result;
}

// --- QR and least squares -------------------------------------------------------

// Reduced QR by modified Gram-Schmidt, column by column. R[i][j] accumulates
// Q[k][i] * v[k] from 0 over k; v[k] -= R[i][j] * Q[k][i]; R[j][j] is the
// default norm of what is left. A column whose norm approximates to at most
// 1e-300 stays zero in Q while R[j][j] still gets the norm.
inline QrResult qr(const Matrix& a) {
  using namespace linalg_detail;
  const int64_t m = a.rows, n = a.cols;
  QrResult r{Matrix(m, n), Matrix(n, n)};
  Matrix& Q = r.Q;
  Vector v(static_cast<size_t>(m));
  for (int64_t j = 0; j < n; ++j) {
    for (int64_t i = 0; i < m; ++i) v[static_cast<size_t>(i)] = a.at(i, j);
    for (int64_t i = 0; i < j; ++i) {
      Row r_ij = zero_row();
      for (int64_t k = 0; k < m; ++k) r_ij = add(r_ij, mul(Q.at(k, i), v[static_cast<size_t>(k)]));
      r.R.at(i, j) = r_ij;
      for (int64_t k = 0; k < m; ++k)
        v[static_cast<size_t>(k)] = sub(v[static_cast<size_t>(k)], mul(r_ij, Q.at(k, i)));
    }
    const Row r_jj = norm2(v);
    r.R.at(j, j) = r_jj;
    if (approx(r_jj) > 1e-300) {
      const Row inv_r = reciprocal(r_jj);
      for (int64_t i = 0; i < m; ++i) Q.at(i, j) = mul(v[static_cast<size_t>(i)], inv_r);
    }
  }
  return r;
}

// min |A x - b| through QR: Q^T b as a matrix product, back substitution with
// R (unknowns whose R[i][i] approximates to 0 stay 0), then the residual
// A x - b and its norm. b needs A.rows elements.
inline LstsqResult lstsq(const Matrix& a, const Vector& b) {
  using namespace linalg_detail;
  check_rhs(a.cols, a.rows, b);
  const QrResult f = qr(a);
  const int64_t n = f.R.cols;
  const Matrix qt = transpose(f.Q);
  const Vector qtb = product_vector(view(qt), limbs_of(b), 1);
  LstsqResult r{Vector(static_cast<size_t>(n), zero_row()), zero_row()};
  Vector& x = r.x;
  for (int64_t i = n - 1; i >= 0; --i) {
    Row val = qtb[static_cast<size_t>(i)];
    for (int64_t j = i + 1; j < n; ++j)
      val = sub(val, mul(f.R.at(i, j), x[static_cast<size_t>(j)]));
    const Row r_ii = f.R.at(i, i);
    if (approx(r_ii) != 0.0) x[static_cast<size_t>(i)] = div(val, r_ii);
  }
  Vector residual = product_vector(view(a), limbs_of(x), 1);
  for (size_t i = 0; i < residual.size(); ++i) residual[i] = sub(residual[i], b[i]);
  r.residual_norm = norm2(residual);
  return r;
}

// --- Cholesky ------------------------------------------------------------------

// L with A = L L^T, row by row (Cholesky-Banachiewicz); only the lower
// triangle of A is read. Not checked for definiteness: a negative diagonal
// sum gives sqrt's NaN, a diagonal element approximating to 0 leaves the
// elements below it 0.
inline Matrix cholesky(const Matrix& a) {
  using namespace linalg_detail;
  check_square(a);
  const int64_t n = a.rows;
  Matrix L(n, n);
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j <= i; ++j) {
      Row sum_val = a.at(i, j);
      for (int64_t k = 0; k < j; ++k) sum_val = sub(sum_val, mul(L.at(i, k), L.at(j, k)));
      if (i == j) {
        L.at(i, j) = sqrt(sum_val);
      } else {
        const Row l_jj = L.at(j, j);
        if (approx(l_jj) != 0.0) L.at(i, j) = div(sum_val, l_jj);
      }
    }
  return L;
}

// --- Eigenvalues and SVD --------------------------------------------------------

// Unshifted QR iteration: max_iter times (Q, R) = qr(T), T = R Q, V = V Q.
// max_iter <= 0 runs no step. Real arithmetic only, no sorting.
inline EigResult eig(const Matrix& a, int64_t max_iter) {
  using namespace linalg_detail;
  check_square(a);
  const int64_t n = a.rows;
  Matrix t = a;
  Matrix v = identity(n);
  for (int64_t it = 0; it < max_iter; ++it) {
    const QrResult f = qr(t);
    t = product(view(f.R), view(f.Q));
    v = product(view(v), view(f.Q));
  }
  EigResult r{Vector(static_cast<size_t>(n)), std::move(v)};
  for (int64_t i = 0; i < n; ++i) r.values[static_cast<size_t>(i)] = t.at(i, i);
  return r;
}

// Reduced SVD from eig(A^T A): S[i] = sqrt(eigenvalue i) for the first k
// eigenvalues in diagonal order when positive by approx (else 0); sorted
// descending by approx with ties in descending original index; column i of
// U is (A v_i) / S[i] where S[i] > 1e-300, else zero. The reduced form is
// the only form (a full_matrices flag changes nothing).
inline SvdResult svd(const Matrix& a, int64_t max_iter) {
  using namespace linalg_detail;
  const int64_t m = a.rows, n = a.cols;
  const int64_t k = std::min(m, n);
  const Matrix ata = product(MatrixView{limbs_of(a.data), n, m, 1, n}, view(a));
  const EigResult e = eig(ata, max_iter);
  Vector s(static_cast<size_t>(k), zero_row());
  for (int64_t i = 0; i < k; ++i) {
    const Row& ev = e.values[static_cast<size_t>(i)];
    if (approx(ev) > 0.0) s[static_cast<size_t>(i)] = sqrt(ev);
  }
  // Larger approx first, equal ones by larger index first. Non-positive and
  // NaN eigenvalues give 0, so S holds no NaN; one would still sort last,
  // keeping the order strict as std::sort needs.
  using Key = std::pair<double, int64_t>;
  std::vector<Key> order;
  for (int64_t i = 0; i < k; ++i) order.emplace_back(approx(s[static_cast<size_t>(i)]), i);
  std::sort(order.begin(), order.end(), [](const Key& x, const Key& y) {
    const bool x_nan = std::isnan(x.first), y_nan = std::isnan(y.first);
    if (x_nan != y_nan) return y_nan;
    if (!x_nan && x.first != y.first) return x.first > y.first;
    return x.second > y.second;
  });
  SvdResult r{Matrix(m, k), Vector(static_cast<size_t>(k)), Matrix(k, n)};
  Matrix v_sorted(n, k);
  for (int64_t new_i = 0; new_i < k; ++new_i) {
    const int64_t old_i = order[static_cast<size_t>(new_i)].second;
    r.S[static_cast<size_t>(new_i)] = s[static_cast<size_t>(old_i)];
    for (int64_t j = 0; j < n; ++j) v_sorted.at(j, new_i) = e.vectors.at(j, old_i);
  }
  for (int64_t i = 0; i < k; ++i) {
    const Row& s_i = r.S[static_cast<size_t>(i)];
    if (!(approx(s_i) > 1e-300)) continue;
    const Vector av = product_vector(view(a), limbs_of(v_sorted.data) + i * kLimbs, k);
    const Row inv_s = reciprocal(s_i);
    for (int64_t j = 0; j < m; ++j) r.U.at(j, i) = mul(av[static_cast<size_t>(j)], inv_s);
  }
  r.Vh = transpose(v_sorted);
  return r;
}

// --- Norms ---------------------------------------------------------------------

namespace linalg_detail {

// The element-wise part: x * x, |x|, or |x| ** ord (integer power by
// squaring for an int ord, log/exp for a float one).
inline Row norm_leaf(const Row& x, const NormOrd& ord) {
  switch (ord.kind) {
    case NormKind::kFrobenius:
    case NormKind::kTwo:
      return mul(x, x);
    case NormKind::kOne:
    case NormKind::kMax:
      return abs(x);
    case NormKind::kIntPower:
      return pow_int(abs(x), ord.int_power);
    case NormKind::kFloatPower:
      return pow_float(abs(x), ord.float_power);
  }
  return x;
}

inline double power_value(const NormOrd& ord) {
  return ord.kind == NormKind::kIntPower ? static_cast<double>(ord.int_power) : ord.float_power;
}

// What follows the reduction: sqrt, nothing, or ** (1.0 / ord).
inline Row norm_finish(const Row& s, const NormOrd& ord) {
  switch (ord.kind) {
    case NormKind::kFrobenius:
    case NormKind::kTwo:
      return sqrt(s);
    case NormKind::kOne:
    case NormKind::kMax:
      return s;
    case NormKind::kIntPower:
    case NormKind::kFloatPower:
      return pow_float(s, 1.0 / power_value(ord));
  }
  return s;
}

inline bool is_power(const NormOrd& ord) {
  return ord.kind == NormKind::kIntPower || ord.kind == NormKind::kFloatPower;
}

}  // namespace linalg_detail

// Entry-wise norm of a tensor of any shape (numel rows at x), over all
// elements (has_dim false; the result is 0-d, except that one element with
// keepdim keeps its shape as the sum does) or along `dim` (negative counts
// from the end; 0-d accepts 0 and -1 as PyTorch does). Sums are tree sums of
// each slice in order, the maximum the first largest approx (first NaN
// wins). Throws std::out_of_range for a bad dim, std::invalid_argument for
// the maximum of no elements, and std::domain_error("float division by
// zero") for ord == 0 (after the dim is checked: 1.0 / ord is formed only
// after the reduction).
inline NormResult norm(const Row* x, const std::vector<int64_t>& shape, const NormOrd& ord,
                       bool has_dim, int64_t dim, bool keepdim) {
  using namespace linalg_detail;
  const int64_t ndim = static_cast<int64_t>(shape.size());
  int64_t numel = 1;
  for (int64_t s : shape) numel *= s;

  int64_t outer = 1, len = numel, inner = 1;
  NormResult r;
  if (has_dim) {
    const int64_t lo = ndim > 0 ? -ndim : -1, hi = ndim > 0 ? ndim - 1 : 0;
    if (dim < lo || dim > hi)
      throw std::out_of_range("Dimension out of range (expected to be in range of [" +
                              std::to_string(lo) + ", " + std::to_string(hi) + "], but got " +
                              std::to_string(dim) + ")");
    if (dim < 0) dim += ndim > 0 ? ndim : 1;
    if (ndim > 0) {
      outer = 1;
      for (int64_t i = 0; i < dim; ++i) outer *= shape[static_cast<size_t>(i)];
      len = shape[static_cast<size_t>(dim)];
      inner = 1;
      for (int64_t i = dim + 1; i < ndim; ++i) inner *= shape[static_cast<size_t>(i)];
      for (int64_t i = 0; i < ndim; ++i) {
        if (i != dim) {
          r.shape.push_back(shape[static_cast<size_t>(i)]);
        } else if (keepdim) {
          r.shape.push_back(1);
        }
      }
    }
  } else if (ord.kind != NormKind::kMax && numel == 1 && keepdim) {
    r.shape = shape;
  }
  const int64_t slices = outer * inner;
  if (ord.kind == NormKind::kMax && len == 0 && slices > 0)
    throw std::invalid_argument("norm: the maximum (ord=inf) of no elements is undefined");
  if (is_power(ord) && power_value(ord) == 0.0) throw std::domain_error("float division by zero");

  Vector leaves(static_cast<size_t>(numel));
  for (int64_t i = 0; i < numel; ++i) leaves[static_cast<size_t>(i)] = norm_leaf(x[i], ord);
  std::vector<double> scratch(
      static_cast<size_t>(tree_scratch_rows(slices > 0 ? len : 0) * kLimbs));
  r.data.resize(static_cast<size_t>(slices));
  for (int64_t o = 0; o < outer; ++o)
    for (int64_t j = 0; j < inner; ++j) {
      const double* first = limbs_of(leaves) + (o * len * inner + j) * kLimbs;
      Row reduced;
      if (ord.kind == NormKind::kMax)
        reduced = load(first + argmax_slice(first, len, inner) * inner * kLimbs);
      else
        reduced = tree_sum(first, len, inner, scratch.data());
      r.data[static_cast<size_t>(o * inner + j)] = norm_finish(reduced, ord);
    }
  return r;
}

// The same over all elements of a matrix, as one row.
inline Row norm(const Matrix& a, const NormOrd& ord) {
  return norm(a.data.data(), {a.rows, a.cols}, ord, false, 0, false).data[0];
}

// --- Condition number and rank ----------------------------------------------------

// p == 2 (kTwo): S[0] / S[last] of svd in float64, +inf when S[last] is not
// positive. Any other p: approx(norm(A, p) * norm(inv(A), p)), raising what
// norm and inv raise (ord 0 before "Singular matrix", since norm(A) comes
// first). An empty matrix has no S[0]: std::out_of_range.
inline double cond(const Matrix& a, const NormOrd& p, int64_t max_iter = 100) {
  if (p.kind == NormKind::kTwo) {
    const SvdResult f = svd(a, max_iter);
    if (f.S.empty())
      throw std::out_of_range("index 0 is out of bounds for dimension 0 with size 0");
    const double s_max = approx(f.S.front());
    const double s_min = approx(f.S.back());
    return s_min > 0.0 ? s_max / s_min : kInf;
  }
  const Row norm_a = norm(a, p);
  const Row norm_inv = norm(inv(a), p);
  return approx(mul(norm_a, norm_inv));
}

// Singular values with approx strictly above tol. Without a tol it is
// max(rows, cols) * S[0] * 1e-14 (an empty matrix then has no S[0]:
// std::out_of_range).
inline int64_t matrix_rank(const Matrix& a, bool has_tol, double tol, int64_t max_iter = 100) {
  const SvdResult f = svd(a, max_iter);
  if (!has_tol) {
    if (f.S.empty())
      throw std::out_of_range("index 0 is out of bounds for dimension 0 with size 0");
    tol = static_cast<double>(std::max(a.rows, a.cols)) * approx(f.S[0]) * 1e-14;
  }
  int64_t rank = 0;
  for (const Row& s : f.S)
    if (approx(s) > tol) ++rank;
  return rank;
}

}  // namespace limbs
