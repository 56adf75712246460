// Naive triple-loop matrix product in the QD library's dd_real (2 limbs),
// the reference point for our 8-limb accumulation. Prints ns per term.
// Built and run by bench_reduce.py; never part of the library.
#include <qd/dd_real.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

int main(int argc, char** argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 128;
  unsigned int old_cw;
  fpu_fix_start(&old_cw);
  std::mt19937_64 rng(1);
  std::normal_distribution<double> dist;
  std::vector<dd_real> a(n * n), b(n * n), c(n * n);
  for (auto& x : a) x = dist(rng);
  for (auto& x : b) x = dist(rng);
  double best = 1e30;
  for (int rep = 0; rep < 3; ++rep) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) {
        dd_real acc = 0.0;
        for (int k = 0; k < n; ++k) acc += a[i * n + k] * b[k * n + j];
        c[i * n + j] = acc;
      }
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
  }
  std::printf("%.3f\n", best * 1e9 / (double(n) * n * n));
  std::fprintf(stderr, "%g\n", to_double(c[0]));
  fpu_fix_end(&old_cw);
  return 0;
}
