// The matrix-product kernels, compiled once in csrc/kernels/matrix.cpp with
// the layout flags. Matrices are contiguous, row-major, 8 limbs an element.
// Torch-free.
#pragma once

#include <cstdint>

#include "limbs/core/row.h"

namespace zel {
namespace kernels {

using limbs::Row;

// Doubles of the packed forms of an m x k left and a k x n right operand.
int64_t packed_a_doubles(int64_t m, int64_t k);
int64_t packed_b_doubles(int64_t k, int64_t n);
// Rows [i0, i1) of a into pa; all of b into pb.
void pack_a_kernel(const double* a, int64_t m, int64_t k, double* pa, int64_t i0, int64_t i1);
void pack_b_kernel(const double* b, int64_t k, int64_t n, double* pb);
// Output rows [i0, i1) of c = a b (c is m x n) from the packed operands:
// each element accumulated sequentially over k from an exact zero.
void matmul_rows_kernel(const double* pa, const double* pb, int64_t k, int64_t n, int64_t i0,
                        int64_t i1, double* c);

// Tree sum of x_i * y_i for i < n, x_i at x + i * x_stride * 8 (a stride
// of 0 repeats one element); scratch holds scratch_rows(n) rows.
Row dot_kernel(const double* x, int64_t x_stride, const double* y, int64_t y_stride, int64_t n,
               double* scratch);

}  // namespace kernels
}  // namespace zel
