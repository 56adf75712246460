// The reductions PyTorch programs call beyond the defined ones: several
// axes at once, running reductions, exact-order statistics (sort, topk,
// median, quantile, unique) and differences. Sums are the tree sums of
// reduce.h, orderings compare exact values (limbs/core/order.h).
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "kernels/reduce.h"
#include "tensor/core/limb_tensor.h"
#include "tensor/reduce/axis.h"

namespace zel {

// Axes of a reduction; nullopt (or an empty list) means every axis.
using Dims = std::optional<std::vector<int64_t>>;

enum class Fold { Sum, Prod, Mean, NanSum, NanMean, Amax, Amin, LogSumExp };
LimbTensor fold(const LimbTensor& t, const Dims& dims, bool keepdim, Fold op);

// Variance over several axes. With `correction` the sum of squared
// deviations is divided by n - correction in limb arithmetic; without it,
// `unbiased` applies the defined factor n / (n - 1) as Tensor.var does.
LimbTensor variance_dims(const LimbTensor& t, const Dims& dims, bool keepdim,
                         std::optional<double> correction, bool unbiased, bool take_sqrt);

// p-norm over several axes (norm_of_rows: p may also be +-inf or 0).
LimbTensor norm_dims(const LimbTensor& t, const NormOrder& p, const Dims& dims, bool keepdim);

enum class Truth { Any, All, CountNonzero };
// Bool tensor (int64 for CountNonzero) of the reduced shape.
at::Tensor truth_fold(const LimbTensor& t, const Dims& dims, bool keepdim, Truth op);

// Values and int64 indices, on the input's device.
struct Indexed {
  LimbTensor values;
  at::Tensor indices;
};

enum class Scan { Sum, Prod, Max, Min };
// Running reduction along dim; indices only for Max and Min.
Indexed scan(const LimbTensor& t, int64_t dim, Scan op);

Indexed sort(const LimbTensor& t, int64_t dim, bool descending);
// The k largest (smallest) along dim, always in sorted order.
Indexed topk(const LimbTensor& t, int64_t k, int64_t dim, bool largest);
// k-th smallest (1-based) along dim.
Indexed kthvalue(const LimbTensor& t, int64_t k, int64_t dim, bool keepdim);
// Lower median along dim; a NaN in a slice gives NaN and its first index.
Indexed median_dim(const LimbTensor& t, int64_t dim, bool keepdim);
LimbTensor median_all(const LimbTensor& t);
// The points of a 0-d or 1-D q tensor (their approximations); q_axis tells
// a 1-D q, whose results get a leading axis.
std::vector<double> quantile_points(const LimbTensor& q, bool& q_axis);
// One result per entry of q (in [0, 1]); q_axis puts them on a leading axis.
LimbTensor quantile(const LimbTensor& t, const std::vector<double>& q, bool q_axis,
                    std::optional<int64_t> dim, bool keepdim, kernels::QuantileMode mode);

struct Unique {
  LimbTensor values;
  at::Tensor inverse, counts;
};
// Sorted distinct values of all elements (NaNs stay distinct).
Unique unique(const LimbTensor& t);

// n-th forward difference along dim.
LimbTensor diff(const LimbTensor& t, int64_t n, int64_t dim);
// Trapezoidal rule along dim, with sample points x (broadcast along dim, or
// 1-D of the axis length) or the spacing dx; cumulative gives the running
// integral (one element shorter along dim).
LimbTensor trapezoid(const LimbTensor& y, const LimbTensor* x, double dx, int64_t dim,
                     bool cumulative);

}  // namespace zel
