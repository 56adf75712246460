// The Newton-Raphson iterations: reciprocal, division and square root.
// The defined series are instantiated in AVX2 lanes in files of their own
// (kernels/defined_*.cpp) that compile side by side. Built with the layout
// flags (buildsys/kernel_flags.py), as every file of csrc/kernels.
#include "kernels/pointwise.h"

#include "limbs/drive/rows.h"

namespace zel {
namespace kernels {

Row reciprocal_of(double s) { return limbs::reciprocal_scalar(s); }
Row reciprocal_row(const Row& a) { return limbs::reciprocal(a); }
Row div_row(const Row& a, const Row& b) { return limbs::div(a, b); }
void reciprocal_kernel(const Row* in, Row* out, int64_t n) { limbs::reciprocal_rows(in, out, n); }
void sqrt_kernel(const Row* in, Row* out, int64_t n) { limbs::sqrt_rows(in, out, n); }

}  // namespace kernels
}  // namespace zel
