// The element functions of the release before the early exit and the
// lanes, compiled from that commit's headers (bench_speed.py extracts them
// into build/previous/limbs) under another namespace, so that the old and
// the new kernels are timed in one run of speed_bench. Rows are passed as
// raw limbs: the two Row types are distinct.
#define limbs limbs_previous
#include "limbs/elementary.h"
#undef limbs

#define PREVIOUS_KERNEL(name)                                                          \
  void previous_##name(const double* in, double* out, long n) {                        \
    for (long i = 0; i < n; ++i)                                                       \
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
    limbs_previous::store(limbs_previous::div(limbs_previous::load(a + 8 * i), limbs_previous::load(b + 8 * i)),
                          out + 8 * i);
}
