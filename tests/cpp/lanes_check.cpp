// Checks of the exact shortcuts in csrc/limbs, run by tests/test_lanes.py:
//  1. iterate() (early exit on a repeated state) gives the state of the full
//     step count, for the reciprocal, sqrt and log steps on many rows and for
//     a step with a known cycle, for every step count;
//  2. the lane kernels (Lanes4 and Lanes8) give the bytes of the scalar
//     kernels for every function, on rows mixing every branch in the same
//     group of lanes;
//  3. the exp series summed in four limbs gives the bytes of the eight-limb
//     sum, including rows whose limbs cancel far below approx (the series
//     then overflows and the eight-limb fallback must take over);
//  4. the levels of the tree reductions (sum, product, sums of mapped
//     leaves, dot products) computed four pairs at a time in the lanes give
//     the bytes of the scalar pairing, non-finite pairs included; so do
//     the element-wise +, - and * four rows at a time.
// Prints one line per check; exit status 0 when all agree.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "limbs/matrix/gemm.h"
#include "limbs/drive/pair_rows.h"
#include "limbs/drive/rows.h"

using limbs::Row;

namespace {

int g_failures = 0;

void check(bool ok, const char* what, long detail) {
  if (!ok) {
    ++g_failures;
    std::printf("FAIL %s (%ld)\n", what, detail);
  }
}

bool same(const Row& a, const Row& b) { return std::memcmp(&a, &b, sizeof(Row)) == 0; }

Row row(double a, double b = 0.0, double c = 0.0) {
  Row r = limbs::zero_row();
  r.l[0] = a;
  r.l[1] = b;
  r.l[2] = c;
  return r;
}

// Rows for every branch: ordinary values of many magnitudes with lower
// limbs, operands beyond the split threshold, rows that need renormalising,
// specials, subnormals, exact values (repeat after one step), exp near its
// overflow and underflow (ldexp's subnormal rounding), log outside its
// direct range, tanh beyond saturation.
std::vector<Row> inputs(std::mt19937_64& gen) {
  std::vector<Row> v;
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> ex(-60, 60);
  for (int i = 0; i < 3000; ++i) {
    const double a = std::ldexp(u(gen), ex(gen));
    v.push_back(limbs::add(row(a), row(a * 1e-17 * u(gen), a * 1e-34 * u(gen))));
  }
  for (int i = 0; i < 300; ++i) {
    v.push_back(row(std::ldexp(1.0 + u(gen), 1000 + i % 23), std::ldexp(u(gen), 940)));  // huge
    v.push_back(row(std::ldexp(1.0 + u(gen), -1000 - i % 60)));                          // tiny
    v.push_back(row(0.0, 1.0 + u(gen)));  // renormalise
    v.push_back(row(2.0, -1.0 + u(gen) * 1e-3, 1e-20));
    v.push_back(row(1.0 + u(gen), 1e-10 * u(gen)));
    v.push_back(row(-745.0 + 40.0 * (u(gen) + 1.0) / 2.0, 1e-15 * u(gen)));  // exp underflow side
    v.push_back(row(709.0 + 0.78 * (u(gen) + 1.0) / 2.0, 1e-14 * u(gen)));   // exp overflow side
    v.push_back(row(350.0 + 10.0 * u(gen)));                                 // tanh saturation
    v.push_back(row(std::ldexp(1.0, ex(gen))));                              // exact powers of two
    v.push_back(row(static_cast<double>(1 + i % 40) * static_cast<double>(1 + i % 40)));  // squares
    // approx 0, exact value far from it: moderate, then beyond the series.
    v.push_back(row(1e20, -1e20, 1000.0 * u(gen)));
    v.push_back(row(1e300, -1e300, std::ldexp(u(gen), 940 - i % 30)));
  }
  const double inf = limbs::kInf, nan = limbs::kNaN;
  for (double s : {inf, -inf, nan, -nan, 0.0, -0.0, 4.9e-324, -4.9e-324, 1e-310, 1e-300, 1e300,
                   1.7e308, -1.7e308})
    for (int i = 0; i < 8; ++i) v.push_back(row(s, i % 2 ? 0.0 : 1e-320));
  v.push_back(row(1.0, nan));
  v.push_back(row(1.0, inf));
  v.push_back(row(inf, -inf));
  std::shuffle(v.begin(), v.end(), gen);
  return v;
}

template <int kSteps, class Step>
Row full_count(Row x, const Step& step) {
  for (int k = 0; k < kSteps; ++k) x = step(x);
  return x;
}

// Index of the first repeat and its cycle length, 0 0 when none in kSteps.
template <int kSteps, class Step>
void first_repeat(Row x, const Step& step, int& at, int& length) {
  Row seen[kSteps + 1];
  seen[0] = x;
  for (int k = 1; k <= kSteps; ++k) {
    seen[k] = step(seen[k - 1]);
    for (int j = k - 1; j >= 0; --j)
      if (same(seen[k], seen[j])) {
        at = k;
        length = k - j;
        return;
      }
  }
  at = length = 0;
}

template <int kSteps, class Start, class Step>
void check_iteration(const char* name, const std::vector<Row>& rows, const Start& start,
                     const Step& step) {
  long compared = 0, mismatches = 0, no_repeat = 0, one_step = 0, cycles = 0;
  for (const Row& a : rows) {
    const double val = limbs::approx(a);
    if (!(val > 1e-290 && val < 1e290)) continue;  // the regular domain of all three
    const Row x0 = start(val);
    auto s = [&](const Row& x) { return step(a, x); };
    mismatches += !same(limbs::iterate<kSteps>(x0, s), full_count<kSteps>(x0, s));
    int at, length;
    first_repeat<kSteps>(x0, s, at, length);
    no_repeat += at == 0;
    one_step += at == 1;
    cycles += length >= 2;
    ++compared;
  }
  std::printf(
      "%s: %ld rows, %ld without a repeat, %ld repeat after one step, %ld cycles of length >= 2\n",
      name, compared, no_repeat, one_step, cycles);
  check(mismatches == 0, name, mismatches);
  check(no_repeat > 0 && one_step > 0, name, -1);
}

// States 0, 1, 2, ... up to `top`, then back down by `back` each time it
// is reached: a cycle of length `back` first seen at step top - back + 1.
void check_known_cycles() {
  long mismatches = 0;
  for (int top = 0; top <= 12; ++top)
    for (int back = 1; back <= top; ++back) {
      auto step = [top, back](const Row& x) {
        return row(x.l[0] < top ? x.l[0] + 1.0 : x.l[0] - back + 1.0);
      };
      auto probe = [&](auto steps_tag) {
        constexpr int kSteps = decltype(steps_tag)::value;
        mismatches +=
            !same(limbs::iterate<kSteps>(row(0.0), step), full_count<kSteps>(row(0.0), step));
      };
      probe(std::integral_constant<int, 1>());
      probe(std::integral_constant<int, 2>());
      probe(std::integral_constant<int, 5>());
      probe(std::integral_constant<int, 8>());
      probe(std::integral_constant<int, 12>());
      probe(std::integral_constant<int, 13>());
    }
  std::printf("known cycles: %ld mismatches\n", mismatches);
  check(mismatches == 0, "known cycles", mismatches);
}

// Every function through the lanes and through the scalar code.
template <class F>
void check_lanes(const char* name, const std::vector<Row>& rows, const F& f) {
  const int64_t n = static_cast<int64_t>(rows.size());
  std::vector<Row> four(rows.size()), eight(rows.size()), scalar(rows.size());
  limbs::rows_lanes<F, limbs::Lanes4>(rows.data(), four.data(), n, f);
  limbs::rows_lanes<F, limbs::Lanes8>(rows.data(), eight.data(), n, f);
  limbs::rows_scalar(rows.data(), scalar.data(), n, f);
  long mismatches = 0;
  for (int64_t i = 0; i < n; ++i)
    mismatches += !same(four[i], scalar[i]) + !same(eight[i], scalar[i]);
  std::printf("lanes %s: %ld rows, %ld mismatches\n", name, static_cast<long>(n), mismatches);
  check(mismatches == 0, name, mismatches);
}

// The four-limb series sum against the eight-limb one, with and without
// the fallback, on every row in exp's range; both lane widths.
template <class L>
__attribute__((always_inline)) inline long short_sum_mismatches(const std::vector<Row>& rows,
                                                                long& fallbacks) {
  constexpr int kCount = limbs::kLaneCount<L>;
  long mismatches = 0;
  for (size_t i = 0; i + kCount <= rows.size(); i += kCount) {
    limbs::RowOf<L> x;
    for (int j = 0; j < kCount; ++j) {
      const double v = limbs::approx(rows[i + j]);
      const bool regular = v >= limbs::kExpUnderflow && v <= limbs::kExpOverflow;
      limbs::set_row_lane(x, j, regular ? rows[i + j] : row(0.5));
    }
    const L val = limbs::approx(x);
    const limbs::RowOf<L> full = limbs::exp_series_sum<limbs::kLimbs>(x, val);
    const limbs::RowOf<L> four = limbs::exp_series_sum<4>(x, val);
    const limbs::RowOf<L> picked = limbs::exp_series(x, val);
    for (int j = 0; j < kCount; ++j) {
      const Row f = limbs::row_lane(full, j);
      mismatches += !same(limbs::row_lane(picked, j), f);
      // Where the sum stayed finite the four limbs alone are the result.
      if (std::isfinite(limbs::row_lane(four, j).l[0]) &&
          std::isfinite(limbs::row_lane(four, j).l[3]))
        mismatches += !same(limbs::row_lane(four, j), f);
      else
        ++fallbacks;
    }
  }
  return mismatches;
}

long short_sum_scalar(const std::vector<Row>& rows, long& fallbacks) {
  return short_sum_mismatches<double>(rows, fallbacks);
}

#if defined(LIMBS_HAVE_LANES4)
__attribute__((target("avx2"), flatten)) long short_sum_lanes(const std::vector<Row>& rows,
                                                              long& fallbacks) {
  return short_sum_mismatches<limbs::Lanes8>(rows, fallbacks);
}
#else
long short_sum_lanes(const std::vector<Row>&, long&) { return 0; }
#endif

void check_exp_short_sum(const std::vector<Row>& rows) {
  long fallbacks = 0;
  long mismatches = short_sum_scalar(rows, fallbacks);
  if (limbs::lanes_supported()) mismatches += short_sum_lanes(rows, fallbacks);
  std::printf("exp short sum: %ld mismatches, %ld fallbacks\n", mismatches, fallbacks);
  check(mismatches == 0, "exp short sum", mismatches);
  check(fallbacks > 0, "exp short sum fallback", -1);
}

#if defined(LIMBS_HAVE_LANES4)
// Pairs [begin, end) of one tree level through the lanes against the
// scalar pairing, out of place and (for rows above the leaves) in place.
// Pairs with a non-finite result are the lanes redone by the scalar code.
template <class Leaves, class Pair>
long check_tree_level(const char* name, int64_t n, const Leaves& leaf, Pair pair, int64_t begin,
                      int64_t end, double* in_place = nullptr, bool quiet = false) {
  const int64_t half = n / 2;
  std::vector<double> out(static_cast<size_t>(half * limbs::kLimbs), -1.0);
  double* dst = in_place ? in_place : out.data();
  std::vector<Row> expected(static_cast<size_t>(half));
  limbs::tree_pairs_scalar(n, leaf, pair, reinterpret_cast<double*>(expected.data()), begin, end);
  limbs::tree_pairs_lanes(n, leaf, pair, dst, begin, end);
  long mismatches = 0, non_finite = 0;
  for (int64_t i = begin; i < end; ++i) {
    const Row got = limbs::load(dst + i * limbs::kLimbs), want = expected[static_cast<size_t>(i)];
    mismatches += !same(got, want);
    double total = 0.0;
    for (int k = 0; k < limbs::kLimbs; ++k) total += want.l[k];
    non_finite += !std::isfinite(total);
  }
  // Rows outside [begin, end) stay untouched.
  if (!in_place)
    for (int64_t i = 0; i < half; ++i)
      if (i < begin || i >= end) mismatches += out[static_cast<size_t>(i * limbs::kLimbs)] != -1.0;
  if (quiet) return mismatches;
  std::printf("tree %s: %ld pairs, %ld not finite, %ld mismatches\n", name,
              static_cast<long>(end - begin), non_finite, mismatches);
  check(mismatches == 0, name, mismatches);
  check(non_finite > 0, name, -1);
  return mismatches;
}

// Element-wise +, - and * of two runs of rows through the lanes against
// the scalar copy, on every pairing of the mixed rows with their reverse.
template <class F>
void check_pair_rows(const char* name, const std::vector<Row>& rows, F f) {
  const int64_t n = static_cast<int64_t>(rows.size());
  const std::vector<Row> other(rows.rbegin(), rows.rend());
  std::vector<Row> out(rows.size());
  limbs::pair_rows_lanes(rows.data(), other.data(), out.data(), n, f);
  long mismatches = 0, non_finite = 0;
  for (int64_t i = 0; i < n; ++i) {
    const Row want = limbs::pair_once(rows[i], other[i], f);
    mismatches += !same(out[i], want);
    double total = 0.0;
    for (int k = 0; k < limbs::kLimbs; ++k) total += want.l[k];
    non_finite += !std::isfinite(total);
  }
  std::printf("pairs %s: %ld rows, %ld not finite, %ld mismatches\n", name, static_cast<long>(n),
              non_finite, mismatches);
  check(mismatches == 0, name, mismatches);
  check(non_finite > 0, name, -1);
}

void check_tree_levels(const std::vector<Row>& rows) {
  const double* p = reinterpret_cast<const double*>(rows.data());
  const int64_t n = static_cast<int64_t>(rows.size());
  const int64_t half = n / 2;
  const auto plain = limbs::slice_leaves(p, 1, limbs::Identity());
  check_tree_level("sum", n, plain, limbs::SumPair(), 0, half);
  check_tree_level("sum, odd range", n, plain, limbs::SumPair(), 3, half - 1);
  check_tree_level("sum, stride 3", n / 3, limbs::slice_leaves(p, 3, limbs::Identity()),
                   limbs::SumPair(), 0, n / 6);
  check_tree_level("prod", n, plain, limbs::ProdPair(), 0, half);
  check_tree_level("squares", n, limbs::slice_leaves(p, 1, limbs::Square()), limbs::SumPair(), 0,
                   half);
  check_tree_level("abs", n, limbs::slice_leaves(p, 1, limbs::Abs()), limbs::SumPair(), 0, half);
  check_tree_level("deviations", n,
                   limbs::slice_leaves(p, 1, limbs::SquaredDeviation{row(0.3, 1e-18)}),
                   limbs::SumPair(), 0, half);
  check_tree_level("dot", n / 2, limbs::ProductLeaves{p, 1, p + half * limbs::kLimbs, 1},
                   limbs::SumPair(), 0, n / 4);
  std::vector<Row> buf(rows);
  double* b = reinterpret_cast<double*>(buf.data());
  check_tree_level("sum, in place", n, limbs::LevelLeaves{b}, limbs::SumPair(), 1, half - 1, b);
  buf = rows;
  check_tree_level("prod, in place", n, limbs::LevelLeaves{b}, limbs::ProdPair(), 0, half, b);
  // Levels of 2 to 17 rows (one group or less, then a short last group),
  // at every offset into the rows.
  long small = 0;
  for (int64_t m = 2; m <= 17; ++m)
    for (int64_t at = 0; at + m <= n; at += 7) {
      const auto leaves = limbs::slice_leaves(p + at * limbs::kLimbs, 1, limbs::Identity());
      small += check_tree_level("small", m, leaves, limbs::SumPair(), 0, m / 2, nullptr, true);
      small += check_tree_level("small", m, leaves, limbs::ProdPair(), 0, m / 2, nullptr, true);
    }
  std::printf("tree small levels: %ld mismatches\n", small);
  check(small == 0, "tree small levels", small);
}
#endif

}  // namespace

