// The accurate kernels with lane cores (limbs/elem/accurate_lanes.h): the
// "full" function precision's exp, log, sin, cos, tan, tanh, sigmoid and
// silu, and the `lanes` rows of ops/pointwise.def. Built with the layout
// flags (buildsys/kernel_flags.py), as every file of csrc/kernels.
#include "kernels/accurate_lanes.h"

#include "limbs/drive/split_rows.h"
#include "limbs/elem/accurate_functions.h"

namespace zel {
namespace kernels {

namespace {

namespace lm = limbs::math;
namespace ll = limbs::lanes_math;

// Lanes8 for all: two interleaved chains hide the latency of the
// double-double steps.
template <class F, class S>
void full_rows(const Row* in, Row* out, int64_t n, const F& f, const S& row) {
  limbs::split_rows<limbs::Lanes8>(in, out, n, f, row);
}

}  // namespace

#define ZEL_FULL_LANES(name, call)                                      \
  void name##_full_kernel(const Row* in, Row* out, int64_t n) {         \
    full_rows(                                                          \
        in, out, n, [](const auto& x, auto& slow) { return ll::call; }, \
        &lm::guarded<&lm::name##_full>);                                \
  }
ZEL_FULL_LANES(exp, exp_row(x, slow))
ZEL_FULL_LANES(log, log_row(x, slow))
ZEL_FULL_LANES(sin, sin_row(x, 0.0, slow))
ZEL_FULL_LANES(cos, sin_row(x, 32.0, slow))
ZEL_FULL_LANES(tan, tan_row(x, slow))
ZEL_FULL_LANES(tanh, tanh_row(x, slow))
ZEL_FULL_LANES(sigmoid, sigmoid_row(x, slow))
ZEL_FULL_LANES(silu, silu_row(x, slow))
ZEL_FULL_LANES(gelu, gelu_row(x, slow))
#undef ZEL_FULL_LANES

#define ZEL_LANES(name)                                                                \
  void name##_lanes_kernel(const Row* in, Row* out, int64_t n) {                       \
    full_rows(                                                                         \
        in, out, n, [](const auto& x, auto& slow) { return ll::name##_row(x, slow); }, \
        &lm::guarded<&lm::name>);                                                      \
  }
ZEL_LANES(expm1)
ZEL_LANES(exp2)
ZEL_LANES(log1p)
ZEL_LANES(log2)
ZEL_LANES(log10)
ZEL_LANES(sinh)
ZEL_LANES(cosh)
ZEL_LANES(atan)
ZEL_LANES(asinh)
ZEL_LANES(acosh)
ZEL_LANES(atanh)
ZEL_LANES(asin)
ZEL_LANES(acos)
#undef ZEL_LANES

void atan2_lanes_kernel(const Row* a, const Row* b, Row* out, int64_t n) {
  limbs::split_pairs(
      a, b, out, n,
      [](const auto& y, const auto& x, auto& slow) { return ll::atan2_row(y, x, slow); },
      &lm::guarded<&lm::atan2>);
}

}  // namespace kernels
}  // namespace zel
