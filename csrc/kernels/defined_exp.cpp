// exp of the defined series (sigmoid and silu, which repeat its series, are
// in defined_sigmoid.cpp).
// The defined series are instantiated in AVX2 lanes in files of their own
// (kernels/defined_*.cpp) that compile side by side. Built with the layout
// flags (buildsys/kernel_flags.py), as every file of csrc/kernels.
#include "kernels/pointwise.h"

#include "limbs/drive/rows.h"

namespace zel {
namespace kernels {

void exp_kernel(const Row* in, Row* out, int64_t n) { limbs::exp_rows(in, out, n); }

}  // namespace kernels
}  // namespace zel
