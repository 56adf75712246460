// Single-thread ns per element of the QD library's dd_real (2 limbs) and
// qd_real (4 limbs) element functions, next to our own limb kernels called
// directly (no tensor layer, no allocation). Built and run by
// bench_elementwise.py; never part of the library.
//
// usage: qd_bench N   -> lines "<type> <function> <ns per element>"
#include <qd/dd_real.h>
#include <qd/fpu.h>
#include <qd/qd_real.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "cpp_timing.h"
#include "limbs/elem/defined.h"

namespace {

template <class T>
T make(double hi, double lo) {
  return T(hi) + T(lo);
}

template <class T>
void run_qd(const char* type, const Inputs& in) {
  const long n = static_cast<long>(in.a.size());
  std::vector<T> a(n), b(n), r(n);
  for (long i = 0; i < n; ++i) {
    a[i] = make<T>(in.a[i], in.a_lo[i]);
    b[i] = make<T>(in.b[i], in.b_lo[i]);
  }
  auto report = [&](const char* name, double ns) {
    double s = 0;
    for (long i = 0; i < n; i += 97) s += to_double(r[i]);
    g_sink = s;
    std::printf("%s %s %.2f\n", type, name, ns);
  };
  report("div", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = a[i] / b[i];
         }));
  report("reciprocal", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = T(1.0) / b[i];
         }));
  report("sqrt", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = sqrt(a[i]);
         }));
  report("exp", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = exp(a[i]);
         }));
  report("log", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = log(a[i]);
         }));
  report("sin", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = sin(a[i]);
         }));
  report("tanh", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = tanh(a[i]);
         }));
  // softmax over the whole vector: max, exp of the shifted values, sum, scale.
  report("softmax", best_ns_per_element(n, [&] {
           T m = a[0];
           for (long i = 1; i < n; ++i) m = std::max(m, a[i]);
           T s = T(0.0);
           for (long i = 0; i < n; ++i) {
             r[i] = exp(a[i] - m);
             s += r[i];
           }
           T inv = T(1.0) / s;
           for (long i = 0; i < n; ++i) r[i] *= inv;
         }));
}

void run_limbs(const Inputs& in) {
  const long n = static_cast<long>(in.a.size());
  std::vector<limbs::Row> a(n), b(n), r(n);
  for (long i = 0; i < n; ++i) {
    a[i] = limbs::add(limbs::from_double(in.a[i]), limbs::from_double(in.a_lo[i]));
    b[i] = limbs::add(limbs::from_double(in.b[i]), limbs::from_double(in.b_lo[i]));
  }
  auto report = [&](const char* name, double ns) {
    double s = 0;
    for (long i = 0; i < n; i += 97) s += r[i].l[0] + r[i].l[1];
    g_sink = s;
    std::printf("limbs8 %s %.2f\n", name, ns);
  };
  report("add", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = limbs::add(a[i], b[i]);
         }));
  report("mul", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = limbs::mul(a[i], b[i]);
         }));
  report("div", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = limbs::div(a[i], b[i]);
         }));
  report("reciprocal", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = limbs::reciprocal(b[i]);
         }));
  report("sqrt", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = limbs::sqrt(a[i]);
         }));
  report("exp", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = limbs::exp(a[i]);
         }));
  report("log", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = limbs::log(a[i]);
         }));
  report("sin", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = limbs::sin(a[i]);
         }));
  report("tanh", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = limbs::tanh(a[i]);
         }));
}

}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::atol(argv[1]) : 100000;
  if (n < 1) {
    std::fprintf(stderr, "usage: %s N (N >= 1)\n", argv[0]);
    return 2;
  }
  unsigned int old_cw;
  fpu_fix_start(&old_cw);  // no-op on x86-64 SSE2; QD asks for it on x87
  const Inputs in(n);
  run_qd<dd_real>("dd_real", in);
  run_qd<qd_real>("qd_real", in);
  run_limbs(in);
  fpu_fix_end(&old_cw);
  return 0;
}
