#include "tensor/linalg/complex_linalg.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "limbs/elem/defined.h"
#include "tensor/core/checks.h"
#include "limbs/matrix/complex_factorizations.h"

namespace zel {
namespace dense {

namespace {

using limbs::Row;
using limbs::cx::C;
using limbs::cx::CMatrix;

// A batch of complex matrices held as the real view (k, rows, cols, 2).
struct CStack {
  at::Tensor data;
  int64_t count = 0, rows = 0, cols = 0;
  at::Device device = at::kCPU;

  CMatrix matrix(int64_t b) const {
    return limbs::cx::cmatrix_from_rows(rows_of(data) + 2 * b * rows * cols, rows, cols);
  }
};

CStack stack_of(const LimbTensor& a, const char* op) {
  if (a.shape.size() != 4 || a.shape[3] != 2)
    throw std::runtime_error(std::string(op) + ": expected a real view of shape (k, r, c, 2)");
  CStack s;
  s.data = cpu_limbs(a, op);
  s.count = a.shape[0];
  s.rows = a.shape[1];
  s.cols = a.shape[2];
  s.device = a.data.device();
  check_alloc(s.rows * s.cols * 2, op);
  return s;
}

// `count` results of `per` complex (or real) elements each.
struct COut {
  at::Tensor data;
  Shape shape;
  int64_t per = 0;  // rows per batch element

