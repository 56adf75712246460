// Device instantiations of the limb kernels: every element function of the
// operations table (ops/pointwise.def), every reduction and product of
// csrc/limbs compiled as CUDA code (make cuda-check), from the same headers
// as the CPU build. One thread per
// element or per slice; no torch headers. Built with -fmad=false and IEEE
// division and square root, so a device would compute the host's bytes.
#define LIMBS_HD __host__ __device__

#include <cstdint>

#include "limbs/elem/defined.h"
#include "limbs/elem/accurate_functions.h"
#include "limbs/matrix/gemm.h"
#include "limbs/core/order.h"
#include "limbs/slice/tree.h"
#include "limbs/slice/scan.h"
#include "limbs/slice/sort.h"

namespace limbs_device {

using limbs::Row;

__device__ int64_t thread_index() { return int64_t(blockIdx.x) * blockDim.x + threadIdx.x; }

// Every row of the operations table, with the kernel its `kind` names.
#define ZEL_DEVICE_rows(k, ...) limbs::k(__VA_ARGS__)
#define ZEL_DEVICE_each(k, ...) limbs::k(__VA_ARGS__)
#define ZEL_DEVICE_pair(k, ...) limbs::k(__VA_ARGS__)
#define ZEL_DEVICE_accurate(k, ...) limbs::math::guarded<&limbs::math::k>(__VA_ARGS__)
#define ZEL_DEVICE_lanes(k, ...) limbs::math::guarded<&limbs::math::k>(__VA_ARGS__)
// rows_or_full: the defined kernel here, the "full" precision's one below.
#define ZEL_DEVICE_rows_or_full(k, ...) limbs::k(__VA_ARGS__)
#define ZEL_UNARY(name, kind, kernel, ...)                            \
  __global__ void name##_kernel(const Row* in, Row* out, int64_t n) { \
    const int64_t i = thread_index();                                 \
    if (i < n) out[i] = ZEL_DEVICE_##kind(kernel, in[i]);             \
  }
#define ZEL_BINARY(name, kind, kernel, ...)                                        \
  __global__ void name##_kernel(const Row* a, const Row* b, Row* out, int64_t n) { \
    const int64_t i = thread_index();                                              \
    if (i < n) out[i] = ZEL_DEVICE_##kind(kernel, a[i], b[i]);                     \
  }
#include "ops/pointwise.def"
#undef ZEL_UNARY
#undef ZEL_BINARY

// The "full" function precision's kernels of the rows_or_full rows.
#define ZEL_FULL_rows(k)
#define ZEL_FULL_each(k)
#define ZEL_FULL_accurate(k)
#define ZEL_FULL_lanes(k)
#define ZEL_FULL_rows_or_full(k)                                             \
  __global__ void k##_full_kernel(const Row* in, Row* out, int64_t n) {      \
    const int64_t i = thread_index();                                        \
    if (i < n) out[i] = limbs::math::guarded<&limbs::math::k##_full>(in[i]); \
  }
#define ZEL_UNARY(name, kind, kernel, ...) ZEL_FULL_##kind(kernel)
#define ZEL_BINARY(...)
#include "ops/pointwise.def"
#undef ZEL_UNARY
#undef ZEL_BINARY

// Beside the table: the step that renormalises every result.
__global__ void renormalise_kernel(const Row* in, Row* out, int64_t n) {
  const int64_t i = thread_index();
  if (i < n) out[i] = limbs::renormalise(in[i]);
}

#define BINARY_KERNEL(name)                                                        \
  __global__ void name##_kernel(const Row* a, const Row* b, Row* out, int64_t n) { \
    const int64_t i = thread_index();                                              \
    if (i < n) out[i] = limbs::name(a[i], b[i]);                                   \
  }
BINARY_KERNEL(add)
BINARY_KERNEL(sub)
BINARY_KERNEL(mul)
BINARY_KERNEL(div)
BINARY_KERNEL(prod_pair)
#undef BINARY_KERNEL

// Element functions with a float64 or integer parameter.
__global__ void scalar_kernels(const Row* in, Row* out, int64_t n, double c, long long m,
                               int which) {
  const int64_t i = thread_index();
  if (i >= n) return;
  const unsigned long long words[2] = {static_cast<unsigned long long>(m), 1ULL};
  switch (which) {
    case 0:
      out[i] = limbs::mul_scalar(in[i], c);
      break;
    case 1:
      out[i] = limbs::div_scalar(in[i], c);
      break;
    case 2:
      out[i] = limbs::from_double(double(limbs::compare_exact(in[i], limbs::from_double(c))));
      break;
    case 3:
      out[i] = limbs::reciprocal_scalar(c);
      break;
    case 4:
      out[i] = limbs::pow_int(in[i], m);
      break;
    case 5:
      out[i] = limbs::pow_positive(in[i], words, 2);
      break;
    case 6:
      out[i] = limbs::pow_float(in[i], c);
      break;
    case 7:
      out[i] = limbs::clamp(in[i], true, c, true, 2.0 * c);
      break;
    case 8:
      out[i] = limbs::round_decimals(in[i], m);
      break;
    case 9:
      out[i] = limbs::round_scaled(in[i], c);
      break;
    default:
      out[i] = limbs::from_double(limbs::approx(in[i]));
      break;
  }
}

