// sigmoid and silu of the defined series: each carries a copy of the exp
// series, so they compile in a file of their own, beside exp's, and with
// the lighter passes (buildsys/kernel_flags.py).
#include "kernels/pointwise.h"

#include "limbs/drive/rows.h"

namespace zel {
namespace kernels {

void sigmoid_kernel(const Row* in, Row* out, int64_t n) { limbs::sigmoid_rows(in, out, n); }
void silu_kernel(const Row* in, Row* out, int64_t n) { limbs::silu_rows(in, out, n); }

}  // namespace kernels
}  // namespace zel
