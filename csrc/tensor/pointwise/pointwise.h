// Element-wise functions, softmax, comparisons and where on whole tensors:
// each call is one fused pass over the limb rows (parallel for large N) on
// the CPU, with the result moved back to the operand's device.
#pragma once

#include <ATen/core/Tensor.h>

#include <vector>

#include "tensor/core/limb_tensor.h"
#include "kernels/pointwise.h"

namespace zel {

// A 0-d tensor holding 1/s (the scalar Newton-Raphson reciprocal) on `device`.
LimbTensor reciprocal_scalar(double s, const at::Device& device);

// a * reciprocal(b) with broadcasting; a * reciprocal_scalar(c).
LimbTensor div(const LimbTensor& a, const LimbTensor& b);
LimbTensor div_scalar(const LimbTensor& a, double c);
// floor of those quotients.
LimbTensor floordiv(const LimbTensor& a, const LimbTensor& b);
LimbTensor floordiv_scalar(const LimbTensor& a, double c);
// a - floor(a / b) * b with broadcasting.
LimbTensor mod(const LimbTensor& a, const LimbTensor& b);

// a^n for an integer n = (negative ? -1 : 1) * sum words[i] 2^(64 i);
// empty or all-zero words mean n = 0.
LimbTensor pow_int(const LimbTensor& a, bool negative,
                   const std::vector<unsigned long long>& words);
LimbTensor pow_float(const LimbTensor& a, double e);
// base ** a element-wise (limbs::number_pow).
LimbTensor rpow(double base, const LimbTensor& a);

// A row of kElementwiseOps on a tensor (arity 1) or on the broadcast of two
// (arity 2): one pass, chunks of op.grain rows in parallel.
LimbTensor apply(const ElementwiseOp& op, const LimbTensor& a);
LimbTensor apply(const ElementwiseOp& op, const LimbTensor& a, const LimbTensor& b);

LimbTensor clamp(const LimbTensor& a, bool has_min, double min_val, bool has_max, double max_val);
// decimals == 0 rounds approx half to even; otherwise round(approx * factor) / factor.
LimbTensor round(const LimbTensor& a, bool decimals_zero, double factor);

// Softmax along `dim` (already normalised to [0, ndim)): max by approx, the
// limb difference, exp, the pairwise tree sum of every slice, the quotient;
// with `log_of` the logarithm of that quotient.
LimbTensor softmax(const LimbTensor& a, int64_t dim, bool log_of);

// The float64 approximation of every element, laid out in the logical
// shape, on the CPU.
at::Tensor approx_values(const LimbTensor& a, const char* op);

enum class Predicate { IsNan, IsInf, IsFinite };
// Flat bool tensor of one entry per element, on a's device.
at::Tensor predicate(const LimbTensor& a, Predicate p);

// Whole-element selection: condition (a bool tensor) broadcast with x and
// y; a 1-D condition whose length is the element count of the broadcast of
// x and y takes that shape, else one of x's (then y's) count takes theirs.
LimbTensor where(const at::Tensor& condition, const LimbTensor& x, const LimbTensor& y);

}  // namespace zel