  COut(Shape s, const char* op) : shape(std::move(s)) {
    data = new_limbs(shape_numel(shape), op);
    per = shape[0] > 0 ? shape_numel(shape) / shape[0] : 0;
  }
  Row* at(int64_t b) { return rows_of(data) + b * per; }
  void put(int64_t b, const CMatrix& m) { limbs::cx::cmatrix_to_rows(m, at(b)); }
  LimbTensor done(const at::Device& device) { return make_result(data, shape, device); }
};

template <class F>
void each(int64_t count, const F& f) {
  parallel_rows(count, 1, [&](int64_t begin, int64_t end) {
    for (int64_t b = begin; b < end; ++b) f(b);
  });
}

CMatrix conj_transpose(const CMatrix& a) {
  CMatrix t(a.cols, a.rows);
  for (int64_t i = 0; i < a.rows; ++i)
    for (int64_t j = 0; j < a.cols; ++j) t.at(j, i) = limbs::cx::cconj(a.at(i, j));
  return t;
}

}  // namespace

// A^-1 B for each matrix of the stack: LU with pivoting, then the right-hand
// side `rhs(i)` (rows x cols) solved in place; a singular A leaves its status.
template <class Rhs>
std::pair<LimbTensor, Status> lu_solve_each(const CStack& sa, int64_t cols, const Rhs& rhs,
                                            const char* op) {
  COut out({sa.count, sa.rows, cols, 2}, op);
  Status status(static_cast<size_t>(sa.count), 0);
  each(sa.count, [&](int64_t i) {
    CMatrix m = sa.matrix(i);
    std::vector<int64_t> piv;
    const int64_t info = limbs::cx::lu_factor(m, piv);
    status[static_cast<size_t>(i)] = info;
    if (info != 0) return;
    CMatrix x = rhs(i);
    limbs::cx::lu_solve(m, piv, x);
    out.put(i, x);
  });
  return {out.done(sa.device), status};
}

std::pair<LimbTensor, Status> complex_solve(const LimbTensor& a, const LimbTensor& b) {
  const char* op = "linalg.solve";
  const CStack sa = stack_of(a, op), sb = stack_of(b, op);
  if (sa.count != sb.count || sa.rows != sa.cols || sb.rows != sa.rows)
    throw std::runtime_error(std::string(op) + ": mismatched real views");
  return lu_solve_each(
      sa, sb.cols, [&](int64_t i) { return sb.matrix(i); }, op);
}

std::pair<LimbTensor, Status> complex_inv(const LimbTensor& a) {
  const char* op = "linalg.inv";
  const CStack s = stack_of(a, op);
  return lu_solve_each(
      s, s.cols, [&](int64_t) { return limbs::cx::cidentity(s.rows); }, op);
}

std::tuple<LimbTensor, LimbTensor, LimbTensor> complex_det(const LimbTensor& a) {
  const char* op = "linalg.det";
  const CStack s = stack_of(a, op);
  COut det({s.count, 2}, op), sign({s.count, 2}, op), logabs({s.count}, op);
  each(s.count, [&](int64_t i) {
    CMatrix m = s.matrix(i);
    std::vector<int64_t> piv;
    limbs::cx::lu_factor(m, piv);
    const limbs::cx::CDet d = limbs::cx::lu_det(m, piv);
    Row* pd = det.at(i);
    pd[0] = d.det.re;
    pd[1] = d.det.im;
    Row* ps = sign.at(i);
    ps[0] = d.sign.re;
    ps[1] = d.sign.im;
    Row la;
    if (!limbs::cx::all_finite(m)) {
      la = limbs::from_double(limbs::kNaN);
      ps[0] = ps[1] = la;
    } else if (d.zero) {
      la = limbs::from_double(-limbs::kInf);
    } else {
      la = limbs::add(limbs::log(d.log_mant),
                      limbs::mul_scalar(limbs::row3(limbs::kLn2), static_cast<double>(d.exponent)));
    }
    logabs.at(i)[0] = la;
  });
  return {det.done(s.device), sign.done(s.device), logabs.done(s.device)};
}

std::pair<LimbTensor, Status> complex_cholesky(const LimbTensor& a) {
  const char* op = "linalg.cholesky";
  const CStack s = stack_of(a, op);
  COut out({s.count, s.rows, s.cols, 2}, op);
  Status status(static_cast<size_t>(s.count), 0);
  each(s.count, [&](int64_t i) {
    CMatrix l;
    const int64_t info = limbs::cx::cholesky(s.matrix(i), l);
    status[static_cast<size_t>(i)] = info;
    if (info == 0) out.put(i, l);
  });
  return {out.done(s.device), status};
}

std::pair<LimbTensor, LimbTensor> complex_qr(const LimbTensor& a, bool complete) {
  const char* op = "linalg.qr";
  const CStack s = stack_of(a, op);
  const int64_t k = std::min(s.rows, s.cols);
  const int64_t qc = complete ? s.rows : k;
  COut q({s.count, s.rows, qc, 2}, op), r({s.count, qc, s.cols, 2}, op);
  each(s.count, [&](int64_t i) {
    CMatrix qm, rm;
    limbs::cx::householder_qr(s.matrix(i), complete, qm, rm);
    CMatrix rtop(qc, s.cols);
    for (int64_t x = 0; x < qc; ++x)
      for (int64_t y = 0; y < s.cols; ++y) rtop.at(x, y) = rm.at(x, y);
    q.put(i, qm);
    r.put(i, rtop);
  });
  return {q.done(s.device), r.done(s.device)};
}

std::tuple<LimbTensor, LimbTensor, Status> complex_eig(const LimbTensor& a, bool vectors) {
  const char* op = "linalg.eig";
  const CStack s = stack_of(a, op);
  const int64_t n = s.rows;
  COut values({s.count, n, 2}, op), vecs({vectors ? s.count : 0, n, n, 2}, op);
  Status status(static_cast<size_t>(s.count), 0);
  each(s.count, [&](int64_t i) {
    const CMatrix m = s.matrix(i);
    if (!limbs::cx::all_finite(m)) {
      status[static_cast<size_t>(i)] = 2;
      return;
    }
    bool real_input = true;
    for (const C& z : m.data) real_input = real_input && limbs::cx::xsign(z.im) == 0;
    const limbs::cx::CEigen e = limbs::cx::eig(m, vectors, real_input);
    if (!e.converged) {
      status[static_cast<size_t>(i)] = 1;
      return;
    }
    CMatrix w(n, 1);
    for (int64_t j = 0; j < n; ++j) w.at(j, 0) = e.values[static_cast<size_t>(j)];
    values.put(i, w);
    if (vectors) vecs.put(i, e.vectors);
  });
  return {values.done(s.device), vecs.done(s.device), status};
}

std::tuple<LimbTensor, LimbTensor, Status> complex_eigh(const LimbTensor& a, bool vectors) {
  const char* op = "linalg.eigh";
  const CStack s = stack_of(a, op);
  const int64_t n = s.rows;
  COut values({s.count, n}, op), vecs({vectors ? s.count : 0, n, n, 2}, op);
  Status status(static_cast<size_t>(s.count), 0);
  each(s.count, [&](int64_t i) {
    CMatrix m = s.matrix(i);
    for (int64_t r = 0; r < n; ++r)
      for (int64_t c = r + 1; c < n; ++c) m.at(r, c) = limbs::cx::cconj(m.at(c, r));
    if (!limbs::cx::all_finite(m)) {
      status[static_cast<size_t>(i)] = 2;
      return;
    }
    const limbs::cx::CEigh e = limbs::cx::eigh(m, vectors);
    if (!e.converged) status[static_cast<size_t>(i)] = 1;
    for (int64_t j = 0; j < n; ++j) values.at(i)[j] = e.values[static_cast<size_t>(j)];
    if (vectors) vecs.put(i, e.vectors);
  });
  return {values.done(s.device), vecs.done(s.device), status};
}

// One-sided Jacobi on A, or on A^H when A is wide (then U and V trade places).
std::tuple<LimbTensor, LimbTensor, LimbTensor, Status> complex_svd(const LimbTensor& a,
                                                                   bool full_matrices) {
  using namespace limbs::cx;
  const char* op = "linalg.svd";
  const CStack s = stack_of(a, op);
  const int64_t m = s.rows, n = s.cols, p = std::min(m, n);
  const int64_t uc = full_matrices ? m : p, vr = full_matrices ? n : p;
  COut uo({s.count, m, uc, 2}, op), so({s.count, p}, op), vo({s.count, vr, n, 2}, op);
  Status status(static_cast<size_t>(s.count), 0);
  each(s.count, [&](int64_t i) {
    const CMatrix am = s.matrix(i);
    if (!all_finite(am)) {
      status[static_cast<size_t>(i)] = 2;
      return;
    }
    const bool wide = m < n;
    const CSvd d = one_sided_jacobi(wide ? conj_transpose(am) : am, full_matrices);
    if (!d.converged) status[static_cast<size_t>(i)] = 1;
    for (int64_t j = 0; j < p; ++j) so.at(i)[j] = d.s[static_cast<size_t>(j)];
    // tall: U = d.u, Vh = d.v^H; wide: U = d.v, Vh = d.u^H.
    uo.put(i, wide ? d.v : d.u);
    vo.put(i, conj_transpose(wide ? d.u : d.v));
  });
  return {uo.done(s.device), so.done(s.device), vo.done(s.device), status};
}

}  // namespace dense
}  // namespace zel
