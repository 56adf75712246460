// Argument validation of the tensor layer, in one place: element counts and
// allocation sizes, limb arrays, dims and indices. Messages name the
// operation and carry the offending value; a check runs before any memory
// is touched or allocated.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tensor/core/errors.h"

namespace zel {

using Shape = std::vector<int64_t>;

constexpr size_t kMaxDims = 64;

// Elements of a shape; () has one. Throws ValueError on a negative size or
// an element count that does not fit in int64.
int64_t shape_numel(const Shape& shape);

// Python tuple form: (), (3,), (2, 3).
std::string shape_str(const Shape& shape);
// A count or an index in a message.
inline std::string str(int64_t v) { return std::to_string(v); }

// Checks that data is a 2-D float64 (N, 8) array with N == shape_numel(shape);
// the message names the operation and what was found.
void check_limbs(const at::Tensor& data, const Shape& shape, const char* op);

// TypeError for an object whose __init__ never ran (Tensor.__new__(Tensor)).
[[noreturn]] void throw_not_constructed(const char* op);

// Rejects, with RuntimeError naming `op`, a limb array of `rows` rows that
// could not fit in this machine's memory, before anything is allocated:
// such a request would otherwise end in the OOM killer or in a size
// computation that overflows, not an exception.
void check_alloc(int64_t rows, const char* op);

// PyTorch's dim rule: dim in [-rank, rank) made non-negative, a 0-d tensor
// accepting -1 and 0. IndexError "op: dimension out of range (expected to be
// in range of [-2, 1], but got 5)"; with op null, PyTorch's own wording
// "Dimension out of range (...)".
int64_t wrap_dim(int64_t dim, int64_t rank, const char* op);
inline int64_t normalize_dim(int64_t dim, int64_t ndim) { return wrap_dim(dim, ndim, nullptr); }

// The strict rule of size() and softmax(): dim in [-ndim, ndim), so a 0-d
// tensor has none. IndexError "op(): dimension 3 out of range for shape (1,)".
int64_t shape_axis(int64_t dim, const Shape& shape, const char* op);

// PyTorch's rule for in-place results: `from` broadcasts to `to` without
// changing it (no more axes, each size equal or 1). RuntimeError "op: output
// with shape [3] doesn't match the broadcast shape [2, 3]" otherwise.
void check_broadcasts_into(const Shape& from, const Shape& to, const char* op);

// index in [-size, size) made non-negative; IndexError "op: index 5 is out
// of bounds for dimension 0 with size 2" otherwise.
int64_t wrap_index(int64_t index, int64_t size, int64_t dim, const char* op);

// Runs an ATen call, turning its errors into the matching Python exceptions
// (message prefixed with "op: ", without the C++ backtrace).
template <class F>
auto aten_checked(const char* op, const F& f) -> decltype(f()) {
  try {
    return f();
  } catch (const c10::IndexError& e) {
    throw IndexError(std::string(op) + ": " + e.what_without_backtrace());
  } catch (const c10::ValueError& e) {
    throw ValueError(std::string(op) + ": " + e.what_without_backtrace());
  } catch (const c10::TypeError& e) {
    throw TypeError(std::string(op) + ": " + e.what_without_backtrace());
  } catch (const c10::Error& e) {
    throw std::runtime_error(std::string(op) + ": " + e.what_without_backtrace());
  }
}

}  // namespace zel
