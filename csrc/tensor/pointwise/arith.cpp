#include "tensor/pointwise/arith.h"

#include <ATen/ops/empty.h>
#include <ATen/ExpandUtils.h>
#include <sstream>

#include "kernels/pointwise.h"

namespace zel {

namespace {

using RunKernel = void (*)(const limbs::Row* a, const limbs::Row* b, limbs::Row* out, int64_t n);

// Same shapes: runs of rows through the run kernel (lanes where the
// processor has them); broadcasts: one element at a time, through the same
// compiled copy of the element as the run kernel's scalar rows.
LimbTensor pairwise(const LimbTensor& a, const LimbTensor& b, const char* op, RunKernel run,
                    PairKernel one) {
  if (a.shape != b.shape)
    return binary_rows(a, b, op,
                       [one](const limbs::Row& x, const limbs::Row& y) { return one(x, y); });
  at::Tensor da = cpu_limbs(a, op);
  at::Tensor db = cpu_limbs(b, op);
  const int64_t n = da.size(0);
  at::Tensor r = new_limbs_for(n);
  const limbs::Row* pa = rows_of(da);
  const limbs::Row* pb = rows_of(db);
  limbs::Row* pr = rows_of(r);
  parallel_rows(n, 4096, [&](int64_t begin, int64_t end) {
    run(pa + begin, pb + begin, pr + begin, end - begin);
  });
  return make_result(r, a.shape, a.data.device());
}

}  // namespace

LimbTensor add(const LimbTensor& a, const LimbTensor& b) {
  return pairwise(a, b, "add", kernels::add_kernel, kernels::add_row);
}

LimbTensor sub(const LimbTensor& a, const LimbTensor& b) {
  return pairwise(a, b, "sub", kernels::sub_kernel, kernels::sub_row);
}

LimbTensor neg(const LimbTensor& a) {
  return map_rows(a, "neg", [](const limbs::Row& x) { return limbs::neg(x); });
}

LimbTensor mul(const LimbTensor& a, const LimbTensor& b) {
  return pairwise(a, b, "mul", kernels::mul_kernel, kernels::mul_row);
}

LimbTensor mul_scalar(const LimbTensor& a, double c) {
  return map_rows(a, "mul", [c](const limbs::Row& x) { return limbs::mul_scalar(x, c); });
}

LimbTensor add_scalar(const LimbTensor& a, double c) {
  const limbs::Row s = limbs::from_double(c);
  return map_rows(a, "add", [&s](const limbs::Row& x) { return limbs::add(x, s); });
}

LimbTensor sub_scalar(const LimbTensor& a, double c) {
  const limbs::Row s = limbs::from_double(c);
  return map_rows(a, "sub", [&s](const limbs::Row& x) { return limbs::sub(x, s); });
}

LimbTensor rsub_scalar(const LimbTensor& a, double c) {
  const limbs::Row s = limbs::from_double(c);
  return map_rows(a, "sub", [&s](const limbs::Row& x) { return limbs::sub(s, x); });
}

limbs::Row add_scalar_row(const limbs::Row& x, double c) {
  return limbs::add(x, limbs::from_double(c));
}
limbs::Row sub_scalar_row(const limbs::Row& x, double c) {
  return limbs::sub(x, limbs::from_double(c));
}
limbs::Row rsub_scalar_row(const limbs::Row& x, double c) {
  return limbs::sub(limbs::from_double(c), x);
}
limbs::Row mul_scalar_row(const limbs::Row& x, double c) { return limbs::mul_scalar(x, c); }
limbs::Row neg_row(const limbs::Row& x) { return limbs::neg(x); }
limbs::Row div_scalar_row(const limbs::Row& x, double c) {
  // div_scalar's kernel on one row.
  const limbs::Row rc = kernels::reciprocal_of(c);
  limbs::Row out;
  kernels::scale_kernel(&x, &out, 1, rc, false);
  return out;
}

LimbTensor scalar_tensor(double v, const at::Device& device) {
  at::Tensor d = new_limbs(1);
  d.data_ptr<double>()[0] = v;
  return make_result(d, Shape{}, device);
}

LimbTensor clone(const LimbTensor& a) {
  check_limbs(a.data, a.shape, "clone");
  return LimbTensor{a.data.clone(at::MemoryFormat::Contiguous), a.shape};
}

at::Tensor collapse(const at::Tensor& data) {
  if (!data.defined() || data.scalar_type() != at::kDouble || data.dim() != 2 ||
      data.size(1) != limbs::kLimbs) {
    std::ostringstream os;
    os << "_collapse_limbs expects a float64 array of shape (N, 8), got ";
    if (data.defined())
      os << data.scalar_type() << " " << data.sizes();
    else
      os << "an undefined tensor";
    throw ValueError(os.str());
  }
  at::Tensor d = data.to(at::kCPU).contiguous();
  const int64_t n = d.size(0);
  at::Tensor out = at::empty({n}, at::TensorOptions().dtype(at::kDouble));
  const limbs::Row* p = rows_of(d);
  double* o = out.data_ptr<double>();
  parallel_rows(n, 16384, [&](int64_t b, int64_t e) {
    for (int64_t i = b; i < e; ++i) o[i] = limbs::approx(p[i]);
  });
  return data.device().is_cpu() ? out : out.to(data.device());
}

namespace {

template <class F>
std::pair<at::Tensor, at::Tensor> eft_arrays(const at::Tensor& a, const at::Tensor& b, const F& f) {
  std::vector<int64_t> sizes = at::infer_size(a.sizes(), b.sizes());
  at::Tensor x = a.to(at::kCPU, at::kDouble).expand(sizes).contiguous();
  at::Tensor y = b.to(at::kCPU, at::kDouble).expand(sizes).contiguous();
  at::Tensor r = at::empty(sizes, x.options());
  at::Tensor e = at::empty(sizes, x.options());
  const double* px = x.data_ptr<double>();
  const double* py = y.data_ptr<double>();
  double* pr = r.data_ptr<double>();
  double* pe = e.data_ptr<double>();
  parallel_rows(x.numel(), 65536, [&](int64_t b0, int64_t e0) {
    for (int64_t i = b0; i < e0; ++i) f(px[i], py[i], pr[i], pe[i]);
  });
  const at::Device dev = a.device();
  if (!dev.is_cpu()) return {r.to(dev), e.to(dev)};
  return {r, e};
}

}  // namespace

std::pair<at::Tensor, at::Tensor> two_sum_arrays(const at::Tensor& a, const at::Tensor& b) {
  return eft_arrays(a, b,
                    [](double x, double y, double& s, double& e) { limbs::two_sum(x, y, s, e); });
}

std::pair<at::Tensor, at::Tensor> two_product_arrays(const at::Tensor& a, const at::Tensor& b) {
  return eft_arrays(
      a, b, [](double x, double y, double& p, double& e) { limbs::two_product(x, y, p, e); });
}

}  // namespace zel
