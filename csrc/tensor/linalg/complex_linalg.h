// The complex linear algebra behind zel.linalg's complex path: each function
// takes and returns real views (a complex k x r x c batch as a real tensor of
// shape (k, r, c, 2)); the Python layer checks arguments, broadcasts,
// reshapes and raises PyTorch's errors from the status lists returned here
// (0 for a good matrix, else the failing order or column).
#pragma once

#include <cstdint>
#include <tuple>
#include <vector>

#include "tensor/core/limb_tensor.h"

namespace zel {
namespace dense {

using Status = std::vector<int64_t>;

// X with A X = B; A (k, n, n, 2), B (k, n, m, 2).
std::pair<LimbTensor, Status> complex_solve(const LimbTensor& a, const LimbTensor& b);
std::pair<LimbTensor, Status> complex_inv(const LimbTensor& a);
// (det (k, 2), sign (k, 2), log|det| (k)).
std::tuple<LimbTensor, LimbTensor, LimbTensor> complex_det(const LimbTensor& a);
// L with A = L L^H from the lower triangle.
std::pair<LimbTensor, Status> complex_cholesky(const LimbTensor& a);
std::pair<LimbTensor, LimbTensor> complex_qr(const LimbTensor& a, bool complete);
// (values (k, n, 2), unit vectors (k, n, n, 2)); status 1: no convergence,
// 2: inf or NaN in the input.
std::tuple<LimbTensor, LimbTensor, Status> complex_eig(const LimbTensor& a, bool vectors);
// (values ascending (k, n), vectors (k, n, n, 2)) of the Hermitian matrix
// read from the lower triangle.
std::tuple<LimbTensor, LimbTensor, Status> complex_eigh(const LimbTensor& a, bool vectors);
// (U (k, m, m or p, 2), S (k, p), Vh (k, n or p, n, 2)), p = min(m, n).
std::tuple<LimbTensor, LimbTensor, LimbTensor, Status> complex_svd(const LimbTensor& a,
                                                                   bool full_matrices);

}  // namespace dense
}  // namespace zel
