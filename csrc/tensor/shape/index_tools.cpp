#include "tensor/shape/index_tools.h"

#include <ATen/ops/empty.h>

#include <array>
#include <string>

#include "kernels/pointwise.h"
#include "tensor/core/errors.h"
#include "tensor/core/index_walk.h"

namespace zel {

namespace {

using limbs::Row;

int64_t checked_index(int64_t q, int64_t size, int64_t dim, IndexCheck check, const char* op) {
  if (q >= 0 && q < size) return q;
  if (check == IndexCheck::Wrapping && q < 0 && q >= -size) return q + size;
  const std::string where = " is out of bounds for dimension " + std::to_string(dim) +
                            " with size " + std::to_string(size);
  switch (check) {
    case IndexCheck::Scatter:
      throw std::runtime_error(std::string(op) + "(): index " + std::to_string(q) + where);
    case IndexCheck::IndexAdd:
      throw IndexError(std::string(op) + "(): index out of range in self: index " +
                       std::to_string(q) + where);
    default:
      throw IndexError(std::string(op) + "(): index " + std::to_string(q) + where);
  }
}

}  // namespace

LimbTensor scatter_rows(const LimbTensor& self, const Scatter& s) {
  const at::Tensor base = cpu_limbs(self, s.op);
  const at::Tensor src = cpu_limbs(s.src, s.op);
  const int64_t nd = static_cast<int64_t>(self.shape.size());
  at::Tensor out = base.clone();
  Row* po = rows_of(out);
  const Row* ps = rows_of(src);
  const int64_t* pi = s.index.data_ptr<int64_t>();
  // The destination's row strides, with none along dim: the index supplies it.
  std::vector<int64_t> dst(static_cast<size_t>(nd), 0);
  for (int64_t a = nd - 1, step = 1; a >= 0; step *= self.shape[static_cast<size_t>(a)], --a)
    dst[static_cast<size_t>(a)] = step;
  const int64_t dim_stride = nd ? dst[static_cast<size_t>(s.dim)] : 1;
  const int64_t dim_size = nd ? self.shape[static_cast<size_t>(s.dim)] : 1;
  if (nd) dst[static_cast<size_t>(s.dim)] = 0;
  const int64_t n = shape_numel(s.walk);
  std::vector<int64_t> counts;
  if (s.mean || !s.include_self) counts.assign(static_cast<size_t>(out.size(0)), 0);
  StridedWalk<3> walk(s.walk, {s.index_strides.data(), s.src_strides.data(), dst.data()}, {0, 0, 0},
                      0);
  for (int64_t i = 0; i < n; ++i, walk.step()) {
    const int64_t q = checked_index(pi[walk.offset(0)], dim_size, s.dim, s.check, s.op);
    const int64_t at = walk.offset(2) + q * dim_stride;
    const Row& x = ps[walk.offset(1)];
    if (counts.empty()) {
      po[at] = kernels::combine_row(s.combine, po[at], x);
      continue;
    }
    const bool first = counts[static_cast<size_t>(at)]++ == 0;
    po[at] = first && !s.include_self ? x : kernels::combine_row(s.combine, po[at], x);
  }
  if (s.mean)
    for (size_t r = 0; r < counts.size(); ++r)
      if (counts[r] > 0)
        po[r] = kernels::divide_by_count_row(po[r], counts[r] + (s.include_self ? 1 : 0));
  return make_result(out, self.shape, self.data.device());
}

at::Tensor to_integers(const LimbTensor& t, at::ScalarType type, int64_t lo, int64_t hi,
                       const char* op) {
  const at::Tensor d = cpu_limbs(t, op);
  const int64_t n = d.size(0);
  at::Tensor r = at::empty({n}, at::TensorOptions().dtype(at::kLong));
  int64_t* pr = r.data_ptr<int64_t>();
  const Row* pd = rows_of(d);
  for (int64_t i = 0; i < n; ++i) {
    switch (kernels::trunc_to_int_row(pd[i], lo, hi, pr[i])) {
      case kernels::IntConversion::Ok:
        break;
      case kernels::IntConversion::NotFinite:
        throw std::runtime_error(std::string(op) +
                                 "(): cannot convert NaN or infinity to an integer");
      case kernels::IntConversion::OutOfRange:
        throw std::runtime_error(std::string(op) + "(): value " +
                                 std::to_string(limbs::approx(pd[i])) + " is out of range for " +
                                 c10::toString(type));
    }
  }
  at::Tensor out = r.to(type).reshape(t.shape);
  return t.data.device().is_cpu() ? out : out.to(t.data.device());
}

at::Tensor to_bools(const LimbTensor& t) {
  const at::Tensor d = cpu_limbs(t, "bool");
  const int64_t n = d.size(0);
  at::Tensor r = at::empty({n}, at::TensorOptions().dtype(at::kBool));
  bool* pr = r.data_ptr<bool>();
  const Row* pd = rows_of(d);
  for (int64_t i = 0; i < n; ++i) pr[i] = kernels::sign_row(pd[i]) != 0;
  at::Tensor out = r.reshape(t.shape);
  return t.data.device().is_cpu() ? out : out.to(t.data.device());
}

at::Tensor search_sorted(const LimbTensor& sorted, const LimbTensor& values,
                         const at::Tensor& sorter, bool right, bool out_int32) {
  const at::Tensor s = cpu_limbs(sorted, "searchsorted");
  const at::Tensor v = cpu_limbs(values, "searchsorted");
  const int64_t len = sorted.shape.empty() ? 1 : sorted.shape.back();
  const int64_t per_row = values.shape.empty() ? 1 : values.shape.back();
  const int64_t n = v.size(0);
  const bool one_row = sorted.shape.size() <= 1;
  at::Tensor r = at::empty({n}, at::TensorOptions().dtype(at::kLong));
  int64_t* pr = r.data_ptr<int64_t>();
  const Row* ps = rows_of(s);
  const Row* pv = rows_of(v);
  const int64_t* order = sorter.defined() ? sorter.data_ptr<int64_t>() : nullptr;
  parallel_rows(n, 4096, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      const int64_t row = one_row || per_row == 0 ? 0 : i / per_row;
      pr[i] = kernels::search_sorted_row(ps + row * len, len, 1,
                                         order ? order + row * len : nullptr, pv[i], right);
    }
  });
  at::Tensor out = r.reshape(values.shape);
  if (out_int32) out = out.to(at::kInt);
  return values.data.device().is_cpu() ? out : out.to(values.data.device());
}

