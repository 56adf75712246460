// The kernels behind + - * / // and %: equal-shape runs four rows at a time
// in lanes, the one compiled copy of each element for broadcasts, and the
// quotients through the reciprocal. Built with the layout flags
// (buildsys/kernel_flags.py), as every file of csrc/kernels.
#include <algorithm>

#include "kernels/pointwise.h"
#include "limbs/drive/pair_rows.h"
#include "limbs/drive/rows.h"

namespace zel {
namespace kernels {

namespace {

template <Quotient Q>
inline Row quotient(const Row& x, const Row& y, const Row& inv_y) {
  if (Q == Quotient::Div) return limbs::mul(x, inv_y);
  if (Q == Quotient::FloorDiv) return limbs::floor(limbs::mul(x, inv_y));
  return limbs::sub(x, limbs::mul(limbs::floor(limbs::mul(x, inv_y)), y));
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
