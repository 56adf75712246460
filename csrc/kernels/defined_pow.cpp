// Powers: float exponents through the log and exp kernels, integer exponents
// by squaring, a number base.
// The defined series are instantiated in AVX2 lanes in files of their own
// (kernels/defined_*.cpp) that compile side by side. Built with the layout
// flags (buildsys/kernel_flags.py), as every file of csrc/kernels.
#include "kernels/pointwise.h"

#include <algorithm>

#include "limbs/elem/number_power.h"
#include "limbs/drive/rows.h"

namespace zel {
namespace kernels {

// limbs::pow_float, exp(log(a) * e), a block of rows at a time through the
// log and exp kernels, whose lanes are then compiled once: each row gets the
// same operations, so the same bytes.
void pow_float_kernel(const Row* in, Row* out, int64_t n, double e) {
  constexpr int64_t kBlock = 64;
  Row logs[kBlock];
  for (int64_t s = 0; s < n; s += kBlock) {
    const int64_t m = std::min(kBlock, n - s);
    log_kernel(in + s, logs, m);
    for (int64_t i = 0; i < m; ++i) logs[i] = limbs::mul_scalar(logs[i], e);
    exp_kernel(logs, out + s, m);
  }
}

void pow_positive_kernel(const Row* in, Row* out, int64_t n, const unsigned long long* words,
                         int count, bool invert) {
  limbs::pow_positive_rows(in, out, n, words, count, invert);
}

void number_pow_kernel(double base, const Row* in, Row* out, int64_t n) {
  for (int64_t i = 0; i < n; ++i) out[i] = limbs::number_pow(base, in[i]);
}

}  // namespace kernels
}  // namespace zel
