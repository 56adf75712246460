#include "tensor/core/checks.h"

#include <limits>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

#include "limbs/core/row.h"

namespace zel {

int64_t shape_numel(const Shape& shape) {
  int64_t n = 1;
  for (int64_t d : shape) {
    if (d < 0)
      throw ValueError("negative dimension " + std::to_string(d) + " in shape " + shape_str(shape));
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
    throw ValueError(std::string(op) + ": a tensor has at most 64 dimensions, got " +
                     std::to_string(shape.size()));
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
    // Two rows an element: a complex tensor reached an operation without complex support.
    if (n > 0 && data.size(0) == 2 * n)
      throw TypeError(std::string(op) + "(): not implemented for complex tensors");
    std::ostringstream os;
    os << op << ": limb array has " << data.size(0) << " rows but shape " << shape_str(shape)
       << " needs " << n;
    throw ValueError(os.str());
  }
}

void throw_not_constructed(const char* op) {
  throw TypeError(std::string(op) +
                  ": expected a constructed Tensor, got one whose __init__ was never called");
}

namespace {

int64_t machine_rows() {
  const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(static_cast<double>(pages) * static_cast<double>(page) /
                              sizeof(limbs::Row));
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

int64_t wrap_dim(int64_t dim, int64_t rank, const char* op) {
  const int64_t r = rank > 0 ? rank : 1;
  if (dim < -r || dim >= r) {
    std::ostringstream os;
    os << (op ? std::string(op) + ": Dimension" : std::string("Dimension"))
       << " out of range (expected to be in range of [" << -r << ", " << r - 1 << "], but got "
       << dim << ")";
    throw IndexError(os.str());
  }
  return dim < 0 ? dim + r : dim;
}

int64_t shape_axis(int64_t dim, const Shape& shape, const char* op) {
  const int64_t nd = static_cast<int64_t>(shape.size());
  if (dim < -nd || dim >= nd)
    throw IndexError(std::string(op) + "(): dimension " + std::to_string(dim) +
                     " out of range for shape " + shape_str(shape));
  return dim < 0 ? dim + nd : dim;
}

void check_broadcasts_into(const Shape& from, const Shape& to, const char* op) {
  bool fits = from.size() <= to.size();
  for (size_t i = 0; fits && i < from.size(); ++i) {
    const int64_t f = from[from.size() - 1 - i], t = to[to.size() - 1 - i];
    fits = f == t || f == 1;
  }
  if (fits) return;
  // PyTorch lists shapes in brackets here.
  auto listed = [](const Shape& s) {
    std::string out = "[";
    for (size_t i = 0; i < s.size(); ++i) out += (i ? ", " : "") + std::to_string(s[i]);
    return out + "]";
  };
  Shape wide = from.size() > to.size() ? from : to;
  const Shape& narrow = from.size() > to.size() ? to : from;
  for (size_t i = 0; i < narrow.size(); ++i) {
    int64_t& w = wide[wide.size() - 1 - i];
    const int64_t n = narrow[narrow.size() - 1 - i];
    if (w == 1) w = n;
  }
  throw std::runtime_error(std::string(op) + ": output with shape " + listed(to) +
                           " doesn't match the broadcast shape " + listed(wide));
}

int64_t wrap_index(int64_t index, int64_t size, int64_t dim, const char* op) {
  if (index < -size || index >= size)
    throw IndexError(std::string(op) + ": index " + std::to_string(index) +
                     " is out of bounds for dimension " + std::to_string(dim) + " with size " +
                     std::to_string(size));
  return index < 0 ? index + size : index;
}

}  // namespace zel
