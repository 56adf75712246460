// The rows of csrc/ops/pointwise.def with their count, for the files that
// size tables by it or loop over every row. Including this header makes a
// file depend on the declarations; the kernels of the defined series do not.
#pragma once

#include <cstddef>

#include "kernels/pointwise.h"

namespace zel {

constexpr size_t kElementwiseOpCount = 0
#define ZEL_UNARY(...) +1
#define ZEL_BINARY(...) +1
#include "ops/pointwise.def"
#undef ZEL_UNARY
#undef ZEL_BINARY
    ;

extern const ElementwiseOp kElementwiseOps[kElementwiseOpCount];

}  // namespace zel
