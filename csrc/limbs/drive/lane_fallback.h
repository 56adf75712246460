// Shared by the kernels that run rows four at a time in Lanes4 and redo
// some of them in scalar code: which rows to redo, the one compiled copy
// that redoes them, and the loading of strided rows.
#pragma once

#include <cstdint>

#include "limbs/core/row.h"

namespace limbs {

#if defined(LIMBS_HAVE_LANES4)
// The lanes whose row is finite in every limb. Only a NaN can depend on the
// operand order, and comparisons ignore a NaN's sign and payload, so a
// finite result never does; the other lanes must be redone by the scalar
// copy.
LIMBS_STEP inline Mask4 finite_lanes(const RowOf<Lanes4>& r) {
  Lanes4 total = r.l[0];
  for (int k = 1; k < kLimbs; ++k) total = total + r.l[k];
  return is_finite(total);
}

// Rows i .. i+3 of a run with `step` elements between rows, side by side.
LIMBS_STEP inline RowOf<Lanes4> strided_lanes(const double* rows, int64_t i, int64_t step) {
  const double* const p[4] = {rows + i * step * kLimbs, rows + (i + 1) * step * kLimbs,
                              rows + (i + 2) * step * kLimbs, rows + (i + 3) * step * kLimbs};
  return load_lanes(p);
}
#endif

}  // namespace limbs
