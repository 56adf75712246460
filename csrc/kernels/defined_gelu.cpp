// gelu, the longest of the defined series to compile.
// The defined series are instantiated in AVX2 lanes in files of their own
// (kernels/defined_*.cpp) that compile side by side. Built with the layout
// flags (buildsys/kernel_flags.py), as every file of csrc/kernels.
#include "kernels/pointwise.h"

#include "limbs/drive/rows.h"

namespace zel {
namespace kernels {

void gelu_kernel(const Row* in, Row* out, int64_t n) { limbs::gelu_rows(in, out, n); }

}  // namespace kernels
}  // namespace zel
