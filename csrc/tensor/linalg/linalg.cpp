#include "tensor/linalg/linalg.h"

#include <ATen/ops/empty.h>
#include <ATen/ops/zeros.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "kernels/dense.h"
#include "kernels/matrix.h"
#include "kernels/pointwise.h"
#include "kernels/reduce.h"
#include "limbs/core/order.h"
#include "tensor/contract/matmul.h"
#include "tensor/core/index_walk.h"
#include "tensor/reduce/axis.h"

namespace zel {
namespace dense {

namespace {

using limbs::Matrix;
using limbs::Row;
using limbs::Vector;

// float64 machine epsilon: PyTorch's default relative tolerances of rank,
// pinv and lstsq are in units of the dtype's epsilon.
constexpr double kFloat64Eps = 2.220446049250313e-16;

[[noreturn]] void fail(const std::string& msg) { throw std::runtime_error(msg); }

std::string str(const char* op) { return std::string(op); }

// A stack of rows x cols matrices in the last two axes of a tensor.
struct Stack {
  at::Tensor data;
  Shape batch;
  int64_t rows = 0, cols = 0, count = 0;
  at::Device device = at::kCPU;

  Matrix matrix(int64_t b) const {
    return limbs::matrix_from_rows(rows_of(data) + b * rows * cols, rows, cols);
  }
};

// Refuses, before any allocation, work matrices side x side that cannot fit.
void check_side(int64_t side, const char* op) {
  constexpr int64_t kMaxSide = 3037000499;  // floor(sqrt(2^63 - 1))
  check_alloc(side > kMaxSide ? std::numeric_limits<int64_t>::max() : side * side, op);
}

Stack stack_of(const LimbTensor& a, const char* op, const char* name = "A") {
  Stack s;
  s.data = cpu_limbs(a, op);
  const size_t nd = a.shape.size();
  if (nd < 2) fail(str(op) + ": The input tensor " + name + " must have at least 2 dimensions.");
  s.batch = Shape(a.shape.begin(), a.shape.end() - 2);
  s.rows = a.shape[nd - 2];
  s.cols = a.shape[nd - 1];
  s.count = shape_numel(s.batch);
  s.device = a.data.device();
  check_side(std::max(s.rows, s.cols), op);
  return s;
}

void check_square(const Stack& s, const char* op, const char* name = "A") {
  if (s.rows != s.cols)
    fail(str(op) + ": " + name + " must be batches of square matrices, but they are " +
         std::to_string(s.rows) + " by " + std::to_string(s.cols) + " matrices");
}

Stack square_stack(const LimbTensor& a, const char* op) {
  Stack s = stack_of(a, op);
  check_square(s, op);
  return s;
}

Shape with(Shape batch, std::initializer_list<int64_t> tail) {
  batch.insert(batch.end(), tail.begin(), tail.end());
  return batch;
}

// A result under construction: `count` blocks of `per` rows each.
struct Out {
  at::Tensor data;
  Shape shape;
  int64_t per = 0;

