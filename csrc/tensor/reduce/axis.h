// Reductions of whole tensors and along one axis: tree sum and product,
// mean, variance, norms, extrema and their indices. Every slice along an
// axis is reduced by the same tree as a whole tensor, in one pass.
#pragma once

#include <optional>

#include "limbs/core/row.h"
#include "tensor/core/limb_tensor.h"

namespace zel {

enum class ReduceOp { Sum, Prod, Max, Min };

// `shape` without axis `dim`, or with it set to 1 when keepdim.
Shape reduced_shape(const Shape& shape, int64_t dim, bool keepdim);

// The slices of an axis: slice s = o * inner + j starts at row
// o * len * inner + j and steps by inner; s is also its output row.
struct Slices {
  int64_t outer = 1, len = 1, inner = 1;
  int64_t count() const { return outer * inner; }
  int64_t base(int64_t s) const { return (s / inner) * len * inner + s % inner; }
};

// The slices along axis dim (already normalised) of shape; a 0-d shape is
// one slice of one element, a result with no element has no slice.
Slices slices_of(const Shape& shape, int64_t dim);

// Whole-tensor reduction to a 0-d tensor (no elements: sum 0, product 1;
// max/min raise ValueError).
LimbTensor reduce_all(const LimbTensor& t, ReduceOp op);
LimbTensor reduce_dim(const LimbTensor& t, int64_t dim, bool keepdim, ReduceOp op);
// The sum of a[i] * b[i] over two contiguous runs of n rows: the bytes of the
// whole-tensor sum of their element-wise product, without storing it.
limbs::Row dot_tree(const double* a, const double* b, int64_t n);

// Flat index (dim empty: a 0-d int64 array) or indices along dim.
at::Tensor arg_extremum(const LimbTensor& t, std::optional<int64_t> dim, bool is_max);

LimbTensor mean(const LimbTensor& t, std::optional<int64_t> dim, bool keepdim);
LimbTensor variance(const LimbTensor& t, std::optional<int64_t> dim, bool keepdim, bool unbiased,
                    bool take_sqrt);

// The p of every norm. An int p takes the integer-power kernel and a float
// p the float one, as the caller gave it (the defined norm keeps that
// distinction: norm(x, 3) and norm(x, 3.0) differ in their last bits); the
// norms added later read an integral p as an int (of_value).
struct NormOrder {
  bool is_int;
  long long int_p;
  double float_p;
  static NormOrder of_value(double p);
  double value() const { return is_int ? static_cast<double>(int_p) : float_p; }
};

// The p-norm of n rows `stride` apart: 2 and 1 by their own kernels, +-inf
// the largest (smallest) |x| (NaN wins; 0 for no rows), 0 the count of
// non-zero elements, otherwise the integer or float power sum. scratch holds
// kernels::scratch_rows(n) rows.
limbs::Row norm_of_rows(const limbs::Row* x, int64_t n, int64_t stride, const NormOrder& p,
                        double* scratch);

// The defined p-norm, along one axis or of all elements: p 1 and 2 take
// their own kernels, any other p the power sum (p = 0 raises
// ZeroDivisionError, +-inf gives NaN).
LimbTensor norm(const LimbTensor& t, const NormOrder& p, std::optional<int64_t> dim, bool keepdim);

}  // namespace zel
