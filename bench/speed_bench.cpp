// One thread, ns per element at N elements: our element kernels (those the
// tensor layer calls, linked from the library's kernel archive, so built
// with its flags file by file), the previous release's
// kernels (previous_release.cpp), QD's qd_real and MPFR at 106 bits; and
// ns per multiply-add term of an n x n matrix product, ours against QD
// dd_real's triple loop. Also counts the rows where the new and the
// previous kernels differ in any byte (must be 0); the same for the tree
// reductions (sum, product, norms, variance, dot), ours against the
// previous release's. Built and run by
// bench_speed.py; never part of the library.
//
// usage: speed_bench N MATMUL_N -> lines "<impl> <function> <value>"
#include <mpfr.h>
#include <qd/dd_real.h>
#include <qd/fpu.h>
#include <qd/qd_real.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cpp_timing.h"
#include "kernels/pointwise.h"
#include "limbs/matrix/gemm.h"

#define PREVIOUS_KERNEL(name) void previous_##name(const double* in, double* out, long n);
PREVIOUS_KERNEL(reciprocal)
PREVIOUS_KERNEL(sqrt)
PREVIOUS_KERNEL(exp)
PREVIOUS_KERNEL(log)
PREVIOUS_KERNEL(sin)
PREVIOUS_KERNEL(cos)
PREVIOUS_KERNEL(tanh)
PREVIOUS_KERNEL(sigmoid)
PREVIOUS_KERNEL(gelu)
#undef PREVIOUS_KERNEL
void previous_div(const double* a, const double* b, double* out, long n);
void previous_add(const double* a, const double* b, double* out, long n);
void previous_mul(const double* a, const double* b, double* out, long n);
#define PREVIOUS_REDUCTION(name) \
  void previous_##name(const double* x, const double* y, double* scratch, double* out, long n);
PREVIOUS_REDUCTION(sum)
PREVIOUS_REDUCTION(prod)
PREVIOUS_REDUCTION(norm1)
PREVIOUS_REDUCTION(norm2)
PREVIOUS_REDUCTION(var)
PREVIOUS_REDUCTION(dot)
#undef PREVIOUS_REDUCTION

