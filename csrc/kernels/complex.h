// Complex element kernels (limbs/elem/complex_functions.h) over interleaved
// rows: element i of a complex run is rows 2i (real) and 2i + 1 (imaginary).
// Torch-free, built with the layout flags.
#pragma once

#include <cstdint>

#include "kernels/pointwise.h"

namespace zel {
namespace kernels {

// A kernel over n complex elements: out may alias the operands.
using ComplexUnaryKernel = void (*)(const Row* in, Row* out, int64_t n);
using ComplexBinaryKernel = void (*)(const Row* a, const Row* b, Row* out, int64_t n);

// The kernel of a named complex function, or nullptr.
ComplexUnaryKernel complex_unary_kernel(const char* name);
ComplexBinaryKernel complex_binary_kernel(const char* name);

}  // namespace kernels
}  // namespace zel
