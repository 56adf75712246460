#include "tensor/shape/rearrange.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "kernels/reduce.h"
#include "tensor/pointwise/arith.h"
#include "tensor/contract/matmul.h"
#include "tensor/core/index_walk.h"
#include "tensor/reduce/axis.h"
#include "tensor/shape/shape.h"

namespace zel {

namespace {

using limbs::Row;
using Strides = std::vector<int64_t>;

int64_t rank_of(const LimbTensor& t) { return static_cast<int64_t>(t.shape.size()); }

// The rows of t seen through (shape, strides, offset), as a new tensor.
LimbTensor view_copy(const LimbTensor& t, const at::Tensor& src, Shape shape,
                     const Strides& strides, int64_t offset, const char* op) {
  at::Tensor out = gather(src, shape, strides, offset, op);
  return make_result(out, std::move(shape), t.data.device());
}

// Distinct axes of t; a repeat is PyTorch's RuntimeError.
std::vector<int64_t> distinct_dims(const std::vector<int64_t>& dims, int64_t rank, const char* op) {
  std::vector<int64_t> out;
  std::vector<bool> seen(static_cast<size_t>(std::max<int64_t>(rank, 1)), false);
  for (int64_t d : dims) {
    const int64_t a = wrap_dim(d, rank, op);
    if (seen[a])
      throw std::runtime_error(std::string(op) + ": dim " + str(a) +
                               " appears multiple times in the list of dims");
    seen[a] = true;
    out.push_back(a);
  }
  return out;
}

// An output of `shape` whose row i is f(i); f must not throw.
template <class F>
LimbTensor generate(Shape shape, const at::Device& device, const char* op, const F& f) {
  const int64_t n = shape_numel(shape);
  at::Tensor r = new_limbs_for(n, op);
  Row* out = rows_of(r);
  parallel_rows(n, 4096, [&](int64_t b, int64_t e) {
    for (int64_t i = b; i < e; ++i) out[i] = f(i);
  });
  return make_result(r, std::move(shape), device);
}

// Element offset of the diagonal (offset, dim1, dim2) and its length.
struct Diagonal {
  int64_t start = 0, len = 0, step = 0;
  Shape rest;
  Strides rest_st;
};

Diagonal diagonal_of(const Shape& shape, int64_t offset, int64_t d1, int64_t d2) {
  const Strides st = contiguous_strides(shape);
  Diagonal dg;
  const int64_t n1 = shape[d1], n2 = shape[d2];
  if (offset >= 0)
    dg.len = std::max<int64_t>(0, std::min(n1, n2 - offset));
  else
    dg.len = std::max<int64_t>(0, std::min(n1 + offset, n2));
  if (dg.len > 0) dg.start = offset >= 0 ? offset * st[d2] : -offset * st[d1];
  dg.step = st[d1] + st[d2];
  for (size_t d = 0; d < shape.size(); ++d) {
    if (static_cast<int64_t>(d) == d1 || static_cast<int64_t>(d) == d2) continue;
    dg.rest.push_back(shape[d]);
    dg.rest_st.push_back(st[d]);
  }
  return dg;
}

}  // namespace

LimbTensor flip(const LimbTensor& t, const std::vector<int64_t>& dims) {
  at::Tensor src = cpu_limbs(t, "flip");
  const std::vector<int64_t> axes = distinct_dims(dims, rank_of(t), "flip");
  Strides st = contiguous_strides(t.shape);
  int64_t offset = 0;
  for (int64_t a : axes) {
    if (t.shape.empty()) continue;
    if (t.shape[a] > 0) offset += (t.shape[a] - 1) * st[a];
    st[a] = -st[a];
  }
  return view_copy(t, src, t.shape, st, offset, "flip");
}

LimbTensor roll(const LimbTensor& t, const std::vector<int64_t>& shifts,
                const std::vector<int64_t>& dims) {
  at::Tensor src = cpu_limbs(t, "roll");
  if (shifts.empty()) throw std::runtime_error("roll: `shifts` required");
  if (dims.empty()) {
    if (shifts.size() != 1)
      throw std::runtime_error(
          "roll: shifts and dimensions must align. shifts: " + str(shifts.size()) + ", dims: 0");
    const LimbTensor flat{src, Shape{src.size(0)}};
    LimbTensor r = roll(flat, shifts, {0});
    r.shape = t.shape;
    return make_result(r.data, r.shape, t.data.device());
  }
  if (shifts.size() != dims.size())
    throw std::runtime_error("roll: shifts and dimensions must align. shifts: " +
                             str(shifts.size()) + ", dims: " + str(dims.size()));
  const int64_t nd = rank_of(t);
  std::vector<int64_t> shift(static_cast<size_t>(nd), 0);
  for (size_t i = 0; i < dims.size(); ++i) {
    const int64_t a = wrap_dim(dims[i], nd, "roll");
    if (nd == 0) continue;
    const int64_t n = t.shape[a];
    if (n > 0) shift[a] = ((shift[a] + shifts[i] % n) % n + n) % n;
  }
  // Axis d of row i reads entry (i_d - shift_d) mod n_d of the input.
  const Strides st = contiguous_strides(t.shape);
  const Row* in = rows_of(src);
  return generate(t.shape, t.data.device(), "roll", [&](int64_t i) {
    int64_t idx[kMaxDims];
    unravel(i, t.shape.data(), nd, idx);
    int64_t off = 0;
    for (int64_t d = 0; d < nd; ++d) {
      const int64_t n = t.shape[d];
      off += ((idx[d] - shift[d] + n) % n) * st[d];
    }
    return in[off];
  });
}

LimbTensor rot90(const LimbTensor& t, int64_t k, const std::vector<int64_t>& dims) {
  check_limbs(t.data, t.shape, "rot90");
  if (dims.size() != 2)
    throw std::runtime_error("rot90: expected total rotation dims == 2, but got dims = " +
                             str(static_cast<int64_t>(dims.size())));
  const int64_t dim0 = dims[0], dim1 = dims[1];
  const int64_t nd = rank_of(t);
  if (nd < 2)
    throw std::runtime_error("rot90: expected total dims >= 2, but got total dims = " + str(nd));
  const int64_t a = wrap_dim(dim0, nd, "rot90"), b = wrap_dim(dim1, nd, "rot90");
  if (a == b)
    throw std::runtime_error("rot90: expected rotation dims to be different, got dim0 = dim1 = " +
                             str(a));
  k = ((k % 4) + 4) % 4;
  if (k == 1) return transpose(flip(t, {b}), a, b);
  if (k == 2) return flip(t, {a, b});
  if (k == 3) return flip(transpose(t, a, b), {b});
  return clone(t);
}

LimbTensor triangle(const LimbTensor& t, int64_t diagonal, bool upper) {
  const char* op = upper ? "triu" : "tril";
  at::Tensor src = cpu_limbs(t, op);
  const int64_t nd = rank_of(t);
  if (nd < 2)
    throw std::runtime_error(std::string(op) +
                             ": input tensor must have at least 2 dimensions, got " + str(nd));
  const int64_t rows = t.shape[nd - 2], cols = t.shape[nd - 1];
  const Row* in = rows_of(src);
  return generate(t.shape, t.data.device(), op, [&](int64_t i) {
    const int64_t j = i % cols, r = (i / cols) % rows;
    const bool keep = upper ? j - r >= diagonal : j - r <= diagonal;
    return keep ? in[i] : limbs::zero_row();
  });
}

LimbTensor diagonal(const LimbTensor& t, int64_t offset, int64_t dim1, int64_t dim2) {
  at::Tensor src = cpu_limbs(t, "diagonal");
  const int64_t nd = rank_of(t);
  if (nd < 2)
    throw std::runtime_error("diagonal: expected a tensor of at least 2 dimensions, got " +
                             str(nd));
  const int64_t a = wrap_dim(dim1, nd, "diagonal"), b = wrap_dim(dim2, nd, "diagonal");
  if (a == b)
    throw std::runtime_error("diagonal: dimensions cannot be identical " + str(dim1) + ", " +
                             str(dim2));
  Diagonal dg = diagonal_of(t.shape, offset, a, b);
  dg.rest.push_back(dg.len);
  dg.rest_st.push_back(dg.step);
  return view_copy(t, src, dg.rest, dg.rest_st, dg.start, "diagonal");
}

LimbTensor diag_embed(const LimbTensor& t, int64_t offset, int64_t dim1, int64_t dim2) {
  at::Tensor src = cpu_limbs(t, "diag_embed");
  const int64_t nd = rank_of(t) + 1;
  if (rank_of(t) < 1)
    throw std::runtime_error(
        "diag_embed: expected a tensor of at least 1 dimension, got a 0-d tensor");
  const int64_t a = wrap_dim(dim1, nd, "diag_embed"), b = wrap_dim(dim2, nd, "diag_embed");
  if (a == b)
    throw std::runtime_error("diag_embed: diagonal dimensions cannot be identical " + str(dim1) +
                             ", " + str(dim2));
  const int64_t last = t.shape.back();
  // The matrices grow by |offset|; checked before negating or adding.
  const int64_t room = std::numeric_limits<int64_t>::max() - last;
  if (offset > room || offset < -room)
    throw std::runtime_error("diag_embed: offset " + str(offset) + " is out of range");
  const int64_t n = last + (offset < 0 ? -offset : offset);
  // Output axes: the input's leading axes in order, with a and b inserted.
  Shape shape;
  size_t k = 0;
  for (int64_t d = 0; d < nd; ++d) {
    if (d == a || d == b)
      shape.push_back(n);
    else
      shape.push_back(t.shape[k++]);
  }
  const int64_t total = shape_numel(shape);
  at::Tensor r = new_limbs(total, "diag_embed");
  Diagonal dg = diagonal_of(shape, offset, a, b);
  dg.rest.push_back(dg.len);
  dg.rest_st.push_back(dg.step);
  // Scatter: the diagonal view of the result takes the input rows in order.
  const Strides vs = dg.rest_st;
  const Shape& vshape = dg.rest;
  const Row* in = rows_of(src);
  Row* out = rows_of(r);
  const int64_t m = shape_numel(vshape);
  StridedWalk<1> walk(vshape, {vs.data()}, {dg.start}, 0);
  for (int64_t i = 0; i < m; ++i, walk.step()) out[walk.offset(0)] = in[i];
  return make_result(r, std::move(shape), t.data.device());
}

LimbTensor diag(const LimbTensor& t, int64_t diag_offset) {
  check_limbs(t.data, t.shape, "diag");
  if (rank_of(t) == 1) return diag_embed(t, diag_offset, 0, 1);
  if (rank_of(t) == 2) return diagonal(t, diag_offset, 0, 1);
  throw std::runtime_error("diag(): Supports 1D or 2D tensors. Got " + str(rank_of(t)) + "D");
}

LimbTensor trace(const LimbTensor& t) {
  at::Tensor src = cpu_limbs(t, "trace");
  if (rank_of(t) != 2)
    throw std::runtime_error("trace: expected a matrix, but got tensor with dim " +
                             str(rank_of(t)));
  const int64_t n = std::min(t.shape[0], t.shape[1]);
  at::Tensor r = new_limbs_for(1, "trace");
  std::vector<double> scratch(static_cast<size_t>(kernels::scratch_rows(n) * limbs::kLimbs));
  rows_of(r)[0] =
      kernels::tree_sum_kernel(src.data_ptr<double>(), n, t.shape[1] + 1, scratch.data());
  return make_result(r, Shape{}, t.data.device());
}

LimbTensor outer(const LimbTensor& a, const LimbTensor& b) {
  at::Tensor da = cpu_limbs(a, "outer"), db = cpu_limbs(b, "outer");
  if (rank_of(a) != 1 || rank_of(b) != 1)
    throw std::runtime_error("outer: expected 1-D tensors, got shapes " + shape_str(a.shape) +
                             " and " + shape_str(b.shape));
  const int64_t m = b.shape[0];
  const Row* pa = rows_of(da);
  const Row* pb = rows_of(db);
  return generate(Shape{a.shape[0], m}, a.data.device(), "outer",
                  [&](int64_t i) { return limbs::mul(pa[i / m], pb[i % m]); });
}

LimbTensor kron(const LimbTensor& a, const LimbTensor& b) {
  at::Tensor da = cpu_limbs(a, "kron"), db = cpu_limbs(b, "kron");
  const size_t nd = std::max(a.shape.size(), b.shape.size());
  Shape sa(nd - a.shape.size(), 1), sb(nd - b.shape.size(), 1), shape(nd);
  sa.insert(sa.end(), a.shape.begin(), a.shape.end());
  sb.insert(sb.end(), b.shape.begin(), b.shape.end());
  for (size_t d = 0; d < nd; ++d) {
    if (sb[d] != 0 && sa[d] > std::numeric_limits<int64_t>::max() / sb[d])
      throw std::runtime_error("kron: result has too many elements");
    shape[d] = sa[d] * sb[d];
  }
  const Strides st_a = contiguous_strides(sa), st_b = contiguous_strides(sb);
  const Row* pa = rows_of(da);
  const Row* pb = rows_of(db);
  return generate(shape, a.data.device(), "kron", [&](int64_t i) {
    int64_t idx[kMaxDims];
    unravel(i, shape.data(), static_cast<int64_t>(nd), idx);
    int64_t ia = 0, ib = 0;
    for (size_t d = 0; d < nd; ++d) {
      ia += (idx[d] / sb[d]) * st_a[d];
      ib += (idx[d] % sb[d]) * st_b[d];
    }
    return limbs::mul(pa[ia], pb[ib]);
  });
}

LimbTensor narrow(const LimbTensor& t, int64_t dim, int64_t start, int64_t length) {
  at::Tensor src = cpu_limbs(t, "narrow");
  if (t.shape.empty()) throw std::runtime_error("narrow() cannot be applied to a 0-dim tensor.");
  const int64_t d = wrap_dim(dim, rank_of(t), "narrow");
  const int64_t size = t.shape[d];
  if (start < -size || start > size)
    throw IndexError("narrow(): start (" + str(start) + ") is out of range for dimension " +
                     str(d) + " of size " + str(size));
  if (start < 0) start += size;
  if (length < 0 || start > size - length)
    throw std::runtime_error("narrow(): start (" + str(start) + ") + length (" + str(length) +
                             ") exceeds dimension size (" + str(size) + ").");
  const Strides st = contiguous_strides(t.shape);
  Shape shape = t.shape;
  shape[d] = length;
  return view_copy(t, src, shape, st, length > 0 ? start * st[d] : 0, "narrow");
}

LimbTensor movedim(const LimbTensor& t, const std::vector<int64_t>& source,
                   const std::vector<int64_t>& destination) {
  check_limbs(t.data, t.shape, "movedim");
  const int64_t nd = rank_of(t);
  if (source.size() != destination.size())
    throw std::runtime_error("movedim: Invalid source or destination dims: source (" +
                             shape_str(source) +
                             " dims) should contain the same number of dims as destination (" +
                             shape_str(destination) + " dims)");
  const std::vector<int64_t> src = distinct_dims(source, nd, "movedim");
  const std::vector<int64_t> dst = distinct_dims(destination, nd, "movedim");
  if (nd == 0) return clone(t);
  std::vector<int64_t> perm(static_cast<size_t>(nd), -1);
  std::vector<bool> used(static_cast<size_t>(nd), false);
  for (size_t i = 0; i < src.size(); ++i) {
    perm[dst[i]] = src[i];
    used[src[i]] = true;
  }
  int64_t next = 0;
  for (int64_t d = 0; d < nd; ++d) {
    if (perm[d] >= 0) continue;
    while (used[next]) ++next;
    perm[d] = next++;
  }
  return permute(t, perm);
}

LimbTensor vander(const LimbTensor& x, int64_t n, bool increasing) {
  at::Tensor src = cpu_limbs(x, "vander");
  if (rank_of(x) != 1)
    throw std::runtime_error("vander: x must be a one-dimensional tensor, got shape " +
                             shape_str(x.shape));
  if (n < 0) throw std::runtime_error("vander: N must be non-negative, got " + str(n));
  const int64_t m = x.shape[0];
  const Shape shape{m, n};
  at::Tensor r = new_limbs_for(shape_numel(shape), "vander");
  const Row* in = rows_of(src);
  Row* out = rows_of(r);
  // Powers by repeated products from 1, as a cumulative product would form them.
  parallel_rows(m, 256, [&](int64_t b, int64_t e) {
    for (int64_t i = b; i < e; ++i) {
      Row p = limbs::from_double(1.0);
      for (int64_t j = 0; j < n; ++j) {
        if (j > 0) p = limbs::mul(p, in[i]);
        out[i * n + (increasing ? j : n - 1 - j)] = p;
      }
    }
  });
  return make_result(r, shape, x.data.device());
}

LimbTensor cdist(const LimbTensor& x1, const LimbTensor& x2, double p) {
  check_limbs(x1.data, x1.shape, "cdist");
  check_limbs(x2.data, x2.shape, "cdist");
  if (rank_of(x1) < 2 || rank_of(x2) < 2)
    throw std::runtime_error("cdist only supports at least 2D tensors, X1 got: " +
                             str(rank_of(x1)) + "D, X2 got: " + str(rank_of(x2)) + "D");
  if (x1.shape.back() != x2.shape.back())
    throw std::runtime_error("X1 and X2 must have the same number of columns. X1: " +
                             str(x1.shape.back()) + " X2: " + str(x2.shape.back()));
  if (!(p >= 0))
    throw std::runtime_error("cdist only supports non-negative p values, got " + std::to_string(p));
  const Shape ba(x1.shape.begin(), x1.shape.end() - 2), bb(x2.shape.begin(), x2.shape.end() - 2);
  const Shape batch = broadcast_shapes(ba, bb);
  const int64_t P = x1.shape[rank_of(x1) - 2], R = x2.shape[rank_of(x2) - 2], M = x1.shape.back();
  Shape ea = batch, eb = batch;
  ea.insert(ea.end(), {P, M});
  eb.insert(eb.end(), {R, M});
  Shape shape = batch;
  shape.insert(shape.end(), {P, R});
  shape_numel(shape);
  const LimbTensor a = ea == x1.shape ? x1 : expand(x1, ea);
  const LimbTensor b = eb == x2.shape ? x2 : expand(x2, eb);
  at::Tensor da = cpu_limbs(a, "cdist"), db = cpu_limbs(b, "cdist");
  const Row* pa = rows_of(da);
  const Row* pb = rows_of(db);
  const int64_t n = shape_numel(shape);
  at::Tensor r = new_limbs_for(n, "cdist");
  Row* out = rows_of(r);
  parallel_rows(
      n, std::max<int64_t>(1, 4096 / std::max<int64_t>(M, 1)), [&](int64_t begin, int64_t end) {
        std::vector<Row> d(static_cast<size_t>(M));
        std::vector<double> scratch(static_cast<size_t>(kernels::scratch_rows(M) * limbs::kLimbs));
        for (int64_t i = begin; i < end; ++i) {
          const int64_t t = i / (P * R), row = (i / R) % P, col = i % R;
          const Row* u = pa + (t * P + row) * M;
          const Row* v = pb + (t * R + col) * M;
          for (int64_t k = 0; k < M; ++k) d[k] = limbs::sub(u[k], v[k]);
          const double* first = reinterpret_cast<const double*>(d.data());
          if (p == 2.0)
            out[i] = kernels::norm2_kernel(first, M, 1, scratch.data());
          else if (p == 1.0)
            out[i] = kernels::norm1_kernel(first, M, 1, scratch.data());
          else if (p == 0.0)
            out[i] = limbs::from_double(
                static_cast<double>(kernels::count_nonzero_kernel(d.data(), M, 1)));
          else if (std::isinf(p))
            out[i] =
                M == 0 ? limbs::zero_row() : kernels::abs_extremum_kernel(d.data(), M, 1, true);
          else
            out[i] = kernels::norm_float_p_kernel(first, M, 1, p, scratch.data());
        }
      });
  return make_result(r, std::move(shape), x1.data.device());
}

LimbTensor flip_side(const LimbTensor& t, bool columns) {
  const char* op = columns ? "fliplr" : "flipud";
  check_limbs(t.data, t.shape, op);
  if (t.shape.size() < (columns ? 2u : 1u))
    throw std::runtime_error(std::string(op) + ": input must be >= " + (columns ? "2" : "1") +
                             "-d, got " + str(rank_of(t)) + "-d");
  return flip(t, {columns ? 1 : 0});
}

LimbTensor matrix_t(const LimbTensor& t) {
  check_limbs(t.data, t.shape, "t");
  if (t.shape.size() > 2)
    throw std::runtime_error("t() expects a tensor with <= 2 dimensions, but self is " +
                             str(rank_of(t)) + "D");
  return transpose(t, 0, -1);
}

LimbTensor matrix_mT(const LimbTensor& t) {
  check_limbs(t.data, t.shape, "mT");
  if (t.shape.empty()) return clone(t);  // PyTorch: the identity on a 0-d tensor
  if (t.shape.size() < 2)
    throw std::runtime_error(
        "tensor.mT is only supported on matrices or batches of matrices. Got " + str(rank_of(t)) +
        "-D tensor.");
  return transpose(t, -2, -1);
}

LimbTensor unflatten(const LimbTensor& t, int64_t dim, const std::vector<int64_t>& sizes) {
  check_limbs(t.data, t.shape, "unflatten");
  const int64_t d = wrap_dim(dim, rank_of(t), "unflatten");
  if (t.shape.empty()) throw std::runtime_error("unflatten: cannot unflatten a 0-d tensor");
  if (sizes.empty()) throw std::runtime_error("unflatten: sizes must be non-empty");
  const Shape piece = infer_shape(Shape{t.shape[d]}, sizes, "unflatten");
  std::vector<int64_t> target(t.shape.begin(), t.shape.begin() + d);
  target.insert(target.end(), piece.begin(), piece.end());
  target.insert(target.end(), t.shape.begin() + d + 1, t.shape.end());
  return reshape(t, target);
}

std::vector<LimbTensor> unbind(const LimbTensor& t, int64_t dim) {
  check_limbs(t.data, t.shape, "unbind");
  if (t.shape.empty()) throw IndexError("unbind: a 0-d tensor has no dimension to unbind");
  const int64_t d = wrap_dim(dim, rank_of(t), "unbind");
  check_alloc(t.shape[d], "unbind");
  std::vector<LimbTensor> r;
  for (int64_t i = 0; i < t.shape[d]; ++i) r.push_back(squeeze_dim(narrow(t, d, i, 1), d));
  return r;
}

LimbTensor at_least(const LimbTensor& t, size_t rank) {
  check_limbs(t.data, t.shape, "atleast");
  Shape s = t.shape;
  if (s.size() >= rank) return t;
  if (s.empty())
    s = Shape(rank, 1);
  else if (s.size() == 1)
    s = rank == 2 ? Shape{1, s[0]} : Shape{1, s[0], 1};
  else
    s.push_back(1);
  return LimbTensor{t.data, s};
}

LimbTensor stack_sides(std::vector<LimbTensor> ts, Stacking how, const char* op) {
  if (ts.empty()) throw std::runtime_error(std::string(op) + " expects a non-empty TensorList");
  for (LimbTensor& t : ts) {
    check_limbs(t.data, t.shape, op);
    if (how == Stacking::Rows)
      t = at_least(t, 2);
    else if (how == Stacking::AsColumns && t.shape.size() <= 1)
      t = LimbTensor{t.data, Shape{t.shape.empty() ? 1 : t.shape[0], 1}};
    else if (how == Stacking::Columns)
      t = at_least(t, 1);
  }
  const int64_t dim = how == Stacking::Rows        ? 0
                      : how == Stacking::AsColumns ? 1
                                                   : (ts[0].shape.size() == 1 ? 0 : 1);
  return cat(ts, dim);
}

std::vector<LimbTensor> meshgrid(const std::vector<LimbTensor>& ts, bool xy) {
  Shape shape;
  for (const LimbTensor& t : ts) {
    check_limbs(t.data, t.shape, "meshgrid");
    if (t.shape.size() > 1)
      throw std::runtime_error("meshgrid: Expected 0D or 1D tensor in the tensor list");
    shape.push_back(t.shape.empty() ? 1 : t.shape[0]);
  }
  xy = xy && ts.size() >= 2;
  if (xy) std::swap(shape[0], shape[1]);
  std::vector<LimbTensor> r;
  for (size_t i = 0; i < ts.size(); ++i) {
    const size_t axis = xy && i < 2 ? 1 - i : i;
    Shape view(shape.size(), 1);
    view[axis] = shape[axis];
    r.push_back(expand(LimbTensor{ts[i].data, view}, shape));
  }
  return r;
}

std::vector<LimbTensor> broadcast_tensors(const std::vector<LimbTensor>& ts) {
  Shape shape;
  for (const LimbTensor& t : ts) {
    check_limbs(t.data, t.shape, "broadcast_tensors");
    try {
      shape = broadcast_shapes(shape, t.shape);
    } catch (const ValueError& e) {  // PyTorch reports it as RuntimeError
      throw std::runtime_error(std::string("broadcast_tensors: ") + e.what());
    }
  }
  std::vector<LimbTensor> r;
  for (const LimbTensor& t : ts) r.push_back(expand(t, shape));
  return r;
}

LimbTensor tensordot_n(const LimbTensor& a, const LimbTensor& b, int64_t n) {
  const int64_t ra = rank_of(a), rb = rank_of(b);
  if (n < 0 || n > ra || n > rb)
    throw std::runtime_error(
        "tensordot expects dims >= 0 and <= the rank of both operands, but got dims=" + str(n));
  std::vector<int64_t> da, db;
  for (int64_t i = 0; i < n; ++i) {
    da.push_back(ra - n + i);
    db.push_back(i);
  }
  return tensordot(a, b, da, db);
}

}  // namespace zel
