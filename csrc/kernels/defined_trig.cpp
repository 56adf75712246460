// The trigonometric series: sin, cos and tan.
// The defined series are instantiated in AVX2 lanes in files of their own
// (kernels/defined_*.cpp) that compile side by side. Built with the layout
// flags (buildsys/kernel_flags.py), as every file of csrc/kernels.
#include "kernels/pointwise.h"

#include "limbs/drive/rows.h"

namespace zel {
namespace kernels {

void sin_kernel(const Row* in, Row* out, int64_t n) { limbs::sin_rows(in, out, n); }
void cos_kernel(const Row* in, Row* out, int64_t n) { limbs::cos_rows(in, out, n); }
void tan_kernel(const Row* in, Row* out, int64_t n) { limbs::tan_rows(in, out, n); }

}  // namespace kernels
}  // namespace zel
