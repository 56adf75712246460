// The dense factorisations of zel.linalg (limbs/matrix/factorizations.h), compiled once in
// csrc/kernels/dense.cpp with the layout flags; each works on one matrix.
// Torch-free.
#pragma once

#include <cstdint>
#include <vector>

#include "limbs/matrix/matrix.h"

namespace zel {
namespace kernels {

using limbs::Matrix;
using limbs::Row;
using limbs::Vector;

// a (m x k) times b (k x n), every element accumulated sequentially from an exact zero.
Matrix matrix_product_kernel(const Matrix& a, const Matrix& b);

// LU with partial pivoting in place, rows swapped as LAPACK's getrf; returns
// 0, or the 1-based column of the first exactly zero pivot.
int64_t lu_factor_kernel(Matrix& a, std::vector<int32_t>& pivots);
// The row permutation of the LAPACK-style pivots, for m rows.
std::vector<int64_t> pivot_permutation_kernel(const std::vector<int32_t>& pivots, int64_t m);
// b <- a^-1 b by float64 LU and refinement in limbs for a few columns of
// b; false (b untouched) where the limb LU must decide.
bool refined_solve_kernel(const Matrix& a, Matrix& b);
void lu_solve_kernel(const Matrix& lu, const std::vector<int32_t>& pivots, Matrix& b);
// lu_solve_kernel's result on the identity, without the products of its zeros.
Matrix lu_inverse_kernel(const Matrix& lu, const std::vector<int32_t>& pivots);
void lu_solve_transposed_kernel(const Matrix& lu, const std::vector<int32_t>& pivots, Matrix& b);
Row lu_det_kernel(const Matrix& lu, const std::vector<int32_t>& pivots);
limbs::dense::SlogDet lu_slogdet_kernel(const Matrix& lu, const std::vector<int32_t>& pivots);
// b <- t^-1 b for a triangular t (unit: ones on the diagonal assumed).
void triangular_solve_kernel(const Matrix& t, Matrix& b, bool upper, bool unit);
// Lower Cholesky factor into l; returns 0, or the order of the first leading
// minor that is not positive definite.
int64_t cholesky_kernel(const Matrix& a, Matrix& l);
limbs::dense::Householder householder_qr_kernel(const Matrix& a);
Matrix householder_q_kernel(const limbs::dense::Householder& h, int64_t m, int64_t cols);
limbs::dense::EigenSystem jacobi_eigh_kernel(const Matrix& a, bool lower, bool want_vectors);
limbs::dense::Svd jacobi_svd_kernel(const Matrix& a, bool full, bool want_vectors);
Matrix matrix_exp_kernel(const Matrix& a);

// |x| on the exact sign.
Row abs_exact_row(const Row& x);

}  // namespace kernels
}  // namespace zel
