// Single-thread ns per element of QD's qd_real for the functions it has
// among the accurate element functions, next to our kernels called directly
// on 8-limb rows (no tensor layer). Built and run by bench_math.py; never
// part of the library.
//
// usage: qd_math N   -> lines "<function> <qd_real ns> <limbs ns>"
#include <qd/fpu.h>
#include <qd/qd_real.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "cpp_timing.h"
#include "limbs/elem/accurate_functions.h"

namespace {

// One function's operands on its domain: a uniform in [lo, hi) with a
// second limb in use, b uniform in [-1, 1) for atan2.
struct Case {
  const char* name;
  double lo, hi;
  qd_real (*qd)(const qd_real&, const qd_real&);
  limbs::Row (*ours)(const limbs::Row&, const limbs::Row&);
};

const Case kCases[] = {
    {"asin", -1.0, 1.0, [](const qd_real& a, const qd_real&) { return asin(a); },
     [](const limbs::Row& a, const limbs::Row&) { return limbs::math::asin(a); }},
    {"acos", -1.0, 1.0, [](const qd_real& a, const qd_real&) { return acos(a); },
     [](const limbs::Row& a, const limbs::Row&) { return limbs::math::acos(a); }},
    {"atan", -4.0, 4.0, [](const qd_real& a, const qd_real&) { return atan(a); },
     [](const limbs::Row& a, const limbs::Row&) { return limbs::math::atan(a); }},
    {"sinh", -5.0, 5.0, [](const qd_real& a, const qd_real&) { return sinh(a); },
     [](const limbs::Row& a, const limbs::Row&) { return limbs::math::sinh(a); }},
    {"cosh", -5.0, 5.0, [](const qd_real& a, const qd_real&) { return cosh(a); },
     [](const limbs::Row& a, const limbs::Row&) { return limbs::math::cosh(a); }},
    {"asinh", -5.0, 5.0, [](const qd_real& a, const qd_real&) { return asinh(a); },
     [](const limbs::Row& a, const limbs::Row&) { return limbs::math::asinh(a); }},
    {"acosh", 1.0, 10.0, [](const qd_real& a, const qd_real&) { return acosh(a); },
     [](const limbs::Row& a, const limbs::Row&) { return limbs::math::acosh(a); }},
    {"atanh", -1.0, 1.0, [](const qd_real& a, const qd_real&) { return atanh(a); },
     [](const limbs::Row& a, const limbs::Row&) { return limbs::math::atanh(a); }},
    {"atan2", -1.0, 1.0, [](const qd_real& a, const qd_real& b) { return atan2(a, b); },
     [](const limbs::Row& a, const limbs::Row& b) { return limbs::math::atan2(a, b); }},
};

void run(const Case& c, long n) {
  std::mt19937_64 gen(0);
  std::uniform_real_distribution<double> ua(c.lo, c.hi), ub(-1.0, 1.0);
  std::vector<qd_real> qa(n), qb(n), qr(n);
  std::vector<limbs::Row> la(n), lb(n), lr(n);
  for (long i = 0; i < n; ++i) {
    const double a = ua(gen), b = ub(gen);
    const double a_lo = a * 0x1p-54, b_lo = b * 0x1p-54;
    qa[i] = qd_real(a) + qd_real(a_lo);
    qb[i] = qd_real(b) + qd_real(b_lo);
    la[i] = limbs::from_double(a);
    la[i].l[1] = a_lo;
    lb[i] = limbs::from_double(b);
    lb[i].l[1] = b_lo;
  }
  const double t_qd = best_ns_per_element(n, [&] {
    for (long i = 0; i < n; ++i) qr[i] = c.qd(qa[i], qb[i]);
  });
  const double t_ours = best_ns_per_element(n, [&] {
    for (long i = 0; i < n; ++i) lr[i] = c.ours(la[i], lb[i]);
  });
  double s = 0;
  for (long i = 0; i < n; i += 97) s += to_double(qr[i]) + lr[i].l[0];
  g_sink = s;
  std::printf("%s %.1f %.1f\n", c.name, t_qd, t_ours);
}

}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::atol(argv[1]) : 20000;
  if (n < 1) {
    std::fprintf(stderr, "usage: %s N (N >= 1)\n", argv[0]);
    return 2;
  }
  unsigned int old_cw;
  fpu_fix_start(&old_cw);  // no-op on x86-64 SSE2; QD asks for it on x87
  for (const Case& c : kCases) run(c, n);
  fpu_fix_end(&old_cw);
  return 0;
}
