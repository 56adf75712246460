// Instantiates the reduction, scan and sort kernels (limbs/slice/tree.h,
// scan.h, sort.h). One of the few translation units built with the layout
// flags (buildsys/kernel_flags.py).
#include "kernels/reduce.h"

#include <cmath>
#include <vector>

#include "limbs/elem/accurate_functions.h"
#include "limbs/matrix/gemm.h"
#include "limbs/slice/tree.h"
#include "limbs/slice/scan.h"
#include "limbs/slice/sort.h"

namespace zel {
namespace kernels {

namespace {

// Elements whose approximation is NaN count as zero.
struct DropNaN {
  Row operator()(const Row& x) const {
    return std::isnan(limbs::approx(x)) ? limbs::zero_row() : x;
  }
};

struct ExpShift {
  Row m;
  bool full;
  Row operator()(const Row& x) const {
    return full ? limbs::math::guarded<&limbs::math::exp_full>(limbs::sub(x, m))
                : limbs::exp(limbs::sub(x, m));
  }
};

static_assert(
    static_cast<int>(QuantileMode::Nearest) == static_cast<int>(limbs::QuantileMode::Nearest) &&
        static_cast<int>(QuantileMode::Linear) == static_cast<int>(limbs::QuantileMode::Linear) &&
        static_cast<int>(QuantileMode::Lower) == static_cast<int>(limbs::QuantileMode::Lower) &&
        static_cast<int>(QuantileMode::Higher) == static_cast<int>(limbs::QuantileMode::Higher) &&
        static_cast<int>(QuantileMode::Midpoint) == static_cast<int>(limbs::QuantileMode::Midpoint),
    "the quantile modes name the same interpolations");

}  // namespace

Row tree_sum_kernel(const double* rows, int64_t n, int64_t stride, double* scratch) {
  return limbs::tree_sum(rows, n, stride, scratch);
}

Row tree_prod_kernel(const double* rows, int64_t n, int64_t stride, double* scratch) {
  return limbs::tree_prod(rows, n, stride, scratch);
}

Row mean_kernel(const double* rows, int64_t n, int64_t stride, const Row& inv_n, double* scratch) {
  return limbs::mean_slice(rows, n, stride, inv_n, scratch);
}

Row var_kernel(const double* rows, int64_t n, int64_t stride, const Row& inv_n, bool unbiased,
               double* scratch) {
  return limbs::var_slice(rows, n, stride, inv_n, unbiased, scratch);
}

Row std_kernel(const double* rows, int64_t n, int64_t stride, const Row& inv_n, bool unbiased,
               double* scratch) {
  return limbs::std_slice(rows, n, stride, inv_n, unbiased, scratch);
}

Row nansum_kernel(const double* rows, int64_t n, int64_t stride, double* scratch) {
  return limbs::tree_sum_map(rows, n, stride, scratch, DropNaN());
}

Row exp_shift_sum_kernel(const double* rows, int64_t n, int64_t stride, const Row& m,
                         double* scratch, bool full) {
  return limbs::tree_sum_map(rows, n, stride, scratch, ExpShift{m, full});
}

Row squared_deviation_sum_kernel(const double* rows, int64_t n, int64_t stride, const Row& m,
                                 double* scratch) {
  return limbs::tree_sum_map(rows, n, stride, scratch, limbs::SquaredDeviation{m});
}

Row norm2_kernel(const double* rows, int64_t n, int64_t stride, double* scratch) {
  return limbs::norm2_slice(rows, n, stride, scratch);
}

Row norm1_kernel(const double* rows, int64_t n, int64_t stride, double* scratch) {
  return limbs::norm1_slice(rows, n, stride, scratch);
}

Row norm_int_p_kernel(const double* rows, int64_t n, int64_t stride, long long p, double* scratch) {
  return limbs::norm_int_p_slice(rows, n, stride, p, scratch);
}

Row norm_float_p_kernel(const double* rows, int64_t n, int64_t stride, double p, double* scratch) {
  return limbs::norm_float_p_slice(rows, n, stride, p, scratch);
}

int64_t argmax_kernel(const double* rows, int64_t n, int64_t stride) {
  return limbs::argmax_slice(rows, n, stride);
}
int64_t argmin_kernel(const double* rows, int64_t n, int64_t stride) {
  return limbs::argmin_slice(rows, n, stride);
}

void tree_leaf_level_kernel(TreeOp op, int64_t n, const double* rows, int64_t stride, double* buf,
                            int64_t i0, int64_t i1) {
  const auto leaf = limbs::slice_leaves(rows, stride, limbs::Identity());
  if (op == TreeOp::Sum)
    limbs::tree_leaf_level(n, leaf, limbs::SumPair(), buf, i0, i1);
  else
    limbs::tree_leaf_level(n, leaf, limbs::ProdPair(), buf, i0, i1);
}

void tree_leaf_carry_kernel(int64_t n, const double* rows, int64_t stride, double* buf) {
  limbs::tree_leaf_carry(n, limbs::slice_leaves(rows, stride, limbs::Identity()), buf);
}

void dot_leaf_level_kernel(int64_t n, const double* a, const double* b, double* buf, int64_t i0,
                           int64_t i1) {
  limbs::tree_leaf_level(n, limbs::ProductLeaves{a, 1, b, 1}, limbs::SumPair(), buf, i0, i1);
}

void dot_leaf_carry_kernel(int64_t n, const double* a, const double* b, double* buf) {
  limbs::tree_leaf_carry(n, limbs::ProductLeaves{a, 1, b, 1}, buf);
}

bool two_levels_at_once(int64_t n) { return limbs::two_levels_at_once(n); }

void tree_second_quarter_kernel(TreeOp op, int64_t n, const double* rows, int64_t stride,
                                double* buf, int64_t i0, int64_t i1) {
  const auto leaf = limbs::slice_leaves(rows, stride, limbs::Identity());
  if (op == TreeOp::Sum)
    limbs::tree_second_quarter(n, leaf, limbs::SumPair(), buf, i0, i1);
  else
    limbs::tree_second_quarter(n, leaf, limbs::ProdPair(), buf, i0, i1);
}

void dot_second_quarter_kernel(int64_t n, const double* a, const double* b, double* buf, int64_t i0,
                               int64_t i1) {
  limbs::tree_second_quarter(n, limbs::ProductLeaves{a, 1, b, 1}, limbs::SumPair(), buf, i0, i1);
}

void tree_level_kernel(TreeOp op, double* buf, int64_t m, int64_t i0, int64_t i1) {
  if (op == TreeOp::Sum)
    limbs::tree_level(buf, m, limbs::SumPair(), i0, i1);
  else
    limbs::tree_level(buf, m, limbs::ProdPair(), i0, i1);
}

void tree_level_carry_kernel(double* buf, int64_t m) { limbs::tree_level_carry(buf, m); }

Row tree_finish_kernel(TreeOp op, double* buf, int64_t m) {
  return op == TreeOp::Sum ? limbs::tree_finish(buf, m, limbs::SumPair())
                           : limbs::tree_finish(buf, m, limbs::ProdPair());
}

void cumsum_kernel(const Row* src, int64_t n, int64_t stride, Row* dst) {
  limbs::cumsum_slice(src, n, stride, dst);
}
void cumprod_kernel(const Row* src, int64_t n, int64_t stride, Row* dst) {
  limbs::cumprod_slice(src, n, stride, dst);
}

void cummax_kernel(const Row* src, int64_t n, int64_t stride, Row* dst, int64_t* idx) {
  limbs::cum_extremum_slice<true>(src, n, stride, dst, idx);
}

void cummin_kernel(const Row* src, int64_t n, int64_t stride, Row* dst, int64_t* idx) {
  limbs::cum_extremum_slice<false>(src, n, stride, dst, idx);
}

void sort_order_kernel(const Row* x, int64_t n, int64_t stride, bool descending, int64_t* order) {
  // The keys are scratch: one small buffer per thread serves the many short
  // slices of a sort along an axis; a long slice gets its own.
  constexpr int64_t kKeptKeys = 4096;
  if (n > kKeptKeys) {
    std::vector<limbs::SortKey> keys(static_cast<size_t>(n));
    limbs::sort_order(x, n, stride, descending, order, keys.data());
    return;
  }
  thread_local std::vector<limbs::SortKey> keys(kKeptKeys);
  limbs::sort_order(x, n, stride, descending, order, keys.data());
}

Row quantile_kernel(const Row* sorted, int64_t n, double q, QuantileMode mode) {
  return limbs::quantile_sorted(sorted, n, q, static_cast<limbs::QuantileMode>(mode));
}

Row abs_extremum_kernel(const Row* x, int64_t n, int64_t stride, bool largest) {
  return limbs::abs_extremum(x, n, stride, largest);
}

int64_t count_nonzero_kernel(const Row* x, int64_t n, int64_t stride) {
  return limbs::count_nonzero(x, n, stride);
}

Row sqrt_row(const Row& a) { return limbs::sqrt(a); }
Row log_row(const Row& a, bool full) {
  return full ? limbs::math::guarded<&limbs::math::log_full>(a) : limbs::log(a);
}

}  // namespace kernels
}  // namespace zel