int main() {
  std::mt19937_64 gen(20261208);
  const std::vector<Row> rows = inputs(gen);

  const Row two = row(2.0), half = row(0.5);
  check_iteration<limbs::kReciprocalSteps>(
      "reciprocal", rows, [](double v) { return row(1.0 / v); },
      [&](const Row& a, const Row& x) { return limbs::mul(x, limbs::sub(two, limbs::mul(a, x))); });
  check_iteration<limbs::kSqrtSteps>(
      "sqrt", rows, [](double v) { return row(std::sqrt(v)); },
      [&](const Row& a, const Row& y) {
        return limbs::mul(half, limbs::add(y, limbs::div(a, y)));
      });
  check_iteration<limbs::kLogSteps>(
      "log", rows, [](double v) { return row(std::log(v)); },
      [&](const Row& a, const Row& y) {
        const Row ey = limbs::exp(y);
        return limbs::add(y, limbs::div(limbs::mul(two, limbs::sub(a, ey)), limbs::add(a, ey)));
      });
  check_known_cycles();
  check_exp_short_sum(rows);

  if (!limbs::lanes_supported()) {
    std::printf("no AVX2: lane checks skipped\n");
    return g_failures ? 1 : 0;
  }
#define LANES(name) check_lanes(#name, rows, [](const auto& x) { return limbs::name(x); })
  LANES(reciprocal);
  LANES(sqrt);
  LANES(exp);
  LANES(log);
  LANES(sin);
  LANES(cos);
  LANES(tan);
  LANES(tanh);
  LANES(sigmoid);
  LANES(silu);
  LANES(gelu);
#undef LANES
  check_lanes("pow_float", rows, [](const auto& x) { return limbs::pow_float(x, -1.37); });
  const unsigned long long words[1] = {13};
  check_lanes("pow_positive", rows,
              [&](const auto& x) { return limbs::pow_positive(x, words, 1); });
#if defined(LIMBS_HAVE_LANES4)
  check_tree_levels(rows);
  check_pair_rows("add", rows, limbs::AddRows());
  check_pair_rows("sub", rows, limbs::SubRows());
  check_pair_rows("mul", rows, limbs::MulRows());
#endif
  std::printf("%s\n", g_failures ? "FAILED" : "all agree");
  return g_failures ? 1 : 0;
}
