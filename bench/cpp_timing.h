// Timing and operands shared by the C++ bench programs (qd_bench.cpp,
// speed_bench.cpp, qd_math.cpp); never part of the library.
#pragma once

#include <algorithm>
#include <chrono>
#include <random>
#include <vector>

namespace {

volatile double g_sink;  // keeps every result observable

template <class F>
double best_ns_per_element(long n, const F& run) {
  double best = 1e300;
  long reps = 0;
  auto total = std::chrono::steady_clock::duration::zero();
  // At least three passes, and at least 0.3 s, best pass reported.
  while (reps < 3 || (reps < 50 && total < std::chrono::milliseconds(300))) {
    auto t0 = std::chrono::steady_clock::now();
    run();
    auto dt = std::chrono::steady_clock::now() - t0;
    total += dt;
    best = std::min(best, std::chrono::duration<double, std::nano>(dt).count() / double(n));
    ++reps;
  }
  return best;
}

// The operands of the Python run: uniform in [0.5, 1.5), lower limbs in use.
struct Inputs {
  std::vector<double> a, b, a_lo, b_lo;
  explicit Inputs(long n) : a(n), b(n), a_lo(n), b_lo(n) {
    std::mt19937_64 gen(0);
    std::uniform_real_distribution<double> u(0.5, 1.5);
    for (long i = 0; i < n; ++i) {
      a[i] = u(gen);
      b[i] = u(gen);
      a_lo[i] = b[i] * 1e-17;
      b_lo[i] = a[i] * 1e-17;
    }
  }
};

}  // namespace
