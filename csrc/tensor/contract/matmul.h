// Matrix products of limb tensors with PyTorch's rank rules: vector·vector
// and matrix·vector by element-wise products and tree sums, matrix·matrix
// (and vector·matrix) by sequential accumulation, batch axes broadcast.
#pragma once

#include "tensor/core/limb_tensor.h"

namespace zel {

LimbTensor matmul(const LimbTensor& a, const LimbTensor& b);

// (a * b).sum() of two tensors of any shape, broadcasting as the product does.
LimbTensor dot(const LimbTensor& a, const LimbTensor& b);

// matmul(mat, vec.unsqueeze(-1)).squeeze(-1).
LimbTensor mv(const LimbTensor& mat, const LimbTensor& vec);

}  // namespace zel
