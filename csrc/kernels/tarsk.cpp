// Instantiates tarsk's linear algebra (limbs/matrix/tarsk_kernels.h). One of the few
// translation units built with the layout flags (buildsys/kernel_flags.py).
#include "kernels/tarsk.h"

#include "limbs/matrix/tarsk_kernels.h"

namespace zel {
namespace kernels {

limbs::LuResult tarsk_lu(const limbs::Matrix& a) { return limbs::lu(a); }
limbs::Row tarsk_det(const limbs::Matrix& a) { return limbs::det(a); }
limbs::Vector tarsk_solve(const limbs::Matrix& a, const limbs::Vector& b) {
  return limbs::solve(a, b);
}
limbs::Matrix tarsk_inv(const limbs::Matrix& a) { return limbs::inv(a); }
limbs::QrResult tarsk_qr(const limbs::Matrix& a) { return limbs::qr(a); }
limbs::LstsqResult tarsk_lstsq(const limbs::Matrix& a, const limbs::Vector& b) {
  return limbs::lstsq(a, b);
}
limbs::Matrix tarsk_cholesky(const limbs::Matrix& a) { return limbs::cholesky(a); }
limbs::EigResult tarsk_eig(const limbs::Matrix& a, int64_t max_iter) {
  return limbs::eig(a, max_iter);
}
limbs::SvdResult tarsk_svd(const limbs::Matrix& a, int64_t max_iter) {
  return limbs::svd(a, max_iter);
}

limbs::NormResult tarsk_norm(const limbs::Row* x, const std::vector<int64_t>& shape,
                             const limbs::NormOrd& ord, bool has_dim, int64_t dim, bool keepdim) {
  return limbs::norm(x, shape, ord, has_dim, dim, keepdim);
}

double tarsk_cond(const limbs::Matrix& a, const limbs::NormOrd& p) { return limbs::cond(a, p); }

int64_t tarsk_matrix_rank(const limbs::Matrix& a, bool has_tol, double tol) {
  return limbs::matrix_rank(a, has_tol, tol);
}

}  // namespace kernels
}  // namespace zel
