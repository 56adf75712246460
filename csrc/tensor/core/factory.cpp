#include "tensor/core/factory.h"

#include <ATen/ops/arange.h>
#include <ATen/ops/empty.h>
#include <ATen/ops/eye.h>
#include <ATen/ops/linspace.h>
#include <ATen/ops/logspace.h>
#include <ATen/ops/rand.h>
#include <ATen/ops/randn.h>
#include <ATen/ops/zeros.h>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "kernels/pointwise.h"
#include "tensor/shape/shape.h"

namespace zel {

namespace {

at::TensorOptions float64_on(const at::Device& device) {
  return at::TensorOptions().dtype(at::kDouble).device(device);
}

// Element count of a factory size, with PyTorch's errors for bad sizes.
int64_t factory_numel(const std::vector<int64_t>& size, const char* op) {
  std::string listed = "[";
  for (size_t i = 0; i < size.size(); ++i) listed += (i ? ", " : "") + std::to_string(size[i]);
  listed += "]";
  for (int64_t s : size)
    if (s < 0)
      throw std::runtime_error(std::string(op) +
                               ": Trying to create tensor with negative dimension " +
                               std::to_string(s) + ": " + listed);
  int64_t n = 1;
  for (int64_t s : size) {
    if (s != 0 && n > std::numeric_limits<int64_t>::max() / s)
      throw std::runtime_error(std::string(op) + ": size " + listed + " has too many elements");
    n *= s;
  }
  check_alloc(n, op);
  return n;
}

// The limb array with `values` (numel n, any shape, on its device) in limb 0.
at::Tensor in_limb0(const at::Tensor& values) {
  at::Tensor data = at::zeros({values.numel(), limbs::kLimbs}, values.options());
  data.select(1, 0).copy_(values.reshape({-1}));
  return data;
}

// The "full" function precision's points: point(i) for i < n, in limb
// arithmetic on the CPU, then on the device.
template <class F>
LimbTensor points(int64_t n, const at::Device& device, F point) {
  at::Tensor data = at::empty({n, limbs::kLimbs}, float64_on(at::kCPU));
  double* p = data.data_ptr<double>();
  for (int64_t i = 0; i < n; ++i) limbs::store(point(i), p + i * limbs::kLimbs);
  return LimbTensor{device.is_cpu() ? data : data.to(device), Shape{n}};
}

limbs::Row row_of(const at::Scalar& v) { return limbs::from_double(v.toDouble()); }

// i * step exactly (i < 2^53): TwoProduct on every limb of step.
limbs::Row times(const limbs::Row& step, int64_t i) {
  return limbs::mul_scalar(step, static_cast<double>(i));
}

}  // namespace

LimbTensor zeros(const std::vector<int64_t>& size, const at::Device& device) {
  const int64_t n = factory_numel(size, "zeros");
  return LimbTensor{aten_checked("zeros",
                                 [&] {
                                   return at::zeros({n, limbs::kLimbs}, float64_on(device));
                                 }),
                    size};
}

LimbTensor ones(const std::vector<int64_t>& size, const at::Device& device) {
  return full(size, limbs::from_double(1.0), device, "ones");
}

LimbTensor full(const std::vector<int64_t>& size, const limbs::Row& value, const at::Device& device,
                const char* op) {
  const int64_t n = factory_numel(size, op);
  at::Tensor row = at::empty({1, limbs::kLimbs}, float64_on(at::kCPU));
  limbs::store(value, row.data_ptr<double>());
  at::Tensor data = aten_checked(op, [&] {
    return at::empty({n, limbs::kLimbs}, float64_on(device));
  });
  data.copy_(row.expand({n, limbs::kLimbs}));
  return LimbTensor{data, size};
}

LimbTensor arange(const at::Scalar& start, const at::Scalar& end, const at::Scalar& step,
                  const at::Device& device) {
  // ATen sizes the range as ceil((end - start) / step); refuse absurd sizes
  // before it allocates them. Its own checks handle the rest (zero step,
  // NaN bounds, a step of the wrong sign).
  const double count = std::ceil((end.toDouble() - start.toDouble()) / step.toDouble());
  if (std::isfinite(count) && count > 0 && count < 9.0e18)
    check_alloc(static_cast<int64_t>(count), "arange");
  at::Tensor values =
      aten_checked("arange", [&] { return at::arange(start, end, step, float64_on(device)); });
  if (full_function_precision()) {
    const limbs::Row lo = row_of(start), st = row_of(step);
    return points(values.numel(), device, [&](int64_t i) { return limbs::add(lo, times(st, i)); });
  }
  return LimbTensor{in_limb0(values), Shape{values.numel()}};
}

namespace {

// PyTorch's points, start + i step in the first half and end - (steps - 1 - i)
// step in the second, with step = (end - start) / (steps - 1) in limbs.
auto linspace_point(const at::Scalar& start, const at::Scalar& end, int64_t steps) {
  const limbs::Row lo = row_of(start), hi = row_of(end);
  const limbs::Row step =
      kernels::div_row(limbs::sub(hi, lo), limbs::from_double(double(steps - 1)));
  const int64_t half = steps / 2;
  return [lo, hi, step, steps, half](int64_t i) {
    return i < half ? limbs::add(lo, times(step, i)) : limbs::sub(hi, times(step, steps - 1 - i));
  };
}

}  // namespace

LimbTensor linspace(const at::Scalar& start, const at::Scalar& end, int64_t steps,
                    const at::Device& device) {
  if (steps > 0) check_alloc(steps, "linspace");
  at::Tensor values =
      aten_checked("linspace", [&] { return at::linspace(start, end, steps, float64_on(device)); });
  if (full_function_precision() && steps > 1)
    return points(steps, device, linspace_point(start, end, steps));
  return LimbTensor{in_limb0(values), Shape{values.numel()}};
}

LimbTensor logspace(const at::Scalar& start, const at::Scalar& end, int64_t steps, double base,
                    const at::Device& device) {
  if (steps > 0) check_alloc(steps, "logspace");
  at::Tensor values = aten_checked(
      "logspace", [&] { return at::logspace(start, end, steps, base, float64_on(device)); });
  if (full_function_precision() && steps > 0) {
    const limbs::Row b = limbs::from_double(base);
    if (steps == 1)
      return points(1, device, [&](int64_t) { return kernels::pow_row(b, row_of(start)); });
    const auto exponent = linspace_point(start, end, steps);
    return points(steps, device, [&](int64_t i) { return kernels::pow_row(b, exponent(i)); });
  }
  return LimbTensor{in_limb0(values), Shape{values.numel()}};
}

LimbTensor eye(int64_t n, int64_t m, const at::Device& device) {
  if (n > 0 && m > 0) {
    if (m > std::numeric_limits<int64_t>::max() / n)
      throw std::runtime_error("eye: " + std::to_string(n) + " x " + std::to_string(m) +
                               " has too many elements");
    check_alloc(n * m, "eye");
  }
  at::Tensor values = aten_checked("eye", [&] { return at::eye(n, m, float64_on(device)); });
  return LimbTensor{in_limb0(values), Shape{n, m}};
}

LimbTensor rand(const std::vector<int64_t>& size, const at::Device& device) {
  const int64_t n = factory_numel(size, "rand");
  at::Tensor values = aten_checked("rand", [&] { return at::rand({n}, float64_on(device)); });
  return LimbTensor{in_limb0(values), size};
}

LimbTensor randn(const std::vector<int64_t>& size, const at::Device& device) {
  const int64_t n = factory_numel(size, "randn");
  at::Tensor values = aten_checked("randn", [&] { return at::randn({n}, float64_on(device)); });
  return LimbTensor{in_limb0(values), size};
}

}  // namespace zel
