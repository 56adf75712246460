// torch.linalg on LimbTensors: PyTorch's shape rules (batches of matrices in
// the last two axes, broadcast batch axes, vector right-hand sides), the
// kernels of limbs/matrix/factorizations.h run per matrix in parallel over the batch, and
// PyTorch's errors. Index results (pivots, ranks) are int32/int64 at::Tensors
// as PyTorch returns them. Results are placed on the device of the first
// operand.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tensor/core/limb_tensor.h"

namespace zel {
namespace dense {

// torch.linalg.LinAlgError: a singular or non-definite input.
struct LinAlgError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class QrMode { kReduced, kComplete, kR };

// The matrix norms of matrix_norm's `ord`.
enum class MatrixOrd { kFro, kNuc, kTwo, kNegTwo, kOne, kNegOne, kInf, kNegInf };

enum class LstsqDriver { kGels, kGelsy, kGelsd, kGelss };

LimbTensor solve(const LimbTensor& a, const LimbTensor& b, bool left);
LimbTensor inv(const LimbTensor& a);
LimbTensor det(const LimbTensor& a);
std::pair<LimbTensor, LimbTensor> slogdet(const LimbTensor& a);
// log det: NaN for a negative determinant, -inf for zero.
LimbTensor logdet(const LimbTensor& a);
LimbTensor cholesky(const LimbTensor& a, bool upper);
// X with A X = B for A = L L^T (or U^T U), L given.
LimbTensor cholesky_solve(const LimbTensor& b, const LimbTensor& l, bool upper);
std::pair<LimbTensor, LimbTensor> qr(const LimbTensor& a, QrMode mode);
// (eigenvalues ascending, eigenvectors); the vectors are empty unless wanted.
std::pair<LimbTensor, LimbTensor> eigh(const LimbTensor& a, bool lower, bool vectors,
                                       const char* op);
std::tuple<LimbTensor, LimbTensor, LimbTensor> svd(const LimbTensor& a, bool full_matrices);
LimbTensor svdvals(const LimbTensor& a);

struct LstsqResult {
  LimbTensor solution, residuals;
  at::Tensor rank;
  LimbTensor singular_values;
};
LstsqResult lstsq(const LimbTensor& a, const LimbTensor& b, std::optional<double> rcond,
                  LstsqDriver driver);

// ord: 2, 1, inf, -inf, 0 or any other real power; dims empty = all.
LimbTensor vector_norm(const LimbTensor& x, double ord,
                       const std::optional<std::vector<int64_t>>& dims, bool keepdim);
LimbTensor matrix_norm(const LimbTensor& a, MatrixOrd ord, int64_t dim0, int64_t dim1,
                       bool keepdim);
// p as matrix_norm's ord; kTwo is the default.
LimbTensor cond(const LimbTensor& a, MatrixOrd p);
at::Tensor matrix_rank(const LimbTensor& a, std::optional<double> atol, std::optional<double> rtol,
                       bool hermitian);
LimbTensor pinv(const LimbTensor& a, std::optional<double> atol, std::optional<double> rtol,
                bool hermitian);
LimbTensor matrix_exp(const LimbTensor& a);
LimbTensor matrix_power(const LimbTensor& a, int64_t n);
LimbTensor solve_triangular(const LimbTensor& a, const LimbTensor& b, bool upper, bool left,
                            bool unitriangular);
// (LU, pivots int32)
std::pair<LimbTensor, at::Tensor> lu_factor(const LimbTensor& a, bool pivot);
std::tuple<LimbTensor, LimbTensor, LimbTensor> lu(const LimbTensor& a, bool pivot);
LimbTensor lu_solve(const LimbTensor& lu, const at::Tensor& pivots, const LimbTensor& b, bool left,
                    bool adjoint);
LimbTensor cross(const LimbTensor& a, const LimbTensor& b, int64_t dim);
LimbTensor vecdot(const LimbTensor& a, const LimbTensor& b, int64_t dim);
LimbTensor multi_dot(const std::vector<LimbTensor>& tensors);

}  // namespace dense
}  // namespace zel
