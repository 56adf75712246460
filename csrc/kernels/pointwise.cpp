// The table of ops/pointwise.def with the accurate and the light element
// kernels; the defined series live in kernels/defined_*.cpp, the operators'
// kernels in kernels/arith.cpp. Built with the layout flags
// (buildsys/kernel_flags.py), as every file of csrc/kernels.
#include "kernels/pointwise_table.h"

#include "kernels/accurate_lanes.h"

#include <atomic>

#include "limbs/elem/defined.h"
#include "limbs/elem/accurate_functions.h"

namespace zel {

namespace {

namespace lm = limbs::math;

// The rows kernel of a per-element function.
template <Row (*F)(const Row&)>
void each_row(const Row* in, Row* out, int64_t n) {
  for (int64_t i = 0; i < n; ++i) out[i] = F(in[i]);
}

}  // namespace

#define ZEL_UNARY_rows(k) &kernels::k##_kernel
#define ZEL_UNARY_rows_or_full(k) &kernels::k##_kernel
#define ZEL_UNARY_each(k) &each_row<&limbs::k>
#define ZEL_UNARY_accurate(k) &each_row<&lm::guarded<&lm::k>>
#define ZEL_UNARY_lanes(k) &kernels::k##_lanes_kernel
#define ZEL_FULL_rows(k) nullptr
#define ZEL_FULL_each(k) nullptr
#define ZEL_FULL_accurate(k) nullptr
#define ZEL_FULL_lanes(k) nullptr
#define ZEL_FULL_rows_or_full(k) &kernels::k##_full_kernel
#define ZEL_BINARY_pair(k) &limbs::k
#define ZEL_BINARY_accurate(k) &lm::guarded<&lm::k>
#define ZEL_BINARY_lanes(k) &lm::guarded<&lm::k>
#define ZEL_RUNS_pair(k) nullptr
#define ZEL_RUNS_accurate(k) nullptr
#define ZEL_RUNS_lanes(k) &kernels::k##_lanes_kernel

using namespace op_names;  // the `names` column: Method, Function, Special

const ElementwiseOp kElementwiseOps[kElementwiseOpCount] = {
// clang-format off
#define ZEL_ELEMENTS_Real false
#define ZEL_ELEMENTS_Complex true
#define ZEL_UNARY(name, kind, kernel, grain, names, elements, derivative, doc)   \
  {#name, 1, ZEL_UNARY_##kind(kernel), nullptr, Grain::grain, doc, names,        \
   ZEL_ELEMENTS_##elements, derivative, nullptr, ZEL_FULL_##kind(kernel), nullptr},
#define ZEL_BINARY(name, kind, kernel, grain, names, elements, derivative, derivative_other, doc) \
  {#name, 2, nullptr, ZEL_BINARY_##kind(kernel), Grain::grain, doc, names,                      \
   ZEL_ELEMENTS_##elements, derivative, derivative_other, nullptr, ZEL_RUNS_##kind(kernel)},
// clang-format on
#include "ops/pointwise.def"
#undef ZEL_UNARY
#undef ZEL_BINARY
};

namespace {
std::atomic<bool> full_precision{false};
}  // namespace

bool full_function_precision() { return full_precision.load(std::memory_order_relaxed); }
void set_full_function_precision(bool full) {
  full_precision.store(full, std::memory_order_relaxed);
}

namespace kernels {

void clamp_kernel(const Row* in, Row* out, int64_t n, bool has_min, double min_val, bool has_max,
                  double max_val) {
  for (int64_t i = 0; i < n; ++i) out[i] = limbs::clamp(in[i], has_min, min_val, has_max, max_val);
}

void round_kernel(const Row* in, Row* out, int64_t n, bool decimals_zero, double factor) {
  if (decimals_zero) {
    for (int64_t i = 0; i < n; ++i) out[i] = limbs::round_decimals(in[i], 0);
  } else {
    for (int64_t i = 0; i < n; ++i) out[i] = limbs::round_scaled(in[i], factor);
  }
}

bool malformed_row(const Row& a) { return lm::malformed(a); }

Row pow_row(const Row& a, const Row& b) { return lm::guarded<&lm::pow>(a, b); }

Row abs_row(const Row& a) { return lm::abs_exact(a); }

Row sub_exact(const Row& a, const Row& b, const Row& c) {
  if (limbs::is_special(a) || limbs::is_special(b) || limbs::is_special(c))
    return limbs::sub(limbs::sub(a, b), c);
  limbs::triple::Expansion e;
  e.add(a);
  e.sub(b);
  e.sub(c);
  return lm::expansion_row(e);
}
Row floored_remainder(const Row& x, const Row& y) { return lm::guarded<&lm::remainder>(x, y); }

void logit_kernel(const Row* in, Row* out, int64_t n, bool has_eps, double eps) {
  const Row nan = limbs::from_double(lm::kNaN);
  if (!has_eps) {
    for (int64_t i = 0; i < n; ++i) out[i] = lm::guarded<&lm::logit>(in[i]);
  } else {
    for (int64_t i = 0; i < n; ++i) out[i] = lm::malformed(in[i]) ? nan : lm::logit_eps(in[i], eps);
  }
}

void nan_to_num_kernel(const Row* in, Row* out, int64_t n, double nan, double posinf,
                       double neginf) {
  for (int64_t i = 0; i < n; ++i) out[i] = lm::nan_to_num(in[i], nan, posinf, neginf);
}

Row lerp_row(const Row& start, const Row& end, const Row& weight) {
  return lm::lerp(start, end, weight);
}
Row addcmul_row(const Row& in, const Row& t1, const Row& t2, double value) {
  return lm::addcmul(in, t1, t2, value);
}
Row addcdiv_row(const Row& in, const Row& t1, const Row& t2, double value) {
  return lm::addcdiv(in, t1, t2, value);
}
Row clamp_between_row(const Row& x, const Row* lo, const Row* hi) {
  return lm::clamp_rows(x, lo, hi);
}

bool isclose_row(const Row& a, const Row& b, double rtol, double atol, bool equal_nan) {
  return lm::isclose(a, b, rtol, atol, equal_nan);
}

bool signbit_row(const Row& a) { return lm::signbit(a); }

}  // namespace kernels
}  // namespace zel
