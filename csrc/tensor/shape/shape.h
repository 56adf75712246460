// Shape operations, concatenation, splitting, repetition and basic indexing
// on limb arrays. Every operation that reorders elements is one pass of
// whole-row copies (the 8 limbs of an element always travel together); the
// ones that only relabel the shape clone the array. Every result owns its
// limb array.
#pragma once

#include <cstdint>
#include <vector>

#include "tensor/core/limb_tensor.h"

namespace zel {

// `target` with its one -1 inferred from the element count of `from`;
// ValueError naming both shapes when the counts differ.
Shape infer_shape(const Shape& from, const std::vector<int64_t>& target, const char* op);

// Row-major strides (in rows) of a shape.
std::vector<int64_t> contiguous_strides(const Shape& shape);

// A new CPU limb array holding the rows of `src` selected by the strided
// view (shape, strides, offset), in row-major order of `shape`; strides may
// be zero or negative.
at::Tensor gather(const at::Tensor& src, const Shape& shape, const std::vector<int64_t>& strides,
                  int64_t offset, const char* op);

LimbTensor reshape(const LimbTensor& t, const std::vector<int64_t>& target);
LimbTensor flatten(const LimbTensor& t, int64_t start_dim, int64_t end_dim);
// Removes every size-1 axis.
LimbTensor squeeze(const LimbTensor& t);
// Removes axis `dim` when its size is 1; otherwise an unchanged copy.
LimbTensor squeeze_dim(const LimbTensor& t, int64_t dim);
LimbTensor unsqueeze(const LimbTensor& t, int64_t dim);
// PyTorch's expand: size-1 axes replicated, -1 keeps a size, extra sizes
// prepend axes. The rows are replicated, not shared.
LimbTensor expand(const LimbTensor& t, const std::vector<int64_t>& sizes);

// Tensors of rank below 2 come back as copies.
LimbTensor transpose(const LimbTensor& t, int64_t dim0, int64_t dim1);
LimbTensor permute(const LimbTensor& t, const std::vector<int64_t>& dims);

// Joins along any axis; the other axes must agree.
LimbTensor cat(const std::vector<LimbTensor>& ts, int64_t dim);
// Joins equal shapes along a new axis.
LimbTensor stack(const std::vector<LimbTensor>& ts, int64_t dim);
// Pieces of `size` along `dim`, the last one shorter.
std::vector<LimbTensor> split(const LimbTensor& t, int64_t size, int64_t dim);
// Pieces of the given lengths along `dim`; they must add up to its size.
std::vector<LimbTensor> split_sections(const LimbTensor& t, const std::vector<int64_t>& sections,
                                       int64_t dim);
std::vector<LimbTensor> chunk(const LimbTensor& t, int64_t chunks, int64_t dim);
// Tiles the tensor; more counts than axes prepend axes.
LimbTensor repeat(const LimbTensor& t, const std::vector<int64_t>& counts);

// One entry of a basic index. A slice holds its bounds as PySlice_Unpack
// gives them (missing bounds as the int64 extremes, everything clamped to
// int64); they are resolved against the axis they meet, as slice.indices()
// would.
struct IndexItem {
  enum Kind { Int, Slice, NewAxis, Ellipsis } kind;
  int64_t start = 0, stop = 0, step = 1;
};

// t[index]: a new tensor holding a copy of the selected rows.
LimbTensor index_get(const LimbTensor& t, const std::vector<IndexItem>& index);
// t[index] = value: value is broadcast to the selection and written in place.
void index_set(const LimbTensor& t, const std::vector<IndexItem>& index, const LimbTensor& value);

// Advanced indexing as PyTorch does it (integer and bool index tensors mixed
// with ints, slices, None and Ellipsis), on whole elements: the limbs of an
// element travel together. Out-of-range indices raise IndexError naming the
// index and the size.
// One entry: an IndexItem (ints, slices, None, Ellipsis), a bool, or an
// index tensor (integer or bool). ATen's TensorIndex is built from these in
// place, once per call: it leaves members uninitialised that its copies read.
struct AdvancedItem {
  enum Kind { Basic, Bool, Tensor } kind = Basic;
  IndexItem basic{IndexItem::NewAxis};
  bool flag = false;
  at::Tensor tensor;

  static AdvancedItem of(at::Tensor t) {
    AdvancedItem a;
    a.kind = Tensor;
    a.tensor = std::move(t);
    return a;
  }
};
using AdvancedIndex = std::vector<AdvancedItem>;
LimbTensor index_advanced(const LimbTensor& t, const AdvancedIndex& index);
// t[index] = value in place, value broadcast to the selection with all its
// limbs (the rule and message of index_set).
void index_advanced_set(const LimbTensor& t, const AdvancedIndex& index, const LimbTensor& value);

// torch.gather on elements: out[i][j] = t[index[i][j]][j] for dim 0, etc.
LimbTensor gather(const LimbTensor& t, int64_t dim, const at::Tensor& index);

// t = value in place, value broadcast into t's shape (check_broadcasts_into)
// with all its limbs: every alias of t's limb array sees the change.
void assign(const LimbTensor& t, const LimbTensor& value, const char* op);

}  // namespace zel
