// Instantiates the matrix-product kernels (limbs/matrix/gemm.h). One of the few
// translation units built with the layout flags (buildsys/kernel_flags.py).
#include "kernels/matrix.h"

#include "limbs/matrix/gemm.h"

namespace zel {
namespace kernels {

int64_t packed_a_doubles(int64_t m, int64_t k) { return limbs::packed_a_size(m, k); }
int64_t packed_b_doubles(int64_t k, int64_t n) { return limbs::packed_b_size(k, n); }

void pack_a_kernel(const double* a, int64_t m, int64_t k, double* pa, int64_t i0, int64_t i1) {
  limbs::pack_a(limbs::MatrixView{a, m, k, k, 1}, pa, i0, i1);
}

void pack_b_kernel(const double* b, int64_t k, int64_t n, double* pb) {
  limbs::pack_b(limbs::MatrixView{b, k, n, n, 1}, pb, 0, k);
}

void matmul_rows_kernel(const double* pa, const double* pb, int64_t k, int64_t n, int64_t i0,
                        int64_t i1, double* c) {
  limbs::matmul_rows(pa, pb, k, n, i0, i1, limbs::MatrixOut{c, n, 1});
}

Row dot_kernel(const double* x, int64_t x_stride, const double* y, int64_t y_stride, int64_t n,
               double* scratch) {
  return limbs::dot(x, x_stride, y, y_stride, n, scratch);
}

}  // namespace kernels
}  // namespace zel