LimbTensor bin_sums(const at::Tensor& bins, const LimbTensor& weights, int64_t nbins) {
  const at::Tensor w = cpu_limbs(weights, "bincount");
  at::Tensor out = new_limbs(nbins, "bincount");
  Row* po = rows_of(out);
  const Row* pw = rows_of(w);
  const int64_t* pb = bins.data_ptr<int64_t>();
  for (int64_t i = 0; i < bins.numel(); ++i) po[pb[i]] = kernels::add_row(po[pb[i]], pw[i]);
  return make_result(out, Shape{nbins}, weights.data.device());
}

LimbTensor histogram_counts(const LimbTensor& t, const LimbTensor& edges, const LimbTensor* weights,
                            bool density) {
  const at::Tensor x = cpu_limbs(t, "histogram");
  const at::Tensor e = cpu_limbs(edges, "histogram");
  at::Tensor w;
  if (weights) w = cpu_limbs(*weights, "histogram");
  const int64_t nbins = e.size(0) - 1;
  at::Tensor out = new_limbs(nbins, "histogram");
  Row* po = rows_of(out);
  const Row* px = rows_of(x);
  const Row* pe = rows_of(e);
  const Row one = limbs::from_double(1.0);
  for (int64_t i = 0; i < x.size(0); ++i) {
    const Row& v = px[i];
    if (kernels::sign_row(v) == 2) continue;
    // Past the last edge, or before the first: outside. The last edge closes the last bin.
    int64_t b = kernels::search_sorted_row(pe, nbins + 1, 1, nullptr, v, true) - 1;
    if (b < 0) continue;
    if (b == nbins) {
      if (kernels::search_sorted_row(pe, nbins + 1, 1, nullptr, v, false) != nbins) continue;
      b = nbins - 1;
    }
    po[b] = kernels::add_row(po[b], weights ? rows_of(w)[i] : one);
  }
  if (density) {
    Row total = limbs::zero_row();
    for (int64_t b = 0; b < nbins; ++b) total = kernels::add_row(total, po[b]);
    for (int64_t b = 0; b < nbins; ++b)
      po[b] = kernels::div_row(po[b], kernels::mul_row(total, kernels::sub_row(pe[b + 1], pe[b])));
  }
  return make_result(out, Shape{nbins}, t.data.device());
}

LimbTensor even_edges(const Row& lo, const Row& hi, int64_t bins, const at::Device& device) {
  at::Tensor out = new_limbs(bins + 1, "histogram");
  Row* po = rows_of(out);
  const Row width = kernels::sub_row(hi, lo);
  const Row count = limbs::from_double(static_cast<double>(bins));
  for (int64_t i = 0; i < bins; ++i)
    po[i] = kernels::add_row(
        lo, kernels::div_row(kernels::mul_row(width, limbs::from_double(static_cast<double>(i))),
                             count));
  po[bins] = hi;
  return make_result(out, Shape{bins + 1}, device);
}

void widen_empty_range(Row& lo, Row& hi, double pad) {
  if (kernels::sign_row(kernels::sub_row(hi, lo)) != 0) return;
  lo = kernels::sub_row(lo, limbs::from_double(pad));
  hi = kernels::add_row(hi, limbs::from_double(pad));
}

bool value_range(const LimbTensor& t, Row& lo, Row& hi) {
  const at::Tensor x = cpu_limbs(t, "histogram");
  const Row* px = rows_of(x);
  bool any = false;
  for (int64_t i = 0; i < x.size(0); ++i) {
    if (kernels::sign_row(px[i]) == 2) continue;
    if (!any) {
      lo = hi = px[i];
      any = true;
      continue;
    }
    lo = kernels::combine_row(Combine::Min, lo, px[i]);
    hi = kernels::combine_row(Combine::Max, hi, px[i]);
  }
  return any;
}

}  // namespace zel
