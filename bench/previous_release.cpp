// The element functions of the release before the early exit and the
// lanes, compiled from that commit's headers (bench_speed.py extracts them
// into build/previous/limbs) under another namespace, so that the old and
// the new kernels are timed in one run of speed_bench. Rows are passed as
// raw limbs: the two Row types are distinct.
#define limbs limbs_previous
#include "limbs/elementary.h"
#include "limbs/matmul.h"
#undef limbs

#define PREVIOUS_KERNEL(name)                                                                     \
  void previous_##name(const double* in, double* out, long n) {                                   \
    for (long i = 0; i < n; ++i)                                                                  \
      limbs_previous::store(limbs_previous::name(limbs_previous::load(in + 8 * i)), out + 8 * i); \
  }
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

void previous_div(const double* a, const double* b, double* out, long n) {
  for (long i = 0; i < n; ++i)
    limbs_previous::store(
        limbs_previous::div(limbs_previous::load(a + 8 * i), limbs_previous::load(b + 8 * i)),
        out + 8 * i);
}

void previous_add(const double* a, const double* b, double* out, long n) {
  for (long i = 0; i < n; ++i)
    limbs_previous::store(
        limbs_previous::add(limbs_previous::load(a + 8 * i), limbs_previous::load(b + 8 * i)),
        out + 8 * i);
}

void previous_mul(const double* a, const double* b, double* out, long n) {
  for (long i = 0; i < n; ++i)
    limbs_previous::store(
        limbs_previous::mul(limbs_previous::load(a + 8 * i), limbs_previous::load(b + 8 * i)),
        out + 8 * i);
}

// The tree reductions over n contiguous rows; scratch holds (n + 1) / 2 rows.
#define PREVIOUS_REDUCTION(name, call)                                                           \
  void previous_##name(const double* x, const double* y, double* scratch, double* out, long n) { \
    (void)y;                                                                                     \
    limbs_previous::store(call, out);                                                            \
  }
PREVIOUS_REDUCTION(sum, limbs_previous::tree_sum(x, n, 1, scratch))
PREVIOUS_REDUCTION(prod, limbs_previous::tree_prod(x, n, 1, scratch))
PREVIOUS_REDUCTION(norm1, limbs_previous::norm1_slice(x, n, 1, scratch))
PREVIOUS_REDUCTION(norm2, limbs_previous::norm2_slice(x, n, 1, scratch))
PREVIOUS_REDUCTION(var, limbs_previous::var_slice(x, n, 1, limbs_previous::count_reciprocal(n),
                                                  true, scratch))
PREVIOUS_REDUCTION(dot, limbs_previous::dot(x, 1, y, 1, n, scratch))
#undef PREVIOUS_REDUCTION
