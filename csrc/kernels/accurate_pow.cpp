// The accurate pow over runs of rows through its lane core (the log and exp
// cores of limbs/elem/accurate_lanes.h one after the other): a file of its
// own, in four lanes, because the two cores inlined into eight lanes take
// GCC's scheduler many minutes. Built with the layout flags
// (buildsys/kernel_flags.py), as every file of csrc/kernels.
#include <type_traits>

#include "kernels/accurate_lanes.h"
#include "limbs/drive/split_rows.h"
#include "limbs/elem/accurate_functions.h"

namespace zel {
namespace kernels {

namespace {

namespace ll = limbs::lanes_math;

// Every limb of c in every lane.
template <class D>
LIMBS_STEP inline limbs::RowOf<D> splat_row(const Row& c) {
  limbs::RowOf<D> r;
  for (int k = 0; k < limbs::kLimbs; ++k) r.l[k] = limbs::splat<D>(c.l[k]);
  return r;
}

}  // namespace

void pow_pairs_kernel(const Row* a, const Row* b, Row* out, int64_t n) {
  limbs::split_pairs(
      a, b, out, n,
      [](const auto& x, const auto& y, auto& slow) { return ll::pow_row(x, y, slow); }, &pow_row);
}

void pow_exponent_kernel(const Row* in, Row* out, int64_t n, const Row& e) {
  limbs::split_rows<limbs::Lanes4>(
      in, out, n,
      [&e](const auto& x, auto& slow) {
        using D = std::decay_t<decltype(x.l[0])>;
        return ll::pow_row(x, splat_row<D>(e), slow);
      },
      [&e](const Row& x) { return pow_row(x, e); });
}

void pow_base_kernel(const Row* in, Row* out, int64_t n, const Row& base) {
  limbs::split_rows<limbs::Lanes4>(
      in, out, n,
      [&base](const auto& x, auto& slow) {
        using D = std::decay_t<decltype(x.l[0])>;
        return ll::pow_row(splat_row<D>(base), x, slow);
      },
      [&base](const Row& x) { return pow_row(base, x); });
}

}  // namespace kernels
}  // namespace zel