namespace {

using limbs::Row;

void report(const char* impl, const char* func, double value) {
  std::printf("%s %s %.2f\n", impl, func, value);
}

const double* raw(const std::vector<Row>& v) { return &v[0].l[0]; }
double* raw(std::vector<Row>& v) { return &v[0].l[0]; }

// Division as the tensor layer does it: the reciprocal rows of b, then one
// tensor product per element.
void div_rows(const Row* a, const Row* b, Row* scratch, Row* out, long n) {
  zel::kernels::reciprocal_kernel(b, scratch, n);
  for (long i = 0; i < n; ++i) out[i] = limbs::mul(a[i], scratch[i]);
}

struct Unary {
  const char* name;
  void (*ours)(const Row*, Row*, int64_t);
  void (*previous)(const double*, double*, long);
};

void run_limbs(const Inputs& in) {
  const long n = static_cast<long>(in.a.size());
  std::vector<Row> a(n), b(n), r(n), scratch(n), old(n);
  for (long i = 0; i < n; ++i) {
    a[i] = limbs::add(limbs::from_double(in.a[i]), limbs::from_double(in.a_lo[i]));
    b[i] = limbs::add(limbs::from_double(in.b[i]), limbs::from_double(in.b_lo[i]));
  }
  auto differing = [&] {
    long count = 0;
    for (long i = 0; i < n; ++i) count += std::memcmp(&r[i], &old[i], sizeof(Row)) != 0;
    g_sink = r[n / 2].l[1];
    return static_cast<double>(count);
  };
  report("ours", "div", best_ns_per_element(n, [&] {
           div_rows(a.data(), b.data(), scratch.data(), r.data(), n);
         }));
  report("previous", "div",
         best_ns_per_element(n, [&] { previous_div(raw(a), raw(b), raw(old), n); }));
  report("differing", "div", differing());
  report("ours", "add", best_ns_per_element(n, [&] {
           zel::kernels::add_kernel(a.data(), b.data(), r.data(), n);
         }));
  report("previous", "add",
         best_ns_per_element(n, [&] { previous_add(raw(a), raw(b), raw(old), n); }));
  report("differing", "add", differing());
  report("ours", "mul", best_ns_per_element(n, [&] {
           zel::kernels::mul_kernel(a.data(), b.data(), r.data(), n);
         }));
  report("previous", "mul",
         best_ns_per_element(n, [&] { previous_mul(raw(a), raw(b), raw(old), n); }));
  report("differing", "mul", differing());
  const Unary funcs[] = {{"reciprocal", zel::kernels::reciprocal_kernel, previous_reciprocal},
                         {"sqrt", zel::kernels::sqrt_kernel, previous_sqrt},
                         {"exp", zel::kernels::exp_kernel, previous_exp},
                         {"log", zel::kernels::log_kernel, previous_log},
                         {"sin", zel::kernels::sin_kernel, previous_sin},
                         {"cos", zel::kernels::cos_kernel, previous_cos},
                         {"tanh", zel::kernels::tanh_kernel, previous_tanh},
                         {"sigmoid", zel::kernels::sigmoid_kernel, previous_sigmoid},
                         {"gelu", zel::kernels::gelu_kernel, previous_gelu}};
  for (const Unary& f : funcs) {
    // reciprocal on b as QD's 1/b; the rest on a.
    const std::vector<Row>& x = std::strcmp(f.name, "reciprocal") == 0 ? b : a;
    report("ours", f.name, best_ns_per_element(n, [&] { f.ours(x.data(), r.data(), n); }));
    report("previous", f.name, best_ns_per_element(n, [&] { f.previous(raw(x), raw(old), n); }));
    report("differing", f.name, differing());
  }
}

// Reductions of the whole run of n rows, ns per element: ours, the previous
// release's, and whether the two results differ in any byte. The product
// runs on factors near 1, so that it neither overflows nor underflows.
void run_reductions(const Inputs& in) {
  const long n = static_cast<long>(in.a.size());
  std::vector<Row> a(n), b(n), near_one(n), scratch((n + 1) / 2 + 1);
  for (long i = 0; i < n; ++i) {
    a[i] = limbs::add(limbs::from_double(in.a[i]), limbs::from_double(in.a_lo[i]));
    b[i] = limbs::add(limbs::from_double(in.b[i]), limbs::from_double(in.b_lo[i]));
    near_one[i] = limbs::add(limbs::from_double(1.0), limbs::from_double(in.a[i] * 1e-7));
  }
  const Row inv_n = limbs::count_reciprocal(n);
  struct Reduction {
    const char* name;
    const std::vector<Row>* x;
    Row (*ours)(const double*, const double*, double*, long, const Row&);
    void (*previous)(const double*, const double*, double*, double*, long);
  };
  const Reduction reductions[] = {
      {"sum", &a,
       [](const double* x, const double*, double* s, long m, const Row&) {
         return limbs::tree_sum(x, m, 1, s);
       },
       previous_sum},
      {"prod", &near_one,
       [](const double* x, const double*, double* s, long m, const Row&) {
         return limbs::tree_prod(x, m, 1, s);
       },
       previous_prod},
      {"norm1", &a,
       [](const double* x, const double*, double* s, long m, const Row&) {
         return limbs::norm1_slice(x, m, 1, s);
       },
       previous_norm1},
      {"norm2", &a,
       [](const double* x, const double*, double* s, long m, const Row&) {
         return limbs::norm2_slice(x, m, 1, s);
       },
       previous_norm2},
      {"var", &a,
       [](const double* x, const double*, double* s, long m, const Row& inv) {
         return limbs::var_slice(x, m, 1, inv, true, s);
       },
       previous_var},
      {"dot", &a,
       [](const double* x, const double* y, double* s, long m, const Row&) {
         return limbs::dot(x, 1, y, 1, m, s);
       },
       previous_dot},
  };
  for (const Reduction& r : reductions) {
    const double* x = raw(*r.x);
    Row mine, old;
    report("ours", r.name,
           best_ns_per_element(n, [&] { mine = r.ours(x, raw(b), raw(scratch), n, inv_n); }));
    report("previous", r.name,
           best_ns_per_element(n, [&] { r.previous(x, raw(b), raw(scratch), &old.l[0], n); }));
    report("differing", r.name, std::memcmp(&mine, &old, sizeof(Row)) != 0);
  }
}

// The dot product of n rows against dd_real's: a running dd_real sum of
// dd_real products over the same values (two float64 limbs an element).
void run_dot(long n) {
  const Inputs in(n);
  std::vector<Row> a(n), b(n), scratch(limbs::tree_scratch_rows(n) + 1);
  std::vector<dd_real> da(n), db(n);
  for (long i = 0; i < n; ++i) {
    a[i] = limbs::add(limbs::from_double(in.a[i]), limbs::from_double(in.a_lo[i]));
    b[i] = limbs::add(limbs::from_double(in.b[i]), limbs::from_double(in.b_lo[i]));
    da[i] = dd_real(in.a[i]) + dd_real(in.a_lo[i]);
    db[i] = dd_real(in.b[i]) + dd_real(in.b_lo[i]);
  }
  report("ours", "dot_large", best_ns_per_element(n, [&] {
           g_sink = limbs::dot(raw(a), 1, raw(b), 1, n, raw(scratch)).l[0];
         }));
  report("dd_real", "dot_large", best_ns_per_element(n, [&] {
           dd_real acc = 0.0;
           for (long i = 0; i < n; ++i) acc += da[i] * db[i];
           g_sink = to_double(acc);
         }));
}

void run_qd(const Inputs& in) {
  const long n = static_cast<long>(in.a.size());
  std::vector<qd_real> a(n), b(n), r(n);
  for (long i = 0; i < n; ++i) {
    a[i] = qd_real(in.a[i]) + qd_real(in.a_lo[i]);
    b[i] = qd_real(in.b[i]) + qd_real(in.b_lo[i]);
  }
  auto done = [&] { g_sink = to_double(r[n / 2]); };
  report("qd_real", "div", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = a[i] / b[i];
         }));
  done();
  report("qd_real", "reciprocal", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = 1.0 / b[i];
         }));
  report("qd_real", "sqrt", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = sqrt(a[i]);
         }));
  report("qd_real", "exp", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = exp(a[i]);
         }));
  report("qd_real", "log", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = log(a[i]);
         }));
  report("qd_real", "sin", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = sin(a[i]);
         }));
  report("qd_real", "cos", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = cos(a[i]);
         }));
  report("qd_real", "tanh", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) r[i] = tanh(a[i]);
         }));
  done();
}

