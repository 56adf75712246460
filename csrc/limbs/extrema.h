// Element-wise maximum and minimum on the exact values of two elements
// (compare_exact), as torch.maximum/torch.minimum: NaN if either is NaN;
// the chosen element keeps all its limbs; of two equal elements, the first.
#pragma once

#include "elementary.h"
#include "order.h"

namespace limbs {

LIMBS_HD inline Row row_maximum(const Row& a, const Row& b) {
  const int c = compare_exact(a, b);
  if (c == kUnordered) return from_double(kNaN);
  return c < 0 ? b : a;
}

LIMBS_HD inline Row row_minimum(const Row& a, const Row& b) {
  const int c = compare_exact(a, b);
  if (c == kUnordered) return from_double(kNaN);
  return c > 0 ? b : a;
}

}  // namespace limbs
