// Textbook Gaussian elimination with partial pivoting in the QD library's
// dd_real (2 limbs): solve A x = b, and the inverse by the same elimination
// on the n columns of the identity. The double-double reference point of
// bench_linalg_speed.py, which builds and runs it; never part of the library.
// Usage: qd_linalg solve|inv n; prints the best time in ms.
#include <qd/dd_real.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

// In place: a (n x n) becomes its LU factors, b (n x k) the solution.
void eliminate(std::vector<dd_real>& a, std::vector<dd_real>& b, int n, int k) {
  for (int j = 0; j < n; ++j) {
    int p = j;
    for (int i = j + 1; i < n; ++i)
      if (abs(a[i * n + j]) > abs(a[p * n + j])) p = i;
    if (p != j) {
      for (int c = 0; c < n; ++c) std::swap(a[j * n + c], a[p * n + c]);
      for (int c = 0; c < k; ++c) std::swap(b[j * k + c], b[p * k + c]);
    }
    for (int i = j + 1; i < n; ++i) {
      const dd_real f = a[i * n + j] / a[j * n + j];
      a[i * n + j] = f;
      for (int c = j + 1; c < n; ++c) a[i * n + c] -= f * a[j * n + c];
      for (int c = 0; c < k; ++c) b[i * k + c] -= f * b[j * k + c];
    }
  }
  for (int i = n - 1; i >= 0; --i)
    for (int c = 0; c < k; ++c) {
      dd_real v = b[i * k + c];
      for (int j = i + 1; j < n; ++j) v -= a[i * n + j] * b[j * k + c];
      b[i * k + c] = v / a[i * n + i];
    }
}

}  // namespace

int main(int argc, char** argv) {
  const bool inv = argc > 1 && std::strcmp(argv[1], "inv") == 0;
  const int n = argc > 2 ? std::atoi(argv[2]) : 128;
  const int k = inv ? n : 1;
  unsigned int old_cw;
  fpu_fix_start(&old_cw);
  std::mt19937_64 rng(1);
  std::normal_distribution<double> dist;
  std::vector<dd_real> a0(n * n), b0(n * k);
  for (auto& x : a0) x = dist(rng);
  for (int i = 0; i < n; ++i)
    for (int c = 0; c < k; ++c)
      b0[i * k + c] = inv ? dd_real(i == c ? 1.0 : 0.0) : dd_real(dist(rng));
  double best = 1e30;
  dd_real sink = 0.0;
  for (int rep = 0; rep < 5; ++rep) {
    std::vector<dd_real> a = a0, b = b0;
    auto t0 = std::chrono::steady_clock::now();
    eliminate(a, b, n, k);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
    sink += b[0];
  }
  std::printf("%.4f\n", best * 1e3);
  std::fprintf(stderr, "%g\n", to_double(sink));
  fpu_fix_end(&old_cw);
  return 0;
}
