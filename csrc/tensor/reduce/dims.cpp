#include "tensor/reduce/dims.h"

#include <ATen/ops/empty.h>
#include <ATen/ops/tensor.h>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "kernels/pointwise.h"
#include "tensor/core/errors.h"
#include "kernels/reduce.h"
#include "limbs/core/order.h"
#include "tensor/shape/shape.h"

namespace zel {

namespace {

using limbs::Row;

at::Tensor index_result(at::Tensor r, const at::Device& device) {
  return device.is_cpu() ? r : r.to(device);
}

// An int64 array of `shape`, refused (as a limb array of an eighth of its
// rows would be) when it could not fit in memory.
at::Tensor new_indices(const Shape& shape, const char* op) {
  check_alloc(shape_numel(shape) / limbs::kLimbs + 1, op);
  return at::empty(shape, at::TensorOptions().dtype(at::kLong));
}

// Which axes a reduction folds; every axis when dims is empty. A repeated
// axis is PyTorch's RuntimeError.
std::vector<bool> axis_mask(const Shape& shape, const Dims& dims, const char* op) {
  const int64_t nd = static_cast<int64_t>(shape.size());
  const bool all = !dims || dims->empty();
  std::vector<bool> mask(static_cast<size_t>(nd), all);
  if (all) return mask;
  for (int64_t d : *dims) {
    const int64_t a = normalize_dim(d, nd);
    if (nd == 0) continue;
    if (mask[a])
      throw std::runtime_error(std::string(op) + "(): dim " + str(a) +
                               " appears multiple times in the list of dims");
    mask[a] = true;
  }
  return mask;
}

// The elements of every output as one contiguous run: the kept axes lead
// and the folded axes follow (a copy only when that is not already the
// layout).
struct Groups {
  at::Tensor rows;
  int64_t count = 1, len = 1;
  Shape out_shape;
};

Groups group(const LimbTensor& t, const Dims& dims, bool keepdim, const char* op) {
  at::Tensor src = cpu_limbs(t, op);
  const std::vector<bool> mask = axis_mask(t.shape, dims, op);
  const std::vector<int64_t> st = contiguous_strides(t.shape);
  Shape kept, folded, view;
  std::vector<int64_t> kept_st, folded_st;
  Groups g;
  bool in_order = true, seen_fold = false;
  for (size_t d = 0; d < t.shape.size(); ++d) {
    if (mask[d]) {
      folded.push_back(t.shape[d]);
      folded_st.push_back(st[d]);
      if (keepdim) g.out_shape.push_back(1);
      seen_fold = true;
    } else {
      kept.push_back(t.shape[d]);
      kept_st.push_back(st[d]);
      g.out_shape.push_back(t.shape[d]);
      if (seen_fold && t.shape[d] != 1) in_order = false;
    }
  }
  g.count = shape_numel(kept);
  g.len = shape_numel(folded);
  if (in_order) {
    g.rows = src;
    return g;
  }
  view = kept;
  view.insert(view.end(), folded.begin(), folded.end());
  kept_st.insert(kept_st.end(), folded_st.begin(), folded_st.end());
  g.rows = gather(src, view, kept_st, 0, op);
  return g;
}

// out[s] = f(first row of group s, len, scratch) for every group, in parallel.
template <class F>
LimbTensor per_group(const Groups& g, const LimbTensor& t, const char* op, const F& f) {
  at::Tensor r = new_limbs_for(g.count, op);
  const Row* src = rows_of(g.rows);
  Row* out = rows_of(r);
  const int64_t len = g.len, scratch_rows = kernels::scratch_rows(len);
  parallel_rows(g.count, std::max<int64_t>(1, 32768 / std::max<int64_t>(len, 1)),
                [&](int64_t b, int64_t e) {
                  std::vector<double> scratch(static_cast<size_t>(scratch_rows * limbs::kLimbs));
                  for (int64_t s = b; s < e; ++s) out[s] = f(src + s * len, len, scratch.data());
                });
  return make_result(r, g.out_shape, t.data.device());
}

const double* first_of(const Row* p) { return reinterpret_cast<const double*>(p); }

bool nan_approx(const Row& x) { return std::isnan(limbs::approx(x)); }

// Index of the exact extremum of a run; the first NaN wins, ties keep the
// earlier element.
template <bool kMax>
int64_t exact_extremum(const Row* x, int64_t n, int64_t stride) {
  int64_t best = 0;
  if (limbs::is_nan_exact(x[0])) return 0;
  for (int64_t i = 1; i < n; ++i) {
    const Row& v = x[i * stride];
    if (limbs::is_nan_exact(v)) return i;
    const int c = limbs::compare_exact(v, x[best * stride]);
    if (kMax ? c > 0 : c < 0) best = i;
  }
  return best;
}

const char* fold_name(Fold op) {
  switch (op) {
    case Fold::Sum:
      return "sum";
    case Fold::Prod:
      return "prod";
    case Fold::Mean:
      return "mean";
    case Fold::NanSum:
      return "nansum";
    case Fold::NanMean:
      return "nanmean";
    case Fold::Amax:
      return "amax";
    case Fold::Amin:
      return "amin";
    default:
      return "logsumexp";
  }
}

// PyTorch's types: IndexError for an empty dim, RuntimeError for a reduction of everything.
void require_nonempty(const Groups& g, const Dims& dims, const char* op) {
  if (g.len == 0 && g.count > 0) {
    const std::string msg =
        std::string(op) +
        "(): expected a non-empty reduction, but the reduced dimensions hold no elements";
    if (dims && !dims->empty()) throw IndexError(msg);
    throw std::runtime_error(msg);
  }
}

}  // namespace

LimbTensor fold(const LimbTensor& t, const Dims& dims, bool keepdim, Fold op) {
  const char* name = fold_name(op);
  const Groups g = group(t, dims, keepdim, name);
  if (op == Fold::Amax || op == Fold::Amin) require_nonempty(g, dims, name);
  const bool full = full_function_precision();  // logsumexp's exp and log
  const Row inv_n = kernels::reciprocal_of(static_cast<double>(g.len));
  return per_group(g, t, name, [&](const Row* x, int64_t n, double* scratch) -> Row {
    const double* p = first_of(x);
    switch (op) {
      case Fold::Sum:
        return kernels::tree_sum_kernel(p, n, 1, scratch);
      case Fold::Prod:
        return kernels::tree_prod_kernel(p, n, 1, scratch);
      case Fold::Mean:
        return kernels::mean_kernel(p, n, 1, inv_n, scratch);
      case Fold::NanSum:
        return kernels::nansum_kernel(p, n, 1, scratch);
      case Fold::NanMean: {
        int64_t kept = 0;
        for (int64_t i = 0; i < n; ++i) kept += !nan_approx(x[i]);
        return limbs::mul(kernels::nansum_kernel(p, n, 1, scratch),
                          kernels::reciprocal_of(static_cast<double>(kept)));
      }
      case Fold::Amax:
        return x[exact_extremum<true>(x, n, 1)];
      case Fold::Amin:
        return x[exact_extremum<false>(x, n, 1)];
      default: {
        if (n == 0) return limbs::from_double(-limbs::kInf);
        const Row m = x[exact_extremum<true>(x, n, 1)];
        // inf, -inf (all elements -inf) and NaN are their own answer.
        if (limbs::is_special(m)) return limbs::from_double(m.l[0]);
        return limbs::add(
            m, kernels::log_row(kernels::exp_shift_sum_kernel(p, n, 1, m, scratch, full), full));
      }
    }
  });
}

LimbTensor variance_dims(const LimbTensor& t, const Dims& dims, bool keepdim,
                         std::optional<double> correction, bool unbiased, bool take_sqrt) {
  const char* op = take_sqrt ? "std" : "var";
  const Groups g = group(t, dims, keepdim, op);
  const int64_t total = t.data.size(0);
  const bool defined_factor = !correction && unbiased && total > 1;
  if (defined_factor && g.len == 1) throw ZeroDivisionError("division by zero");
  const Row inv_n = kernels::reciprocal_of(static_cast<double>(g.len));
  const double denom = correction ? static_cast<double>(g.len) - *correction : 0.0;
  const Row inv_denom = kernels::reciprocal_of(denom);
  return per_group(g, t, op, [&](const Row* x, int64_t n, double* scratch) -> Row {
    const double* p = first_of(x);
    Row v;
    if (!correction) {
      v = kernels::var_kernel(p, n, 1, inv_n, defined_factor, scratch);
    } else {
      const Row m = kernels::mean_kernel(p, n, 1, inv_n, scratch);
      const Row ss = kernels::squared_deviation_sum_kernel(p, n, 1, m, scratch);
      // No degrees of freedom left: ss / 0, as PyTorch divides.
      if (!(denom > 0.0)) {
        const int s = limbs::sign_exact(ss);
        v = limbs::from_double(s == 0 || s == limbs::kUnordered ? limbs::kNaN : limbs::kInf);
      } else {
        v = limbs::mul(ss, inv_denom);
      }
    }
    return take_sqrt ? kernels::sqrt_row(v) : v;
  });
}

LimbTensor norm_dims(const LimbTensor& t, const NormOrder& p, const Dims& dims, bool keepdim) {
  const Groups g = group(t, dims, keepdim, "norm");
  if (std::isinf(p.value())) require_nonempty(g, std::nullopt, "norm");
  return per_group(g, t, "norm", [&](const Row* x, int64_t n, double* scratch) {
    return norm_of_rows(x, n, 1, p, scratch);
  });
}

at::Tensor truth_fold(const LimbTensor& t, const Dims& dims, bool keepdim, Truth op) {
  const char* name = op == Truth::Any ? "any" : (op == Truth::All ? "all" : "count_nonzero");
  const Groups g = group(t, dims, keepdim, name);
  at::Tensor r = new_indices(g.out_shape, name);
  const Row* src = rows_of(g.rows);
  std::vector<int64_t> counts(static_cast<size_t>(g.count));
  parallel_rows(g.count, std::max<int64_t>(1, 65536 / std::max<int64_t>(g.len, 1)),
                [&](int64_t b, int64_t e) {
                  for (int64_t s = b; s < e; ++s) {
                    counts[s] = kernels::count_nonzero_kernel(src + s * g.len, g.len, 1);
                  }
                });
  int64_t* out = r.data_ptr<int64_t>();
  for (int64_t s = 0; s < g.count; ++s)
    out[s] = op == Truth::Any ? counts[s] > 0 : (op == Truth::All ? counts[s] == g.len : counts[s]);
  if (op != Truth::CountNonzero) r = r.to(at::kBool);
  return index_result(r, t.data.device());
}

namespace {

struct Axis {
  at::Tensor src;
  Slices sl;
  int64_t dim = 0;
};

// An empty tensor has no slices to visit, however many its other axes
// would make (shape (2^31, 0, 2^31) along the zero axis).
Axis axis_of(const LimbTensor& t, int64_t dim, const char* op) {
  Axis a;
  a.src = cpu_limbs(t, op);
  a.dim = normalize_dim(dim, static_cast<int64_t>(t.shape.size()));
  a.sl = slices_of(t.shape, a.dim);
  if (a.src.size(0) == 0) a.sl.outer = 0;
  return a;
}

// The shape of t with axis dim set to len (0-d stays 0-d).
Shape with_len(const Shape& shape, int64_t dim, int64_t len) {
  Shape s = shape;
  if (!s.empty()) s[dim] = len;
  return s;
}

// Every slice of axis a sorted (order[i] = input position of sorted entry i);
// f(slice, order) consumes them in parallel.
template <class F>
void for_each_sorted(const Axis& a, bool descending, const F& f) {
  const Row* src = rows_of(a.src);
  const int64_t len = a.sl.len;
  parallel_rows(a.sl.count(), std::max<int64_t>(1, 4096 / std::max<int64_t>(len, 1)),
                [&](int64_t b, int64_t e) {
                  std::vector<int64_t> order(static_cast<size_t>(len));
                  for (int64_t s = b; s < e; ++s) {
                    kernels::sort_order_kernel(src + a.sl.base(s), len, a.sl.inner, descending,
                                               order.data());
                    f(s, order.data());
                  }
                });
}

// The k entries of every slice picked by pick(order) into a result whose
// axis has length k (removed when `drop`).
template <class Pick>
Indexed select_sorted(const LimbTensor& t, const Axis& a, int64_t k, bool descending, bool drop,
                      bool keepdim, const char* op, const Pick& pick) {
  Shape shape = drop ? (t.shape.empty() ? Shape{} : reduced_shape(t.shape, a.dim, keepdim))
                     : with_len(t.shape, a.dim, k);
  at::Tensor r = new_limbs_for(shape_numel(shape), op);
  at::Tensor idx = new_indices(shape, op);
  const Row* src = rows_of(a.src);
  Row* out = rows_of(r);
  int64_t* io = idx.data_ptr<int64_t>();
  const int64_t inner = a.sl.inner;
  for_each_sorted(a, descending, [&](int64_t s, const int64_t* order) {
    const int64_t in_base = a.sl.base(s), out_base = (s / inner) * k * inner + s % inner;
    for (int64_t i = 0; i < k; ++i) {
      const int64_t at = pick(s, order, i);
      out[out_base + i * inner] = src[in_base + at * inner];
      io[out_base + i * inner] = at;
    }
  });
  return Indexed{make_result(r, std::move(shape), t.data.device()),
                 index_result(idx, t.data.device())};
}

}  // namespace

Indexed scan(const LimbTensor& t, int64_t dim, Scan op) {
  const char* name = op == Scan::Sum    ? "cumsum"
                     : op == Scan::Prod ? "cumprod"
                     : op == Scan::Max  ? "cummax"
                                        : "cummin";
  const Axis a = axis_of(t, dim, name);
  at::Tensor r = new_limbs_for(a.src.size(0), name);
  const bool indexed = op == Scan::Max || op == Scan::Min;
  at::Tensor idx = indexed ? new_indices(t.shape, name) : at::Tensor();
  const Row* src = rows_of(a.src);
  Row* out = rows_of(r);
  int64_t* io = indexed ? idx.data_ptr<int64_t>() : nullptr;
  const Slices& sl = a.sl;
  parallel_rows(sl.count(), std::max<int64_t>(1, 32768 / std::max<int64_t>(sl.len, 1)),
                [&](int64_t b, int64_t e) {
                  for (int64_t s = b; s < e; ++s) {
                    const int64_t base = sl.base(s);
                    switch (op) {
                      case Scan::Sum:
                        kernels::cumsum_kernel(src + base, sl.len, sl.inner, out + base);
                        break;
                      case Scan::Prod:
                        kernels::cumprod_kernel(src + base, sl.len, sl.inner, out + base);
                        break;
                      case Scan::Max:
                        kernels::cummax_kernel(src + base, sl.len, sl.inner, out + base, io + base);
                        break;
                      default:
                        kernels::cummin_kernel(src + base, sl.len, sl.inner, out + base, io + base);
                        break;
                    }
                  }
                });
  return Indexed{make_result(r, t.shape, t.data.device()),
                 indexed ? index_result(idx, t.data.device()) : idx};
}

Indexed sort(const LimbTensor& t, int64_t dim, bool descending) {
  const Axis a = axis_of(t, dim, "sort");
  return select_sorted(t, a, a.sl.len, descending, false, false, "sort",
                       [](int64_t, const int64_t* order, int64_t i) { return order[i]; });
}

Indexed topk(const LimbTensor& t, int64_t k, int64_t dim, bool largest) {
  const Axis a = axis_of(t, dim, "topk");
  const int64_t len = t.shape.empty() ? 1 : t.shape[a.dim];
  if (k < 0 || k > len)
    throw std::runtime_error("topk(): selected index k out of range: k = " + str(k) +
                             " for a dimension of size " + str(len));
  return select_sorted(t, a, k, largest, false, false, "topk",
                       [](int64_t, const int64_t* order, int64_t i) { return order[i]; });
}

Indexed kthvalue(const LimbTensor& t, int64_t k, int64_t dim, bool keepdim) {
  const Axis a = axis_of(t, dim, "kthvalue");
  const int64_t len = t.shape.empty() ? 1 : t.shape[a.dim];
  if (k < 1 || k > len)
    throw std::runtime_error("kthvalue(): selected number k out of range: k = " + str(k) +
                             " for a dimension of size " + str(len));
  return select_sorted(t, a, 1, false, true, keepdim, "kthvalue",
                       [k](int64_t, const int64_t* order, int64_t) { return order[k - 1]; });
}

Indexed median_dim(const LimbTensor& t, int64_t dim, bool keepdim) {
  const Axis a = axis_of(t, dim, "median");
  const int64_t len = t.shape.empty() ? 1 : t.shape[a.dim];
  if (len == 0 && shape_numel(reduced_shape(t.shape, a.dim, false)) > 0)
    throw IndexError("median(): cannot compute the median of dimension " + str(a.dim) +
                     " of size 0");
  const Row* src = rows_of(a.src);
  const int64_t inner = a.sl.inner;
  // Sorted with NaN last and stable, the first sorted NaN is the first NaN
  // of the slice in input order.
  return select_sorted(t, a, 1, false, true, keepdim, "median",
                       [&](int64_t s, const int64_t* order, int64_t) {
                         const int64_t base = a.sl.base(s);
                         if (!limbs::is_nan_exact(src[base + order[len - 1] * inner]))
                           return order[(len - 1) / 2];
                         int64_t j = len - 1;
                         while (j > 0 && limbs::is_nan_exact(src[base + order[j - 1] * inner])) --j;
                         return order[j];
                       });
}

LimbTensor median_all(const LimbTensor& t) {
  check_limbs(t.data, t.shape, "median");
  if (t.data.size(0) == 0) {  // PyTorch's median of nothing is NaN
    at::Tensor r = new_limbs(1, "median");
    rows_of(r)[0] = limbs::from_double(limbs::kNaN);
    return make_result(r, Shape{}, t.data.device());
  }
  const LimbTensor flat{t.data, Shape{t.data.size(0)}};
  return median_dim(flat, 0, false).values;
}

std::vector<double> quantile_points(const LimbTensor& q, bool& q_axis) {
  check_limbs(q.data, q.shape, "quantile");
  if (q.shape.size() > 1)
    throw std::runtime_error("quantile() q must be a scalar or 1D tensor, got shape " +
                             shape_str(q.shape));
  q_axis = q.shape.size() == 1;
  const at::Tensor d = cpu_limbs(q, "quantile");
  std::vector<double> out;
  for (int64_t i = 0; i < d.size(0); ++i) out.push_back(limbs::approx(rows_of(d)[i]));
  return out;
}

LimbTensor quantile(const LimbTensor& t, const std::vector<double>& q, bool q_axis,
                    std::optional<int64_t> dim, bool keepdim, kernels::QuantileMode mode) {
  for (double v : q)
    if (!(v >= 0.0 && v <= 1.0))
      throw std::runtime_error("quantile() q values must be in the range [0, 1], got " +
                               std::to_string(v));
  check_limbs(t.data, t.shape, "quantile");
  const int64_t total = t.data.size(0);
  if (total == 0) throw std::runtime_error("quantile() input tensor must be non-empty");
  // Without dim the quantile is over all elements, seen as one axis.
  const LimbTensor seen = dim ? t : LimbTensor{t.data, Shape{total}};
  const Axis a = axis_of(seen, dim ? *dim : 0, "quantile");
  Shape shape;
  if (dim)
    shape = t.shape.empty() ? Shape{} : reduced_shape(t.shape, a.dim, keepdim);
  else if (keepdim)
    shape = Shape(t.shape.size(), 1);
  const int64_t per_q = a.sl.count(), nq = static_cast<int64_t>(q.size());
  if (q_axis) shape.insert(shape.begin(), nq);
  at::Tensor r = new_limbs_for(shape_numel(shape), "quantile");
  const Row* src = rows_of(a.src);
  Row* out = rows_of(r);
  const int64_t len = a.sl.len, inner = a.sl.inner;
  parallel_rows(per_q, std::max<int64_t>(1, 4096 / std::max<int64_t>(len, 1)),
                [&](int64_t b, int64_t e) {
                  std::vector<int64_t> order(static_cast<size_t>(len));
                  std::vector<Row> sorted(static_cast<size_t>(len));
                  for (int64_t s = b; s < e; ++s) {
                    const int64_t base = a.sl.base(s);
                    kernels::sort_order_kernel(src + base, len, inner, false, order.data());
                    for (int64_t i = 0; i < len; ++i) sorted[i] = src[base + order[i] * inner];
                    for (int64_t j = 0; j < nq; ++j)
                      out[j * per_q + s] = kernels::quantile_kernel(sorted.data(), len, q[j], mode);
                  }
                });
  return make_result(r, std::move(shape), t.data.device());
}

Unique unique(const LimbTensor& t) {
  at::Tensor src = cpu_limbs(t, "unique");
  const int64_t n = src.size(0);
  const Row* x = rows_of(src);
  std::vector<int64_t> order(static_cast<size_t>(n));
  kernels::sort_order_kernel(x, n, 1, false, order.data());
  at::Tensor inverse = new_indices(t.shape, "unique");
  int64_t* inv = inverse.data_ptr<int64_t>();
  std::vector<int64_t> firsts, counts;
  for (int64_t i = 0; i < n; ++i) {
    const Row& v = x[order[i]];
    if (firsts.empty() || limbs::compare_exact(x[firsts.back()], v) != 0) {
      firsts.push_back(order[i]);
      counts.push_back(0);
    }
    ++counts.back();
    inv[order[i]] = static_cast<int64_t>(firsts.size()) - 1;
  }
  const int64_t m = static_cast<int64_t>(firsts.size());
  at::Tensor values = new_limbs_for(m, "unique");
  Row* out = rows_of(values);
  for (int64_t i = 0; i < m; ++i) out[i] = x[firsts[i]];
  at::Tensor c = at::tensor(counts, at::TensorOptions().dtype(at::kLong));
  return Unique{make_result(values, Shape{m}, t.data.device()),
                index_result(inverse, t.data.device()), index_result(c, t.data.device())};
}

LimbTensor diff(const LimbTensor& t, int64_t n, int64_t dim) {
  check_limbs(t.data, t.shape, "diff");
  if (t.shape.empty())
    throw std::runtime_error("diff expects input to be at least one-dimensional");
  if (n < 0) throw std::runtime_error("diff(): order must be non-negative but got " + str(n));
  LimbTensor cur{cpu_limbs(t, "diff"), t.shape};
  const int64_t d = normalize_dim(dim, static_cast<int64_t>(t.shape.size()));
  // Each step shortens axis d by one; an empty tensor only changes its shape.
  if (cur.data.size(0) == 0) {
    Shape shape = with_len(t.shape, d, std::max<int64_t>(0, t.shape[d] - n));
    return make_result(new_limbs_for(0, "diff"), std::move(shape), t.data.device());
  }
  for (int64_t step = 0; step < n && cur.shape[d] > 0; ++step) {
    const Slices sl = slices_of(cur.shape, d);
    const Shape shape = with_len(cur.shape, d, cur.shape[d] - 1);
    at::Tensor r = new_limbs_for(shape_numel(shape), "diff");
    const Row* src = rows_of(cur.data);
    Row* out = rows_of(r);
    const int64_t len = sl.len, inner = sl.inner;
    parallel_rows(sl.count(), std::max<int64_t>(1, 32768 / std::max<int64_t>(len, 1)),
                  [&](int64_t b, int64_t e) {
                    for (int64_t s = b; s < e; ++s) {
                      const int64_t in_base = sl.base(s),
                                    out_base = (s / inner) * (len - 1) * inner + s % inner;
                      for (int64_t i = 0; i + 1 < len; ++i)
                        out[out_base + i * inner] =
                            limbs::sub(src[in_base + (i + 1) * inner], src[in_base + i * inner]);
                    }
                  });
    cur = LimbTensor{r, shape};
  }
  return make_result(cur.data, cur.shape, t.data.device());
}

LimbTensor trapezoid(const LimbTensor& y, const LimbTensor* x, double dx, int64_t dim,
                     bool cumulative) {
  const char* op = cumulative ? "cumulative_trapezoid" : "trapezoid";
  check_limbs(y.data, y.shape, op);
  if (y.shape.empty())
    throw IndexError(std::string(op) +
                     "(): expected y to be at least one-dimensional, got a 0-d tensor");
  const Axis a = axis_of(y, dim, op);
  const int64_t len = a.sl.len, inner = a.sl.inner;
  at::Tensor xs;
  bool x_full = false;
  LimbTensor x_wide;
  if (x && x->shape != y.shape && !(x->shape.size() == 1 && x->shape[0] == len)) {
    // Sample points that broadcast to y's shape are spread over it, as in PyTorch.
    try {
      if (broadcast_shapes(x->shape, y.shape) == y.shape) {
        x_wide = expand(*x, y.shape);
        x = &x_wide;
      }
    } catch (const std::exception&) {
      // not broadcastable: reported below
    }
  }
  if (x) {
    xs = cpu_limbs(*x, op);
    x_full = x->shape == y.shape;
    if (!x_full && !(x->shape.size() == 1 && x->shape[0] == len))
      throw std::runtime_error(std::string(op) + "(): x of shape " + shape_str(x->shape) +
                               " must have the shape of y " + shape_str(y.shape) +
                               " or be 1-D of length " + str(len));
  }
  const int64_t terms = std::max<int64_t>(len - 1, 0);
  const Shape shape =
      cumulative ? with_len(y.shape, a.dim, terms) : reduced_shape(y.shape, a.dim, false);
  at::Tensor r = new_limbs_for(shape_numel(shape), op);
  const Row* py = rows_of(a.src);
  const Row* px = x ? rows_of(xs) : nullptr;
  Row* out = rows_of(r);
  const Row h = limbs::from_double(dx);
  parallel_rows(
      a.sl.count(), std::max<int64_t>(1, 16384 / std::max<int64_t>(len, 1)),
      [&](int64_t b, int64_t e) {
        std::vector<Row> term(static_cast<size_t>(terms));
        std::vector<double> scratch(
            static_cast<size_t>(kernels::scratch_rows(terms) * limbs::kLimbs));
        for (int64_t s = b; s < e; ++s) {
          const int64_t base = a.sl.base(s);
          for (int64_t i = 0; i < terms; ++i) {
            Row step = h;
            if (px) {
              const int64_t i0 = x_full ? base + i * inner : i,
                            i1 = x_full ? base + (i + 1) * inner : i + 1;
              step = limbs::sub(px[i1], px[i0]);
            }
            // (y_i + y_{i+1}) h / 2; halving is exact.
            term[i] = limbs::mul_scalar(
                limbs::mul(step, limbs::add(py[base + i * inner], py[base + (i + 1) * inner])),
                0.5);
          }
          if (cumulative) {
            const int64_t out_base = (s / inner) * terms * inner + s % inner;
            kernels::cumsum_kernel(term.data(), terms, 1,
                                   term.data());  // in place: reads x_i before writing it
            for (int64_t i = 0; i < terms; ++i) out[out_base + i * inner] = term[i];
          } else {
            out[s] = kernels::tree_sum_kernel(reinterpret_cast<const double*>(term.data()), terms,
                                              1, scratch.data());
          }
        }
      });
  return make_result(r, shape, y.data.device());
}

}  // namespace zel
