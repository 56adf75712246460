#include "tensor/limb_tensor.h"


namespace zel {

at::Device device_of(const LimbTensor& t, const char* op) {
  if (!t.data.defined()) throw_not_constructed(op);
  return t.data.device();
}

at::Tensor cpu_limbs(const LimbTensor& t, const char* op) {
  check_limbs(t.data, t.shape, op);
  if (t.data.device().is_cpu() && t.data.is_contiguous()) return t.data;
  return t.data.to(at::kCPU).contiguous();
}

at::Tensor new_limbs(int64_t n, const char* op) {
  check_alloc(n, op);
  return at::zeros({n, limbs::kLimbs}, at::TensorOptions().dtype(at::kDouble));
}

at::Tensor new_limbs_for(int64_t n, const char* op) {
  check_alloc(n, op);
  return at::empty({n, limbs::kLimbs}, at::TensorOptions().dtype(at::kDouble));
}

LimbTensor make_result(at::Tensor cpu_data, Shape shape, const at::Device& device) {
  if (!device.is_cpu()) cpu_data = cpu_data.to(device);
  return LimbTensor{std::move(cpu_data), std::move(shape)};
}

Shape broadcast_shapes(const Shape& a, const Shape& b) {
  const size_t n = std::max(a.size(), b.size());
  Shape out(n);
  for (size_t i = 0; i < n; ++i) {
    const int64_t da = i < a.size() ? a[a.size() - 1 - i] : 1;
    const int64_t db = i < b.size() ? b[b.size() - 1 - i] : 1;
    int64_t d;
    if (da == db) d = da;
    else if (da == 1) d = db;
    else if (db == 1) d = da;
    else throw ValueError("Cannot broadcast " + shape_str(a) + " with " + shape_str(b));
    out[n - 1 - i] = d;
  }
  return out;
}

std::vector<int64_t> broadcast_strides(const Shape& shape, const Shape& out) {
  std::vector<int64_t> st(out.size(), 0);
  int64_t stride = 1;
  for (size_t i = 0; i < shape.size(); ++i) {
    const size_t d = shape.size() - 1 - i;
    const size_t o = out.size() - 1 - i;
    st[o] = shape[d] == 1 ? 0 : stride;
    stride *= shape[d];
  }
  return st;
}

}  // namespace zel
