// Linear algebra on LimbTensors: shape checks, conversion to and from
// limbs::Matrix, and the kernels of limbs/linalg.h. Results are computed on
// the CPU and placed on the device of the first operand. Errors of the
// kernels arrive as zel::ValueError, ZeroDivisionError or IndexError.
#pragma once

#include <optional>
#include <tuple>
#include <utility>

#include "limbs/matrix/matrix.h"
#include "tensor/core/limb_tensor.h"

namespace zel {
namespace linalg {

// Element (i, j) of a 2-D tensor is row i * cols + j of its limb array.
// Indices outside the matrix raise IndexError; `op` names the accessor.
int64_t element_row(const LimbTensor& a, int64_t i, int64_t j, const char* op);
// Row i of the limb array of a tensor of any rank.
int64_t vector_row(const LimbTensor& v, int64_t i, const char* op);

// A copy of one limb row as a 0-d tensor on the source's device.
LimbTensor get_row(const LimbTensor& t, int64_t row);
// approx() of one limb row.
double get_value(const LimbTensor& t, int64_t row);
// Overwrites limb row `row` of t in place with the first row of val.
void set_row(LimbTensor& t, int64_t row, const LimbTensor& val, const char* op);

struct LuFactors {
  LimbTensor P, L, U;
};

LuFactors lu(const LimbTensor& a);
LimbTensor det(const LimbTensor& a);
LimbTensor solve(const LimbTensor& a, const LimbTensor& b);
LimbTensor inv(const LimbTensor& a);
std::pair<LimbTensor, LimbTensor> qr(const LimbTensor& a);
// (x, residual norm as a 0-d tensor)
std::pair<LimbTensor, LimbTensor> lstsq(const LimbTensor& a, const LimbTensor& b);
LimbTensor cholesky(const LimbTensor& a);
// (eigenvalues, eigenvectors as columns)
std::pair<LimbTensor, LimbTensor> eig(const LimbTensor& a, int64_t max_iter);
// (U, S, Vh), the reduced form.
std::tuple<LimbTensor, LimbTensor, LimbTensor> svd(const LimbTensor& a, int64_t max_iter);
// Entry-wise norm of a tensor of any rank, whole or along dim.
LimbTensor norm(const LimbTensor& x, const limbs::NormOrd& ord, std::optional<int64_t> dim,
                bool keepdim);
double cond(const LimbTensor& a, const limbs::NormOrd& p);
int64_t matrix_rank(const LimbTensor& a, std::optional<double> tol);

}  // namespace linalg
}  // namespace zel