  Out(Shape s, int64_t count, const char* op) : shape(std::move(s)) {
    const int64_t n = shape_numel(shape);
    data = new_limbs(n, op);
    per = count > 0 ? n / count : 0;
  }
  void put(int64_t b, const Row* rows, int64_t n) {
    if (n > 0) std::memcpy(rows_of(data) + b * per, rows, static_cast<size_t>(n) * sizeof(Row));
  }
  void put(int64_t b, const Matrix& m) { put(b, m.data.data(), m.rows * m.cols); }
  void put(int64_t b, const Vector& v) { put(b, v.data(), static_cast<int64_t>(v.size())); }
  void put(int64_t b, const Row& r) { put(b, &r, 1); }
  LimbTensor done(const at::Device& device) { return make_result(data, shape, device); }
};

// f(b) for every matrix of a batch, in parallel; each call touches only its
// own result blocks, so the bytes do not depend on the thread count.
template <class F>
void each(int64_t count, const F& f) {
  parallel_rows(count, 1, [&](int64_t begin, int64_t end) {
    for (int64_t b = begin; b < end; ++b) f(b);
  });
}

std::string batch_prefix(const Shape& batch, int64_t b) {
  return batch.empty() ? std::string() : "(Batch element " + std::to_string(b) + "): ";
}

// The first batch element whose status is non-zero, or -1.
int64_t first_failure(const std::vector<int64_t>& status) {
  for (size_t b = 0; b < status.size(); ++b)
    if (status[b] != 0) return static_cast<int64_t>(b);
  return -1;
}

// Broadcast of two batch shapes, and for every result matrix the index of
// the operand matrices it takes.
struct BatchPair {
  Shape batch;
  std::vector<int64_t> a, b;
};

BatchPair broadcast_batches(const Shape& sa, const Shape& sb, const char* op) {
  BatchPair p;
  try {
    p.batch = broadcast_shapes(sa, sb);
  } catch (const ValueError&) {
    fail(str(op) + ": the batch dimensions " + shape_str(sa) + " and " + shape_str(sb) +
         " cannot be broadcast");
  }
  const int64_t n = shape_numel(p.batch);
  check_alloc(n, op);
  const std::vector<int64_t> st_a = broadcast_strides(sa, p.batch),
                             st_b = broadcast_strides(sb, p.batch);
  p.a.resize(static_cast<size_t>(n));
  p.b.resize(static_cast<size_t>(n));
  StridedWalk<2> walk(p.batch, {st_a.data(), st_b.data()}, {0, 0}, 0);
  for (int64_t i = 0; i < n; ++i, walk.step()) {
    p.a[static_cast<size_t>(i)] = walk.offset(0);
    p.b[static_cast<size_t>(i)] = walk.offset(1);
  }
  return p;
}

// A right-hand side as a stack of matrices; a vector one (as PyTorch
// decides) becomes one column.
struct Rhs {
  Stack s;
  bool vector = false;
};

Rhs rhs_of(const LimbTensor& b, bool vector, const char* op) {
  Rhs r;
  r.vector = vector && !b.shape.empty();
  if (!r.vector) {
    r.s = stack_of(b, op, "B");
    return r;
  }
  r.s.data = cpu_limbs(b, op);
  r.s.batch = Shape(b.shape.begin(), b.shape.end() - 1);
  r.s.rows = b.shape.back();
  r.s.cols = 1;
  r.s.count = shape_numel(r.s.batch);
  r.s.device = b.data.device();
  return r;
}

// --- LU family ------------------------------------------------------------------

struct Lu {
  Matrix lu;
  std::vector<int32_t> pivots;
  int64_t info = 0;
};

Lu factor(Matrix m) {
  Lu f{std::move(m), {}, 0};
  f.info = kernels::lu_factor_kernel(f.lu, f.pivots);
  return f;
}

// Matrix inverse from the LU factors.
Matrix inverse_of(const Lu& f) { return kernels::lu_inverse_kernel(f.lu, f.pivots); }

// --- Norms ------------------------------------------------------------------------

// |x| on the exact sign.
Row abs_row(const Row& x) { return kernels::abs_exact_row(x); }

// The first element of largest (or smallest) exact value; NaN propagates.
// No elements give 0 (the norms of an empty matrix).
Row extreme(const Row* rows, int64_t n, bool largest) {
  if (n <= 0) return limbs::zero_row();
  Row best = rows[0];
  for (int64_t i = 1; i < n; ++i) {
    const int c = limbs::compare_exact(rows[i], best);
    if (c == limbs::kUnordered) return std::isnan(rows[i].l[0]) ? rows[i] : best;
    if (largest ? c == 1 : c == -1) best = rows[i];
  }
  return best;
}

// The vector norm of n contiguous rows.
Row vector_norm_of(const Row* rows, int64_t n, double ord) {
  std::vector<double> scratch(static_cast<size_t>(kernels::scratch_rows(n) * limbs::kLimbs));
  return norm_of_rows(rows, n, 1, NormOrder::of_value(ord), scratch.data());
}

// The elements of a tensor with the axes `moved` (distinct, in range) put
// last in that order: `rest` gets the shape of the other axes.
Vector move_to_end(const Row* p, const Shape& shape, const std::vector<int64_t>& moved,
                   Shape& rest) {
  const int64_t nd = static_cast<int64_t>(shape.size());
  std::vector<int64_t> stride(static_cast<size_t>(nd), 1);
  for (int64_t d = nd - 2; d >= 0; --d)
    stride[static_cast<size_t>(d)] =
        stride[static_cast<size_t>(d + 1)] * shape[static_cast<size_t>(d + 1)];
  std::vector<int64_t> order;
  rest.clear();
  for (int64_t d = 0; d < nd; ++d)
    if (std::find(moved.begin(), moved.end(), d) == moved.end()) {
      order.push_back(d);
      rest.push_back(shape[static_cast<size_t>(d)]);
    }
  order.insert(order.end(), moved.begin(), moved.end());
  const int64_t n = shape_numel(shape);
  Vector out(static_cast<size_t>(n));
  // The walk runs over the axes in their new order.
  Shape walked;
  std::vector<int64_t> walked_stride;
  for (int64_t d : order) {
    walked.push_back(shape[static_cast<size_t>(d)]);
    walked_stride.push_back(stride[static_cast<size_t>(d)]);
  }
  StridedWalk<1> walk(walked, {walked_stride.data()}, {0}, 0);
  for (int64_t i = 0; i < n; ++i, walk.step()) out[static_cast<size_t>(i)] = p[walk.offset(0)];
  return out;
}

// The output shape of a reduction over `dims` of `shape`.
Shape reduced_shape(const Shape& shape, const std::vector<int64_t>& dims, bool keepdim) {
  Shape out;
  for (size_t d = 0; d < shape.size(); ++d) {
    const bool reduced = std::find(dims.begin(), dims.end(), static_cast<int64_t>(d)) != dims.end();
    if (!reduced)
      out.push_back(shape[d]);
    else if (keepdim)
      out.push_back(1);
  }
  return out;
}

Vector singular_values(const Matrix& m) { return kernels::jacobi_svd_kernel(m, false, false).s; }

Row matrix_norm_of(const Matrix& m, MatrixOrd ord) {
  const int64_t r = m.rows, c = m.cols;
  switch (ord) {
    case MatrixOrd::kFro:
      return vector_norm_of(m.data.data(), r * c, 2.0);
    case MatrixOrd::kNuc: {
      const Vector s = singular_values(m);
      const int64_t n = static_cast<int64_t>(s.size());
      std::vector<double> scratch(static_cast<size_t>(kernels::scratch_rows(n) * limbs::kLimbs));
      return kernels::tree_sum_kernel(reinterpret_cast<const double*>(s.data()), n, 1,
                                      scratch.data());
    }
    case MatrixOrd::kTwo:
    case MatrixOrd::kNegTwo: {
      const Vector s = singular_values(m);
      return ord == MatrixOrd::kTwo ? s.front() : s.back();
    }
    case MatrixOrd::kOne:
    case MatrixOrd::kNegOne:
    case MatrixOrd::kInf:
    case MatrixOrd::kNegInf: {
      // Sums of |a| down each column (1) or along each row (inf).
      const bool columns = ord == MatrixOrd::kOne || ord == MatrixOrd::kNegOne;
      const Matrix t = columns ? limbs::transpose(m) : m;
      Vector sums(static_cast<size_t>(t.rows));
      for (int64_t i = 0; i < t.rows; ++i)
        sums[static_cast<size_t>(i)] = vector_norm_of(&t.at(i, 0), t.cols, 1.0);
      return extreme(sums.data(), t.rows, ord == MatrixOrd::kOne || ord == MatrixOrd::kInf);
    }
  }
  return limbs::zero_row();
}

const char* ord_name(MatrixOrd ord) {
  switch (ord) {
    case MatrixOrd::kFro:
      return "fro";
    case MatrixOrd::kNuc:
      return "nuc";
    case MatrixOrd::kTwo:
      return "2";
    case MatrixOrd::kNegTwo:
      return "-2";
    case MatrixOrd::kOne:
      return "1";
    case MatrixOrd::kNegOne:
      return "-1";
    case MatrixOrd::kInf:
      return "inf";
    case MatrixOrd::kNegInf:
      return "-inf";
  }
  return "";
}

// Tolerance of rank and pinv: max(atol, rtol * s_max), rtol defaulting to
// eps * max(m, n) unless a positive atol is given, as PyTorch. rtol * s_max is
// formed in limbs: with rtol = 1 the largest value is then not above it.
Row rank_tolerance(std::optional<double> atol, std::optional<double> rtol, int64_t m, int64_t n,
                   const Row& s_max) {
  const double a = atol.value_or(0.0);
  double r;
  if (rtol)
    r = *rtol;
  else
    r = (atol && *atol > 0.0) ? 0.0 : kFloat64Eps * static_cast<double>(std::max(m, n));
  const Row absolute = limbs::from_double(a);
  const Row relative = limbs::mul(limbs::from_double(r), s_max);
  return limbs::compare_exact(absolute, relative) >= 0 ? absolute : relative;
}

bool above(const Row& s, const Row& tol) { return limbs::compare_exact(s, tol) == 1; }

// |eigenvalues| of a symmetric matrix (descending) with their vectors, or
// the SVD: the eigen- or singular values rank and pinv need.
Matrix pinv_of(const Matrix& m, std::optional<double> atol, std::optional<double> rtol,
               bool hermitian) {
  if (hermitian) {
    const limbs::dense::EigenSystem e = kernels::jacobi_eigh_kernel(m, true, true);
    Vector mags;
    for (const Row& v : e.values) mags.push_back(abs_row(v));
    const Row s_max = mags.empty() ? limbs::zero_row()
                                   : extreme(mags.data(), static_cast<int64_t>(mags.size()), true);
    const Row tol = rank_tolerance(atol, rtol, m.rows, m.cols, s_max);
    Matrix scaled = e.vectors;  // V diag(1/lambda), then times V^T
    for (int64_t j = 0; j < m.rows; ++j) {
      const Row& lam = e.values[static_cast<size_t>(j)];
      const bool keep = above(abs_row(lam), tol);
      const Row inv = keep ? kernels::reciprocal_row(lam) : limbs::zero_row();
      for (int64_t i = 0; i < m.rows; ++i)
        scaled.at(i, j) = keep ? limbs::mul(scaled.at(i, j), inv) : limbs::zero_row();
    }
    const Matrix vt = limbs::transpose(e.vectors);
    return kernels::matrix_product_kernel(scaled, vt);
  }
  const limbs::dense::Svd f = kernels::jacobi_svd_kernel(m, false, true);
  const int64_t k = static_cast<int64_t>(f.s.size());
  const Row tol =
      k > 0 ? rank_tolerance(atol, rtol, m.rows, m.cols, f.s.front()) : limbs::zero_row();
  // V diag(1/s) U^T: row i of Vh scaled, then (Vh^T) (U^T).
  Matrix vt = limbs::transpose(f.vh);  // n x k
  for (int64_t j = 0; j < k; ++j) {
    const Row& s = f.s[static_cast<size_t>(j)];
    const bool keep = above(s, tol);
    const Row inv = keep ? kernels::reciprocal_row(s) : limbs::zero_row();
    for (int64_t i = 0; i < vt.rows; ++i)
      vt.at(i, j) = keep ? limbs::mul(vt.at(i, j), inv) : limbs::zero_row();
  }
  const Matrix ut = limbs::transpose(f.u);
  return kernels::matrix_product_kernel(vt, ut);
}

// Materialises a tensor broadcast to `out`.
Vector expand_rows(const at::Tensor& data, const Shape& from, const Shape& out) {
  const int64_t n = shape_numel(out);
  check_alloc(n, "broadcast");
  const std::vector<int64_t> st = broadcast_strides(from, out);
  const Row* p = rows_of(data);
  Vector r(static_cast<size_t>(n));
  StridedWalk<1> walk(out, {st.data()}, {0}, 0);
  for (int64_t i = 0; i < n; ++i, walk.step()) r[static_cast<size_t>(i)] = p[walk.offset(0)];
  return r;
}

}  // namespace

// --- Solve and inverse -----------------------------------------------------------------

LimbTensor solve(const LimbTensor& a, const LimbTensor& b, bool left) {
  const char* op = "linalg.solve";
  const Stack sa = square_stack(a, op);
  // PyTorch's rule: B is a vector when 1-D or when it is A without its last axis.
  const Shape a_front(a.shape.begin(), a.shape.end() - 1);
  const Rhs rb = rhs_of(b, b.shape.size() == 1 || b.shape == a_front, op);
  const Stack& sb = rb.s;
  const int64_t n = sa.rows;
  // With left=False, X A = B is A^T X^T = B^T.
  const int64_t b_n = (left || rb.vector) ? sb.rows : sb.cols;
  if (b_n != n)
    fail(str(op) + ": Incompatible shapes of A and B for the equation " +
         (left ? "AX = B" : "XA = B") + " (" + std::to_string(sa.rows) + "x" +
         std::to_string(sa.cols) + " and " + std::to_string(sb.rows) + "x" +
         std::to_string(sb.cols) + ")");
  const BatchPair bp = broadcast_batches(sa.batch, sb.batch, op);
  const int64_t count = shape_numel(bp.batch);
  Out out(rb.vector ? with(bp.batch, {n}) : with(bp.batch, {sb.rows, sb.cols}), count, op);
  std::vector<int64_t> status(static_cast<size_t>(count), 0);
  const bool transposed = !left && !rb.vector;
  each(count, [&](int64_t i) {
    Matrix m = sa.matrix(bp.a[static_cast<size_t>(i)]);
    if (!left) m = limbs::transpose(m);
    Matrix x = sb.matrix(bp.b[static_cast<size_t>(i)]);
    if (transposed) x = limbs::transpose(x);
    if (!kernels::refined_solve_kernel(m, x)) {
      const Lu f = factor(std::move(m));
      if (f.info != 0) {
        status[static_cast<size_t>(i)] = f.info;
        return;
      }
      kernels::lu_solve_kernel(f.lu, f.pivots, x);
    }
    out.put(i, transposed ? limbs::transpose(x) : x);
  });
  const int64_t bad = first_failure(status);
  if (bad >= 0)
    throw LinAlgError(str(op) + ": " + batch_prefix(bp.batch, bad) +
                      "The solver failed because the input matrix is singular.");
  return out.done(sa.device);
}

LimbTensor inv(const LimbTensor& a) {
  const char* op = "linalg.inv";
  const Stack s = square_stack(a, op);
  Out out(with(s.batch, {s.rows, s.cols}), s.count, op);
  std::vector<int64_t> status(static_cast<size_t>(s.count), 0);
  each(s.count, [&](int64_t b) {
    const Lu f = factor(s.matrix(b));
    status[static_cast<size_t>(b)] = f.info;
    if (f.info == 0) out.put(b, inverse_of(f));
  });
  const int64_t bad = first_failure(status);
  if (bad >= 0)
    throw LinAlgError(
        str(op) + ": " + batch_prefix(s.batch, bad) + "The diagonal element " +
        std::to_string(status[static_cast<size_t>(bad)]) +
        " is zero, the inversion could not be completed because the input matrix is singular.");
  return out.done(s.device);
}

LimbTensor det(const LimbTensor& a) {
  const char* op = "linalg.det";
  const Stack s = square_stack(a, op);
  Out out(s.batch, s.count, op);
  each(s.count, [&](int64_t b) {
    const Lu f = factor(s.matrix(b));
    out.put(b, kernels::lu_det_kernel(f.lu, f.pivots));
  });
  return out.done(s.device);
}

std::pair<LimbTensor, LimbTensor> slogdet(const LimbTensor& a) {
  const char* op = "linalg.slogdet";
  const Stack s = square_stack(a, op);
  Out sign(s.batch, s.count, op), logabs(s.batch, s.count, op);
  each(s.count, [&](int64_t b) {
    const Lu f = factor(s.matrix(b));
    const limbs::dense::SlogDet r = kernels::lu_slogdet_kernel(f.lu, f.pivots);
    sign.put(b, r.sign);
    logabs.put(b, r.logabsdet);
  });
  return {sign.done(s.device), logabs.done(s.device)};
}

LimbTensor logdet(const LimbTensor& a) {
  const char* op = "logdet";
  const Stack s = square_stack(a, op);
  Out out(s.batch, s.count, op);
  each(s.count, [&](int64_t b) {
    const Lu f = factor(s.matrix(b));
    const limbs::dense::SlogDet r = kernels::lu_slogdet_kernel(f.lu, f.pivots);
    out.put(b, limbs::approx(r.sign) < 0.0 ? limbs::from_double(limbs::kNaN) : r.logabsdet);
  });
  return out.done(s.device);
}

// --- Cholesky ------------------------------------------------------------------------

LimbTensor cholesky(const LimbTensor& a, bool upper) {
  const char* op = "linalg.cholesky";
  const Stack s = square_stack(a, op);
  Out out(with(s.batch, {s.rows, s.cols}), s.count, op);
  std::vector<int64_t> status(static_cast<size_t>(s.count), 0);
  each(s.count, [&](int64_t b) {
    // The upper triangle of A is the lower one of A^T.
    const Matrix m = upper ? limbs::transpose(s.matrix(b)) : s.matrix(b);
    Matrix l;
    status[static_cast<size_t>(b)] = kernels::cholesky_kernel(m, l);
    out.put(b, upper ? limbs::transpose(l) : l);
  });
  const int64_t bad = first_failure(status);
  if (bad >= 0)
    throw LinAlgError(
        str(op) + ": " + batch_prefix(s.batch, bad) +
        "The factorization could not be completed because the input is not positive-definite (the "
        "leading minor of order " +
        std::to_string(status[static_cast<size_t>(bad)]) + " is not positive-definite).");
  return out.done(s.device);
}

LimbTensor cholesky_solve(const LimbTensor& b, const LimbTensor& l, bool upper) {
  const char* op = "cholesky_solve";
  const Stack sb = stack_of(b, op, "B");
  const Stack sl = stack_of(l, op, "L");
  check_square(sl, op, "L");
  if (sb.rows != sl.rows)
    fail(str(op) + ": Incompatible matrix sizes for cholesky_solve: each A matrix is " +
         std::to_string(sl.rows) + " by " + std::to_string(sl.rows) + " but each b matrix is " +
         std::to_string(sb.rows) + " by " + std::to_string(sb.cols));
  const BatchPair bp = broadcast_batches(sb.batch, sl.batch, op);
  const int64_t count = shape_numel(bp.batch);
  Out out(with(bp.batch, {sb.rows, sb.cols}), count, op);
  each(count, [&](int64_t i) {
    // A = L L^T: L Y = B, then L^T X = Y; with upper, A = U^T U.
    const Matrix f = sl.matrix(bp.b[static_cast<size_t>(i)]);
    const Matrix ft = limbs::transpose(f);
    Matrix x = sb.matrix(bp.a[static_cast<size_t>(i)]);
    kernels::triangular_solve_kernel(upper ? ft : f, x, false, false);
    kernels::triangular_solve_kernel(upper ? f : ft, x, true, false);
    out.put(i, x);
  });
  return out.done(sb.device);
}

// --- QR, eigen-decomposition, SVD ------------------------------------------------------

std::pair<LimbTensor, LimbTensor> qr(const LimbTensor& a, QrMode mode) {
  const char* op = "linalg.qr";
  const Stack s = stack_of(a, op);
  const int64_t m = s.rows, n = s.cols, k = std::min(m, n);
  const int64_t q_cols = mode == QrMode::kComplete ? m : k;
  const int64_t r_rows = mode == QrMode::kComplete ? m : k;
  Out q(mode == QrMode::kR ? Shape{0} : with(s.batch, {m, q_cols}),
        mode == QrMode::kR ? 1 : s.count, op);
  Out r(with(s.batch, {r_rows, n}), s.count, op);
  each(s.count, [&](int64_t b) {
    const limbs::dense::Householder h = kernels::householder_qr_kernel(s.matrix(b));
    r.put(b, h.r.data.data(), r_rows * n);  // the leading rows of the m x n R
    if (mode != QrMode::kR) q.put(b, kernels::householder_q_kernel(h, m, q_cols));
  });
  return {q.done(s.device), r.done(s.device)};
}

std::pair<LimbTensor, LimbTensor> eigh(const LimbTensor& a, bool lower, bool vectors,
                                       const char* op) {
  const Stack s = square_stack(a, op);
  const int64_t n = s.rows;
  Out values(with(s.batch, {n}), s.count, op);
  Out vecs(vectors ? with(s.batch, {n, n}) : Shape{0}, vectors ? s.count : 1, op);
  each(s.count, [&](int64_t b) {
    const limbs::dense::EigenSystem e = kernels::jacobi_eigh_kernel(s.matrix(b), lower, vectors);
    values.put(b, e.values);
    if (vectors) vecs.put(b, e.vectors);
  });
  return {values.done(s.device), vecs.done(s.device)};
}

std::tuple<LimbTensor, LimbTensor, LimbTensor> svd(const LimbTensor& a, bool full_matrices) {
  const char* op = "linalg.svd";
  const Stack s = stack_of(a, op);
  const int64_t m = s.rows, n = s.cols, k = std::min(m, n);
  Out u(with(s.batch, {m, full_matrices ? m : k}), s.count, op);
  Out sv(with(s.batch, {k}), s.count, op);
  Out vh(with(s.batch, {full_matrices ? n : k, n}), s.count, op);
  each(s.count, [&](int64_t b) {
    const limbs::dense::Svd f = kernels::jacobi_svd_kernel(s.matrix(b), full_matrices, true);
    u.put(b, f.u);
    sv.put(b, f.s);
    vh.put(b, f.vh);
  });
  return {u.done(s.device), sv.done(s.device), vh.done(s.device)};
}

LimbTensor svdvals(const LimbTensor& a) {
  const char* op = "linalg.svdvals";
  const Stack s = stack_of(a, op);
  Out sv(with(s.batch, {std::min(s.rows, s.cols)}), s.count, op);
  each(s.count, [&](int64_t b) { sv.put(b, singular_values(s.matrix(b))); });
  return sv.done(s.device);
}

// --- Least squares ------------------------------------------------------------------------

LstsqResult lstsq(const LimbTensor& a, const LimbTensor& b, std::optional<double> rcond,
                  LstsqDriver driver) {
  const char* op = "linalg.lstsq";
  const Stack sa = stack_of(a, op);
  const bool vector = b.shape.size() + 1 == a.shape.size();
  const Rhs rb = rhs_of(b, vector, op);
  const Stack& sb = rb.s;
  const int64_t m = sa.rows, n = sa.cols, k = std::min(m, n), nrhs = sb.cols;
  if (sb.rows != m)
    fail(str(op) + ": input.size(-2) should match other.size(-2), got " + std::to_string(m) +
         " and " + std::to_string(sb.rows));
  const BatchPair bp = broadcast_batches(sa.batch, sb.batch, op);
  const int64_t count = shape_numel(bp.batch);
  const double rc = rcond.value_or(kFloat64Eps * static_cast<double>(std::max(m, n)));
  const bool want_rank = driver != LstsqDriver::kGels;
  const bool want_sv = driver == LstsqDriver::kGelsd || driver == LstsqDriver::kGelss;
  Out x(vector ? with(bp.batch, {n}) : with(bp.batch, {n, nrhs}), count, op);
  Out sv(want_sv ? with(bp.batch, {k}) : Shape{0}, want_sv ? count : 1, op);
  Vector residual(static_cast<size_t>(count * nrhs));
  std::vector<int64_t> ranks(static_cast<size_t>(count), 0);
  each(count, [&](int64_t i) {
    // The minimum-norm solution V diag(1/s) U^T B over the singular values
    // above rcond * s_max.
    const Matrix am = sa.matrix(bp.a[static_cast<size_t>(i)]);
    const Matrix bm = sb.matrix(bp.b[static_cast<size_t>(i)]);
    const limbs::dense::Svd f = kernels::jacobi_svd_kernel(am, false, true);
    const double tol = k > 0 ? rc * limbs::approx(f.s.front()) : 0.0;
    const Matrix ut = limbs::transpose(f.u);
    Matrix c = kernels::matrix_product_kernel(ut, bm);  // k x nrhs
    int64_t rank = 0;
    for (int64_t j = 0; j < k; ++j) {
      const Row& s = f.s[static_cast<size_t>(j)];
      const bool keep = above(s, limbs::from_double(tol));
      rank += keep;
      const Row inv = keep ? kernels::reciprocal_row(s) : limbs::zero_row();
      for (int64_t col = 0; col < nrhs; ++col)
        c.at(j, col) = keep ? limbs::mul(c.at(j, col), inv) : limbs::zero_row();
    }
    const Matrix v = limbs::transpose(f.vh);
    const Matrix sol = kernels::matrix_product_kernel(v, c);
    ranks[static_cast<size_t>(i)] = rank;
    x.put(i, sol);
    if (want_sv) sv.put(i, f.s);
    const Matrix ax = kernels::matrix_product_kernel(am, sol);
    for (int64_t col = 0; col < nrhs; ++col) {
      Row acc = limbs::zero_row();
      for (int64_t r = 0; r < m; ++r) {
        const Row d = limbs::sub(ax.at(r, col), bm.at(r, col));
        acc = limbs::add(acc, limbs::mul(d, d));
      }
      residual[static_cast<size_t>(i * nrhs + col)] = acc;
    }
  });
  // Residuals as LAPACK reports them: for a tall full-rank A and any driver
  // but gelsy.
  bool full_rank = true;
  for (int64_t r : ranks) full_rank = full_rank && r == n;
  const bool want_res = driver != LstsqDriver::kGelsy && m > n && full_rank && count > 0;
  Out res(want_res ? with(bp.batch, {nrhs}) : Shape{0}, want_res ? count : 1, op);
  if (want_res)
    for (int64_t i = 0; i < count; ++i) res.put(i, residual.data() + i * nrhs, nrhs);
  at::Tensor rank = want_rank ? at::empty(bp.batch, at::kLong) : at::empty({0}, at::kLong);
  if (want_rank)
    for (int64_t i = 0; i < count; ++i) rank.data_ptr<int64_t>()[i] = ranks[static_cast<size_t>(i)];
  return {x.done(sa.device), res.done(sa.device), rank, sv.done(sa.device)};
}

// --- Norms, condition number, rank, pinv --------------------------------------------------

LimbTensor vector_norm(const LimbTensor& x, double ord,
                       const std::optional<std::vector<int64_t>>& dims, bool keepdim) {
  const char* op = "linalg.vector_norm";
  at::Tensor d = cpu_limbs(x, op);
  const int64_t nd = static_cast<int64_t>(x.shape.size());
  std::vector<int64_t> reduce;
  if (dims && !dims->empty()) {
    for (int64_t dim : *dims) {
      const int64_t w = wrap_dim(dim, nd, op);
      if (std::find(reduce.begin(), reduce.end(), w) != reduce.end())
        fail(str(op) + ": dim " + std::to_string(w) +
             " appears multiple times in the list of dims");
      reduce.push_back(w);
    }
    if (nd == 0) reduce.clear();
  } else {
    for (int64_t i = 0; i < nd; ++i) reduce.push_back(i);
  }
  Shape rest;
  const Vector moved = move_to_end(rows_of(d), x.shape, reduce, rest);
  const int64_t outer = shape_numel(rest);
  const int64_t len = outer > 0 ? static_cast<int64_t>(moved.size()) / outer : 0;
  if (std::isinf(ord) && len == 0 && outer > 0)
    fail(str(op) + " cannot compute the " + (ord > 0 ? "inf" : "-inf") +
         " norm on an empty tensor because the operation does not have an identity");
  const Shape shape = reduced_shape(x.shape, reduce, keepdim);
  Out out(shape, outer, op);
  each(outer, [&](int64_t o) { out.put(o, vector_norm_of(moved.data() + o * len, len, ord)); });
  return out.done(x.data.device());
}

LimbTensor matrix_norm(const LimbTensor& a, MatrixOrd ord, int64_t dim0, int64_t dim1,
                       bool keepdim) {
  const char* op = "linalg.matrix_norm";
  at::Tensor d = cpu_limbs(a, op);
  const int64_t nd = static_cast<int64_t>(a.shape.size());
  if (nd < 2) fail(str(op) + ": The input tensor A must have at least 2 dimensions.");
  const int64_t r = wrap_dim(dim0, nd, op), c = wrap_dim(dim1, nd, op);
  if (r == c)
    fail(str(op) + ": dims must be different. Got (" + std::to_string(dim0) + ", " +
         std::to_string(dim1) + ")");
  const int64_t rows = a.shape[static_cast<size_t>(r)], cols = a.shape[static_cast<size_t>(c)];
  if (rows * cols == 0 && ord != MatrixOrd::kFro && ord != MatrixOrd::kNuc)
    fail(str(op) + ": the " + ord_name(ord) + " norm of an empty matrix is undefined, got a " +
         std::to_string(rows) + " by " + std::to_string(cols) + " matrix");
  check_side(std::max(rows, cols), op);
  Shape rest;
  const Vector moved = move_to_end(rows_of(d), a.shape, {r, c}, rest);
  const int64_t count = shape_numel(rest);
  Out out(reduced_shape(a.shape, {r, c}, keepdim), count, op);
  each(count, [&](int64_t b) {
    const Matrix m = limbs::matrix_from_rows(moved.data() + b * rows * cols, rows, cols);
    out.put(b, matrix_norm_of(m, ord));
  });
  return out.done(a.data.device());
}

LimbTensor cond(const LimbTensor& a, MatrixOrd p) {
  const char* op = "linalg.cond";
  const Stack s = stack_of(a, op);
  const bool spectral = p == MatrixOrd::kTwo || p == MatrixOrd::kNegTwo;
  if (!spectral) check_square(s, op);
  Out out(s.batch, s.count, op);
  each(s.count, [&](int64_t b) {
    const Matrix m = s.matrix(b);
    if (spectral) {
      const Vector sv = singular_values(m);
      if (sv.empty()) {
        out.put(b, limbs::zero_row());
        return;
      }
      out.put(b, p == MatrixOrd::kTwo ? kernels::div_row(sv.front(), sv.back())
                                      : kernels::div_row(sv.back(), sv.front()));
      return;
    }
    const Lu f = factor(m);
    // A singular matrix has an infinite condition number.
    if (f.info != 0) {
      out.put(b, limbs::from_double(limbs::kInf));
      return;
    }
    out.put(b, limbs::mul(matrix_norm_of(m, p), matrix_norm_of(inverse_of(f), p)));
  });
  return out.done(s.device);
}

at::Tensor matrix_rank(const LimbTensor& a, std::optional<double> atol, std::optional<double> rtol,
                       bool hermitian) {
  const char* op = "linalg.matrix_rank";
  const Stack s = stack_of(a, op);
  if (hermitian) check_square(s, op);
  at::Tensor rank = at::zeros(s.batch, at::kLong);
  int64_t* rp = rank.data_ptr<int64_t>();
  each(s.count, [&](int64_t b) {
    const Matrix m = s.matrix(b);
    Vector sv;
    if (hermitian) {
      for (const Row& v : kernels::jacobi_eigh_kernel(m, true, false).values)
        sv.push_back(abs_row(v));
    } else {
      sv = singular_values(m);
    }
    if (sv.empty()) return;
    const Row tol = rank_tolerance(atol, rtol, s.rows, s.cols,
                                   extreme(sv.data(), static_cast<int64_t>(sv.size()), true));
    int64_t count = 0;
    for (const Row& v : sv) count += above(v, tol);
    rp[b] = count;
  });
  return rank;
}

LimbTensor pinv(const LimbTensor& a, std::optional<double> atol, std::optional<double> rtol,
                bool hermitian) {
  const char* op = "linalg.pinv";
  const Stack s = stack_of(a, op);
  if (hermitian) check_square(s, op);
  Out out(with(s.batch, {s.cols, s.rows}), s.count, op);
  each(s.count, [&](int64_t b) { out.put(b, pinv_of(s.matrix(b), atol, rtol, hermitian)); });
  return out.done(s.device);
}

// --- Matrix functions ----------------------------------------------------------------------

LimbTensor matrix_exp(const LimbTensor& a) {
  const char* op = "linalg.matrix_exp";
  const Stack s = square_stack(a, op);
  Out out(with(s.batch, {s.rows, s.cols}), s.count, op);
  each(s.count, [&](int64_t b) { out.put(b, kernels::matrix_exp_kernel(s.matrix(b))); });
  return out.done(s.device);
}

LimbTensor matrix_power(const LimbTensor& a, int64_t n) {
  const char* op = "linalg.matrix_power";
  const Stack s = square_stack(a, op);
  Out out(with(s.batch, {s.rows, s.cols}), s.count, op);
  std::vector<int64_t> status(static_cast<size_t>(s.count), 0);
  each(s.count, [&](int64_t b) {
    Matrix base = s.matrix(b);
    if (n < 0) {
      const Lu f = factor(base);
      status[static_cast<size_t>(b)] = f.info;
      if (f.info != 0) return;
      base = inverse_of(f);
    }
    // |n| in unsigned arithmetic, so that the most negative n works too.
    unsigned long long e =
        n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
    Matrix result = limbs::identity(s.rows);
    bool first = true;
    while (e != 0) {
      if (e & 1ULL) {
        result = first ? base : kernels::matrix_product_kernel(result, base);
        first = false;
      }
      e >>= 1;
      if (e != 0) base = kernels::matrix_product_kernel(base, base);
    }
    out.put(b, result);
  });
  const int64_t bad = first_failure(status);
  if (bad >= 0)
    throw LinAlgError(
        "linalg.inv: " + batch_prefix(s.batch, bad) + "The diagonal element " +
        std::to_string(status[static_cast<size_t>(bad)]) +
        " is zero, the inversion could not be completed because the input matrix is singular.");
  return out.done(s.device);
}

// --- Triangular and LU solves ----------------------------------------------------------------

LimbTensor solve_triangular(const LimbTensor& a, const LimbTensor& b, bool upper, bool left,
                            bool unitriangular) {
  const char* op = "linalg.solve_triangular";
  const Stack sa = square_stack(a, op);
  const Stack sb = stack_of(b, op, "B");
  const int64_t n = sa.rows;
  if ((left ? sb.rows : sb.cols) != n)
    fail(str(op) + ": Incompatible shapes of A and B for the equation " +
         (left ? "AX = B" : "XA = B") + " (" + std::to_string(n) + "x" + std::to_string(n) +
         " and " + std::to_string(sb.rows) + "x" + std::to_string(sb.cols) + ")");
  const BatchPair bp = broadcast_batches(sa.batch, sb.batch, op);
  const int64_t count = shape_numel(bp.batch);
  Out out(with(bp.batch, {sb.rows, sb.cols}), count, op);
  each(count, [&](int64_t i) {
    const Matrix t = sa.matrix(bp.a[static_cast<size_t>(i)]);
    Matrix x = sb.matrix(bp.b[static_cast<size_t>(i)]);
    if (left) {
      kernels::triangular_solve_kernel(t, x, upper, unitriangular);
      out.put(i, x);
      return;
    }
    // X A = B is A^T X^T = B^T, and A^T has the other triangle.
    Matrix xt = limbs::transpose(x);
    kernels::triangular_solve_kernel(limbs::transpose(t), xt, !upper, unitriangular);
    out.put(i, limbs::transpose(xt));
  });
  return out.done(sa.device);
}

std::pair<LimbTensor, at::Tensor> lu_factor(const LimbTensor& a, bool pivot) {
  const char* op = "torch.linalg.lu_factor";
  if (!pivot) fail("linalg.lu_factor: LU without pivoting is not implemented on the CPU");
  const Stack s = stack_of(a, op);
  const int64_t k = std::min(s.rows, s.cols);
  Out out(with(s.batch, {s.rows, s.cols}), s.count, op);
  at::Tensor piv = at::empty(with(s.batch, {k}), at::kInt);
  int32_t* pp = piv.data_ptr<int32_t>();
  std::vector<int64_t> status(static_cast<size_t>(s.count), 0);
  each(s.count, [&](int64_t b) {
    const Lu f = factor(s.matrix(b));
    status[static_cast<size_t>(b)] = f.info;
    out.put(b, f.lu);
    std::copy(f.pivots.begin(), f.pivots.end(), pp + b * k);
  });
  const int64_t bad = first_failure(status);
  if (bad >= 0) {
    const std::string d = std::to_string(status[static_cast<size_t>(bad)]);
    fail(str(op) + ": " + batch_prefix(s.batch, bad) + "U[" + d + "," + d +
         "] is zero and using it on lu_solve would result in a division by zero. If you still want "
         "to perform the "
         "factorization, consider calling linalg.lu(A, pivot) or linalg.lu_factor_ex(A, pivot)");
  }
  return {out.done(s.device), piv};
}

std::tuple<LimbTensor, LimbTensor, LimbTensor> lu(const LimbTensor& a, bool pivot) {
  const char* op = "linalg.lu";
  if (!pivot) fail("linalg.lu: LU without pivoting is not implemented on the CPU");
  const Stack s = stack_of(a, op);
  const int64_t m = s.rows, n = s.cols, k = std::min(m, n);
  Out p(with(s.batch, {m, m}), s.count, op), l(with(s.batch, {m, k}), s.count, op),
      u(with(s.batch, {k, n}), s.count, op);
  each(s.count, [&](int64_t b) {
    const Lu f = factor(s.matrix(b));
    // A = P L U: row i of L U is row perm[i] of A, so P[perm[i]][i] = 1.
    const std::vector<int64_t> perm = kernels::pivot_permutation_kernel(f.pivots, m);
    Matrix pm(m, m), lm(m, k), um(k, n);
    for (int64_t i = 0; i < m; ++i)
      pm.at(perm[static_cast<size_t>(i)], i) = limbs::from_double(1.0);
    for (int64_t i = 0; i < m; ++i)
      for (int64_t j = 0; j < k; ++j)
        lm.at(i, j) =
            i == j ? limbs::from_double(1.0) : (i > j ? f.lu.at(i, j) : limbs::zero_row());
    for (int64_t i = 0; i < k; ++i)
      for (int64_t j = i; j < n; ++j) um.at(i, j) = f.lu.at(i, j);
    p.put(b, pm);
    l.put(b, lm);
    u.put(b, um);
  });
  return {p.done(s.device), l.done(s.device), u.done(s.device)};
}

LimbTensor lu_solve(const LimbTensor& lu, const at::Tensor& pivots, const LimbTensor& b, bool left,
                    bool adjoint) {
  const char* op = "linalg.lu_solve";
  const Stack sa = square_stack(lu, op);
  const Stack sb = stack_of(b, op, "B");
  const int64_t n = sa.rows;
  if (pivots.scalar_type() != at::kInt)
    throw TypeError(str(op) + ": pivots must be an int32 tensor, got " +
                    std::string(c10::toString(pivots.scalar_type())));
  const Shape piv_shape(pivots.sizes().begin(), pivots.sizes().end());
  if (piv_shape != with(sa.batch, {n}))
    fail(str(op) + ": pivots must have shape " + shape_str(with(sa.batch, {n})) +
         ", the batch of LU and its size, got " + shape_str(piv_shape));
  const at::Tensor piv = pivots.to(at::kCPU).contiguous();
  const int32_t* pp = piv.data_ptr<int32_t>();
  for (int64_t i = 0; i < piv.numel(); ++i)
    if (pp[i] < 1 || pp[i] > n)
      fail(str(op) + ": pivots must be row numbers between 1 and " + std::to_string(n) + ", got " +
           std::to_string(pp[i]));
  if ((left ? sb.rows : sb.cols) != n)
    fail(str(op) + ": Incompatible shapes of A and B for the equation " +
         (left ? "AX = B" : "XA = B") + " (" + std::to_string(n) + "x" + std::to_string(n) +
         " and " + std::to_string(sb.rows) + "x" + std::to_string(sb.cols) + ")");
  const BatchPair bp = broadcast_batches(sa.batch, sb.batch, op);
  const int64_t count = shape_numel(bp.batch);
  Out out(with(bp.batch, {sb.rows, sb.cols}), count, op);
  each(count, [&](int64_t i) {
    const int64_t ia = bp.a[static_cast<size_t>(i)];
    const Matrix f = sa.matrix(ia);
    const std::vector<int32_t> pv(pp + ia * n, pp + (ia + 1) * n);
    // Left: A X = B (or A^T X = B). Right: X A = B is A^T X^T = B^T (and
    // X A^T = B is A X^T = B^T).
    const bool transposed_system = left ? adjoint : !adjoint;
    Matrix x = sb.matrix(bp.b[static_cast<size_t>(i)]);
    if (!left) x = limbs::transpose(x);
    if (transposed_system)
      kernels::lu_solve_transposed_kernel(f, pv, x);
    else
      kernels::lu_solve_kernel(f, pv, x);
    out.put(i, left ? x : limbs::transpose(x));
  });
  return out.done(sa.device);
}

// --- Vector products -------------------------------------------------------------------------

LimbTensor cross(const LimbTensor& a, const LimbTensor& b, int64_t dim) {
  const char* op = "linalg.cross";
  at::Tensor da = cpu_limbs(a, op), db = cpu_limbs(b, op);
  if (a.shape.size() != b.shape.size())
    fail(str(op) + ": inputs must have the same number of dimensions.");
  const int64_t nd = static_cast<int64_t>(a.shape.size());
  const int64_t d = wrap_dim(dim, nd, op);
  if (nd == 0 || a.shape[static_cast<size_t>(d)] != 3 || b.shape[static_cast<size_t>(d)] != 3)
    fail(str(op) + ": inputs dimension " + std::to_string(dim) + " must have length 3. Got " +
         (nd ? std::to_string(a.shape[static_cast<size_t>(d)]) : "0") + " and " +
         (nd ? std::to_string(b.shape[static_cast<size_t>(d)]) : "0"));
  Shape out_shape;
  try {
    out_shape = broadcast_shapes(a.shape, b.shape);
  } catch (const ValueError&) {
    fail(str(op) + ": the shapes " + shape_str(a.shape) + " and " + shape_str(b.shape) +
         " cannot be broadcast");
  }
  const Vector ea = expand_rows(da, a.shape, out_shape), eb = expand_rows(db, b.shape, out_shape);
  int64_t inner = 1;
  for (int64_t i = d + 1; i < nd; ++i) inner *= out_shape[static_cast<size_t>(i)];
  // An empty axis after dim leaves nothing to compute (and nothing to divide by).
  const int64_t n = static_cast<int64_t>(ea.size()), outer = inner == 0 ? 0 : n / (3 * inner);
  Out out(out_shape, 1, op);
  Row* r = rows_of(out.data);
  for (int64_t o = 0; o < outer; ++o)
    for (int64_t j = 0; j < inner; ++j) {
      const int64_t base = o * 3 * inner + j;
      auto x = [&](int c) { return ea[static_cast<size_t>(base + c * inner)]; };
      auto y = [&](int c) { return eb[static_cast<size_t>(base + c * inner)]; };
      for (int c = 0; c < 3; ++c) {
        const int c1 = (c + 1) % 3, c2 = (c + 2) % 3;
        r[base + c * inner] = limbs::sub(limbs::mul(x(c1), y(c2)), limbs::mul(x(c2), y(c1)));
      }
    }
  return out.done(a.data.device());
}

LimbTensor vecdot(const LimbTensor& a, const LimbTensor& b, int64_t dim) {
  const char* op = "linalg.vecdot";
  at::Tensor da = cpu_limbs(a, op), db = cpu_limbs(b, op);
  Shape out_shape;
  try {
    out_shape = broadcast_shapes(a.shape, b.shape);
  } catch (const ValueError&) {
    fail(str(op) + ": the shapes " + shape_str(a.shape) + " and " + shape_str(b.shape) +
         " cannot be broadcast");
  }
  const int64_t nd = static_cast<int64_t>(out_shape.size());
  if (nd == 0) fail(str(op) + ": expected tensors of at least 1 dimension, got 0-d tensors");
  const int64_t d = wrap_dim(dim, nd, op);
  const Vector ea = expand_rows(da, a.shape, out_shape), eb = expand_rows(db, b.shape, out_shape);
  const int64_t len = out_shape[static_cast<size_t>(d)];
  int64_t inner = 1;
  for (int64_t i = d + 1; i < nd; ++i) inner *= out_shape[static_cast<size_t>(i)];
  int64_t outer = 1;
  for (int64_t i = 0; i < d; ++i) outer *= out_shape[static_cast<size_t>(i)];
  Out out(reduced_shape(out_shape, {d}, false), 1, op);
  Row* r = rows_of(out.data);
  const double* pa = reinterpret_cast<const double*>(ea.data());
  const double* pb = reinterpret_cast<const double*>(eb.data());
  // No result elements: a long empty axis must not size the scratch.
  const int64_t rows = outer * inner == 0 ? 0 : kernels::scratch_rows(len);
  std::vector<double> scratch(static_cast<size_t>(rows * limbs::kLimbs));
  for (int64_t o = 0; o < outer; ++o)
    for (int64_t j = 0; j < inner; ++j) {
      const int64_t base = (o * len * inner + j) * limbs::kLimbs;
      r[o * inner + j] =
          len > 0 ? kernels::dot_kernel(pa + base, inner, pb + base, inner, len, scratch.data())
                  : limbs::zero_row();
    }
  return out.done(a.data.device());
}

LimbTensor multi_dot(const std::vector<LimbTensor>& tensors) {
  const char* op = "multi_dot()";
  const size_t n = tensors.size();
  if (n < 2) fail(str(op) + ": expected at least 2 tensors but got " + std::to_string(n));
  for (size_t i = 0; i < n; ++i) {
    const size_t nd = tensors[i].shape.size();
    check_limbs(tensors[i].data, tensors[i].shape, "multi_dot");
    const bool end = i == 0 || i + 1 == n;
    if (nd != 2 && !(end && nd == 1))
      fail(str(op) + ": tensor " + std::to_string(i) + " must be " + (end ? "1D or 2D" : "2D") +
           " but got " + std::to_string(nd) + "D");
  }
  for (size_t i = 0; i + 1 < n; ++i) {
    const int64_t left = tensors[i].shape.back();
    const int64_t right = tensors[i + 1].shape[0];
    if (left != right)
      fail(str(op) + ": tensors " + std::to_string(i) + " and " + std::to_string(i + 1) +
           " with shapes " + shape_str(tensors[i].shape) + " and " +
           shape_str(tensors[i + 1].shape) + " cannot be multiplied");
  }
  // Left to right, with the matrix product's rules for 1-D ends.
  LimbTensor acc = matmul(tensors[0], tensors[1]);
  for (size_t i = 2; i < n; ++i) acc = matmul(acc, tensors[i]);
  return acc;
}

}  // namespace dense
}  // namespace zel
