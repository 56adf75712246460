// The C++ side of a Tensor: an (N, 8) float64 limb array and a logical shape,
// and the loops over limb rows. Validation lives in tensor/checks.h.
#pragma once

#include <ATen/core/Tensor.h>

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "limbs/core/row.h"
#include "tensor/core/checks.h"
#include "tensor/core/parallel.h"

namespace zel {

// The autograd state of a Tensor (python/zel/autograd.h defines it).
struct GradMeta;

// A Tensor's link to its autograd state. A copy of a LimbTensor is a new
// tensor with no history, so copying leaves the link empty; moving (a
// result handed to its Python object) carries it along.
class GradSlot {
 public:
  GradSlot() = default;
  GradSlot(const GradSlot&) noexcept {}
  GradSlot& operator=(const GradSlot&) noexcept { return *this; }
  GradSlot(GradSlot&&) noexcept = default;
  GradSlot& operator=(GradSlot&&) noexcept = default;

  std::shared_ptr<GradMeta> meta;
};

struct LimbTensor {
  at::Tensor data;  // (N, 8) float64; may be replaced from Python, so never trusted
  Shape shape;      // logical shape, () for 0-d
  GradSlot grad;    // empty unless the tensor requires grad or has a history
  // complex128: each element is two rows, real then imaginary (2N rows for
  // N elements). cpu_limbs refuses such a tensor; complex_limbs reads it.
  bool complex = false;
  // A one-element tensor made by the operator slots holds its row here, with
  // no limb array; `materialize` gives it one when a binding first loads it
  // (pybind11's caster for LimbTensor does, so `data` is defined wherever a
  // binding reads it).
  bool inline_row = false;
  limbs::Row row{};

  // Storage always holds a valid empty tensor (no limb array), even before a
  // constructor runs: pybind11 hands the raw storage of a Python object whose
  // __init__ was never called (Tensor.__new__(Tensor)) to methods. An empty
  // LimbTensor owns nothing, so constructing over it, or freeing it without
  // its destructor, loses nothing.
  // Blocks are recycled by each thread (a 0-d result makes and frees one).
  static void* operator new(std::size_t size) { return ::new (take_block(size)) LimbTensor(); }
  static void operator delete(void* p, std::size_t size) { give_block(p, size); }

