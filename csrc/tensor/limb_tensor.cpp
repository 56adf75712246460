#include "tensor/limb_tensor.h"

#include <limits>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

namespace zel {

int64_t shape_numel(const Shape& shape) {
  int64_t n = 1;
  for (int64_t d : shape) {
    if (d < 0) throw ValueError("negative dimension " + std::to_string(d) + " in shape " + shape_str(shape));
    if (d != 0 && n > std::numeric_limits<int64_t>::max() / d)
      throw ValueError("shape " + shape_str(shape) + " has too many elements");
    n *= d;
  }
  return n;
}

std::string shape_str(const Shape& shape) {
  std::ostringstream os;
  os << "(";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) os << ", ";
    os << shape[i];
  }
  if (shape.size() == 1) os << ",";
  os << ")";
  return os.str();
}

void check_limbs(const at::Tensor& data, const Shape& shape, const char* op) {
  if (!data.defined()) throw_not_constructed(op);
  // Shape walks recurse per axis; PyTorch itself stops at 64 axes.
  if (shape.size() > kMaxDims)
    throw ValueError(std::string(op) + ": a tensor has at most 64 dimensions, got " + std::to_string(shape.size()));
  if (data.scalar_type() != at::kDouble)
    throw TypeError(std::string(op) + ": limb array must be float64, got " +
                    std::string(c10::toString(data.scalar_type())));
  if (data.dim() != 2 || data.size(1) != limbs::kLimbs) {
    std::ostringstream os;
    os << op << ": limb array must have shape (N, 8), got " << data.sizes();
    throw ValueError(os.str());
  }
  const int64_t n = shape_numel(shape);
  if (data.size(0) != n) {
    std::ostringstream os;
    os << op << ": limb array has " << data.size(0) << " rows but shape " << shape_str(shape)
       << " needs " << n;
    throw ValueError(os.str());
  }
}

void throw_not_constructed(const char* op) {
  throw TypeError(std::string(op) + ": expected a constructed Tensor, got one whose __init__ was never called");
}

at::Device device_of(const LimbTensor& t, const char* op) {
  if (!t.data.defined()) throw_not_constructed(op);
  return t.data.device();
}

at::Tensor cpu_limbs(const LimbTensor& t, const char* op) {
  check_limbs(t.data, t.shape, op);
  if (t.data.device().is_cpu() && t.data.is_contiguous()) return t.data;
  return t.data.to(at::kCPU).contiguous();
}

namespace {

int64_t machine_rows() {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(static_cast<double>(pages) * static_cast<double>(page) / sizeof(limbs::Row));
}

}  // namespace

void check_alloc(int64_t rows, const char* op) {
  static const int64_t limit = machine_rows();
  if (rows > limit) {
    std::ostringstream os;
    os << op << ": cannot allocate " << rows << " elements of " << sizeof(limbs::Row)
       << " bytes each: that is more than this machine's memory";
    throw std::runtime_error(os.str());
  }
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
