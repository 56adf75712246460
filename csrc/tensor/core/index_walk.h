// The multi-index walk of the tensor layer: row-major indices over a shape,
// found from a flat position (unravel) or stepped one by one with strided
// offsets kept in step (StridedWalk). Every loop over the elements of a
// strided view, a broadcast or a batch goes through these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace zel {

// The row-major multi-index of flat position `flat` of `shape` (nd axes);
// flat < the element count, so no axis is empty.
inline void unravel(int64_t flat, const int64_t* shape, int64_t nd, int64_t* idx) {
  for (int64_t d = nd - 1; d >= 0; --d) {
    idx[d] = flat % shape[d];
    flat /= shape[d];
  }
}

// Steps a row-major multi-index; false (and all zeros) after the last one.
inline bool next_index(int64_t* idx, const int64_t* shape, int64_t nd) {
  for (int64_t d = nd - 1; d >= 0; --d) {
    if (++idx[d] < shape[d]) return true;
    idx[d] = 0;
  }
  return false;
}

// A row-major walk over `shape` from flat position `flat`, with K offsets
// that follow it: offset k is base[k] + sum over axes of idx[d] * strides[k][d].
template <size_t K>
class StridedWalk {
 public:
  StridedWalk(const std::vector<int64_t>& shape, std::array<const int64_t*, K> strides,
              std::array<int64_t, K> base, int64_t flat)
      : shape_(shape), strides_(strides), offset_(base), idx_(shape.size(), 0) {
    const int64_t nd = static_cast<int64_t>(shape_.size());
    // Position 0 is all zeros even where an axis is empty (no element to walk).
    if (flat != 0) unravel(flat, shape_.data(), nd, idx_.data());
    for (size_t k = 0; k < K; ++k)
      for (int64_t d = 0; d < nd; ++d) offset_[k] += idx_[d] * strides_[k][d];
  }

  int64_t offset(size_t k) const { return offset_[k]; }

  // The next index; the offsets move by the strides of the axes that change.
  void step() {
    for (int64_t d = static_cast<int64_t>(shape_.size()) - 1; d >= 0; --d) {
      for (size_t k = 0; k < K; ++k) offset_[k] += strides_[k][d];
      if (++idx_[d] < shape_[d]) return;
      for (size_t k = 0; k < K; ++k) offset_[k] -= strides_[k][d] * shape_[d];
      idx_[d] = 0;
    }
  }

 private:
  const std::vector<int64_t>& shape_;
  std::array<const int64_t*, K> strides_;
  std::array<int64_t, K> offset_;
  std::vector<int64_t> idx_;
};

}  // namespace zel
