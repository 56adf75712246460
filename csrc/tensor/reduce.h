// Reductions of whole tensors and along one axis: tree sum and product,
// mean, variance, norms, extrema and their indices. Every slice along an
// axis is reduced by the same tree as a whole tensor, in one pass.
#pragma once

#include <optional>

#include "tensor/limb_tensor.h"

namespace zel {

enum class ReduceOp { Sum, Prod, Max, Min };

// `shape` without axis `dim`, or with it set to 1 when keepdim.
Shape reduced_shape(const Shape& shape, int64_t dim, bool keepdim);

// Whole-tensor reduction to a 0-d tensor (no elements: sum 0, product 1;
// max/min raise ValueError).
LimbTensor reduce_all(const LimbTensor& t, ReduceOp op);
LimbTensor reduce_dim(const LimbTensor& t, int64_t dim, bool keepdim, ReduceOp op);

// Flat index (dim empty: a 0-d int64 array) or indices along dim.
at::Tensor arg_extremum(const LimbTensor& t, std::optional<int64_t> dim, bool is_max);

LimbTensor mean(const LimbTensor& t, std::optional<int64_t> dim, bool keepdim);
LimbTensor variance(const LimbTensor& t, std::optional<int64_t> dim, bool keepdim, bool unbiased,
                    bool take_sqrt);

// p-norm: p_kind 1 and 2 are the dedicated paths; otherwise an integer p
// (is_int) or a float p.
struct NormOrder {
  bool is_int;
  long long int_p;
  double float_p;
};
LimbTensor norm(const LimbTensor& t, const NormOrder& p, std::optional<int64_t> dim, bool keepdim);

}  // namespace zel
