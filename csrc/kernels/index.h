// The element kernels of the integer and index tools (scatter reductions,
// conversions to integers, searches on sorted rows), compiled once in
// csrc/kernels/index.cpp with the layout flags. Torch-free.
#pragma once

#include <cstdint>

#include "limbs/core/row.h"

namespace zel {
namespace kernels {

using limbs::Row;

// How a scattered element meets the one already in place.
enum class Combine { Copy, Add, Mul, Max, Min };

// acc combined with x: the limb sum, the limb product, or the larger
// (smaller) on the exact values, NaN winning as in PyTorch.
Row combine_row(Combine op, const Row& acc, const Row& x);

// acc / count (count > 0), through the division of the operators.
Row divide_by_count_row(const Row& acc, int64_t count);

enum class IntConversion { Ok, NotFinite, OutOfRange };
// The exact value truncated toward zero, when it lies in [lo, hi].
IntConversion trunc_to_int_row(const Row& x, int64_t lo, int64_t hi, int64_t& out);

// The exact sign of x (-1, 0, 1), or 2 for NaN.
int sign_row(const Row& x);

// The insertion point of v among the n rows rows[order[i]] (order null:
// rows[i]), `stride` rows apart, sorted ascending: PyTorch's binary search
// (the first element >= v, with `right` > v) on the exact values, so a NaN
// element or value never stops it.
int64_t search_sorted_row(const Row* rows, int64_t n, int64_t stride, const int64_t* order,
                          const Row& v, bool right);

}  // namespace kernels
}  // namespace zel
