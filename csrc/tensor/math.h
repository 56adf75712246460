// The accurate element functions on whole tensors (kernels in
// limbs/functions.h): one table row per function, read by the binding layer
// for its method, module function and aliases. Each call is one fused pass
// over the limb rows, parallel for large N, with PyTorch broadcasting.
#pragma once

#include <ATen/ATen.h>

#include <cstddef>

#include "limbs/row.h"
#include "tensor/limb_tensor.h"

namespace zel {

using UnaryKernel = limbs::Row (*)(const limbs::Row&);
using BinaryKernel = limbs::Row (*)(const limbs::Row&, const limbs::Row&);

// A function of one or two elements: its PyTorch name, an alias (or null),
// whether torch.special has it too, the docstring, the kernel (exactly one
// of unary and binary is set) and rows per parallel chunk.
struct MathOp {
  const char* name;
  const char* alias;
  bool special;
  const char* doc;
  UnaryKernel unary;
  BinaryKernel binary;
  int64_t grain;
};

// The table, and its length in `count`.
const MathOp* math_ops(size_t& count);

LimbTensor apply_unary(const LimbTensor& a, const MathOp& op);
LimbTensor apply_binary(const LimbTensor& a, const LimbTensor& b, const MathOp& op);

// a ** b for a tensor exponent (the accurate kernel; a number exponent is the
// defined ** of elementwise.h).
LimbTensor pow_tensor(const LimbTensor& a, const LimbTensor& b);

// The functions with parameters or a third operand.
LimbTensor logit(const LimbTensor& a, bool has_eps, double eps);
LimbTensor nan_to_num(const LimbTensor& a, double nan, double posinf, double neginf);
LimbTensor lerp(const LimbTensor& start, const LimbTensor& end, const LimbTensor& weight);
// input + value * t1 * t2, or input + value * t1 / t2 with `divide`.
LimbTensor addc(const LimbTensor& input, const LimbTensor& t1, const LimbTensor& t2, double value, bool divide,
                const char* op);
// Clamp with element bounds; a null bound is absent.
LimbTensor clamp_rows(const LimbTensor& a, const LimbTensor* lo, const LimbTensor* hi, const char* op);

// Bool tensors of the broadcast (or own) logical shape, on a's device.
at::Tensor isclose(const LimbTensor& a, const LimbTensor& b, double rtol, double atol, bool equal_nan);
at::Tensor signbit(const LimbTensor& a);
// Same shape and every element equal on the exact value.
bool equal(const LimbTensor& a, const LimbTensor& b);

}  // namespace zel
