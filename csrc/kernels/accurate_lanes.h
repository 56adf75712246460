// The run kernels of the `lanes` rows of ops/pointwise.def beyond expm1 and
// atan2, and of the accurate pow (kernels/accurate_lanes.cpp).
#pragma once

#include "kernels/pointwise.h"

namespace zel {
namespace kernels {

#define ZEL_LANES_KERNEL(name) void name##_lanes_kernel(const Row* in, Row* out, int64_t n);
ZEL_LANES_KERNEL(exp2)
ZEL_LANES_KERNEL(log1p)
ZEL_LANES_KERNEL(log2)
ZEL_LANES_KERNEL(log10)
ZEL_LANES_KERNEL(sinh)
ZEL_LANES_KERNEL(cosh)
ZEL_LANES_KERNEL(atan)
ZEL_LANES_KERNEL(asinh)
ZEL_LANES_KERNEL(acosh)
ZEL_LANES_KERNEL(atanh)
ZEL_LANES_KERNEL(asin)
ZEL_LANES_KERNEL(acos)
#undef ZEL_LANES_KERNEL

// a^b (the accurate pow) over runs of rows: two operands of one shape, a
// tensor to a constant power, a constant to a tensor's powers.
void pow_pairs_kernel(const Row* a, const Row* b, Row* out, int64_t n);
void pow_exponent_kernel(const Row* in, Row* out, int64_t n, const Row& e);
void pow_base_kernel(const Row* in, Row* out, int64_t n, const Row& base);

}  // namespace kernels
}  // namespace zel
