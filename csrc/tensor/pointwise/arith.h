// Addition, subtraction, negation and the two products on whole tensors, and
// the error-free transforms and limb collapse on plain float64 arrays.
#pragma once

#include <utility>

#include "tensor/core/limb_tensor.h"

namespace zel {

LimbTensor add(const LimbTensor& a, const LimbTensor& b);
LimbTensor sub(const LimbTensor& a, const LimbTensor& b);
LimbTensor neg(const LimbTensor& a);
// The three-limb product of two tensors.
LimbTensor mul(const LimbTensor& a, const LimbTensor& b);
// The product with a float64 number, all 8 limbs.
LimbTensor mul_scalar(const LimbTensor& a, double c);
LimbTensor add_scalar(const LimbTensor& a, double c);
LimbTensor sub_scalar(const LimbTensor& a, double c);
// c - a for a float64 number c.
LimbTensor rsub_scalar(const LimbTensor& a, double c);

// The element each number form and negation computes, for the operator
// slots' one-element operands.
limbs::Row add_scalar_row(const limbs::Row& x, double c);
limbs::Row sub_scalar_row(const limbs::Row& x, double c);
limbs::Row rsub_scalar_row(const limbs::Row& x, double c);
limbs::Row mul_scalar_row(const limbs::Row& x, double c);
limbs::Row div_scalar_row(const limbs::Row& x, double c);
limbs::Row neg_row(const limbs::Row& x);

// A 0-d tensor holding v in limb 0.
LimbTensor scalar_tensor(double v, const at::Device& device);
LimbTensor clone(const LimbTensor& a);

// The float64 approximation of every row of an (N, 8) array, on its device.
at::Tensor collapse(const at::Tensor& data);

// Element-wise TwoSum / TwoProduct of two broadcastable float64 arrays.
std::pair<at::Tensor, at::Tensor> two_sum_arrays(const at::Tensor& a, const at::Tensor& b);
std::pair<at::Tensor, at::Tensor> two_product_arrays(const at::Tensor& a, const at::Tensor& b);

}  // namespace zel
