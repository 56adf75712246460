// Single-thread ns per element of MPFR at 106 bits for lgamma, erf and j0,
// on the values bench_special_speed.py passes on stdin; never part of the
// library.
//
// usage: mpfr_special < "<function> <n> <x_0> ... <x_n-1>" lines
//        -> lines "<function> <ns per element>"
#include <mpfr.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "cpp_timing.h"

int main() {
  char name[32];
  long n;
  while (std::scanf("%31s %ld", name, &n) == 2) {
    std::vector<double> xs(n);
    for (long i = 0; i < n; ++i)
      if (std::scanf("%lf", &xs[i]) != 1) return 1;
    std::vector<mpfr_t> in(n), out(n);
    for (long i = 0; i < n; ++i) {
      mpfr_init2(in[i], 106);
      mpfr_init2(out[i], 106);
      mpfr_set_d(in[i], xs[i], MPFR_RNDN);
    }
    const bool lgamma = !std::strcmp(name, "lgamma"), erf = !std::strcmp(name, "erf");
    const double ns = best_ns_per_element(n, [&] {
      int sign;
      for (long i = 0; i < n; ++i) {
        if (lgamma)
          mpfr_lgamma(out[i], &sign, in[i], MPFR_RNDN);
        else if (erf)
          mpfr_erf(out[i], in[i], MPFR_RNDN);
        else
          mpfr_j0(out[i], in[i], MPFR_RNDN);
      }
      g_sink = mpfr_get_d(out[n - 1], MPFR_RNDN);
    });
    std::printf("%s %.1f\n", name, ns);
    std::fflush(stdout);
    for (long i = 0; i < n; ++i) {
      mpfr_clear(in[i]);
      mpfr_clear(out[i]);
    }
  }
  return 0;
}