__global__ void eft_kernel(const double* a, const double* b, double* s, double* e, int64_t n,
                           bool product) {
  const int64_t i = thread_index();
  if (i >= n) return;
  if (product)
    limbs::two_product(a[i], b[i], s[i], e[i]);
  else
    limbs::two_sum(a[i], b[i], s[i], e[i]);
}

// One slice per thread: `slices` slices of `len` elements, slice s starting
// at element s * len; scratch holds tree_scratch_rows(len) rows per slice.
__global__ void reduce_kernel(const double* rows, int64_t slices, int64_t len, double* scratch,
                              Row* out, int64_t* index, double p, long long int_p, int which) {
  const int64_t s = thread_index();
  if (s >= slices) return;
  const double* first = rows + s * len * limbs::kLimbs;
  double* buf = scratch + s * limbs::tree_scratch_rows(len) * limbs::kLimbs;
  const Row inv_n = limbs::count_reciprocal(len);
  switch (which) {
    case 0:
      out[s] = limbs::tree_sum(first, len, 1, buf);
      break;
    case 1:
      out[s] = limbs::tree_prod(first, len, 1, buf);
      break;
    case 2:
      out[s] = limbs::mean_slice(first, len, 1, inv_n, buf);
      break;
    case 3:
      out[s] = limbs::mean_slice(first, len, 1, buf);
      break;
    case 4:
      out[s] = limbs::var_slice(first, len, 1, inv_n, true, buf);
      break;
    case 5:
      out[s] = limbs::std_slice(first, len, 1, inv_n, false, buf);
      break;
    case 6:
      out[s] = limbs::norm1_slice(first, len, 1, buf);
      break;
    case 7:
      out[s] = limbs::norm2_slice(first, len, 1, buf);
      break;
    case 8:
      out[s] = limbs::norm_int_p_slice(first, len, 1, int_p, buf);
      break;
    case 9:
      out[s] = limbs::norm_float_p_slice(first, len, 1, p, buf);
      break;
    case 10:
      index[s] = limbs::argmax_slice(first, len, 1);
      break;
    default:
      index[s] = limbs::argmin_slice(first, len, 1);
      break;
  }
}

// Packing and the matrix products: one thread per packed element, output
// row, or matrix-vector row.
__global__ void pack_kernel(limbs::MatrixView a, limbs::MatrixView b, double* pa, double* pb) {
  const int64_t i = thread_index();
  if (i < a.rows) limbs::pack_a(a, pa, i, i + 1);
  if (i < b.rows) limbs::pack_b(b, pb, i, i + 1);
}

__global__ void matmul_kernel(const double* pa, const double* pb, int64_t m, int64_t k, int64_t n,
                              limbs::MatrixOut c) {
  const int64_t i = thread_index();
  if (i < m) limbs::matmul_rows(pa, pb, k, n, i, i + 1, c);
}

__global__ void dot_kernel(const double* x, const double* y, int64_t n, double* scratch, Row* out) {
  if (thread_index() == 0) *out = limbs::dot(x, 1, y, 1, n, scratch);
}

// The accurate functions outside the table (limbs::math), each through its
// malformed-row guard.
#define MATH_UNARY_KERNEL(name)                                              \
  __global__ void math_##name##_kernel(const Row* in, Row* out, int64_t n) { \
    const int64_t i = thread_index();                                        \
    if (i < n) out[i] = limbs::math::guarded<limbs::math::name>(in[i]);      \
  }
MATH_UNARY_KERNEL(signed_zero)
MATH_UNARY_KERNEL(abs_exact)
MATH_UNARY_KERNEL(logit)
#undef MATH_UNARY_KERNEL

__global__ void math_pow_kernel(const Row* a, const Row* b, Row* out, int64_t n) {
  const int64_t i = thread_index();
  if (i < n) out[i] = limbs::math::guarded<limbs::math::pow>(a[i], b[i]);
}

// Running reductions along a slice: one thread per slice.
__global__ void scan_kernel(const Row* rows, int64_t slices, int64_t len, Row* out, int64_t* index,
                            int which) {
  const int64_t s = thread_index();
  if (s >= slices) return;
  const Row* first = rows + s * len;
  switch (which) {
    case 0:
      limbs::cumsum_slice(first, len, 1, out + s * len);
      break;
    case 1:
      limbs::cumprod_slice(first, len, 1, out + s * len);
      break;
    case 2:
      limbs::cum_extremum_slice<true>(first, len, 1, out + s * len, index + s * len);
      break;
    default:
      limbs::cum_extremum_slice<false>(first, len, 1, out + s * len, index + s * len);
      break;
  }
}

}  // namespace limbs_device
