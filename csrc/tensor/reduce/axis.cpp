#include "tensor/reduce/axis.h"

#include <ATen/ops/empty.h>
#include <algorithm>
#include <cmath>
#include <memory>
#include <sstream>
#include <vector>

#include "kernels/pointwise.h"
#include "kernels/reduce.h"

namespace zel {

namespace {

const char* op_name(ReduceOp op) {
  switch (op) {
    case ReduceOp::Sum:
      return "sum";
    case ReduceOp::Prod:
      return "prod";
    case ReduceOp::Max:
      return "max";
    default:
      return "min";
  }
}

[[noreturn]] void empty_extremum(const char* op) {
  throw ValueError(std::string(op) + "(): cannot reduce a tensor with no elements");
}

// Runs f(slice, out_row, scratch) over every slice, in parallel.
template <class F>
void for_each_slice(const Slices& sl, const F& f) {
  const int64_t scratch_rows = kernels::scratch_rows(sl.len);
  const int64_t grain = std::max<int64_t>(1, 32768 / std::max<int64_t>(sl.len, 1));
  parallel_rows(sl.count(), grain, [&](int64_t b, int64_t e) {
    std::vector<double> scratch(static_cast<size_t>(scratch_rows * limbs::kLimbs));
    for (int64_t s = b; s < e; ++s) f(s, scratch.data());
  });
}

limbs::Row reduce_slice(const double* first, int64_t n, int64_t stride, ReduceOp op,
                        double* scratch) {
  switch (op) {
    case ReduceOp::Sum:
      return kernels::tree_sum_kernel(first, n, stride, scratch);
    case ReduceOp::Prod:
      return kernels::tree_prod_kernel(first, n, stride, scratch);
    case ReduceOp::Max:
      return limbs::load(first + kernels::argmax_kernel(first, n, stride) * stride * limbs::kLimbs);
    default:
      return limbs::load(first + kernels::argmin_kernel(first, n, stride) * stride * limbs::kLimbs);
  }
}

// Scratch for a tree over n leaves. A thread keeps its largest one up to
// 64 MB between calls: fresh pages for a large sum cost about as much as
// the sum.
double* tree_scratch(int64_t n, std::vector<double>& own) {
  constexpr int64_t kKeptDoubles = int64_t{1} << 23;
  thread_local std::unique_ptr<double[]> kept;
  thread_local int64_t kept_doubles = 0;
  const int64_t need = std::max<int64_t>(kernels::scratch_rows(n) * limbs::kLimbs, 1);
  if (need > kKeptDoubles) {
    own.resize(static_cast<size_t>(need));
    return own.data();
  }
  if (need > kept_doubles) {
    kept.reset(new double[static_cast<size_t>(need)]);
    kept_doubles = need;
  }
  return kept.get();
}

// The tree over n leaves, with the pairs of each large level split over
// threads: every pair is computed as in the serial tree, so the root has the
// same bits. leaf_level(buf, i0, i1) pairs leaves [i0, i1) of the first level
// into buf; leaf_carry(buf) moves its odd last leaf; second_quarter(buf, i0,
// i1) pairs leaves [i0, i1) of [n/4, n/2) straight into the second level.
template <class LeafLevel, class LeafCarry, class SecondQuarter>
limbs::Row threaded_tree(int64_t n, kernels::TreeOp op, const LeafLevel& leaf_level,
                         const LeafCarry& leaf_carry, const SecondQuarter& second_quarter) {
  constexpr int64_t kPairGrain = 16384;
  std::vector<double> own;
  double* b = tree_scratch(n, own);
  int64_t m;
  if (kernels::two_levels_at_once(n)) {
    const int64_t q = n / 4;
    parallel_rows(q, kPairGrain, [&](int64_t i0, int64_t i1) { leaf_level(b, i0, i1); });
    parallel_rows(q, kPairGrain,
                  [&](int64_t i0, int64_t i1) { second_quarter(b, q + i0, q + i1); });
    m = q;
  } else {
    parallel_rows(n / 2, kPairGrain, [&](int64_t i0, int64_t i1) { leaf_level(b, i0, i1); });
    leaf_carry(b);
    m = kernels::tree_level_size(n);
  }
  while (m / 2 > kPairGrain) {
    parallel_rows(m / 2, kPairGrain,
                  [&](int64_t i0, int64_t i1) { kernels::tree_level_kernel(op, b, m, i0, i1); });
    kernels::tree_level_carry_kernel(b, m);
    m = kernels::tree_level_size(m);
  }
  return kernels::tree_finish_kernel(op, b, m);
}

limbs::Row long_slice_tree(const double* first, int64_t n, int64_t stride, kernels::TreeOp op,
                           const limbs::Row& empty) {
  if (n <= 1) return n == 1 ? limbs::load(first) : empty;
  return threaded_tree(
      n, op,
      [&](double* b, int64_t i0, int64_t i1) {
        kernels::tree_leaf_level_kernel(op, n, first, stride, b, i0, i1);
      },
      [&](double* b) { kernels::tree_leaf_carry_kernel(n, first, stride, b); },
      [&](double* b, int64_t i0, int64_t i1) {
        kernels::tree_second_quarter_kernel(op, n, first, stride, b, i0, i1);
      });
}

// The slices along dim (all rows as one slice when dim is empty) and the
// shape of the result.
std::pair<Slices, Shape> layout(const LimbTensor& t, int64_t rows, std::optional<int64_t> dim,
                                bool keepdim) {
  if (!dim) {
    Slices sl;
    sl.len = rows;
    return {sl, Shape{}};
  }
  const int64_t nd = normalize_dim(*dim, static_cast<int64_t>(t.shape.size()));
  return {slices_of(t.shape, nd), t.shape.empty() ? Shape{} : reduced_shape(t.shape, nd, keepdim)};
}

// Applies f(first_row_ptr, n, stride, scratch) -> Row to every slice along
// dim (all elements when dim is empty) and shapes the result.
template <class F>
LimbTensor per_slice(const LimbTensor& t, std::optional<int64_t> dim, bool keepdim, const char* op,
                     const F& f) {
  at::Tensor d = cpu_limbs(t, op);
  std::pair<Slices, Shape> lay = layout(t, d.size(0), dim, keepdim);
  const Slices sl = lay.first;
  Shape& out_shape = lay.second;
  at::Tensor r = new_limbs_for(sl.count());
  const double* src = d.data_ptr<double>();
  limbs::Row* out = rows_of(r);
  for_each_slice(sl, [&](int64_t s, double* scratch) {
    out[s] = f(src + sl.base(s) * limbs::kLimbs, sl.len, sl.inner, scratch);
  });
  return make_result(r, std::move(out_shape), t.data.device());
}

}  // namespace

Slices slices_of(const Shape& shape, int64_t dim) {
  Slices sl;
  if (shape.empty()) return sl;  // a 0-d tensor is one slice of one element
  // An empty tensor may have sizes whose products overflow: a result beyond
  // int64 raises here, and a result with no element has no slice.
  if (shape_numel(reduced_shape(shape, dim, false)) == 0) {
    sl.outer = 0;
    sl.len = shape[dim];
    return sl;
  }
  for (int64_t i = 0; i < dim; ++i) sl.outer *= shape[i];
  sl.len = shape[dim];
  for (size_t i = dim + 1; i < shape.size(); ++i) sl.inner *= shape[i];
  return sl;
}

Shape reduced_shape(const Shape& shape, int64_t dim, bool keepdim) {
  Shape out;
  for (int64_t i = 0; i < static_cast<int64_t>(shape.size()); ++i) {
    if (i != dim)
      out.push_back(shape[i]);
    else if (keepdim)
      out.push_back(1);
  }
  return out;
}

LimbTensor reduce_all(const LimbTensor& t, ReduceOp op) {
  check_limbs(t.data, t.shape, op_name(op));
  if (t.data.size(0) == 0 && (op == ReduceOp::Max || op == ReduceOp::Min))
    empty_extremum(op_name(op));
  if (op == ReduceOp::Sum || op == ReduceOp::Prod) {
    const at::Tensor d = cpu_limbs(t, op_name(op));
    const limbs::Row root = op == ReduceOp::Sum
                                ? long_slice_tree(d.data_ptr<double>(), d.size(0), 1,
                                                  kernels::TreeOp::Sum, limbs::zero_row())
                                : long_slice_tree(d.data_ptr<double>(), d.size(0), 1,
                                                  kernels::TreeOp::Prod, limbs::from_double(1.0));
    at::Tensor r = new_limbs_for(1);
    limbs::store(root, r.data_ptr<double>());
    return make_result(r, Shape{}, t.data.device());
  }
  return per_slice(t, std::nullopt, false, op_name(op),
                   [op](const double* first, int64_t n, int64_t stride, double* scratch) {
                     return reduce_slice(first, n, stride, op, scratch);
                   });
}

limbs::Row dot_tree(const double* a, const double* b, int64_t n) {
  if (n <= 1) return n == 1 ? kernels::mul_row(limbs::load(a), limbs::load(b)) : limbs::zero_row();
  return threaded_tree(
      n, kernels::TreeOp::Sum,
      [&](double* buf, int64_t i0, int64_t i1) {
        kernels::dot_leaf_level_kernel(n, a, b, buf, i0, i1);
      },
      [&](double* buf) { kernels::dot_leaf_carry_kernel(n, a, b, buf); },
      [&](double* buf, int64_t i0, int64_t i1) {
        kernels::dot_second_quarter_kernel(n, a, b, buf, i0, i1);
      });
}

LimbTensor reduce_dim(const LimbTensor& t, int64_t dim, bool keepdim, ReduceOp op) {
  check_limbs(t.data, t.shape, op_name(op));
  const int64_t nd = normalize_dim(dim, static_cast<int64_t>(t.shape.size()));
  const Slices sl = slices_of(t.shape, nd);
  if (sl.len == 0 && sl.count() > 0 && (op == ReduceOp::Max || op == ReduceOp::Min))
    empty_extremum(op_name(op));
  return per_slice(t, nd, keepdim, op_name(op),
                   [op](const double* first, int64_t n, int64_t stride, double* scratch) {
                     return reduce_slice(first, n, stride, op, scratch);
                   });
}

at::Tensor arg_extremum(const LimbTensor& t, std::optional<int64_t> dim, bool is_max) {
  const char* op = is_max ? "argmax" : "argmin";
  at::Tensor d = cpu_limbs(t, op);
  const std::pair<Slices, Shape> lay = layout(t, d.size(0), dim, false);
  const Slices sl = lay.first;
  const Shape& out_shape = lay.second;
  if (sl.len == 0 && sl.count() > 0) empty_extremum(op);
  at::Tensor r = at::empty(out_shape, at::TensorOptions().dtype(at::kLong));
  int64_t* out = r.data_ptr<int64_t>();
  const double* src = d.data_ptr<double>();
  parallel_rows(sl.count(), 4096, [&](int64_t b, int64_t e) {
    for (int64_t s = b; s < e; ++s) {
      const double* first = src + sl.base(s) * limbs::kLimbs;
      out[s] = is_max ? kernels::argmax_kernel(first, sl.len, sl.inner)
                      : kernels::argmin_kernel(first, sl.len, sl.inner);
    }
  });
  return t.data.device().is_cpu() ? r : r.to(t.data.device());
}

LimbTensor mean(const LimbTensor& t, std::optional<int64_t> dim, bool keepdim) {
  check_limbs(t.data, t.shape, "mean");
  int64_t n = t.data.size(0);
  if (dim) {
    const int64_t nd = normalize_dim(*dim, static_cast<int64_t>(t.shape.size()));
    n = t.shape.empty() ? 1 : t.shape[nd];
  }
  const limbs::Row inv_n = kernels::reciprocal_of(static_cast<double>(n));
  LimbTensor r =
      per_slice(t, dim, keepdim, "mean",
                [&inv_n](const double* first, int64_t len, int64_t stride, double* scratch) {
                  return kernels::mean_kernel(first, len, stride, inv_n, scratch);
                });
  // One element keeps its shape under keepdim, as the whole-tensor sum does.
  if (!dim && keepdim && t.data.size(0) == 1) r.shape = t.shape;
  return r;
}

LimbTensor variance(const LimbTensor& t, std::optional<int64_t> dim, bool keepdim, bool unbiased,
                    bool take_sqrt) {
  const char* op = take_sqrt ? "std" : "var";
  check_limbs(t.data, t.shape, op);
  const int64_t total = t.data.size(0);
  int64_t n = total;
  if (dim) {
    const int64_t nd = normalize_dim(*dim, static_cast<int64_t>(t.shape.size()));
    n = t.shape.empty() ? 1 : t.shape[nd];
  }
  const bool correct = unbiased && total > 1;
  if (correct && n == 1) throw ZeroDivisionError("division by zero");
  const limbs::Row inv_n = kernels::reciprocal_of(static_cast<double>(n));
  LimbTensor r = per_slice(
      t, dim, keepdim, op, [&](const double* first, int64_t len, int64_t stride, double* scratch) {
        return take_sqrt ? kernels::std_kernel(first, len, stride, inv_n, correct, scratch)
                         : kernels::var_kernel(first, len, stride, inv_n, correct, scratch);
      });
  if (!dim && keepdim && total == 1) r.shape = t.shape;
  return r;
}

LimbTensor norm(const LimbTensor& t, const NormOrder& p, std::optional<int64_t> dim, bool keepdim) {
  check_limbs(t.data, t.shape, "norm");
  const bool is_one = p.is_int ? p.int_p == 1 : p.float_p == 1.0;
  const bool is_two = p.is_int ? p.int_p == 2 : p.float_p == 2.0;
  const bool is_zero = p.is_int ? p.int_p == 0 : p.float_p == 0.0;
  if (is_zero) throw ZeroDivisionError("float division by zero");
  LimbTensor r =
      per_slice(t, dim, keepdim, "norm",
                [&](const double* first, int64_t len, int64_t stride, double* scratch) {
                  if (is_two) return kernels::norm2_kernel(first, len, stride, scratch);
                  if (is_one) return kernels::norm1_kernel(first, len, stride, scratch);
                  if (p.is_int)
                    return kernels::norm_int_p_kernel(first, len, stride, p.int_p, scratch);
                  return kernels::norm_float_p_kernel(first, len, stride, p.float_p, scratch);
                });
  if (!dim && keepdim && t.data.size(0) == 1) r.shape = t.shape;
  return r;
}

NormOrder NormOrder::of_value(double p) {
  if (p == std::floor(p) && std::fabs(p) < 9.2e18)
    return NormOrder{true, static_cast<long long>(p), 0.0};
  return NormOrder{false, 0, p};
}

Row norm_of_rows(const Row* x, int64_t n, int64_t stride, const NormOrder& p, double* scratch) {
  const double* first = reinterpret_cast<const double*>(x);
  const double v = p.value();
  if (v == 2.0) return kernels::norm2_kernel(first, n, stride, scratch);
  if (v == 1.0) return kernels::norm1_kernel(first, n, stride, scratch);
  if (v == 0.0)
    return limbs::from_double(static_cast<double>(kernels::count_nonzero_kernel(x, n, stride)));
  if (std::isinf(v))
    return n == 0 ? limbs::zero_row() : kernels::abs_extremum_kernel(x, n, stride, v > 0);
  if (full_function_precision()) {
    // |x|^p and the root 1/p (a limb reciprocal, not float64's 1/p) through the accurate pow.
    std::vector<Row> powered(static_cast<size_t>(n));
    const Row exponent = limbs::from_double(v);
    for (int64_t i = 0; i < n; ++i)
      powered[static_cast<size_t>(i)] = kernels::pow_row(kernels::abs_row(x[i * stride]), exponent);
    const Row total =
        kernels::tree_sum_kernel(reinterpret_cast<const double*>(powered.data()), n, 1, scratch);
    return kernels::pow_row(total, kernels::reciprocal_of(v));
  }
  if (p.is_int) return kernels::norm_int_p_kernel(first, n, stride, p.int_p, scratch);
  return kernels::norm_float_p_kernel(first, n, stride, p.float_p, scratch);
}

}  // namespace zel