// MPFR at 106 bits (the precision of a double-double), rounding to nearest.
void run_mpfr(const Inputs& in) {
  const long n = static_cast<long>(in.a.size());
  std::vector<mpfr_t> a(n), b(n), r(n);
  for (long i = 0; i < n; ++i) {
    mpfr_inits2(106, a[i], b[i], r[i], static_cast<mpfr_ptr>(nullptr));
    mpfr_set_d(a[i], in.a[i], MPFR_RNDN);
    mpfr_add_d(a[i], a[i], in.a_lo[i], MPFR_RNDN);
    mpfr_set_d(b[i], in.b[i], MPFR_RNDN);
    mpfr_add_d(b[i], b[i], in.b_lo[i], MPFR_RNDN);
  }
  auto unary = [&](const char* name, int (*f)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t)) {
    report("mpfr106", name, best_ns_per_element(n, [&] {
             for (long i = 0; i < n; ++i) f(r[i], a[i], MPFR_RNDN);
           }));
  };
  report("mpfr106", "div", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) mpfr_div(r[i], a[i], b[i], MPFR_RNDN);
         }));
  report("mpfr106", "reciprocal", best_ns_per_element(n, [&] {
           for (long i = 0; i < n; ++i) mpfr_ui_div(r[i], 1, b[i], MPFR_RNDN);
         }));
  unary("sqrt", mpfr_sqrt);
  unary("exp", mpfr_exp);
  unary("log", mpfr_log);
  unary("sin", mpfr_sin);
  unary("cos", mpfr_cos);
  unary("tanh", mpfr_tanh);
  g_sink = mpfr_get_d(r[n / 2], MPFR_RNDN);
  for (long i = 0; i < n; ++i) mpfr_clears(a[i], b[i], r[i], static_cast<mpfr_ptr>(nullptr));
}

// ns per multiply-add term of an n x n product: ours single-threaded
// (packing included), dd_real's naive triple loop.
void run_matmul(long n) {
  const Inputs in(n * n);
  std::vector<Row> a(n * n), b(n * n), c(n * n);
  std::vector<dd_real> da(n * n), db(n * n), dc(n * n);
  for (long i = 0; i < n * n; ++i) {
    a[i] = limbs::from_double(in.a[i]);
    b[i] = limbs::from_double(in.b[i]);
    da[i] = in.a[i];
    db[i] = in.b[i];
  }
  const double terms = static_cast<double>(n) * n * n;
  const limbs::MatrixView va{raw(a), n, n, n, 1}, vb{raw(b), n, n, n, 1};
  const double ours = best_ns_per_element(1, [&] {
    limbs::matmul(va, vb, limbs::MatrixOut{raw(c), n, 1});
  });
  report("ours", "matmul", ours / terms);
  const double dd = best_ns_per_element(1, [&] {
    for (long i = 0; i < n; ++i)
      for (long j = 0; j < n; ++j) {
        dd_real acc = 0.0;
        for (long k = 0; k < n; ++k) acc += da[i * n + k] * db[k * n + j];
        dc[i * n + j] = acc;
      }
  });
  report("dd_real", "matmul", dd / terms);
  g_sink = c[0].l[0] + to_double(dc[0]);
}

}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::atol(argv[1]) : 100000;
  const long matmul_n = argc > 2 ? std::atol(argv[2]) : 256;
  const long dot_n = argc > 3 ? std::atol(argv[3]) : 1000000;
  if (n < 1 || matmul_n < 1 || dot_n < 1) {
    std::fprintf(stderr, "usage: %s N MATMUL_N DOT_N (all >= 1)\n", argv[0]);
    return 2;
  }
  unsigned int old_cw;
  fpu_fix_start(&old_cw);
  const Inputs in(n);
  run_limbs(in);
  run_reductions(in);
  run_dot(dot_n);
  run_qd(in);
  run_mpfr(in);
  run_matmul(matmul_n);
  fpu_fix_end(&old_cw);
  std::printf("lanes %s\n", limbs::lanes_supported() ? "avx2" : "none");
  return 0;
}
