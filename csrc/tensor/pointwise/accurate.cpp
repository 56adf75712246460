#include "tensor/pointwise/accurate.h"

#include <ATen/ops/empty.h>
#include <ATen/ops/zeros.h>
#include <vector>

#include "kernels/accurate_lanes.h"
#include "kernels/complex.h"
#include "kernels/fft.h"
#include "kernels/pointwise.h"
#include "limbs/core/order.h"

namespace zel {

namespace {

using limbs::Row;

constexpr int64_t kHeavy = static_cast<int64_t>(Grain::Heavy);
constexpr int64_t kLight = static_cast<int64_t>(Grain::Light);

// The result for a malformed operand (see kernels::malformed_row).
const Row kNaNRow = limbs::from_double(limbs::kNaN);

// Row index of each operand for output row i: the broadcast of up to
// three shapes, for the functions of three operands.
struct Broadcast3 {
  Shape out;
  std::vector<int64_t> st[3];

  Broadcast3(const Shape& a, const Shape& b, const Shape& c)
      : out(broadcast_shapes(broadcast_shapes(a, b), c)) {
    st[0] = broadcast_strides(a, out);
    st[1] = broadcast_strides(b, out);
    st[2] = broadcast_strides(c, out);
  }

  void index(int64_t i, int64_t (&at)[3]) const {
    at[0] = at[1] = at[2] = 0;
    for (int64_t d = static_cast<int64_t>(out.size()) - 1; d >= 0; --d) {
      const int64_t k = i % out[d];
      i /= out[d];
      for (int j = 0; j < 3; ++j) at[j] += k * st[j][d];
    }
  }
};

template <class F>
LimbTensor ternary_rows(const LimbTensor& a, const LimbTensor& b, const LimbTensor& c,
                        const char* op, const F& f) {
  const Broadcast3 bc(a.shape, b.shape, c.shape);
  at::Tensor da = cpu_limbs(a, op), db = cpu_limbs(b, op), dc = cpu_limbs(c, op);
  const int64_t n = shape_numel(bc.out);
  at::Tensor r = new_limbs_for(n, op);
  const Row *pa = rows_of(da), *pb = rows_of(db), *pc = rows_of(dc);
  Row* pr = rows_of(r);
  parallel_rows(n, kHeavy, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) {
      int64_t at[3];
      bc.index(i, at);
      const Row &x = pa[at[0]], &y = pb[at[1]], &z = pc[at[2]];
      pr[i] = kernels::malformed_row(x) || kernels::malformed_row(y) || kernels::malformed_row(z)
                  ? kNaNRow
                  : f(x, y, z);
    }
  });
  return make_result(r, bc.out, a.data.device());
}

at::Tensor on_device(const at::Tensor& cpu, const at::Device& dev) {
  return dev.is_cpu() ? cpu : cpu.to(dev);
}

}  // namespace

LimbTensor pow_tensor(const LimbTensor& a, const LimbTensor& b) {
  if (a.shape == b.shape) {
    at::Tensor da = cpu_limbs(a, "pow"), db = cpu_limbs(b, "pow");
    const int64_t n = da.size(0);
    at::Tensor r = new_limbs_for(n, "pow");
    const Row *pa = rows_of(da), *pb = rows_of(db);
    Row* pr = rows_of(r);
    parallel_rows(n, kHeavy, [&](int64_t begin, int64_t end) {
      kernels::pow_pairs_kernel(pa + begin, pb + begin, pr + begin, end - begin);
    });
    return make_result(r, a.shape, a.data.device());
  }
  return binary_rows(
      a, b, "pow", [](const Row& x, const Row& y) { return kernels::pow_row(x, y); }, kHeavy);
}

LimbTensor logit(const LimbTensor& a, bool has_eps, double eps) {
  return map_runs(a, "logit", kHeavy, [=](const Row* in, Row* out, int64_t n) {
    kernels::logit_kernel(in, out, n, has_eps, eps);
  });
}

LimbTensor nan_to_num(const LimbTensor& a, double nan, double posinf, double neginf) {
  return map_runs(a, "nan_to_num", kLight, [=](const Row* in, Row* out, int64_t n) {
    kernels::nan_to_num_kernel(in, out, n, nan, posinf, neginf);
  });
}

LimbTensor lerp(const LimbTensor& start, const LimbTensor& end, const LimbTensor& weight) {
  return ternary_rows(start, end, weight, "lerp", [](const Row& s, const Row& e, const Row& w) {
    return kernels::lerp_row(s, e, w);
  });
}

LimbTensor addc(const LimbTensor& input, const LimbTensor& t1, const LimbTensor& t2, double value,
                bool divide, const char* op) {
  if (divide)
    return ternary_rows(input, t1, t2, op, [value](const Row& i, const Row& x, const Row& y) {
      return kernels::addcdiv_row(i, x, y, value);
    });
  return ternary_rows(input, t1, t2, op, [value](const Row& i, const Row& x, const Row& y) {
    return kernels::addcmul_row(i, x, y, value);
  });
}

