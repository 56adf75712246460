#include "tensor/contract/matmul.h"

#include <ATen/Parallel.h>

#include "kernels/matrix.h"
#include "kernels/reduce.h"
#include "tensor/core/index_walk.h"
#include "tensor/pointwise/arith.h"
#include "tensor/reduce/axis.h"
#include "tensor/shape/shape.h"

namespace zel {

namespace {

std::string pair_str(const char* head, const Shape& a, const Shape& b, const char* sep,
                     const char* tail) {
  return std::string(head) + shape_str(a) + sep + shape_str(b) + tail;
}

// Element offset of every batch of an operand whose batch axes `batch`
// broadcast to `out_batch`.
std::vector<int64_t> batch_offsets(const Shape& batch, int64_t matrix_elems,
                                   const Shape& out_batch) {
  const int64_t count = shape_numel(out_batch);
  std::vector<int64_t> offsets(static_cast<size_t>(count));
  Shape padded(out_batch.size() - batch.size(), 1);
  padded.insert(padded.end(), batch.begin(), batch.end());
  std::vector<int64_t> st = contiguous_strides(padded);
  for (size_t d = 0; d < st.size(); ++d)
    if (padded[d] == 1) st[d] = 0;  // a broadcast axis
  StridedWalk<1> walk(out_batch, {st.data()}, {0}, 0);
  for (int64_t t = 0; t < count; ++t, walk.step()) offsets[t] = walk.offset(0) * matrix_elems;
  return offsets;
}

Shape batch_broadcast(const Shape& a, const Shape& b, const Shape& a_full, const Shape& b_full) {
  try {
    return broadcast_shapes(a, b);
  } catch (const ValueError&) {
    if (a.size() == 1 && b.size() == 1)
      throw ValueError("Batch sizes " + std::to_string(a[0]) + " and " + std::to_string(b[0]) +
                       " don't match");
    throw ValueError(pair_str("Batch shapes of ", a_full, b_full, " and ", " don't match"));
  }
}

// c[t] = a[t] @ b[t] by sequential accumulation for every batch t.
void batched_mm(const double* a, const std::vector<int64_t>& a_off, const double* b,
                const std::vector<int64_t>& b_off, double* c, int64_t m, int64_t k, int64_t n) {
  const int64_t batches = static_cast<int64_t>(a_off.size());
  if (m == 0 || n == 0) return;
  auto one_batch_rows = [&](int64_t t, int64_t i0, int64_t i1, const double* pb) {
    std::vector<double> pa(static_cast<size_t>(kernels::packed_a_doubles(m, k)));
    kernels::pack_a_kernel(a + a_off[t] * limbs::kLimbs, m, k, pa.data(), i0, i1);
    kernels::matmul_rows_kernel(pa.data(), pb, k, n, i0, i1, c + t * m * n * limbs::kLimbs);
  };
  auto pack_batch_b = [&](int64_t t, std::vector<double>& pb) {
    pb.assign(static_cast<size_t>(kernels::packed_b_doubles(k, n)), 0.0);
    kernels::pack_b_kernel(b + b_off[t] * limbs::kLimbs, k, n, pb.data());
  };
  const int64_t work = m * n * std::max<int64_t>(k, 1);
  if (batches >= 2 * at::get_num_threads() || work < 4096) {
    parallel_rows(batches, std::max<int64_t>(1, 65536 / std::max<int64_t>(work, 1)),
                  [&](int64_t b0, int64_t b1) {
                    std::vector<double> pb;
                    for (int64_t t = b0; t < b1; ++t) {
                      pack_batch_b(t, pb);
                      one_batch_rows(t, 0, m, pb.data());
                    }
                  });
    return;
  }
  std::vector<double> pb;
  for (int64_t t = 0; t < batches; ++t) {
    pack_batch_b(t, pb);
    const int64_t grain =
        std::max<int64_t>(1, 16384 / std::max<int64_t>(n * std::max<int64_t>(k, 1), 1));
    parallel_rows(m, grain, [&](int64_t i0, int64_t i1) { one_batch_rows(t, i0, i1, pb.data()); });
  }
}

}  // namespace

LimbTensor dot(const LimbTensor& a, const LimbTensor& b) {
  if (a.shape != b.shape) return reduce_all(mul(a, b), ReduceOp::Sum);
  const at::Tensor da = cpu_limbs(a, "dot"), db = cpu_limbs(b, "dot");
  const limbs::Row root = dot_tree(da.data_ptr<double>(), db.data_ptr<double>(), da.size(0));
  at::Tensor r = new_limbs_for(1);
  limbs::store(root, r.data_ptr<double>());
  return make_result(r, Shape{}, a.data.device());
}

LimbTensor matmul(const LimbTensor& a, const LimbTensor& b) {
  check_limbs(a.data, a.shape, "matmul");
  check_limbs(b.data, b.shape, "matmul");
  const size_t ra = a.shape.size(), rb = b.shape.size();
  if (ra == 0 || rb == 0)
    throw NotImplementedError(
        pair_str("matmul not implemented for shapes ", a.shape, b.shape, " @ ", ""));
  if (ra == 1 && rb == 1) return dot(a, b);

  at::Tensor da = cpu_limbs(a, "matmul"), db = cpu_limbs(b, "matmul");
  const double* pa = da.data_ptr<double>();
  const double* pb = db.data_ptr<double>();

  if (rb == 1) {
    // (batch..., m, k) @ (k,): every output element is a tree-summed row product.
    const int64_t m = a.shape[ra - 2], k = a.shape[ra - 1], kb = b.shape[0];
    if (kb != k && kb != 1 && k != 1)
      throw ValueError("Cannot broadcast " + shape_str(Shape{k}) + " with " + shape_str(b.shape));
    // A length of 1 broadcasts to the other one, 0 included.
    const int64_t len = k == 1 ? kb : k;
    const int64_t a_step = k == 1 ? 0 : 1, b_step = kb == 1 ? 0 : 1;
    Shape out(a.shape.begin(), a.shape.end() - 1);
    const int64_t rows = shape_numel(out);
    at::Tensor r = new_limbs_for(rows, "matmul");
    double* pr = r.data_ptr<double>();
    (void)m;
    parallel_rows(rows, std::max<int64_t>(1, 16384 / std::max<int64_t>(len, 1)),
                  [&](int64_t i0, int64_t i1) {
                    std::vector<double> scratch(
                        static_cast<size_t>(kernels::scratch_rows(len) * limbs::kLimbs));
                    for (int64_t i = i0; i < i1; ++i)
                      limbs::store(kernels::dot_kernel(pa + i * k * limbs::kLimbs, a_step, pb,
                                                       b_step, len, scratch.data()),
                                   pr + i * limbs::kLimbs);
                  });
    return make_result(r, std::move(out), a.data.device());
  }

  // Matrix·matrix, with a vector on the left taken as one row.
  const bool a_vec = ra == 1;
  const Shape a_mat = a_vec ? Shape{1, a.shape[0]} : Shape(a.shape.end() - 2, a.shape.end());
  const Shape b_mat(b.shape.end() - 2, b.shape.end());
  const Shape a_batch = a_vec ? Shape{} : Shape(a.shape.begin(), a.shape.end() - 2);
  const Shape b_batch(b.shape.begin(), b.shape.end() - 2);
  const Shape out_batch = batch_broadcast(a_batch, b_batch, a_vec ? a_mat : a.shape, b.shape);
  const int64_t m = a_mat[0], k = a_mat[1], k2 = b_mat[0], n = b_mat[1];
  if (k != k2) {
    // A left operand without batch axes multiplies each matrix of b in turn,
    // so the message shows the two matrices; otherwise the full shapes.
    const bool per_matrix = a_batch.empty();
    throw ValueError(pair_str("Matrix shapes ", per_matrix ? a_mat : a.shape,
                              per_matrix ? b_mat : b.shape, " and ", " incompatible"));
  }
  Shape out = out_batch;
  if (!a_vec) out.push_back(m);
  out.push_back(n);
  // Checked before any offset table is built: an empty operand may still
  // carry sizes whose products overflow or whose batch count is absurd.
  const int64_t total = shape_numel(out);
  at::Tensor r = new_limbs_for(total, "matmul");
  if (total == 0) return make_result(r, std::move(out), a.data.device());
  const std::vector<int64_t> a_off = batch_offsets(a_batch, m * k, out_batch);
  const std::vector<int64_t> b_off = batch_offsets(b_batch, k * n, out_batch);
  batched_mm(pa, a_off, pb, b_off, r.data_ptr<double>(), m, k, n);
  return make_result(r, std::move(out), a.data.device());
}

LimbTensor mv(const LimbTensor& mat, const LimbTensor& vec) {
  check_limbs(vec.data, vec.shape, "mv");
  LimbTensor column{vec.data, vec.shape};
  column.shape.push_back(1);
  LimbTensor r = matmul(mat, column);
  if (!r.shape.empty() && r.shape.back() == 1) r.shape.pop_back();
  return r;
}

}  // namespace zel
