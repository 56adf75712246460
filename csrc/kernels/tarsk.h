// tarsk's linear algebra (limbs/matrix/tarsk_kernels.h), compiled once in
// csrc/kernels/tarsk.cpp with the layout flags. These throw the standard
// exceptions that limbs/matrix/tarsk_kernels.h documents. Torch-free.
#pragma once

#include <cstdint>
#include <vector>

#include "limbs/matrix/matrix.h"

namespace zel {
namespace kernels {

limbs::LuResult tarsk_lu(const limbs::Matrix& a);
limbs::Row tarsk_det(const limbs::Matrix& a);
limbs::Vector tarsk_solve(const limbs::Matrix& a, const limbs::Vector& b);
limbs::Matrix tarsk_inv(const limbs::Matrix& a);
limbs::QrResult tarsk_qr(const limbs::Matrix& a);
limbs::LstsqResult tarsk_lstsq(const limbs::Matrix& a, const limbs::Vector& b);
limbs::Matrix tarsk_cholesky(const limbs::Matrix& a);
limbs::EigResult tarsk_eig(const limbs::Matrix& a, int64_t max_iter);
limbs::SvdResult tarsk_svd(const limbs::Matrix& a, int64_t max_iter);
limbs::NormResult tarsk_norm(const limbs::Row* x, const std::vector<int64_t>& shape,
                             const limbs::NormOrd& ord, bool has_dim, int64_t dim, bool keepdim);
double tarsk_cond(const limbs::Matrix& a, const limbs::NormOrd& p);
int64_t tarsk_matrix_rank(const limbs::Matrix& a, bool has_tol, double tol);

}  // namespace kernels
}  // namespace zel
