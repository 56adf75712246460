#include "kernels/index.h"

#include <cmath>

#include "kernels/pointwise.h"
#include "limbs/core/order.h"
#include "limbs/elem/accurate_functions.h"

namespace zel {
namespace kernels {

Row combine_row(Combine op, const Row& acc, const Row& x) {
  switch (op) {
    case Combine::Copy:
      return x;
    case Combine::Add:
      return add_row(acc, x);
    case Combine::Mul:
      return mul_row(acc, x);
    case Combine::Max:
    case Combine::Min: {
      const int c = limbs::compare_exact(x, acc);
      if (c == limbs::kUnordered) return limbs::is_nan_exact(acc) ? acc : x;
      return (op == Combine::Max ? c > 0 : c < 0) ? x : acc;
    }
  }
  return acc;
}

Row divide_by_count_row(const Row& acc, int64_t count) {
  return div_row(acc, limbs::from_double(static_cast<double>(count)));
}

IntConversion trunc_to_int_row(const Row& x, int64_t lo, int64_t hi, int64_t& out) {
  for (int k = 0; k < limbs::kLimbs; ++k)
    if (!std::isfinite(x.l[k])) return IntConversion::NotFinite;
  if (limbs::is_nan_exact(x)) return IntConversion::NotFinite;
  // Eight integer parts below 2^120 sum within 128 bits; a value that large
  // is out of range anyway unless its limbs cancel, which no arithmetic here makes.
  for (int k = 0; k < limbs::kLimbs; ++k)
    if (std::fabs(x.l[k]) >= 0x1p120) return IntConversion::OutOfRange;
  limbs::triple::Expansion fractions;
  const double j = limbs::math::whole_shift(x, fractions);
  __int128 whole = static_cast<__int128>(j);
  for (int k = 0; k < limbs::kLimbs; ++k) whole += static_cast<__int128>(std::trunc(x.l[k]));
  if (whole < lo || whole > hi) return IntConversion::OutOfRange;
  out = static_cast<int64_t>(whole);
  return IntConversion::Ok;
}

int sign_row(const Row& x) { return limbs::sign_exact(x); }

int64_t search_sorted_row(const Row* rows, int64_t n, int64_t stride, const int64_t* order,
                          const Row& v, bool right) {
  int64_t lo = 0, hi = n;
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo) / 2;
    const Row& e = rows[(order ? order[mid] : mid) * stride];
    // PyTorch's tests: stop at e >= v (right: e > v), so NaN on either side moves right.
    const int c = limbs::compare_exact(e, v);
    const bool stop = right ? c == 1 : (c == 1 || c == 0);
    if (!stop)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

}  // namespace kernels
}  // namespace zel
