// Reductions over a strided run of elements: the pairwise tree sum and
// product, mean, variance, norms and the extrema. Every function works on
// one slice (n elements, element i at rows + i * stride * kLimbs, stride in
// elements and possibly 0), so the caller can reduce a whole tensor (stride
// 1) or every slice along an axis (stride = the product of the later axes)
// without copying. The input is never written.
//
// Tree shape: at each level of n rows, row i is paired with row i + n/2;
// an odd last row is carried unchanged to the end of the next level. The
// pairing order is part of the result.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "limbs/elem/defined.h"
#include "limbs/drive/lane_fallback.h"
#include "limbs/core/row.h"

namespace limbs {

// Rows of scratch a tree over n elements needs (the first level writes
// ceil(n/2) rows; later levels work in place).
LIMBS_HD inline int64_t tree_scratch_rows(int64_t n) { return n > 1 ? (n + 1) / 2 : 0; }

LIMBS_HD inline Row one_row() { return from_double(1.0); }

// One pairing of the product tree: TwoProduct of the leading limbs and the
// two second-order terms in limb 1; limbs 2..7 are zero. The operands are
// made dominant first, as for the tensor product.
template <class D>
LIMBS_HD inline RowOf<D> prod_pair(const RowOf<D>& a_in, const RowOf<D>& b_in) {
  const RowOf<D> a = dominant(a_in);
  const RowOf<D> b = dominant(b_in);
  D p, e;
  two_product(a.l[0], b.l[0], p, e);
  RowOf<D> r = zero_row<D>();
  r.l[0] = p;
  r.l[1] = (e + a.l[0] * b.l[1]) + a.l[1] * b.l[0];
  return r;
}

struct SumPair {
  template <class D>
  LIMBS_HD RowOf<D> operator()(const RowOf<D>& a, const RowOf<D>& b) const {
    return add(a, b);
  }
};

struct ProdPair {
  template <class D>
  LIMBS_HD RowOf<D> operator()(const RowOf<D>& a, const RowOf<D>& b) const {
    return prod_pair(a, b);
  }
};

struct Identity {
  template <class D>
  LIMBS_HD RowOf<D> operator()(const RowOf<D>& a) const {
    return a;
  }
};

// Leaves of a tree: element i of a strided slice, through f. Where f is a
// template of the element type, lanes<L>(i) gives leaves i .. i+3 side by
// side.
template <class Map>
struct SliceLeaves {
  const double* rows;
  int64_t stride;
  Map f;
  LIMBS_HD Row operator()(int64_t i) const { return f(load(rows + i * stride * kLimbs)); }
#if defined(LIMBS_HAVE_LANES4)
  template <class L>
  auto lanes(int64_t i) const -> decltype(f(std::declval<const RowOf<L>&>())) {
    return f(strided_lanes(rows, i, stride));
  }
#endif
};

template <class Map>
LIMBS_HD inline SliceLeaves<Map> slice_leaves(const double* rows, int64_t stride, Map f) {
  return SliceLeaves<Map>{rows, stride, f};
}

// The rows of a level above the leaves, contiguous.
struct LevelLeaves {
  const double* buf;
  LIMBS_HD Row operator()(int64_t i) const { return load(buf + i * kLimbs); }
#if defined(LIMBS_HAVE_LANES4)
  template <class L>
  RowOf<L> lanes(int64_t i) const {
    return strided_lanes(buf, i, 1);
  }
#endif
};

// One pairing of a level, compiled once for each kind of tree and never
// inlined: the scalar loop and the lanes' redone pairs run this copy.

template <class Leaves, class Pair>
LIMBS_ONE_COPY LIMBS_HD inline Row leaf_pair(const Leaves& leaf, Pair pair, int64_t a, int64_t b) {
  return pair(leaf(a), leaf(b));
}

// Pairs [begin, end) of a level of n rows, one at a time:
// dst[i] = pair(leaf(i), leaf(i + n/2)).
template <class Leaves, class Pair>
LIMBS_HD inline void tree_pairs_scalar(int64_t n, const Leaves& leaf, Pair pair, double* dst,
                                       int64_t begin, int64_t end) {
  const int64_t half = n / 2;
  for (int64_t i = begin; i < end; ++i) store(leaf_pair(leaf, pair, i, i + half), dst + i * kLimbs);
}

#if defined(LIMBS_HAVE_LANES4)
template <class Leaves, class = void>
struct HasLanes : std::false_type {};

template <class Leaves>
struct HasLanes<
    Leaves, std::void_t<decltype(std::declval<const Leaves&>().template lanes<Lanes4>(int64_t{0}))>>
    : std::true_type {};

// The same pairs four at a time in the lanes of Lanes4 (a short last group
// padded with zero rows that are never stored). The pairs of a level are
// independent, so this is the scalar loop's work in another grouping. A
// pair whose result is not finite is redone by leaf_pair.
template <class Leaves, class Pair>
__attribute__((target("avx2"), flatten)) inline void tree_pairs_lanes(int64_t n, const Leaves& leaf,
                                                                      Pair pair, double* dst,
                                                                      int64_t begin, int64_t end) {
  const int64_t half = n / 2;
  for (int64_t i = begin; i < end; i += 4) {
    const int count = end - i < 4 ? static_cast<int>(end - i) : 4;
    RowOf<Lanes4> r;
    if (count == 4) {
      r = pair(leaf.template lanes<Lanes4>(i), leaf.template lanes<Lanes4>(i + half));
    } else {
      RowOf<Lanes4> x = zero_row<Lanes4>(), y = zero_row<Lanes4>();
      for (int j = 0; j < count; ++j) {
        set_row_lane(x, j, leaf(i + j));
        set_row_lane(y, j, leaf(i + j + half));
      }
      r = pair(x, y);
    }
    const Mask4 finite = finite_lanes(r);
    if (!all(finite))
      for (int j = 0; j < count; ++j)
        if (!mask_lane(finite, j)) set_row_lane(r, j, leaf_pair(leaf, pair, i + j, i + j + half));
    // Stores after all loads of the group: a later level runs in place.
    if (count == 4) {
      store_lanes(r, dst + i * kLimbs);
    } else {
      for (int j = 0; j < count; ++j) store(row_lane(r, j), dst + (i + j) * kLimbs);
    }
  }
}
#endif

// Pairs [begin, end) of a level of n rows: dst[i] = pair(leaf(i), leaf(i + n/2)).
template <class Leaves, class Pair>
LIMBS_HD inline void tree_pairs(int64_t n, const Leaves& leaf, Pair pair, double* dst,
                                int64_t begin, int64_t end) {
#if defined(LIMBS_HAVE_LANES4)
  if constexpr (HasLanes<Leaves>::value) {
    if (lanes_supported()) {
      tree_pairs_lanes(n, leaf, pair, dst, begin, end);
      return;
    }
  }
#endif
  tree_pairs_scalar(n, leaf, pair, dst, begin, end);
}

// The levels below are exposed so that a caller can split the pairs of one
// level of a large tree over threads: pair i writes dst row i only after
// reading its two operands, and no other pair reads or writes row i, so
// disjoint ranges [begin, end) are independent, also in place. The carry of
// an odd level must run after all its pairs.

// First level over n leaves, pairs [begin, end): dst[i] = pair(leaf(i),
// leaf(i + n/2)); dst is contiguous.
template <class Leaves, class Pair>
LIMBS_HD inline void tree_leaf_level(int64_t n, const Leaves& leaf, Pair pair, double* dst,
                                     int64_t begin, int64_t end) {
  tree_pairs(n, leaf, pair, dst, begin, end);
}

template <class Leaves>
LIMBS_HD inline void tree_leaf_carry(int64_t n, const Leaves& leaf, double* dst) {
  if (n % 2 == 1) store(leaf(n - 1), dst + (n / 2) * kLimbs);
}

// A later level, in place on contiguous rows buf[0 .. n).
template <class Pair>
LIMBS_HD inline void tree_level(double* buf, int64_t n, Pair pair, int64_t begin, int64_t end) {
  tree_pairs(n, LevelLeaves{buf}, pair, buf, begin, end);
}

LIMBS_HD inline void tree_level_carry(double* buf, int64_t n) {
  if (n % 2 == 1) store(load(buf + (n - 1) * kLimbs), buf + (n / 2) * kLimbs);
}

// Rows left after one level of n.
LIMBS_HD inline int64_t tree_next(int64_t n) { return n / 2 + n % 2; }

// Runs the remaining levels on buf[0 .. n) and returns the root.
template <class Pair>
LIMBS_HD inline Row tree_finish(double* buf, int64_t n, Pair pair) {
  while (n > 1) {
    tree_level(buf, n, pair, 0, n / 2);
    tree_level_carry(buf, n);
    n = tree_next(n);
  }
  return load(buf);
}

// --- the first two levels in one pass ----------------------------------------
// For n a multiple of 4, row j < n/4 of the second level is the pair of rows
// j and j + n/4 of the first, with no carries on the way. Once the first
// level's rows [0, n/4) are in dst (tree_leaf_level), its rows [n/4, n/2)
// need never be stored: each is paired, still in registers, with its
// partner into the second level's row, in place. The pairs, operands and
// order are the level-by-level ones, so a quarter of the tree's rows is
// never written and read back. Pairs [begin, end) of [n/4, n/2) are
// independent (each reads and writes only its own row of dst).

// Leaves from which the two levels go in one pass.
constexpr int64_t kTwoLevelsMin = 4096;

LIMBS_HD inline bool two_levels_at_once(int64_t n) { return n % 4 == 0 && n >= kTwoLevelsMin; }

template <class Leaves, class Pair>
LIMBS_HD inline void tree_second_quarter_scalar(int64_t n, const Leaves& leaf, Pair pair,
                                                double* dst, int64_t begin, int64_t end) {
  const int64_t half = n / 2, quarter = n / 4;
  for (int64_t i = begin; i < end; ++i) {
    double* out = dst + (i - quarter) * kLimbs;
    store(pair(load(out), leaf_pair(leaf, pair, i, i + half)), out);
  }
}

#if defined(LIMBS_HAVE_LANES4)
// Four pairs at a time; non-finite lanes are redone one by one, as in
// tree_pairs_lanes.
template <class Leaves, class Pair>
__attribute__((target("avx2"), flatten)) inline void tree_second_quarter_lanes(
    int64_t n, const Leaves& leaf, Pair pair, double* dst, int64_t begin, int64_t end) {
  const int64_t half = n / 2, quarter = n / 4;
  int64_t i = begin;
  for (; i + 4 <= end; i += 4) {
    RowOf<Lanes4> first =
        pair(leaf.template lanes<Lanes4>(i), leaf.template lanes<Lanes4>(i + half));
    const Mask4 f1 = finite_lanes(first);
    if (!all(f1))
      for (int j = 0; j < 4; ++j)
        if (!mask_lane(f1, j)) set_row_lane(first, j, leaf_pair(leaf, pair, i + j, i + j + half));
    double* out = dst + (i - quarter) * kLimbs;
    RowOf<Lanes4> second = pair(LevelLeaves{out}.template lanes<Lanes4>(0), first);
    const Mask4 f2 = finite_lanes(second);
    if (!all(f2))
      for (int j = 0; j < 4; ++j)
        if (!mask_lane(f2, j))
          set_row_lane(second, j, pair(load(out + j * kLimbs), row_lane(first, j)));
    store_lanes(second, out);
  }
  tree_second_quarter_scalar(n, leaf, pair, dst, i, end);
}
#endif

template <class Leaves, class Pair>
LIMBS_HD inline void tree_second_quarter(int64_t n, const Leaves& leaf, Pair pair, double* dst,
                                         int64_t begin, int64_t end) {
#if defined(LIMBS_HAVE_LANES4)
  if constexpr (HasLanes<Leaves>::value) {
    if (lanes_supported()) {
      tree_second_quarter_lanes(n, leaf, pair, dst, begin, end);
      return;
    }
  }
#endif
  tree_second_quarter_scalar(n, leaf, pair, dst, begin, end);
}

// The whole tree over n leaves; scratch holds tree_scratch_rows(n) rows. No
// leaves give `empty`, one leaf gives that leaf.
template <class Leaves, class Pair>
LIMBS_HD inline Row tree_reduce(int64_t n, const Leaves& leaf, Pair pair, const Row& empty,
                                double* scratch) {
  if (n <= 0) return empty;
  if (n == 1) return leaf(0);
#if !defined(__CUDA_ARCH__)
  if (two_levels_at_once(n)) {
    tree_leaf_level(n, leaf, pair, scratch, 0, n / 4);
    tree_second_quarter(n, leaf, pair, scratch, n / 4, n / 2);
    return tree_finish(scratch, n / 4, pair);
  }
#endif
  tree_leaf_level(n, leaf, pair, scratch, 0, n / 2);
  tree_leaf_carry(n, leaf, scratch);
  return tree_finish(scratch, tree_next(n), pair);
}

// Pairwise TwoSum tree; exact whenever no limb error falls off limb 7 and
// the shifted limb additions are exact. Empty: zero.
LIMBS_HD inline Row tree_sum(const double* rows, int64_t n, int64_t stride, double* scratch) {
  return tree_reduce(n, slice_leaves(rows, stride, Identity()), SumPair(), zero_row(), scratch);
}

// Pairwise product tree (two-limb rows above the leaves). Empty: one.
LIMBS_HD inline Row tree_prod(const double* rows, int64_t n, int64_t stride, double* scratch) {
  return tree_reduce(n, slice_leaves(rows, stride, Identity()), ProdPair(), one_row(), scratch);
}

// Sum of f(x_i) over the slice: f is applied to each element on its way
// into the tree, as an element-wise operation followed by sum would.
template <class Map>
LIMBS_HD inline Row tree_sum_map(const double* rows, int64_t n, int64_t stride, double* scratch,
                                 Map f) {
  return tree_reduce(n, slice_leaves(rows, stride, f), SumPair(), zero_row(), scratch);
}

inline Row tree_sum(const double* rows, int64_t n, int64_t stride) {
  std::vector<double> scratch(static_cast<size_t>(tree_scratch_rows(n) * kLimbs));
  return tree_sum(rows, n, stride, scratch.data());
}

inline Row tree_prod(const double* rows, int64_t n, int64_t stride) {
  std::vector<double> scratch(static_cast<size_t>(tree_scratch_rows(n) * kLimbs));
  return tree_prod(rows, n, stride, scratch.data());
}

// 1 / count as the division by a Python int computes it. Every slice of a
// reduction shares it, so callers compute it once.
LIMBS_HD inline Row count_reciprocal(int64_t count) {
  return reciprocal_scalar(static_cast<double>(count));
}

// Mean of a slice: its tree sum times the reciprocal of the slice length
// (inv_n = count_reciprocal(n); n = 0 gives 0 * inf = NaN).
LIMBS_HD inline Row mean_slice(const double* rows, int64_t n, int64_t stride, const Row& inv_n,
                               double* scratch) {
  return mul(tree_sum(rows, n, stride, scratch), inv_n);
}

LIMBS_HD inline Row mean_slice(const double* rows, int64_t n, int64_t stride, double* scratch) {
  return div_scalar(tree_sum(rows, n, stride, scratch), static_cast<double>(n));
}

struct SquaredDeviation {
  Row m;
  template <class D>
  LIMBS_HD RowOf<D> operator()(const RowOf<D>& x) const {
    RowOf<D> md;
    for (int k = 0; k < kLimbs; ++k) md.l[k] = splat<D>(m.l[k]);
    const RowOf<D> d = sub(x, md);
    return mul(d, d);
  }
};

// The float64 factor n / (n - 1) of the unbiased variance; n >= 2 (a
// Python int quotient, exactly rounded: n is below 2^53).
LIMBS_HD inline double unbiased_factor(int64_t n) {
  return static_cast<double>(n) / static_cast<double>(n - 1);
}

// Variance of a slice: mean m, squared deviations (x - m) * (x - m), their
// mean, then, when `unbiased`, the scalar product with n / (n - 1). The
// caller decides `unbiased` (it also requires more than one element in the
// whole tensor) and must reject unbiased with n == 1 before calling.
LIMBS_HD inline Row var_slice(const double* rows, int64_t n, int64_t stride, const Row& inv_n,
                              bool unbiased, double* scratch) {
  const Row m = mean_slice(rows, n, stride, inv_n, scratch);
  Row v = mul(tree_sum_map(rows, n, stride, scratch, SquaredDeviation{m}), inv_n);
  if (unbiased) v = mul_scalar(v, unbiased_factor(n));
  return v;
}

LIMBS_HD inline Row std_slice(const double* rows, int64_t n, int64_t stride, const Row& inv_n,
                              bool unbiased, double* scratch) {
  return sqrt(var_slice(rows, n, stride, inv_n, unbiased, scratch));
}

struct Square {
  template <class D>
  LIMBS_HD RowOf<D> operator()(const RowOf<D>& x) const {
    return mul(x, x);
  }
};

struct Abs {
  template <class D>
  LIMBS_HD RowOf<D> operator()(const RowOf<D>& x) const {
    return abs(x);
  }
};

struct AbsPowInt {
  long long p;
  LIMBS_HD Row operator()(const Row& x) const { return pow_int(abs(x), p); }
};

struct AbsPowFloat {
  double p;
  LIMBS_HD Row operator()(const Row& x) const { return pow_float(abs(x), p); }
};

// 2-norm of a slice: sqrt of the tree sum of x * x.
LIMBS_HD inline Row norm2_slice(const double* rows, int64_t n, int64_t stride, double* scratch) {
  return sqrt(tree_sum_map(rows, n, stride, scratch, Square()));
}

// 1-norm of a slice: the tree sum of |x|.
LIMBS_HD inline Row norm1_slice(const double* rows, int64_t n, int64_t stride, double* scratch) {
  return tree_sum_map(rows, n, stride, scratch, Abs());
}

// Any other p: (sum of |x| ** p) ** (1 / p). An integer p raises |x| by the
// integer power, a float p by the power through log and exp; the root is
// always the float power. p == 1 and p == 2 (also 1.0 and 2.0) must go to
// the functions above, and p == 0 is the caller's division error.
LIMBS_HD inline Row norm_int_p_slice(const double* rows, int64_t n, int64_t stride, long long p,
                                     double* scratch) {
  return pow_float(tree_sum_map(rows, n, stride, scratch, AbsPowInt{p}),
                   1.0 / static_cast<double>(p));
}

LIMBS_HD inline Row norm_float_p_slice(const double* rows, int64_t n, int64_t stride, double p,
                                       double* scratch) {
  return pow_float(tree_sum_map(rows, n, stride, scratch, AbsPowFloat{p}), 1.0 / p);
}

// Extrema select on approx. As PyTorch's argmax/argmin: the first NaN wins
// outright (NaN propagates), otherwise the first of equal values (+0 and -0
// are equal). n == 0 gives -1; the caller raises.
template <bool kMax>
LIMBS_HD inline int64_t extremum_slice(const double* rows, int64_t n, int64_t stride) {
  if (n <= 0) return -1;
  int64_t best = 0;
  double best_v = approx(load(rows));
  if (best_v != best_v) return 0;
  for (int64_t i = 1; i < n; ++i) {
    const double v = approx(load(rows + i * stride * kLimbs));
    if (v != v) return i;
    if (kMax ? v > best_v : v < best_v) {
      best = i;
      best_v = v;
    }
  }
  return best;
}

LIMBS_HD inline int64_t argmax_slice(const double* rows, int64_t n, int64_t stride) {
  return extremum_slice<true>(rows, n, stride);
}

LIMBS_HD inline int64_t argmin_slice(const double* rows, int64_t n, int64_t stride) {
  return extremum_slice<false>(rows, n, stride);
}

}  // namespace limbs