 private:
  static void* take_block(std::size_t size);
  static void give_block(void* p, std::size_t size);
};

// Moves an inline row into a limb array of its own (nothing otherwise).
void materialize_row(LimbTensor& t);
inline void materialize(LimbTensor& t) {
  if (t.inline_row) materialize_row(t);
}

// The device of t's limb array, refusing a Tensor that was never constructed.
at::Device device_of(const LimbTensor& t, const char* op);

// The limb array of t, validated, as a contiguous CPU array (a copy only when
// t lives elsewhere or is strided). Kernels read through this.
at::Tensor cpu_limbs(const LimbTensor& t, const char* op);
// The rows of a complex tensor (validated against 2 rows an element), CPU
// and contiguous.
at::Tensor complex_limbs(const LimbTensor& t, const char* op);
// A complex tensor as the real tensor of shape (*shape, 2) on the same rows,
// and back (the last dimension must be 2).
LimbTensor real_view(const LimbTensor& t);
LimbTensor complex_view(const LimbTensor& t, const char* op);
// check_limbs for a tensor that may be complex (two rows an element).
inline void check_tensor_limbs(const LimbTensor& t, const char* op) {
  check_limbs(t.data, t.complex ? real_view(t).shape : t.shape, op);
}

// A new (n, 8) zero limb array on the CPU; check_alloc first.
at::Tensor new_limbs(int64_t n, const char* op = "Tensor");
// The same, uninitialised: for results whose every row a kernel writes.
at::Tensor new_limbs_for(int64_t n, const char* op = "Tensor");

// Rows above which a call is worth releasing the GIL for.
constexpr int64_t kReleaseRows = 2048;

// Wraps a CPU result array, moving it to `device` when that is not the CPU.
LimbTensor make_result(at::Tensor cpu_data, Shape shape, const at::Device& device);

inline limbs::Row* rows_of(at::Tensor& a) {
  return reinterpret_cast<limbs::Row*>(a.data_ptr<double>());
}
inline const limbs::Row* rows_of(const at::Tensor& a) {
  return reinterpret_cast<const limbs::Row*>(a.data_ptr<double>());
}

// Right-aligned broadcasting of two shapes; ValueError
// "Cannot broadcast (2, 3) with (3, 2)" when a pair of sizes is incompatible.
Shape broadcast_shapes(const Shape& a, const Shape& b);

// Row index of `shape` for every row of `out` (which `shape` broadcasts to).
// Returns strides (in rows) aligned to `out`, zero on broadcast axes.
std::vector<int64_t> broadcast_strides(const Shape& shape, const Shape& out);

// Calls f(begin, end) over [0, n) in parallel chunks when n is large enough.
template <class F>
void parallel_rows(int64_t n, int64_t grain, const F& f) {
  if (n <= 0) return;
  if (n <= grain) {
    f(int64_t(0), n);
    return;
  }
  run_chunks(n, grain, ChunkFn{&f, [](const void* self, int64_t begin, int64_t end) {
                                 (*static_cast<const F*>(self))(begin, end);
                               }});
}

// Runs f(out_row, a_row, b_row) for every element of the broadcast of a and b.
template <class F>
void for_each_broadcast(const Shape& out, const Shape& sa, const Shape& sb, int64_t grain,
                        const F& f) {
  const int64_t n = shape_numel(out);
  if (sa == out && sb == out) {
    parallel_rows(n, grain, [&](int64_t begin, int64_t end) {
      for (int64_t i = begin; i < end; ++i) f(i, i, i);
    });
    return;
  }
  const std::vector<int64_t> st_a = broadcast_strides(sa, out);
  const std::vector<int64_t> st_b = broadcast_strides(sb, out);
  const int64_t nd = static_cast<int64_t>(out.size());
  parallel_rows(n, grain, [&](int64_t begin, int64_t end) {
    std::vector<int64_t> idx(nd, 0);
    int64_t rem = begin, ia = 0, ib = 0;
    for (int64_t d = nd - 1; d >= 0; --d) {
      idx[d] = out[d] ? rem % out[d] : 0;
      rem = out[d] ? rem / out[d] : 0;
      ia += idx[d] * st_a[d];
      ib += idx[d] * st_b[d];
    }
    for (int64_t i = begin; i < end; ++i) {
      f(i, ia, ib);
      for (int64_t d = nd - 1; d >= 0; --d) {
        ia += st_a[d];
        ib += st_b[d];
        if (++idx[d] < out[d]) break;
        ia -= st_a[d] * out[d];
        ib -= st_b[d] * out[d];
        idx[d] = 0;
      }
    }
  });
}

// Element-wise binary operation with full broadcasting; f(Row, Row) -> Row.
template <class F>
LimbTensor binary_rows(const LimbTensor& a, const LimbTensor& b, const char* op, const F& f,
                       int64_t grain = 4096) {
  Shape out = broadcast_shapes(a.shape, b.shape);
  at::Tensor da = cpu_limbs(a, op);
  at::Tensor db = cpu_limbs(b, op);
  at::Tensor r = new_limbs_for(shape_numel(out));
  const limbs::Row* pa = rows_of(da);
  const limbs::Row* pb = rows_of(db);
  limbs::Row* pr = rows_of(r);
  for_each_broadcast(out, a.shape, b.shape, grain,
                     [&](int64_t i, int64_t ia, int64_t ib) { pr[i] = f(pa[ia], pb[ib]); });
  return make_result(r, std::move(out), a.data.device());
}

// A run kernel over the rows of a: kernel(in, out, n) once per parallel chunk.
template <class K>
LimbTensor map_runs(const LimbTensor& a, const char* op, int64_t grain, const K& kernel) {
  at::Tensor da = cpu_limbs(a, op);
  const int64_t n = da.size(0);
  at::Tensor r = new_limbs_for(n);
  const limbs::Row* pa = rows_of(da);
  limbs::Row* pr = rows_of(r);
  parallel_rows(n, grain,
                [&](int64_t begin, int64_t end) { kernel(pa + begin, pr + begin, end - begin); });
  return make_result(r, a.shape, a.data.device());
}

// Element-wise unary operation; f(Row) -> Row.
template <class F>
LimbTensor map_rows(const LimbTensor& a, const char* op, const F& f, int64_t grain = 4096) {
  at::Tensor da = cpu_limbs(a, op);
  const int64_t n = da.size(0);
  at::Tensor r = new_limbs_for(n);
  const limbs::Row* pa = rows_of(da);
  limbs::Row* pr = rows_of(r);
  parallel_rows(n, grain, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) pr[i] = f(pa[i]);
  });
  return make_result(r, a.shape, a.data.device());
}

}  // namespace zel
