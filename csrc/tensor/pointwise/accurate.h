// The accurate element functions that do not fit a row of the operations
// table (ops/pointwise.def): those with parameters, three operands or a
// bool result. Kernels in limbs/elem/accurate_functions.h; each call is one fused pass over
// the limb rows, parallel for large N, with PyTorch broadcasting.
#pragma once

#include <string>

#include <ATen/core/Tensor.h>

#include "tensor/core/limb_tensor.h"

namespace zel {

// a ** b for a tensor exponent (the accurate kernel; a number exponent is the
// defined ** of pointwise.h).
LimbTensor pow_tensor(const LimbTensor& a, const LimbTensor& b);

// The functions with parameters or a third operand.
LimbTensor logit(const LimbTensor& a, bool has_eps, double eps);
LimbTensor nan_to_num(const LimbTensor& a, double nan, double posinf, double neginf);
LimbTensor lerp(const LimbTensor& start, const LimbTensor& end, const LimbTensor& weight);
// input + value * t1 * t2, or input + value * t1 / t2 with `divide`.
LimbTensor addc(const LimbTensor& input, const LimbTensor& t1, const LimbTensor& t2, double value,
                bool divide, const char* op);
// Clamp with element bounds; a null bound is absent.
LimbTensor clamp_rows(const LimbTensor& a, const LimbTensor* lo, const LimbTensor* hi,
                      const char* op);

// Bool tensors of the broadcast (or own) logical shape, on a's device.
at::Tensor isclose(const LimbTensor& a, const LimbTensor& b, double rtol, double atol,
                   bool equal_nan);
at::Tensor signbit(const LimbTensor& a);
// Same shape and every element equal on the exact value.
bool equal(const LimbTensor& a, const LimbTensor& b);
// A complex element function on tensors whose last dimension of 2 holds the
// real and imaginary parts (and of the same shape for a binary one);
// std::invalid_argument for an unknown name or mismatched operands.
LimbTensor complex_function(const std::string& name, const LimbTensor& z, const LimbTensor* w);
// The discrete Fourier transform along the next-to-last dimension of a
// (..., n, 2) tensor of complex elements (unscaled; the inverse with e^+).
LimbTensor fft_last(const LimbTensor& z, bool inverse);

}  // namespace zel
