// Factories and random tensors: new limb arrays whose values come from
// ATen's own float64 factories (so they are PyTorch's values bit for bit),
// placed in limb 0 with the lower limbs zero.
#pragma once

#include <cstdint>
#include <vector>

#include "tensor/core/limb_tensor.h"

namespace zel {

// Sizes as given by the caller (negative ones are rejected here, with
// PyTorch's RuntimeError).
LimbTensor zeros(const std::vector<int64_t>& size, const at::Device& device);
LimbTensor ones(const std::vector<int64_t>& size, const at::Device& device);
// Every element a copy of `value`, all limbs; `op` names the caller in errors.
LimbTensor full(const std::vector<int64_t>& size, const limbs::Row& value, const at::Device& device,
                const char* op);
LimbTensor arange(const at::Scalar& start, const at::Scalar& end, const at::Scalar& step,
                  const at::Device& device);
LimbTensor linspace(const at::Scalar& start, const at::Scalar& end, int64_t steps,
                    const at::Device& device);
// PyTorch's float64 values base ** linspace(start, end, steps), in limb 0.
LimbTensor logspace(const at::Scalar& start, const at::Scalar& end, int64_t steps, double base,
                    const at::Device& device);
LimbTensor eye(int64_t n, int64_t m, const at::Device& device);

// One flat draw of all elements from the default generator of `device`, so
// that rand({2, 3}) and rand({6}) hold the same numbers after the same seed.
LimbTensor rand(const std::vector<int64_t>& size, const at::Device& device);
LimbTensor randn(const std::vector<int64_t>& size, const at::Device& device);

}  // namespace zel
