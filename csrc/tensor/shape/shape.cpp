#include "tensor/shape/shape.h"

#include <ATen/ops/arange.h>
#include <ATen/ops/empty.h>
#include <ATen/TensorIndexing.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <numeric>
#include <sstream>
#include <stdexcept>

#include "tensor/core/index_walk.h"
#include "tensor/pointwise/arith.h"

namespace zel {

namespace {

using limbs::Row;
using Strides = std::vector<int64_t>;

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

// dst[dst_off + sum_d i_d * dst_st[d]] = src[src_off + sum_d i_d * src_st[d]]
// for every index i of `shape`. dst and src never overlap. Axes that can be
// merged are merged first, so that contiguous runs become one memcpy.
void copy_rows(Row* dst, int64_t dst_off, const Strides& dst_st, const Row* src, int64_t src_off,
               const Strides& src_st, const Shape& shape) {
  Shape sz;
  Strides ds, ss;
  for (size_t d = 0; d < shape.size(); ++d) {
    if (shape[d] == 0) return;
    if (shape[d] == 1) continue;
    if (!sz.empty() && ds.back() == dst_st[d] * shape[d] && ss.back() == src_st[d] * shape[d]) {
      sz.back() *= shape[d];
      ds.back() = dst_st[d];
      ss.back() = src_st[d];
    } else {
      sz.push_back(shape[d]);
      ds.push_back(dst_st[d]);
      ss.push_back(src_st[d]);
    }
  }
  if (sz.empty()) {
    dst[dst_off] = src[src_off];
    return;
  }
  const int64_t outer = static_cast<int64_t>(sz.size()) - 1;
  const int64_t inner = sz.back(), di = ds.back(), si = ss.back();
  int64_t lines = 1;
  for (int64_t d = 0; d < outer; ++d) lines *= sz[d];
  const int64_t grain = std::max<int64_t>(1, 32768 / inner);
  const Shape lines_shape(sz.begin(), sz.end() - 1);
  parallel_rows(lines, grain, [&](int64_t begin, int64_t end) {
    StridedWalk<2> walk(lines_shape, {ds.data(), ss.data()}, {dst_off, src_off}, begin);
    for (int64_t line = begin; line < end; ++line, walk.step()) {
      const int64_t od = walk.offset(0), os = walk.offset(1);
      if (di == 1 && si == 1) {
        std::memcpy(static_cast<void*>(dst + od), src + os,
                    static_cast<size_t>(inner) * sizeof(Row));
      } else if (si == 0) {
        const Row r = src[os];
        for (int64_t i = 0; i < inner; ++i) dst[od + i * di] = r;
      } else {
        for (int64_t i = 0; i < inner; ++i) dst[od + i * di] = src[os + i * si];
      }
    }
  });
}

at::Tensor empty_limbs(int64_t n, const char* op) {
  check_alloc(n, op);
  return at::empty({n, limbs::kLimbs}, at::TensorOptions().dtype(at::kDouble));
}

LimbTensor relabel(const LimbTensor& t, Shape shape) {
  return LimbTensor{t.data.clone(at::MemoryFormat::Contiguous), std::move(shape)};
}

LimbTensor permuted(const LimbTensor& t, const std::vector<int64_t>& perm, const char* op) {
  at::Tensor src = cpu_limbs(t, op);
  const Strides st = contiguous_strides(t.shape);
  Shape shape(perm.size());
  Strides strides(perm.size());
  for (size_t i = 0; i < perm.size(); ++i) {
    shape[i] = t.shape[perm[i]];
    strides[i] = st[perm[i]];
  }
  at::Tensor out = gather(src, shape, strides, 0, op);
  return make_result(out, std::move(shape), t.data.device());
}

void check_same_device(const std::vector<LimbTensor>& ts, const char* op) {
  for (size_t i = 1; i < ts.size(); ++i) {
    if (device_of(ts[i], op) != device_of(ts[0], op)) {
      std::ostringstream os;
      os << op << ": expected all tensors on the same device, got " << ts[0].data.device()
         << " at position 0 and " << ts[i].data.device() << " at position " << i;
      throw std::runtime_error(os.str());
    }
  }
}

// Joins tensors (seen with the given shapes, of equal element counts) along dim.
LimbTensor join(const std::vector<LimbTensor>& ts, const std::vector<Shape>& shapes, int64_t dim,
                const char* op) {
  check_same_device(ts, op);
  std::vector<at::Tensor> srcs;
  srcs.reserve(ts.size());
  for (const LimbTensor& t : ts) srcs.push_back(cpu_limbs(t, op));
  const Shape& first = shapes[0];
  const int64_t nd = static_cast<int64_t>(first.size());
  for (size_t i = 0; i < shapes.size(); ++i)
    if (shapes[i].empty())
      throw ValueError(std::string(op) + ": zero-dimensional tensor (at position " + str(i) +
                       ") cannot be concatenated");
  dim = wrap_dim(dim, nd, op);
  Shape out = first;
  int64_t total = 0;
  for (size_t i = 0; i < shapes.size(); ++i) {
    const Shape& s = shapes[i];
    bool match = static_cast<int64_t>(s.size()) == nd;
    for (int64_t d = 0; match && d < nd; ++d) match = d == dim || s[d] == first[d];
    if (!match)
      throw ValueError(std::string(op) + ": tensor at position " + str(i) + " has shape " +
                       shape_str(s) + ", which does not match " + shape_str(first) +
                       " except in dimension " + str(dim));
    if (s[dim] > kInt64Max - total)
      throw ValueError(std::string(op) + ": result has too many elements");
    total += s[dim];
  }
  out[dim] = total;
  at::Tensor r = empty_limbs(shape_numel(out), op);
  const Strides out_st = contiguous_strides(out);
  int64_t at_dim = 0;
  for (size_t i = 0; i < ts.size(); ++i) {
    copy_rows(rows_of(r), at_dim * out_st[dim], out_st, rows_of(srcs[i]), 0,
              contiguous_strides(shapes[i]), shapes[i]);
    at_dim += shapes[i][dim];
  }
  return make_result(r, std::move(out), ts[0].data.device());
}

// The piece [start, start + len) of axis dim, from the staged rows src.
LimbTensor narrow(const LimbTensor& t, const at::Tensor& src, int64_t dim, int64_t start,
                  int64_t len, const char* op) {
  const Strides st = contiguous_strides(t.shape);
  Shape shape = t.shape;
  shape[dim] = len;
  at::Tensor out = gather(src, shape, st, start * st[dim], op);
  return make_result(out, std::move(shape), t.data.device());
}

// The axis split by split/chunk; a 0-d tensor has none.
int64_t split_dim(const LimbTensor& t, int64_t dim, const char* op) {
  if (t.shape.empty())
    throw IndexError(std::string(op) + ": a 0-d tensor has no dimension to split");
  return wrap_dim(dim, static_cast<int64_t>(t.shape.size()), op);
}

// Resolves Python slice bounds against an axis of `size`, as slice.indices()
// does; returns the number of selected entries.
int64_t slice_length(int64_t size, int64_t& start, int64_t& stop, int64_t step) {
  if (start < 0) {
    start += size;
    if (start < 0) start = step < 0 ? -1 : 0;
  } else if (start >= size) {
    start = step < 0 ? size - 1 : size;
  }
  if (stop < 0) {
    stop += size;
    if (stop < 0) stop = step < 0 ? -1 : 0;
  } else if (stop >= size) {
    stop = step < 0 ? size - 1 : size;
  }
  if (step < 0) return stop < start ? (start - stop - 1) / (-step) + 1 : 0;
  return start < stop ? (stop - start - 1) / step + 1 : 0;
}

struct Selection {
  Shape shape;
  Strides strides;
  int64_t offset = 0;
};

Selection select(const Shape& shape, const std::vector<IndexItem>& index) {
  const int64_t nd = static_cast<int64_t>(shape.size());
  int64_t consumed = 0, ellipses = 0;
  for (const IndexItem& it : index) {
    if (it.kind == IndexItem::Int || it.kind == IndexItem::Slice) ++consumed;
    if (it.kind == IndexItem::Ellipsis) ++ellipses;
  }
  if (ellipses > 1) throw IndexError("an index can only have a single ellipsis ('...')");
  if (consumed > nd)
    throw IndexError("too many indices for tensor of dimension " + str(nd) + " (got " +
                     str(consumed) + ")");
  const Strides st = contiguous_strides(shape);
  Selection sel;
  int64_t axis = 0;
  auto keep = [&](int64_t count) {
    for (int64_t k = 0; k < count; ++k, ++axis) {
      sel.shape.push_back(shape[axis]);
      sel.strides.push_back(st[axis]);
    }
  };
  for (const IndexItem& it : index) {
    switch (it.kind) {
      case IndexItem::Int: {
        const int64_t size = shape[axis];
        if (it.start < -size || it.start >= size)
          throw IndexError("index " + str(it.start) + " is out of bounds for dimension " +
                           str(axis) + " with size " + str(size));
        sel.offset += (it.start < 0 ? it.start + size : it.start) * st[axis];
        ++axis;
        break;
      }
      case IndexItem::Slice: {
        // Reversed slices are a 1-D facility, as for Python lists.
        if (it.step < 0 && nd != 1)
          throw ValueError(
              "step must be greater than zero (negative steps are only supported on 1-D tensors, "
              "got " +
              str(it.step) + " on a tensor of dimension " + str(nd) + ")");
        if (it.step == 0) throw ValueError("slice step cannot be zero");
        int64_t start = it.start, stop = it.stop;
        const int64_t len = slice_length(shape[axis], start, stop, it.step);
        if (len > 0) sel.offset += start * st[axis];
        sel.shape.push_back(len);
        // With fewer than two entries the step never applies (and may be huge).
        sel.strides.push_back(len > 1 ? it.step * st[axis] : st[axis]);
        ++axis;
        break;
      }
      case IndexItem::NewAxis:
        sel.shape.push_back(1);
        sel.strides.push_back(0);
        break;
      case IndexItem::Ellipsis:
        keep(nd - consumed);
        break;
    }
  }
  keep(nd - axis);
  return sel;
}

}  // namespace

Strides contiguous_strides(const Shape& shape) {
  Strides st(shape.size());
  int64_t s = 1;
  for (size_t i = shape.size(); i-- > 0;) {
    st[i] = s;
    s *= shape[i];
  }
  return st;
}

at::Tensor gather(const at::Tensor& src, const Shape& shape, const Strides& strides, int64_t offset,
                  const char* op) {
  at::Tensor out = empty_limbs(shape_numel(shape), op);
  copy_rows(rows_of(out), 0, contiguous_strides(shape), rows_of(src), offset, strides, shape);
  return out;
}

Shape infer_shape(const Shape& from, const std::vector<int64_t>& target, const char* op) {
  const int64_t numel = shape_numel(from);
  auto fail = [&](const std::string& why) {
    throw ValueError(std::string(op) + ": cannot reshape tensor of shape " + shape_str(from) +
                     " (" + str(numel) + " elements) into shape " + shape_str(target) + why);
  };
  int64_t infer = -1, known = 1;
  bool zero = false, overflow = false;
  for (size_t i = 0; i < target.size(); ++i) {
    const int64_t s = target[i];
    if (s == -1) {
      if (infer >= 0) fail(": only one dimension can be inferred");
      infer = static_cast<int64_t>(i);
    } else if (s < 0) {
      fail(": invalid size " + str(s));
    } else if (s == 0) {
      zero = true;
    } else if (known > kInt64Max / s) {
      overflow = true;
    } else {
      known *= s;
    }
  }
  if (zero) known = 0;
  Shape out = target;
  if (infer >= 0) {
    if (known == 0) fail(": the size of the -1 axis is ambiguous");
    if (overflow || numel % known != 0) fail("");
    out[infer] = numel / known;
  } else if (overflow || known != numel) {
    fail("");
  }
  return out;
}

LimbTensor reshape(const LimbTensor& t, const std::vector<int64_t>& target) {
  check_limbs(t.data, t.shape, "reshape");
  return relabel(t, infer_shape(t.shape, target, "reshape"));
}

LimbTensor flatten(const LimbTensor& t, int64_t start_dim, int64_t end_dim) {
  check_limbs(t.data, t.shape, "flatten");
  const int64_t nd = static_cast<int64_t>(t.shape.size());
  const int64_t start = wrap_dim(start_dim, nd, "flatten");
  const int64_t end = wrap_dim(end_dim, nd, "flatten");
  if (start > end)
    throw ValueError("flatten: start_dim " + str(start_dim) + " comes after end_dim " +
                     str(end_dim) + " for shape " + shape_str(t.shape));
  if (nd == 0) return relabel(t, Shape{1});
  Shape shape(t.shape.begin(), t.shape.begin() + start);
  int64_t merged = 1;
  for (int64_t d = start; d <= end; ++d) merged *= t.shape[d];
  shape.push_back(merged);
  shape.insert(shape.end(), t.shape.begin() + end + 1, t.shape.end());
  return relabel(t, std::move(shape));
}

LimbTensor squeeze(const LimbTensor& t) {
  check_limbs(t.data, t.shape, "squeeze");
  Shape shape;
  for (int64_t s : t.shape)
    if (s != 1) shape.push_back(s);
  return relabel(t, std::move(shape));
}

LimbTensor squeeze_dim(const LimbTensor& t, int64_t dim) {
  check_limbs(t.data, t.shape, "squeeze");
  const int64_t d = wrap_dim(dim, static_cast<int64_t>(t.shape.size()), "squeeze");
  Shape shape = t.shape;
  if (!shape.empty() && shape[d] == 1) shape.erase(shape.begin() + d);
  return relabel(t, std::move(shape));
}

LimbTensor unsqueeze(const LimbTensor& t, int64_t dim) {
  check_limbs(t.data, t.shape, "unsqueeze");
  const int64_t d = wrap_dim(dim, static_cast<int64_t>(t.shape.size()) + 1, "unsqueeze");
  Shape shape = t.shape;
  shape.insert(shape.begin() + d, 1);
  return relabel(t, std::move(shape));
}

LimbTensor expand(const LimbTensor& t, const std::vector<int64_t>& sizes) {
  at::Tensor src = cpu_limbs(t, "expand");
  const int64_t nd = static_cast<int64_t>(t.shape.size()), ne = static_cast<int64_t>(sizes.size());
  if (ne < nd)
    throw ValueError("expand: the number of sizes provided (" + str(ne) +
                     ") must be greater or equal to the number of dimensions in the tensor (" +
                     str(nd) + ")");
  const Strides in_st = contiguous_strides(t.shape);
  Shape shape(ne);
  Strides strides(ne, 0);
  for (int64_t i = 0; i < ne; ++i) {
    const int64_t d = i - (ne - nd);  // the input axis, negative for a new leading axis
    const int64_t have = d < 0 ? 1 : t.shape[d];
    const int64_t want = sizes[i] == -1 && d >= 0 ? have : sizes[i];
    if (want < 0)
      throw ValueError("expand: invalid size " + str(sizes[i]) + " at position " + str(i) + " of " +
                       shape_str(sizes) +
                       (d < 0 ? " (a new leading axis needs an explicit size)" : ""));
    if (want != have && have != 1)
      throw ValueError(
          "expand: the expanded size (" + str(want) + ") must match the existing size (" +
          str(have) + ") at non-singleton dimension " + str(i) +
          ". Target sizes: " + shape_str(sizes) + ". Tensor sizes: " + shape_str(t.shape));
    shape[i] = want;
    if (d >= 0 && have == want) strides[i] = in_st[d];
  }
  at::Tensor out = gather(src, shape, strides, 0, "expand");
  return make_result(out, std::move(shape), t.data.device());
}

LimbTensor transpose(const LimbTensor& t, int64_t dim0, int64_t dim1) {
  check_limbs(t.data, t.shape, "transpose");
  const int64_t nd = static_cast<int64_t>(t.shape.size());
  if (nd < 2) return clone(t);
  std::vector<int64_t> perm(nd);
  std::iota(perm.begin(), perm.end(), int64_t(0));
  std::swap(perm[wrap_dim(dim0, nd, "transpose")], perm[wrap_dim(dim1, nd, "transpose")]);
  return permuted(t, perm, "transpose");
}

LimbTensor permute(const LimbTensor& t, const std::vector<int64_t>& dims) {
  check_limbs(t.data, t.shape, "permute");
  const int64_t nd = static_cast<int64_t>(t.shape.size());
  if (static_cast<int64_t>(dims.size()) != nd)
    throw ValueError("permute: the number of dims (" + str(dims.size()) +
                     ") must equal the dimension of the tensor (" + str(nd) + ", shape " +
                     shape_str(t.shape) + ")");
  std::vector<int64_t> perm(nd);
  std::vector<bool> seen(nd, false);
  for (int64_t i = 0; i < nd; ++i) {
    perm[i] = wrap_dim(dims[i], nd, "permute");
    if (seen[perm[i]])
      throw ValueError("permute: dim " + str(perm[i]) + " appears more than once in " +
                       shape_str(dims));
    seen[perm[i]] = true;
  }
  return permuted(t, perm, "permute");
}

LimbTensor cat(const std::vector<LimbTensor>& ts, int64_t dim) {
  if (ts.empty()) throw ValueError("cat requires at least one tensor");
  std::vector<Shape> shapes;
  for (const LimbTensor& t : ts) shapes.push_back(t.shape);
  return join(ts, shapes, dim, "cat");
}

LimbTensor stack(const std::vector<LimbTensor>& ts, int64_t dim) {
  if (ts.empty()) throw ValueError("stack requires at least one tensor");
  for (size_t i = 1; i < ts.size(); ++i)
    if (ts[i].shape != ts[0].shape)
      throw ValueError("stack expects each tensor to be equal size, but got " +
                       shape_str(ts[0].shape) + " at entry 0 and " + shape_str(ts[i].shape) +
                       " at entry " + str(i));
  const int64_t d = wrap_dim(dim, static_cast<int64_t>(ts[0].shape.size()) + 1, "stack");
  std::vector<Shape> shapes;
  for (const LimbTensor& t : ts) {
    Shape s = t.shape;
    s.insert(s.begin() + d, 1);
    shapes.push_back(std::move(s));
  }
  return join(ts, shapes, d, "stack");
}

std::vector<LimbTensor> split(const LimbTensor& t, int64_t size, int64_t dim) {
  at::Tensor src = cpu_limbs(t, "split");
  const int64_t d = split_dim(t, dim, "split");
  if (size <= 0) throw ValueError("split: split_size must be a positive integer, got " + str(size));
  const int64_t n = t.shape[d];
  // Each piece is an object of its own: an empty tensor with a huge axis
  // would otherwise ask for billions of them.
  const int64_t count = n / size + (n % size != 0);
  check_alloc(std::min<int64_t>(count, kInt64Max / limbs::kLimbs) * limbs::kLimbs, "split");
  std::vector<LimbTensor> pieces;
  for (int64_t start = 0; start < n; start += std::min(size, n - start))
    pieces.push_back(narrow(t, src, d, start, std::min(size, n - start), "split"));
  return pieces;
}

std::vector<LimbTensor> split_sections(const LimbTensor& t, const std::vector<int64_t>& sections,
                                       int64_t dim) {
  at::Tensor src = cpu_limbs(t, "split");
  const int64_t d = split_dim(t, dim, "split");
  const int64_t n = t.shape[d];
  int64_t total = 0;
  for (int64_t s : sections) {
    if (s < 0)
      throw ValueError("split: section sizes must be non-negative, got " + shape_str(sections));
    total = s > n - total ? n + 1 : total + s;
  }
  if (total != n)
    throw ValueError("split: section sizes " + shape_str(sections) + " must add up to " + str(n) +
                     ", the size of dimension " + str(d) + " of shape " + shape_str(t.shape));
  std::vector<LimbTensor> pieces;
  int64_t start = 0;
  for (int64_t s : sections) {
    pieces.push_back(narrow(t, src, d, start, s, "split"));
    start += s;
  }
  return pieces;
}

std::vector<LimbTensor> chunk(const LimbTensor& t, int64_t chunks, int64_t dim) {
  check_limbs(t.data, t.shape, "chunk");
  if (chunks == 0) throw ZeroDivisionError("chunk: chunks must not be zero");
  if (chunks < 0)
    throw ValueError("chunk expects `chunks` to be greater than 0, got: " + str(chunks));
  const int64_t n = t.shape[split_dim(t, dim, "chunk")];
  const int64_t size = n / chunks + (n % chunks != 0);
  // An empty axis gives no pieces, as split does.
  return split(t, std::max<int64_t>(size, 1), dim);
}

LimbTensor repeat(const LimbTensor& t, const std::vector<int64_t>& counts) {
  at::Tensor src = cpu_limbs(t, "repeat");
  const int64_t nd = static_cast<int64_t>(t.shape.size()), nr = static_cast<int64_t>(counts.size());
  if (nr < nd)
    throw ValueError("repeat: number of repeat counts (" + str(nr) +
                     ") can not be smaller than the number of dimensions of the tensor (" +
                     str(nd) + ")");
  Shape padded(nr - nd, 1);
  padded.insert(padded.end(), t.shape.begin(), t.shape.end());
  const Strides st = contiguous_strides(padded);
  // Output axis i, seen as (counts[i], padded[i]), reads the source with
  // strides (0, st[i]): row-major over those pairs is the tiled order.
  Shape shape(nr), view;
  Strides strides;
  for (int64_t i = 0; i < nr; ++i) {
    if (counts[i] < 0)
      throw ValueError("repeat: repeat counts must be non-negative, got " + shape_str(counts));
    if (padded[i] != 0 && counts[i] > kInt64Max / padded[i])
      throw ValueError("repeat: result has too many elements (counts " + shape_str(counts) +
                       " for shape " + shape_str(t.shape) + ")");
    shape[i] = padded[i] * counts[i];
    view.insert(view.end(), {counts[i], padded[i]});
    strides.insert(strides.end(), {0, st[i]});
  }
  shape_numel(shape);
  at::Tensor out = gather(src, view, strides, 0, "repeat");
  return make_result(out, std::move(shape), t.data.device());
}

namespace {

// The value's shape for an assignment to a selection of shape `target`:
// leading size-1 axes beyond the selection's rank drop out, as in PyTorch;
// ValueError when the rest does not broadcast.
Shape value_shape_for(const Shape& value, const Shape& target) {
  Shape vs = value;
  while (vs.size() > target.size() && vs.front() == 1) vs.erase(vs.begin());
  bool fits = vs.size() <= target.size();
  for (size_t i = 0; fits && i < vs.size(); ++i) {
    const int64_t v = vs[vs.size() - 1 - i], s = target[target.size() - 1 - i];
    fits = v == s || v == 1;
  }
  if (!fits)
    throw ValueError("shape mismatch: value tensor of shape " + shape_str(value) +
                     " cannot be broadcast to indexing result of shape " + shape_str(target));
  return vs;
}

// ATen's index with the limb axis kept whole: PyTorch's own indexing on the
// (*shape, 8) view then moves entire elements. Refuses more indexed axes
// than the tensor has (the limb axis must never be indexed).
std::vector<at::indexing::TensorIndex> with_limb_axis(const AdvancedIndex& index,
                                                      const Shape& shape) {
  namespace ix = at::indexing;
  size_t consumed = 0;
  bool ellipsis = false;
  for (const AdvancedItem& it : index) {
    if (it.kind == AdvancedItem::Tensor) {
      const at::ScalarType st = it.tensor.scalar_type();
      consumed += (st == at::kBool || st == at::kByte) ? static_cast<size_t>(it.tensor.dim()) : 1;
    } else if (it.kind == AdvancedItem::Basic) {
      ellipsis = ellipsis || it.basic.kind == IndexItem::Ellipsis;
      consumed += (it.basic.kind == IndexItem::Int || it.basic.kind == IndexItem::Slice) ? 1 : 0;
    }
  }
  if (consumed > shape.size())
    throw IndexError("too many indices for tensor of dimension " + std::to_string(shape.size()));
  std::vector<ix::TensorIndex> out;
  out.reserve(index.size() + 2);  // entries are constructed in place, never moved
  for (const AdvancedItem& it : index) {
    if (it.kind == AdvancedItem::Tensor)
      out.emplace_back(it.tensor);
    else if (it.kind == AdvancedItem::Bool)
      out.emplace_back(it.flag);
    else if (it.basic.kind == IndexItem::Int)
      out.emplace_back(it.basic.start);
    else if (it.basic.kind == IndexItem::Slice)
      out.emplace_back(ix::Slice(it.basic.start, it.basic.stop, it.basic.step));
    else if (it.basic.kind == IndexItem::Ellipsis)
      out.emplace_back(ix::Ellipsis);
    else
      out.emplace_back(ix::None);
  }
  if (!ellipsis) out.emplace_back(ix::Ellipsis);
  out.emplace_back(ix::Slice());
  return out;
}

Shape limb_view_shape(const Shape& shape) {
  Shape s = shape;
  s.push_back(limbs::kLimbs);
  return s;
}

}  // namespace

LimbTensor index_advanced(const LimbTensor& t, const AdvancedIndex& index) {
  check_limbs(t.data, t.shape, "index");
  const std::vector<at::indexing::TensorIndex> full = with_limb_axis(index, t.shape);
  at::Tensor picked =
      aten_checked("index", [&] { return t.data.reshape(limb_view_shape(t.shape)).index(full); });
  Shape shape(picked.sizes().begin(), picked.sizes().end() - 1);
  return LimbTensor{picked.reshape({-1, limbs::kLimbs}).contiguous(), std::move(shape)};
}

void index_advanced_set(const LimbTensor& t, const AdvancedIndex& index, const LimbTensor& value) {
  check_limbs(t.data, t.shape, "index assignment");
  check_limbs(value.data, value.shape, "index assignment");
  const std::vector<at::indexing::TensorIndex> full = with_limb_axis(index, t.shape);
  at::Tensor dst = t.data.is_contiguous() ? t.data : t.data.contiguous();
  at::Tensor view = dst.view(limb_view_shape(t.shape));
  // The selection's shape, for the defined broadcasting rule and message.
  const at::Tensor picked = aten_checked("index assignment", [&] { return view.index(full); });
  const Shape target(picked.sizes().begin(), picked.sizes().end() - 1);
  const Shape vs = value_shape_for(value.shape, target);
  at::Tensor src = value.data.reshape(limb_view_shape(vs)).to(dst.device());
  if (src.is_alias_of(dst)) src = src.clone();
  aten_checked("index assignment", [&] { return view.index_put_(full, src); });
  if (!dst.is_same(t.data)) t.data.copy_(dst);
}

LimbTensor gather(const LimbTensor& t, int64_t dim, const at::Tensor& index) {
  check_limbs(t.data, t.shape, "gather");
  const int64_t nd = static_cast<int64_t>(t.shape.size());
  const int64_t d = wrap_dim(dim, nd, "gather");
  if (index.scalar_type() != at::kLong)
    throw std::runtime_error("gather(): Expected dtype int64 for index, got " +
                             std::string(c10::toString(index.scalar_type())));
  if (index.dim() != std::max<int64_t>(nd, 1) && !(nd == 0 && index.dim() == 0))
    throw std::runtime_error(
        "gather(): Index tensor must have the same number of dimensions as input tensor");
  for (int64_t a = 0; a < index.dim(); ++a)
    if (a != d && nd > 0 && index.size(a) > t.shape[a])
      throw std::runtime_error("gather(): Size does not match at dimension " + std::to_string(a) +
                               " expected index " +
                               shape_str(Shape(index.sizes().begin(), index.sizes().end())) +
                               " to be smaller than self " + shape_str(t.shape) +
                               " apart from dimension " + std::to_string(d));
  if (nd == 0) {
    // A 0-d tensor has one element, at index 0 (or -1); the result has index's shape.
    const at::Tensor flat = index.reshape({-1}).contiguous();
    const int64_t* p = flat.data_ptr<int64_t>();
    for (int64_t k = 0; k < flat.numel(); ++k)
      if (p[k] != 0 && p[k] != -1) wrap_index(p[k], 1, 0, "gather");
    const LimbTensor one = index_advanced(t, {});
    if (index.dim() == 0) return one;
    return clone(expand(one, std::vector<int64_t>(index.sizes().begin(), index.sizes().end())));
  }
  // out[i_0..] = t[i_0, .., index[i_0..], ..]: one broadcast index tensor per axis.
  AdvancedIndex ix;
  for (int64_t a = 0; a < nd; ++a) {
    if (a == d) {
      ix.push_back(AdvancedItem::of(index));
      continue;
    }
    std::vector<int64_t> view(static_cast<size_t>(nd), 1);
    view[static_cast<size_t>(a)] = index.size(a);
    ix.push_back(AdvancedItem::of(at::arange(index.size(a), index.options()).view(view)));
  }
  return index_advanced(t, ix);
}

LimbTensor index_get(const LimbTensor& t, const std::vector<IndexItem>& index) {
  at::Tensor src = cpu_limbs(t, "index");
  Selection sel = select(t.shape, index);
  at::Tensor out = gather(src, sel.shape, sel.strides, sel.offset, "index");
  return make_result(out, std::move(sel.shape), t.data.device());
}

void index_set(const LimbTensor& t, const std::vector<IndexItem>& index, const LimbTensor& value) {
  at::Tensor dst = cpu_limbs(t, "index assignment");
  const Selection sel = select(t.shape, index);
  at::Tensor src = cpu_limbs(value, "index assignment");
  const Shape vs = value_shape_for(value.shape, sel.shape);
  // A value that shares the target's storage (t[1:] = t[:-1]) is read from a copy.
  if (src.is_alias_of(dst)) src = src.clone();
  copy_rows(rows_of(dst), sel.offset, sel.strides, rows_of(src), 0,
            broadcast_strides(vs, sel.shape), sel.shape);
  if (!dst.is_same(t.data)) t.data.copy_(dst);
}

void assign(const LimbTensor& t, const LimbTensor& value, const char* op) {
  check_limbs(t.data, t.shape, op);
  check_limbs(value.data, value.shape, op);
  check_broadcasts_into(value.shape, t.shape, op);
  Shape vs = value.shape, ts = t.shape;
  vs.push_back(limbs::kLimbs);
  ts.push_back(limbs::kLimbs);
  at::Tensor src = value.data.view(vs).expand(ts).reshape({-1, limbs::kLimbs});
  // A value that shares the target's storage is read from a copy.
  if (src.is_alias_of(t.data)) src = src.clone();
  t.data.copy_(src);
}

}  // namespace zel
