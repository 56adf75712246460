#include "tensor/linalg/tarsk.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "kernels/tarsk.h"

namespace zel {
namespace linalg {

namespace {

using limbs::Matrix;
using limbs::Row;
using limbs::Vector;

// The kernels report with standard exceptions; the module raises the Python
// type that each one stands for, with the message unchanged.
template <class F>
auto guarded(const F& f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::invalid_argument& e) {
    throw ValueError(e.what());
  } catch (const std::domain_error& e) {
    throw ZeroDivisionError(e.what());
  } catch (const std::out_of_range& e) {
    throw IndexError(e.what());
  }
}

std::string out_of_bounds(const char* op, int64_t index, int dim, int64_t size) {
  return std::string(op) + ": index " + std::to_string(index) + " is out of bounds for dimension " +
         std::to_string(dim) + " with size " + std::to_string(size);
}

// The matrix of a 2-D tensor. A rank below `indexed_axes` lacks an axis the
// operation indexes and raises IndexError, as indexing the missing axis
// would; any other rank but 2 raises ValueError.
Matrix to_matrix(const LimbTensor& a, const char* op, size_t indexed_axes) {
  at::Tensor d = cpu_limbs(a, op);
  if (a.shape.size() != 2) {
    const std::string msg =
        std::string(op) + ": expected a 2-D matrix, got shape " + shape_str(a.shape);
    if (a.shape.size() < indexed_axes) throw IndexError(msg);
    throw ValueError(msg);
  }
  // The decompositions build square work matrices of the larger side (Q, U,
  // V, the eigenvector basis), so an empty (0, 2^62) matrix is refused here,
  // before a side * side size overflows or reaches the allocator.
  const int64_t side = std::max(a.shape[0], a.shape[1]);
  constexpr int64_t kMaxSide = 3037000499;  // floor(sqrt(2^63 - 1))
  check_alloc(side > kMaxSide ? std::numeric_limits<int64_t>::max() : side * side, op);
  return limbs::matrix_from_rows(rows_of(d), a.shape[0], a.shape[1]);
}

Vector to_vector(const LimbTensor& b, const char* op) {
  at::Tensor d = cpu_limbs(b, op);
  if (b.shape.size() != 1)
    throw ValueError(std::string(op) + ": expected a 1-D right-hand side, got shape " +
                     shape_str(b.shape));
  const Row* p = rows_of(d);
  return Vector(p, p + b.shape[0]);
}

LimbTensor from_rows(const Row* rows, Shape shape, const at::Device& device) {
  const int64_t n = shape_numel(shape);
  at::Tensor d = new_limbs(n);
  if (n > 0) std::memcpy(d.data_ptr<double>(), rows, static_cast<size_t>(n) * sizeof(Row));
  return make_result(d, std::move(shape), device);
}

LimbTensor from_matrix(const Matrix& m, const at::Device& device) {
  return from_rows(m.data.data(), Shape{m.rows, m.cols}, device);
}

LimbTensor from_vector(const Vector& v, const at::Device& device) {
  return from_rows(v.data(), Shape{static_cast<int64_t>(v.size())}, device);
}

LimbTensor from_row(const Row& r, const at::Device& device) {
  return from_rows(&r, Shape{}, device);
}

}  // namespace

int64_t element_row(const LimbTensor& a, int64_t i, int64_t j, const char* op) {
  check_limbs(a.data, a.shape, op);
  if (a.shape.size() != 2)
    throw IndexError(std::string(op) + ": expected a 2-D tensor, got shape " + shape_str(a.shape));
  if (i < 0 || i >= a.shape[0]) throw IndexError(out_of_bounds(op, i, 0, a.shape[0]));
  if (j < 0 || j >= a.shape[1]) throw IndexError(out_of_bounds(op, j, 1, a.shape[1]));
  return i * a.shape[1] + j;
}

int64_t vector_row(const LimbTensor& v, int64_t i, const char* op) {
  check_limbs(v.data, v.shape, op);
  const int64_t n = v.data.size(0);
  if (i < 0 || i >= n) throw IndexError(out_of_bounds(op, i, 0, n));
  return i;
}

LimbTensor get_row(const LimbTensor& t, int64_t row) {
  return LimbTensor{t.data.narrow(0, row, 1).clone(at::MemoryFormat::Contiguous), Shape{}};
}

double get_value(const LimbTensor& t, int64_t row) {
  at::Tensor r = t.data.select(0, row).to(at::kCPU).contiguous();
  return limbs::approx(limbs::load(r.data_ptr<double>()));
}

void set_row(LimbTensor& t, int64_t row, const LimbTensor& val, const char* op) {
  check_limbs(val.data, val.shape, op);
  if (val.data.size(0) == 0) throw IndexError(std::string(op) + ": val has no elements");
  t.data.select(0, row).copy_(val.data.select(0, 0));
}

LuFactors lu(const LimbTensor& a) {
  const Matrix m = to_matrix(a, "lu", 2);
  const limbs::LuResult f = guarded([&] { return kernels::tarsk_lu(m); });
  const at::Device dev = a.data.device();
  return LuFactors{from_matrix(f.P, dev), from_matrix(f.L, dev), from_matrix(f.U, dev)};
}

LimbTensor det(const LimbTensor& a) {
  const Matrix m = to_matrix(a, "det", 2);
  return from_row(guarded([&] { return kernels::tarsk_det(m); }), a.data.device());
}

LimbTensor solve(const LimbTensor& a, const LimbTensor& b) {
  const Matrix m = to_matrix(a, "solve", 2);
  const Vector rhs = to_vector(b, "solve");
  return from_vector(guarded([&] { return kernels::tarsk_solve(m, rhs); }), a.data.device());
}

LimbTensor inv(const LimbTensor& a) {
  const Matrix m = to_matrix(a, "inv", 2);
  return from_matrix(guarded([&] { return kernels::tarsk_inv(m); }), a.data.device());
}

std::pair<LimbTensor, LimbTensor> qr(const LimbTensor& a) {
  const Matrix m = to_matrix(a, "qr", 0);
  const limbs::QrResult f = guarded([&] { return kernels::tarsk_qr(m); });
  const at::Device dev = a.data.device();
  return {from_matrix(f.Q, dev), from_matrix(f.R, dev)};
}

std::pair<LimbTensor, LimbTensor> lstsq(const LimbTensor& a, const LimbTensor& b) {
  const Matrix m = to_matrix(a, "lstsq", 0);
  const Vector rhs = to_vector(b, "lstsq");
  const limbs::LstsqResult f = guarded([&] { return kernels::tarsk_lstsq(m, rhs); });
  const at::Device dev = a.data.device();
  return {from_vector(f.x, dev), from_row(f.residual_norm, dev)};
}

LimbTensor cholesky(const LimbTensor& a) {
  const Matrix m = to_matrix(a, "cholesky", 2);
  return from_matrix(guarded([&] { return kernels::tarsk_cholesky(m); }), a.data.device());
}

std::pair<LimbTensor, LimbTensor> eig(const LimbTensor& a, int64_t max_iter) {
  const Matrix m = to_matrix(a, "eig", 1);
  const limbs::EigResult f = guarded([&] { return kernels::tarsk_eig(m, max_iter); });
  const at::Device dev = a.data.device();
  return {from_vector(f.values, dev), from_matrix(f.vectors, dev)};
}

std::tuple<LimbTensor, LimbTensor, LimbTensor> svd(const LimbTensor& a, int64_t max_iter) {
  const Matrix m = to_matrix(a, "svd", 0);
  const limbs::SvdResult f = guarded([&] { return kernels::tarsk_svd(m, max_iter); });
  const at::Device dev = a.data.device();
  return {from_matrix(f.U, dev), from_vector(f.S, dev), from_matrix(f.Vh, dev)};
}

LimbTensor norm(const LimbTensor& x, const limbs::NormOrd& ord, std::optional<int64_t> dim,
                bool keepdim) {
  at::Tensor d = cpu_limbs(x, "norm");
  if (dim && !x.shape.empty()) {
    // Empty slices of a huge empty tensor still make one result each.
    const int64_t nd = static_cast<int64_t>(x.shape.size());
    if (*dim >= -nd && *dim < nd) {
      Shape rest = x.shape;
      rest.erase(rest.begin() + (*dim < 0 ? *dim + nd : *dim));
      check_alloc(shape_numel(rest), "norm");
    }
  }
  const limbs::NormResult r = guarded([&] {
    return kernels::tarsk_norm(rows_of(d), x.shape, ord, dim.has_value(), dim.value_or(0), keepdim);
  });
  return from_rows(r.data.data(), r.shape, x.data.device());
}

double cond(const LimbTensor& a, const limbs::NormOrd& p) {
  // p == 2 goes through svd, any other p through inv.
  const Matrix m = to_matrix(a, "cond", p.kind == limbs::NormKind::kTwo ? 0 : 2);
  return guarded([&] { return kernels::tarsk_cond(m, p); });
}

int64_t matrix_rank(const LimbTensor& a, std::optional<double> tol) {
  const Matrix m = to_matrix(a, "matrix_rank", 0);
  return guarded([&] { return kernels::tarsk_matrix_rank(m, tol.has_value(), tol.value_or(0.0)); });
}

}  // namespace linalg
}  // namespace zel
