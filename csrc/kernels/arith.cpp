// The kernels behind + - * / // and %: equal-shape runs four rows at a time
// in lanes, the one compiled copy of each element for broadcasts, and the
// quotients through the reciprocal. Built with the layout flags
// (buildsys/kernel_flags.py), as every file of csrc/kernels.
#include <algorithm>
#include <cmath>

#include "kernels/pointwise.h"
#include "limbs/drive/pair_rows.h"
#include "limbs/drive/rows.h"

namespace zel {
namespace kernels {

namespace {

// Whether r lies in the range of a floored remainder of y: [0, y) for y > 0,
// (y, 0] for y < 0. Non-finite operands and a zero divisor count as in
// range: their defined results stand.
inline bool in_divisor_range(const Row& r, const Row& y) {
  const double r0 = limbs::approx(r), y0 = limbs::approx(y);
  if (!std::isfinite(r0) || !std::isfinite(y0) || y0 == 0.0) return true;
  const double d0 = limbs::approx(limbs::sub(r, y));
  return y0 > 0 ? (r0 >= 0.0 && d0 < 0.0) : (r0 <= 0.0 && d0 > 0.0);
}

// The defined // and % floor the float64 value of the quotient. Where that
// floor is wrong (a quotient past 2^53, or one just below an integer), the
// remainder falls outside the divisor's range: the exact floored remainder
// replaces it, and the quotient moves by the whole multiples between them.
// Every other result keeps its bytes.
inline Row floor_quotient(const Row& x, const Row& y, const Row& inv_y, const Row& q) {
  const Row r = limbs::sub(x, limbs::mul(q, y));
  if (in_divisor_range(r, y)) return q;
  const Row exact = floored_remainder(x, y);
  const double k = std::nearbyint(limbs::approx(limbs::mul(limbs::sub(r, exact), inv_y)));
  return limbs::add(q, limbs::from_double(k));
}

template <Quotient Q>
inline Row quotient(const Row& x, const Row& y, const Row& inv_y) {
  if (Q == Quotient::Div) return limbs::mul(x, inv_y);
  const Row q = limbs::floor(limbs::mul(x, inv_y));
  if (Q == Quotient::FloorDiv) return floor_quotient(x, y, inv_y, q);
  const Row r = limbs::sub(x, limbs::mul(q, y));
  return in_divisor_range(r, y) ? r : floored_remainder(x, y);
}

// The reciprocals of a block of rows on the stack, then their products, so
// no second array is written and read back.
template <Quotient Q>
void quotient_run(const Row* a, const Row* b, Row* out, int64_t n) {
  constexpr int64_t kBlock = 64;
  Row inv[kBlock];
  for (int64_t s = 0; s < n; s += kBlock) {
    const int64_t m = std::min(kBlock, n - s);
    limbs::reciprocal_rows(b + s, inv, m);
    for (int64_t i = 0; i < m; ++i) out[s + i] = quotient<Q>(a[s + i], b[s + i], inv[i]);
  }
}

}  // namespace

Row quotient_row(Quotient q, const Row& x, const Row& y, const Row& inv_y) {
  switch (q) {
    case Quotient::Div:
      return quotient<Quotient::Div>(x, y, inv_y);
    case Quotient::FloorDiv:
      return quotient<Quotient::FloorDiv>(x, y, inv_y);
    default:
      return quotient<Quotient::Mod>(x, y, inv_y);
  }
}

void quotient_kernel(Quotient q, const Row* a, const Row* b, Row* out, int64_t n) {
  switch (q) {
    case Quotient::Div:
      quotient_run<Quotient::Div>(a, b, out, n);
      break;
    case Quotient::FloorDiv:
      quotient_run<Quotient::FloorDiv>(a, b, out, n);
      break;
    default:
      quotient_run<Quotient::Mod>(a, b, out, n);
      break;
  }
}

void floor_scale_kernel(const Row* in, Row* out, int64_t n, const Row& c, const Row& y) {
  for (int64_t i = 0; i < n; ++i)
    out[i] = floor_quotient(in[i], y, c, limbs::floor(limbs::mul(in[i], c)));
}

void scale_kernel(const Row* in, Row* out, int64_t n, const Row& c, bool floor_it) {
  if (floor_it) {
    for (int64_t i = 0; i < n; ++i) out[i] = limbs::floor(limbs::mul(in[i], c));
  } else {
    for (int64_t i = 0; i < n; ++i) out[i] = limbs::mul(in[i], c);
  }
}

void add_kernel(const Row* a, const Row* b, Row* out, int64_t n) {
  limbs::pair_rows(a, b, out, n, limbs::AddRows());
}
void sub_kernel(const Row* a, const Row* b, Row* out, int64_t n) {
  limbs::pair_rows(a, b, out, n, limbs::SubRows());
}
void mul_kernel(const Row* a, const Row* b, Row* out, int64_t n) {
  limbs::pair_rows(a, b, out, n, limbs::MulRows());
}
Row add_row(const Row& a, const Row& b) { return limbs::pair_once(a, b, limbs::AddRows()); }
Row sub_row(const Row& a, const Row& b) { return limbs::pair_once(a, b, limbs::SubRows()); }
Row mul_row(const Row& a, const Row& b) { return limbs::pair_once(a, b, limbs::MulRows()); }

}  // namespace kernels
}  // namespace zel
