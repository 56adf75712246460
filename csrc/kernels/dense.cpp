// Instantiates the dense factorisations (limbs/matrix/factorizations.h). One of the few
// translation units built with the layout flags (buildsys/kernel_flags.py).
#include "kernels/dense.h"

#include "limbs/matrix/factorizations.h"

namespace zel {
namespace kernels {

namespace kern = limbs::dense;

Matrix matrix_product_kernel(const Matrix& a, const Matrix& b) {
  using limbs::linalg_detail::view;
  return limbs::linalg_detail::product(view(a), view(b));
}

int64_t lu_factor_kernel(Matrix& a, std::vector<int32_t>& pivots) {
  return kern::lu_factor(a, pivots);
}

std::vector<int64_t> pivot_permutation_kernel(const std::vector<int32_t>& pivots, int64_t m) {
  return kern::pivot_permutation(pivots, m);
}

bool refined_solve_kernel(const Matrix& a, Matrix& b) {
  return b.cols <= limbs::dense::kRefineMaxRhs && a.rows >= limbs::dense::kBlockedMin &&
         kern::refined_solve(a, b);
}

void lu_solve_kernel(const Matrix& lu, const std::vector<int32_t>& pivots, Matrix& b) {
  kern::lu_solve(lu, pivots, b);
}

Matrix lu_inverse_kernel(const Matrix& lu, const std::vector<int32_t>& pivots) {
  return kern::lu_inverse(lu, pivots);
}

void lu_solve_transposed_kernel(const Matrix& lu, const std::vector<int32_t>& pivots, Matrix& b) {
  kern::lu_solve_transposed(lu, pivots, b);
}

Row lu_det_kernel(const Matrix& lu, const std::vector<int32_t>& pivots) {
  return kern::lu_det(lu, pivots);
}

kern::SlogDet lu_slogdet_kernel(const Matrix& lu, const std::vector<int32_t>& pivots) {
  return kern::lu_slogdet(lu, pivots);
}

void triangular_solve_kernel(const Matrix& t, Matrix& b, bool upper, bool unit) {
  kern::triangular_solve(t, b, upper, unit);
}

int64_t cholesky_kernel(const Matrix& a, Matrix& l) { return kern::cholesky(a, l); }
kern::Householder householder_qr_kernel(const Matrix& a) { return kern::householder_qr(a); }

Matrix householder_q_kernel(const kern::Householder& h, int64_t m, int64_t cols) {
  return kern::householder_q(h, m, cols);
}

kern::EigenSystem jacobi_eigh_kernel(const Matrix& a, bool lower, bool want_vectors) {
  return kern::jacobi_eigh(a, lower, want_vectors);
}

kern::Svd jacobi_svd_kernel(const Matrix& a, bool full, bool want_vectors) {
  return kern::jacobi_svd(a, full, want_vectors);
}

Matrix matrix_exp_kernel(const Matrix& a) { return kern::matrix_exp(a); }
Row abs_exact_row(const Row& x) { return kern::row_abs(x); }

}  // namespace kernels
}  // namespace zel
