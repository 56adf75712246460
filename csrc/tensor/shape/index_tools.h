// The loops of the integer and index tools: scattering element rows along an
// axis (index_add, index_copy, index_fill, scatter, scatter_add,
// scatter_reduce, put_), conversions to integer tensors, searches in sorted
// rows and weighted counts. Accumulations run serially in the row-major
// order of the positions visited, so their bytes never depend on threads.
#pragma once

#include <vector>

#include "kernels/index.h"
#include "tensor/core/limb_tensor.h"

namespace zel {

using kernels::Combine;

// What an index outside its axis raises: PyTorch words each family its own way.
enum class IndexCheck {
  Scatter,    // RuntimeError "index 3 is out of bounds for dimension 0 with size 3"
  IndexAdd,   // IndexError "index out of range in self"
  IndexCopy,  // IndexError "index_copy_(): index -1 is out of bounds ..."
  Wrapping,   // negative indices count from the end; IndexError beyond
};

// One scatter along `dim` of a copy of self: for every position p of `walk`
// (row-major), q = index[p . index_strides] (an int64 CPU array), the
// element of the result at p with axis dim replaced by q is combined with
// src[p . src_strides] (row strides; all zero for one value). `walk` has
// self's rank and no larger size than self off dim.
struct Scatter {
  int64_t dim = 0;
  Shape walk;
  at::Tensor index;  // contiguous int64, CPU
  std::vector<int64_t> index_strides;
  LimbTensor src;
  std::vector<int64_t> src_strides;
  Combine combine = Combine::Copy;
  bool mean = false;         // divide every written element by its count
  bool include_self = true;  // false: the first element scattered replaces self's
  IndexCheck check = IndexCheck::Scatter;
  const char* op = "scatter";
};
LimbTensor scatter_rows(const LimbTensor& self, const Scatter& s);

// Integers truncated toward zero from the exact values, in [lo, hi];
// RuntimeError for NaN, infinities and values outside.
at::Tensor to_integers(const LimbTensor& t, at::ScalarType type, int64_t lo, int64_t hi,
                       const char* op);
// True where the exact value is not zero (NaN is true).
at::Tensor to_bools(const LimbTensor& t);

// searchsorted: `sorted` has the leading axes of `values` (or is 1-D);
// sorter (possibly undefined) orders each of its rows.
at::Tensor search_sorted(const LimbTensor& sorted, const LimbTensor& values,
                         const at::Tensor& sorter, bool right, bool out_int32);

// out[bin[i]] += weight[i] in the order of i, over `bins` zero rows.
LimbTensor bin_sums(const at::Tensor& bins, const LimbTensor& weights, int64_t nbins);

// The histogram of the exact values of t on increasing `edges` (n + 1 rows):
// x lands in bin i where edges[i] <= x < edges[i + 1], the last bin closed;
// values outside and NaN are left out. Weights (optional) add in element
// order; `density` divides by the total times each bin's width.
LimbTensor histogram_counts(const LimbTensor& t, const LimbTensor& edges, const LimbTensor* weights,
                            bool density);
// bins + 1 edges from lo to hi: lo + i * (hi - lo) / bins, the last one hi.
LimbTensor even_edges(const limbs::Row& lo, const limbs::Row& hi, int64_t bins,
                      const at::Device& device);
// lo - pad and hi + pad where lo == hi, as PyTorch widens an empty range.
void widen_empty_range(limbs::Row& lo, limbs::Row& hi, double pad);
// The exact smallest and largest values of t (NaN skipped); false when none.
bool value_range(const LimbTensor& t, limbs::Row& lo, limbs::Row& hi);

}  // namespace zel
