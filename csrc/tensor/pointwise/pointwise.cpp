#include "tensor/pointwise/pointwise.h"

#include <ATen/ops/isfinite.h>
#include <ATen/ops/isinf.h>
#include <ATen/ops/isnan.h>
#include <ATen/ops/where.h>
#include <algorithm>
#include <stdexcept>
#include <string>

#include "kernels/accurate_lanes.h"
#include "kernels/pointwise.h"
#include "kernels/reduce.h"
#include "tensor/pointwise/arith.h"

namespace zel {

namespace {

using limbs::Row;

constexpr int64_t kHeavyGrain = static_cast<int64_t>(Grain::Heavy);
constexpr int64_t kLightGrain = static_cast<int64_t>(Grain::Light);

// A quotient over the broadcast of a and b, each reciprocal of b computed
// once, also where b is broadcast.
LimbTensor with_reciprocal(const LimbTensor& a, const LimbTensor& b, const char* op,
                           kernels::Quotient q) {
  Shape out = broadcast_shapes(a.shape, b.shape);
  at::Tensor da = cpu_limbs(a, op);
  at::Tensor db = cpu_limbs(b, op);
  const int64_t n = shape_numel(out);
  // Every row is written below: no zero fill, which would first touch the
  // whole array on this thread alone.
  at::Tensor r = new_limbs_for(n);
  const Row* pa = rows_of(da);
  const Row* pb = rows_of(db);
  Row* pr = rows_of(r);
  const int64_t nb = db.size(0);
  if (a.shape == out && b.shape == out) {
    parallel_rows(n, kHeavyGrain, [&](int64_t begin, int64_t end) {
      kernels::quotient_kernel(q, pa + begin, pb + begin, pr + begin, end - begin);
    });
    return make_result(r, std::move(out), a.data.device());
  }
  at::Tensor rb = new_limbs_for(nb);
  Row* prb = rows_of(rb);
  parallel_rows(nb, kHeavyGrain, [&](int64_t begin, int64_t end) {
    kernels::reciprocal_kernel(pb + begin, prb + begin, end - begin);
  });
  const Row* crb = prb;
  for_each_broadcast(out, a.shape, b.shape, kLightGrain, [&](int64_t i, int64_t ia, int64_t ib) {
    pr[i] = kernels::quotient_row(q, pa[ia], pb[ib], crb[ib]);
  });
  return make_result(r, std::move(out), a.data.device());
}

}  // namespace

LimbTensor reciprocal_scalar(double s, const at::Device& device) {
  at::Tensor d = new_limbs(1);
  limbs::store(kernels::reciprocal_of(s), d.data_ptr<double>());
  return make_result(d, Shape{}, device);
}

LimbTensor div(const LimbTensor& a, const LimbTensor& b) {
  return with_reciprocal(a, b, "div", kernels::Quotient::Div);
}

LimbTensor div_scalar(const LimbTensor& a, double c) {
  const Row rc = kernels::reciprocal_of(c);
  return map_runs(a, "div", kLightGrain, [&rc](const Row* in, Row* out, int64_t n) {
    kernels::scale_kernel(in, out, n, rc, false);
  });
}

LimbTensor floordiv(const LimbTensor& a, const LimbTensor& b) {
  return with_reciprocal(a, b, "floordiv", kernels::Quotient::FloorDiv);
}

LimbTensor floordiv_scalar(const LimbTensor& a, double c) {
  const Row rc = kernels::reciprocal_of(c);
  const Row y = limbs::from_double(c);
  return map_runs(a, "floordiv", kLightGrain, [&rc, &y](const Row* in, Row* out, int64_t n) {
    kernels::floor_scale_kernel(in, out, n, rc, y);
  });
}

LimbTensor mod(const LimbTensor& a, const LimbTensor& b) {
  return with_reciprocal(a, b, "mod", kernels::Quotient::Mod);
}

LimbTensor pow_int(const LimbTensor& a, bool negative,
                   const std::vector<unsigned long long>& words) {
  bool zero = true;
  for (unsigned long long w : words) zero = zero && w == 0;
  if (zero)
    return map_rows(
        a, "pow", [](const Row&) { return limbs::from_double(1.0); }, kLightGrain);
  const unsigned long long* w = words.data();
  const int count = static_cast<int>(words.size());
  return map_runs(a, "pow", kHeavyGrain, [w, count, negative](const Row* in, Row* out, int64_t n) {
    kernels::pow_positive_kernel(in, out, n, w, count, negative);
  });
}

LimbTensor pow_float(const LimbTensor& a, double e) {
  if (full_function_precision()) {
    const Row exponent = limbs::from_double(e);
    return map_runs(a, "pow", kHeavyGrain, [&exponent](const Row* in, Row* out, int64_t n) {
      kernels::pow_exponent_kernel(in, out, n, exponent);
    });
  }
  return map_runs(a, "pow", kHeavyGrain, [e](const Row* in, Row* out, int64_t n) {
    kernels::pow_float_kernel(in, out, n, e);
  });
}

LimbTensor rpow(double base, const LimbTensor& a) {
  if (full_function_precision()) {
    const Row b = limbs::from_double(base);
    return map_runs(a, "pow", kHeavyGrain, [&b](const Row* in, Row* out, int64_t n) {
      kernels::pow_base_kernel(in, out, n, b);
    });
  }
  return map_runs(a, "pow", kHeavyGrain, [base](const Row* in, Row* out, int64_t n) {
    kernels::number_pow_kernel(base, in, out, n);
  });
}

LimbTensor apply(const ElementwiseOp& op, const LimbTensor& a) {
  if (op.arity != 1) throw std::logic_error(std::string(op.name) + ": not a unary operation");
  const RowsKernel kernel = op.full && full_function_precision() ? op.full : op.unary;
  return map_runs(a, op.name, static_cast<int64_t>(op.grain), kernel);
}

LimbTensor apply(const ElementwiseOp& op, const LimbTensor& a, const LimbTensor& b) {
  if (op.arity != 2) throw std::logic_error(std::string(op.name) + ": not a binary operation");
  const PairKernel kernel = op.pair;
  if (op.pair_runs && a.shape == b.shape) {
    at::Tensor da = cpu_limbs(a, op.name);
    at::Tensor db = cpu_limbs(b, op.name);
    const int64_t n = da.size(0);
    at::Tensor r = new_limbs_for(n);
    const Row* pa = rows_of(da);
    const Row* pb = rows_of(db);
    Row* pr = rows_of(r);
    const PairRunsKernel runs = op.pair_runs;
    parallel_rows(n, static_cast<int64_t>(op.grain), [&](int64_t begin, int64_t end) {
      runs(pa + begin, pb + begin, pr + begin, end - begin);
    });
    return make_result(r, a.shape, a.data.device());
  }
  return binary_rows(
      a, b, op.name, [kernel](const Row& x, const Row& y) { return kernel(x, y); },
      static_cast<int64_t>(op.grain));
}

LimbTensor clamp(const LimbTensor& a, bool has_min, double min_val, bool has_max, double max_val) {
  return map_runs(a, "clamp", kLightGrain, [=](const Row* in, Row* out, int64_t n) {
    kernels::clamp_kernel(in, out, n, has_min, min_val, has_max, max_val);
  });
}

LimbTensor round(const LimbTensor& a, bool decimals_zero, double factor) {
  return map_runs(a, "round", kLightGrain, [=](const Row* in, Row* out, int64_t n) {
    kernels::round_kernel(in, out, n, decimals_zero, factor);
  });
}

LimbTensor softmax(const LimbTensor& a, int64_t dim, bool log_of) {
  const char* op = log_of ? "log_softmax" : "softmax";
  at::Tensor da = cpu_limbs(a, op);
  dim = shape_axis(dim, a.shape, op);
  const int64_t nd = static_cast<int64_t>(a.shape.size());
  const int64_t len = a.shape[dim];
  int64_t inner = 1;
  for (int64_t d = dim + 1; d < nd; ++d) inner *= a.shape[d];
  const int64_t n = da.size(0);
  at::Tensor r = new_limbs(n);
  if (n == 0) return make_result(r, a.shape, a.data.device());
  const int64_t slices = n / len;
  const int64_t block = len * inner;  // rows from one outer index to the next
  // Slice s = o * inner + j holds rows o * block + j + t * inner, t < len.
  auto first_row = [block, inner](int64_t s) { return (s / inner) * block + s % inner; };
  auto slice_of = [block, inner](int64_t i) { return (i / block) * inner + i % inner; };
  const double* pa = da.data_ptr<double>();
  const Row* rows_a = rows_of(da);
  Row* pr = rows_of(r);
  const int64_t slice_grain = std::max<int64_t>(1, kLightGrain / len);

  std::vector<Row> peak(slices);
  parallel_rows(slices, slice_grain, [&](int64_t begin, int64_t end) {
    for (int64_t s = begin; s < end; ++s) {
      const double* first = pa + first_row(s) * limbs::kLimbs;
      peak[s] =
          limbs::load(first + kernels::argmax_kernel(first, len, inner) * inner * limbs::kLimbs);
    }
  });
  // The kernels read their input rows again for special values (an -inf
  // difference): they must not run in place.
  const bool full = full_function_precision();
  const RowsKernel exp_rows = full ? kernels::exp_full_kernel : kernels::exp_kernel;
  parallel_rows(n, kHeavyGrain, [&](int64_t begin, int64_t end) {
    std::vector<Row> diff(static_cast<size_t>(end - begin));
    for (int64_t i = begin; i < end; ++i)
      diff[i - begin] = limbs::sub(rows_a[i], peak[slice_of(i)]);
    exp_rows(diff.data(), pr + begin, end - begin);
  });
  if (full && log_of) {
    // (x - max) - log(sum): no logarithm of a quotient that has rounded near 1.
    const double* pe_full = r.data_ptr<double>();
    std::vector<Row> log_sum(slices);
    parallel_rows(slices, slice_grain, [&](int64_t begin, int64_t end) {
      std::vector<double> scratch(static_cast<size_t>(kernels::scratch_rows(len) * limbs::kLimbs));
      for (int64_t s = begin; s < end; ++s) {
        const Row total = kernels::tree_sum_kernel(pe_full + first_row(s) * limbs::kLimbs, len,
                                                   inner, scratch.data());
        kernels::log_full_kernel(&total, &log_sum[s], 1);
      }
    });
    parallel_rows(n, kHeavyGrain, [&](int64_t begin, int64_t end) {
      for (int64_t i = begin; i < end; ++i)
        pr[i] = kernels::sub_exact(rows_a[i], peak[slice_of(i)], log_sum[slice_of(i)]);
    });
    return make_result(r, a.shape, a.data.device());
  }
  // peak now holds 1 / (sum of the slice's exponentials).
  const double* pe = r.data_ptr<double>();
  parallel_rows(slices, slice_grain, [&](int64_t begin, int64_t end) {
    std::vector<double> scratch(static_cast<size_t>(kernels::scratch_rows(len) * limbs::kLimbs));
    for (int64_t s = begin; s < end; ++s) {
      const Row total =
          kernels::tree_sum_kernel(pe + first_row(s) * limbs::kLimbs, len, inner, scratch.data());
      peak[s] = kernels::reciprocal_row(total);
    }
  });
  parallel_rows(n, log_of ? kHeavyGrain : kLightGrain, [&](int64_t begin, int64_t end) {
    if (!log_of) {
      for (int64_t i = begin; i < end; ++i) pr[i] = limbs::mul(pr[i], peak[slice_of(i)]);
      return;
    }
    std::vector<Row> share(static_cast<size_t>(end - begin));
    for (int64_t i = begin; i < end; ++i) share[i - begin] = limbs::mul(pr[i], peak[slice_of(i)]);
    (full ? kernels::log_full_kernel : kernels::log_kernel)(share.data(), pr + begin, end - begin);
  });
  return make_result(r, a.shape, a.data.device());
}

at::Tensor approx_values(const LimbTensor& a, const char* op) {
  return collapse(cpu_limbs(a, op)).reshape(a.shape);
}

at::Tensor predicate(const LimbTensor& a, Predicate p) {
  static const char* names[] = {"isnan", "isinf", "isfinite"};
  at::Tensor vals = collapse(cpu_limbs(a, names[static_cast<int>(p)]));
  at::Tensor out;
  switch (p) {
    case Predicate::IsNan:
      out = at::isnan(vals);
      break;
    case Predicate::IsInf:
      out = at::isinf(vals);
      break;
    case Predicate::IsFinite:
      out = at::isfinite(vals);
      break;
  }
  const at::Device dev = a.data.device();
  return dev.is_cpu() ? out : out.to(dev);
}

LimbTensor where(const at::Tensor& condition, const LimbTensor& x, const LimbTensor& y) {
  if (!condition.defined()) throw TypeError("where(): condition is an undefined tensor");
  if (condition.scalar_type() != at::kBool)
    throw std::runtime_error("where(): condition must be a bool tensor, got dtype " +
                             std::string(c10::toString(condition.scalar_type())));
  at::Tensor dx = cpu_limbs(x, "where");
  at::Tensor dy = cpu_limbs(y, "where");
  Shape cond_shape(condition.sizes().begin(), condition.sizes().end());
  if (condition.dim() == 1) {
    // A flat condition (one entry per element, as comparisons return) takes
    // the logical shape of what it enumerates: the broadcast of x and y (the
    // result of comparing them), else the operand of as many elements.
    const Shape xy = broadcast_shapes(x.shape, y.shape);
    if (cond_shape[0] == shape_numel(xy))
      cond_shape = xy;
    else if (cond_shape[0] == dx.size(0))
      cond_shape = x.shape;
    else if (cond_shape[0] == dy.size(0))
      cond_shape = y.shape;
  }
  Shape out = broadcast_shapes(broadcast_shapes(cond_shape, x.shape), y.shape);
  Shape out_limbs = out;
  out_limbs.push_back(limbs::kLimbs);
  auto spread = [&out_limbs](const at::Tensor& rows, const Shape& shape) {
    Shape s = shape;
    s.push_back(limbs::kLimbs);
    return rows.view(s).expand(out_limbs);
  };
  at::Tensor c = condition.to(at::kCPU).reshape(cond_shape).expand(out).unsqueeze(-1);
  at::Tensor r = at::where(c, spread(dx, x.shape), spread(dy, y.shape))
                     .reshape({-1, limbs::kLimbs})
                     .contiguous();
  return make_result(r, std::move(out), x.data.device());
}

}  // namespace zel