LimbTensor clamp_rows(const LimbTensor& a, const LimbTensor* lo, const LimbTensor* hi,
                      const char* op) {
  // An absent bound is broadcast as a 0-d operand that the kernel ignores.
  const LimbTensor none{at::zeros({1, limbs::kLimbs}, at::kDouble), Shape{}};
  const bool has_lo = lo != nullptr, has_hi = hi != nullptr;
  return ternary_rows(a, has_lo ? *lo : none, has_hi ? *hi : none, op,
                      [has_lo, has_hi](const Row& x, const Row& l, const Row& h) {
                        return kernels::clamp_between_row(x, has_lo ? &l : nullptr,
                                                          has_hi ? &h : nullptr);
                      });
}

at::Tensor isclose(const LimbTensor& a, const LimbTensor& b, double rtol, double atol,
                   bool equal_nan) {
  Shape out = broadcast_shapes(a.shape, b.shape);
  at::Tensor da = cpu_limbs(a, "isclose"), db = cpu_limbs(b, "isclose");
  check_alloc(shape_numel(out), "isclose");
  at::Tensor r = at::empty({shape_numel(out)}, at::kBool);
  bool* pr = r.data_ptr<bool>();
  const Row *pa = rows_of(da), *pb = rows_of(db);
  for_each_broadcast(out, a.shape, b.shape, kLight, [&](int64_t i, int64_t ia, int64_t ib) {
    pr[i] = kernels::isclose_row(pa[ia], pb[ib], rtol, atol, equal_nan);
  });
  return on_device(r.reshape(out), a.data.device());
}

at::Tensor signbit(const LimbTensor& a) {
  at::Tensor da = cpu_limbs(a, "signbit");
  const int64_t n = da.size(0);
  at::Tensor r = at::empty({n}, at::kBool);
  bool* pr = r.data_ptr<bool>();
  const Row* pa = rows_of(da);
  parallel_rows(n, kLight, [&](int64_t begin, int64_t end) {
    for (int64_t i = begin; i < end; ++i) pr[i] = kernels::signbit_row(pa[i]);
  });
  return on_device(r.reshape(a.shape), a.data.device());
}

bool equal(const LimbTensor& a, const LimbTensor& b) {
  at::Tensor da = cpu_limbs(a, "equal"), db = cpu_limbs(b, "equal");
  if (a.shape != b.shape) return false;
  const Row *pa = rows_of(da), *pb = rows_of(db);
  for (int64_t i = 0; i < da.size(0); ++i)
    if (limbs::compare_exact(pa[i], pb[i]) != 0) return false;
  return true;
}

LimbTensor complex_function(const std::string& name, const LimbTensor& z, const LimbTensor* w) {
  if (z.shape.empty() || z.shape.back() != 2)
    throw std::invalid_argument(name + "(): expected a last dimension of size 2 (real, imaginary)");
  if (w && w->shape != z.shape)
    throw std::invalid_argument(name + "(): operands of shapes " + shape_str(z.shape) + " and " +
                                shape_str(w->shape) + " differ");
  const kernels::ComplexUnaryKernel unary =
      w ? nullptr : kernels::complex_unary_kernel(name.c_str());
  const kernels::ComplexBinaryKernel binary =
      w ? kernels::complex_binary_kernel(name.c_str()) : nullptr;
  if (!unary && !binary)
    throw std::invalid_argument("no complex " + std::string(w ? "binary" : "unary") +
                                " function named '" + name + "'");
  at::Tensor da = cpu_limbs(z, name.c_str());
  at::Tensor db = w ? cpu_limbs(*w, name.c_str()) : da;
  const int64_t n = da.size(0) / 2;
  at::Tensor r = new_limbs_for(2 * n, name.c_str());
  const Row *pa = rows_of(da), *pb = rows_of(db);
  Row* pr = rows_of(r);
  parallel_rows(n, kHeavy / 2, [&](int64_t begin, int64_t end) {
    if (unary)
      unary(pa + 2 * begin, pr + 2 * begin, end - begin);
    else
      binary(pa + 2 * begin, pb + 2 * begin, pr + 2 * begin, end - begin);
  });
  return make_result(r, z.shape, z.data.device());
}

LimbTensor fft_last(const LimbTensor& z, bool inverse) {
  if (z.shape.size() < 2 || z.shape.back() != 2)
    throw std::invalid_argument("fft(): expected a tensor of shape (..., n, 2), got " +
                                shape_str(z.shape));
  const int64_t n = z.shape[z.shape.size() - 2];
  if (n < 1) throw std::invalid_argument("fft(): Invalid number of data points (0) specified");
  at::Tensor d = cpu_limbs(z, "fft");
  const int64_t batch = d.size(0) / (2 * n);
  at::Tensor r = new_limbs_for(d.size(0), "fft");
  const kernels::FftPlan plan(n, inverse);
  const Row* pa = rows_of(d);
  Row* pr = rows_of(r);
  // One transform per task: each is the same sequence whatever the threads.
  parallel_rows(batch, 1, [&](int64_t begin, int64_t end) {
    for (int64_t b = begin; b < end; ++b) plan.run(pa + 2 * n * b, pr + 2 * n * b);
  });
  return make_result(r, z.shape, z.data.device());
}

}  // namespace zel
