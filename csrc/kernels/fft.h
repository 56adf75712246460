// The discrete Fourier transform of complex rows (interleaved: element k is
// rows 2k and 2k + 1), in O(n log n) for every length: radix 2 for powers of
// two, Bluestein's chirp convolution through a power of two for the rest.
// The arithmetic is triple-double (about 150 bits), the twiddle factors come
// from sin(pi r) with r = 2k/n reduced exactly, and one transform is a fixed
// sequence of operations: results do not depend on the number of threads.
// Torch-free.
#pragma once

#include <cstdint>
#include <memory>

#include "kernels/pointwise.h"

namespace zel {
namespace kernels {

class FftPlan {
 public:
  // out_k = sum_j in_j e^(-+2 pi i jk / n), the sign + for the inverse
  // (unscaled both ways).
  FftPlan(int64_t n, bool inverse);
  ~FftPlan();
  FftPlan(const FftPlan&) = delete;
  FftPlan& operator=(const FftPlan&) = delete;

  int64_t size() const;
  // One transform of n complex elements; out must not overlap in.
  void run(const Row* in, Row* out) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kernels
}  // namespace zel
