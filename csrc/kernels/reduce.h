// The reduction, scan and sort kernels, compiled once in
// csrc/kernels/reduce.cpp with the layout flags. A slice is n rows of 8
// limbs, `stride` rows apart, from `rows`; `scratch` holds
// scratch_rows(n) rows. Torch-free.
#pragma once

#include <cstdint>

#include "limbs/core/row.h"

namespace zel {
namespace kernels {

using limbs::Row;

// Scratch rows a pairwise tree over n rows needs.
inline int64_t scratch_rows(int64_t n) { return n > 1 ? (n + 1) / 2 : 0; }

// The pairwise trees: sum, product, mean (sum times inv_n).
Row tree_sum_kernel(const double* rows, int64_t n, int64_t stride, double* scratch);
Row tree_prod_kernel(const double* rows, int64_t n, int64_t stride, double* scratch);
Row mean_kernel(const double* rows, int64_t n, int64_t stride, const Row& inv_n, double* scratch);
// Variance (mean of squared deviations, times n / (n - 1) when `unbiased`) and its square root.
Row var_kernel(const double* rows, int64_t n, int64_t stride, const Row& inv_n, bool unbiased,
               double* scratch);
Row std_kernel(const double* rows, int64_t n, int64_t stride, const Row& inv_n, bool unbiased,
               double* scratch);
// The tree sum of elements whose approximation is NaN replaced by zero.
Row nansum_kernel(const double* rows, int64_t n, int64_t stride, double* scratch);
// The tree sums of exp(x - m) and of (x - m) * (x - m).
Row exp_shift_sum_kernel(const double* rows, int64_t n, int64_t stride, const Row& m,
                         double* scratch, bool full = false);
Row squared_deviation_sum_kernel(const double* rows, int64_t n, int64_t stride, const Row& m,
                                 double* scratch);

// Vector norms of a slice: 2, 1, an integer p and a float p.
Row norm2_kernel(const double* rows, int64_t n, int64_t stride, double* scratch);
Row norm1_kernel(const double* rows, int64_t n, int64_t stride, double* scratch);
Row norm_int_p_kernel(const double* rows, int64_t n, int64_t stride, long long p, double* scratch);
Row norm_float_p_kernel(const double* rows, int64_t n, int64_t stride, double p, double* scratch);

// Index of the largest or smallest approximation (first of ties; NaN wins).
int64_t argmax_kernel(const double* rows, int64_t n, int64_t stride);
int64_t argmin_kernel(const double* rows, int64_t n, int64_t stride);

// One long slice's tree, level by level, so that the pairs of a level can be
// split over threads: every pair is computed as in the serial tree, so the
// root has the same bits. A level of m rows leaves tree_level_size(m).
enum class TreeOp { Sum, Prod };
inline int64_t tree_level_size(int64_t m) { return m / 2 + m % 2; }
// Pairs [i0, i1) of the leaf level of n rows into buf, and its odd last row.
void tree_leaf_level_kernel(TreeOp op, int64_t n, const double* rows, int64_t stride, double* buf,
                            int64_t i0, int64_t i1);
void tree_leaf_carry_kernel(int64_t n, const double* rows, int64_t stride, double* buf);
// The same leaf level over the products a[i] * b[i] of two contiguous runs
// (a dot product's tree without its products stored first).
void dot_leaf_level_kernel(int64_t n, const double* a, const double* b, double* buf, int64_t i0,
                           int64_t i1);
void dot_leaf_carry_kernel(int64_t n, const double* a, const double* b, double* buf);
// Where n allows (limbs::two_levels_at_once), the leaf level's pairs [0, n/4)
// go into buf as above and its pairs [i0, i1) of [n/4, n/2) straight into the
// second level's rows: the tree then continues from n/4 rows.
bool two_levels_at_once(int64_t n);
void tree_second_quarter_kernel(TreeOp op, int64_t n, const double* rows, int64_t stride,
                                double* buf, int64_t i0, int64_t i1);
void dot_second_quarter_kernel(int64_t n, const double* a, const double* b, double* buf, int64_t i0,
                               int64_t i1);
// Pairs [i0, i1) of a level of m rows in buf, in place, and its odd last row.
void tree_level_kernel(TreeOp op, double* buf, int64_t m, int64_t i0, int64_t i1);
void tree_level_carry_kernel(double* buf, int64_t m);
// The remaining levels of m rows, serially, to the root.
Row tree_finish_kernel(TreeOp op, double* buf, int64_t m);

// Running sums, products and extrema along a slice (extrema also write the
// index of each running extremum).
void cumsum_kernel(const Row* src, int64_t n, int64_t stride, Row* dst);
void cumprod_kernel(const Row* src, int64_t n, int64_t stride, Row* dst);
void cummax_kernel(const Row* src, int64_t n, int64_t stride, Row* dst, int64_t* idx);
void cummin_kernel(const Row* src, int64_t n, int64_t stride, Row* dst, int64_t* idx);

// order[i] = position of the i-th smallest (largest with `descending`) of
// the slice by exact value, stable, NaN last.
void sort_order_kernel(const Row* x, int64_t n, int64_t stride, bool descending, int64_t* order);

// Interpolation of quantile between the two neighbouring order statistics.
enum class QuantileMode { Linear, Lower, Higher, Midpoint, Nearest };
// The q-quantile of n sorted rows.
Row quantile_kernel(const Row* sorted, int64_t n, double q, QuantileMode mode);

// The element of largest (or smallest) absolute value; the count of non-zero elements.
Row abs_extremum_kernel(const Row* x, int64_t n, int64_t stride, bool largest);
int64_t count_nonzero_kernel(const Row* x, int64_t n, int64_t stride);

// The scalar one-row functions the reductions finish with.
Row sqrt_row(const Row& a);
Row log_row(const Row& a, bool full = false);

}  // namespace kernels
}  // namespace zel
