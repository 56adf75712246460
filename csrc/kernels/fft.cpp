// The Fourier transform plans of kernels/fft.h.
#include "kernels/fft.h"

#include <vector>

#include "limbs/elem/triple.h"

namespace zel {
namespace kernels {

namespace {

namespace tr = limbs::triple;
using tr::Triple;

struct Cx {
  Triple re, im;
};

Cx add(const Cx& a, const Cx& b) { return {tr::add(a.re, b.re), tr::add(a.im, b.im)}; }
Cx sub(const Cx& a, const Cx& b) { return {tr::sub(a.re, b.re), tr::sub(a.im, b.im)}; }
Cx mul(const Cx& a, const Cx& b) {
  return {tr::sub(tr::mul(a.re, b.re), tr::mul(a.im, b.im)),
          tr::add(tr::mul(a.re, b.im), tr::mul(a.im, b.re))};
}
Cx conj(const Cx& a) { return {a.re, tr::neg(a.im)}; }

// e^(sign pi i p / n) with p reduced mod 2n into (-n, n] exactly, so r = p/n
// lies in (-1, 1] and sin(pi r), cos(pi r) = sin(pi (1/2 - |r|)) need no
// further reduction.
Cx cis_pi(int64_t p, int64_t n, int sign) {
  p %= 2 * n;
  if (p < 0) p += 2 * n;
  if (p > n) p -= 2 * n;
  const Triple r = tr::div(tr::of(static_cast<double>(p)), tr::of(static_cast<double>(n)));
  const Triple s = tr::sin_pi(r);
  const Triple c = tr::sin_pi(tr::sub(tr::of(0.5), tr::abs(r)));
  return {c, sign < 0 ? tr::neg(s) : s};
}

bool power_of_two(int64_t n) { return n > 0 && (n & (n - 1)) == 0; }

// Radix 2, decimation in time: bit-reversed order, then log2(n) passes of
// butterflies with the twiddles e^(sign 2 pi i k / n), k < n/2.
struct Radix2 {
  int64_t n = 0;
  std::vector<Cx> twiddle;
  std::vector<int64_t> reversed;

  Radix2(int64_t size, int sign) : n(size), twiddle(size / 2), reversed(size) {
    for (int64_t k = 0; k < n / 2; ++k) twiddle[k] = cis_pi(2 * k, n, sign);
    int bits = 0;
    while ((int64_t(1) << bits) < n) ++bits;
    for (int64_t i = 0; i < n; ++i) {
      int64_t r = 0;
      for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
      reversed[i] = r;
    }
  }

  void run(std::vector<Cx>& a) const {
    for (int64_t i = 0; i < n; ++i)
      if (i < reversed[i]) std::swap(a[i], a[reversed[i]]);
    for (int64_t len = 2; len <= n; len <<= 1) {
      const int64_t half = len / 2, step = n / len;
      for (int64_t i = 0; i < n; i += len) {
        for (int64_t j = 0; j < half; ++j) {
          const Cx u = a[i + j];
          const Cx v = j == 0 ? a[i + j + half] : mul(a[i + j + half], twiddle[j * step]);
          a[i + j] = add(u, v);
          a[i + j + half] = sub(u, v);
        }
      }
    }
  }
};

}  // namespace

// Bluestein: with w = e^(sign pi i / n), e^(sign 2 pi i jk/n) = w^(k^2) w^(j^2)
// w^(-(k-j)^2), so the transform is a convolution of x_j w^(j^2) with w^(-d^2),
// done through transforms of a power of two m >= 2n - 1.
struct FftPlan::Impl {
  int64_t n = 0;
  std::unique_ptr<Radix2> direct;         // n a power of two
  std::unique_ptr<Radix2> forward, back;  // Bluestein's length m, both signs
  std::vector<Cx> chirp;                  // w^(k^2), k < n
  std::vector<Cx> filter;                 // the transform of w^(-d^2)
  int log_m = 0;

  Impl(int64_t size, int sign) : n(size) {
    if (power_of_two(n)) {
      direct = std::make_unique<Radix2>(n, sign);
      return;
    }
    int64_t m = 1;
    while (m < 2 * n - 1) {
      m <<= 1;
      ++log_m;
    }
    forward = std::make_unique<Radix2>(m, -1);
    back = std::make_unique<Radix2>(m, 1);
    chirp.resize(n);
    for (int64_t k = 0; k < n; ++k) {
      const unsigned __int128 sq =
          static_cast<unsigned __int128>(k) * static_cast<unsigned __int128>(k);
      chirp[k] = cis_pi(static_cast<int64_t>(sq % static_cast<unsigned __int128>(2 * n)), n, sign);
    }
    filter.assign(m, Cx{tr::of(0.0), tr::of(0.0)});
    filter[0] = conj(chirp[0]);
    for (int64_t k = 1; k < n; ++k) filter[k] = filter[m - k] = conj(chirp[k]);
    forward->run(filter);
  }

  void run(const Row* in, Row* out) const {
    std::vector<Cx> a;
    if (direct) {
      a.resize(n);
      for (int64_t k = 0; k < n; ++k) a[k] = {tr::from_row(in[2 * k]), tr::from_row(in[2 * k + 1])};
      direct->run(a);
      for (int64_t k = 0; k < n; ++k) {
        out[2 * k] = tr::to_row(a[k].re);
        out[2 * k + 1] = tr::to_row(a[k].im);
      }
      return;
    }
    const int64_t m = static_cast<int64_t>(filter.size());
    a.assign(m, Cx{tr::of(0.0), tr::of(0.0)});
    for (int64_t k = 0; k < n; ++k)
      a[k] = mul({tr::from_row(in[2 * k]), tr::from_row(in[2 * k + 1])}, chirp[k]);
    forward->run(a);
    for (int64_t k = 0; k < m; ++k) a[k] = mul(a[k], filter[k]);
    back->run(a);
    for (int64_t k = 0; k < n; ++k) {
      const Cx r = mul(a[k], chirp[k]);
      out[2 * k] = tr::to_row(tr::scale(r.re, -log_m));
      out[2 * k + 1] = tr::to_row(tr::scale(r.im, -log_m));
    }
  }
};

FftPlan::FftPlan(int64_t n, bool inverse) : impl_(std::make_unique<Impl>(n, inverse ? 1 : -1)) {}
FftPlan::~FftPlan() = default;
int64_t FftPlan::size() const { return impl_->n; }
void FftPlan::run(const Row* in, Row* out) const { impl_->run(in, out); }

}  // namespace kernels
}  // namespace zel
