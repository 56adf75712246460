// Matrix products on strided limb matrices.
//
// matrix x matrix: every output element is accumulated sequentially over
// the inner index, acc = acc + a[i][k] * b[k][j] for k = 0, 1, ... from an
// exact zero, with the tensor product (mul) and the 8-limb add. Nothing is
// reordered, so any blocking only changes which outputs are computed
// together, never the operations behind one of them.
// matrix x vector and vector x vector: element-wise tensor products, then
// the pairwise tree sum. vector x matrix is matrix x matrix with one row.
#pragma once

#include <cstdint>
#include <vector>

#include "limbs/core/chunks.h"
#include "limbs/slice/tree.h"
#include "limbs/core/row.h"

namespace limbs {

// Element (i, j) at data + (i * row_stride + j * col_stride) * kLimbs. The
// strides count elements and may be 0 (a broadcast axis) or swapped (a
// transposed view).
struct MatrixView {
  const double* data;
  int64_t rows;
  int64_t cols;
  int64_t row_stride;
  int64_t col_stride;

  LIMBS_HD const double* at(int64_t i, int64_t j) const {
    return data + (i * row_stride + j * col_stride) * kLimbs;
  }
};

// A writable output matrix, laid out as MatrixView.
struct MatrixOut {
  double* data;
  int64_t row_stride;
  int64_t col_stride;

  LIMBS_HD double* at(int64_t i, int64_t j) const {
    return data + (i * row_stride + j * col_stride) * kLimbs;
  }
};

// Packed operands. mul reads limbs 0..2 of each operand after dominant(),
// and TwoProduct splits both leading limbs; both depend on one element
// only, so they are done once per element instead of once per product,
// with bit-identical results. A packed element holds 5 fields: limbs 0..2
// of the dominant row and the two Veltkamp halves of limb 0.
constexpr int kPackedFields = 5;
// Output columns accumulated together; b is packed in panels of this width.
constexpr int64_t kPanel = 8;

LIMBS_HD inline int64_t packed_a_size(int64_t m, int64_t k) { return m * k * kPackedFields; }

LIMBS_HD inline int64_t packed_b_size(int64_t k, int64_t n) {
  return (n + kPanel - 1) / kPanel * k * kPackedFields * kPanel;
}

// The 5 fields of one element, field f at out[f * step].
LIMBS_HD inline void pack_element(const double* src, double* out, int64_t step) {
  const Row x = dominant(load(src));
  double hi, lo;
  split(x.l[0], hi, lo);
  out[0] = x.l[0];
  out[step] = x.l[1];
  out[2 * step] = x.l[2];
  out[3 * step] = hi;
  out[4 * step] = lo;
}

// Rows [i_begin, i_end) of a (m x k) into pa: element (i, kk) at
// pa + (i * k + kk) * kPackedFields.
LIMBS_HD inline void pack_a(const MatrixView& a, double* pa, int64_t i_begin, int64_t i_end) {
  for (int64_t i = i_begin; i < i_end; ++i)
    for (int64_t kk = 0; kk < a.cols; ++kk)
      pack_element(a.at(i, kk), pa + (i * a.cols + kk) * kPackedFields, 1);
}

// Rows [k_begin, k_end) of b (k x n) into pb, in panels of kPanel columns:
// field f of element (kk, j) at pb + ((p * k + kk) * kPackedFields + f) *
// kPanel + j % kPanel with p = j / kPanel. Columns past n are zero.
LIMBS_HD inline void pack_b(const MatrixView& b, double* pb, int64_t k_begin, int64_t k_end) {
  const int64_t k = b.rows, n = b.cols;
  const int64_t panels = (n + kPanel - 1) / kPanel;
  for (int64_t p = 0; p < panels; ++p)
    for (int64_t kk = k_begin; kk < k_end; ++kk) {
      double* dst = pb + (p * k + kk) * kPackedFields * kPanel;
      for (int64_t jj = 0; jj < kPanel; ++jj) {
        const int64_t j = p * kPanel + jj;
        if (j < n) {
          pack_element(b.at(kk, j), dst + jj, kPanel);
        } else {
          for (int f = 0; f < kPackedFields; ++f) dst[f * kPanel + jj] = 0.0;
        }
      }
    }
}

// The inner loop runs over a panel of output columns, which the compiler
// vectorises; on x86-64 a 256-bit clone is picked at load time where the
// processor has AVX2. The vector lanes do the same IEEE operations (never
// an FMA), so the results are the same bytes either way.
#if defined(__x86_64__) && !defined(__CUDACC__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define LIMBS_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef LIMBS_VECTOR_CLONES
#define LIMBS_VECTOR_CLONES
#endif

// Output rows [i_begin, i_end) of c = a * b from the packed operands (a is
// m x k, b is k x n). Rows are independent: callers may give disjoint
// ranges to different threads.
LIMBS_VECTOR_CLONES LIMBS_HD inline void matmul_rows(const double* pa, const double* pb, int64_t k,
                                                     int64_t n, int64_t i_begin, int64_t i_end,
                                                     const MatrixOut& c) {
  const int64_t panels = (n + kPanel - 1) / kPanel;
  for (int64_t i = i_begin; i < i_end; ++i) {
    const double* arow = pa + i * k * kPackedFields;
    for (int64_t p = 0; p < panels; ++p) {
      double acc[kLimbs][kPanel];
      for (int l = 0; l < kLimbs; ++l)
        for (int64_t jj = 0; jj < kPanel; ++jj) acc[l][jj] = 0.0;
      const double* bpanel = pb + p * k * kPackedFields * kPanel;
      for (int64_t kk = 0; kk < k; ++kk) {
        const double* ae = arow + kk * kPackedFields;
        const double a0 = ae[0], a1 = ae[1], a2 = ae[2], ahi = ae[3], alo = ae[4];
        const double* be = bpanel + kk * kPackedFields * kPanel;
        for (int64_t jj = 0; jj < kPanel; ++jj) {
          const double b0 = be[jj], b1 = be[kPanel + jj], b2 = be[2 * kPanel + jj];
          const double bhi = be[3 * kPanel + jj], blo = be[4 * kPanel + jj];
          // mul(a, b): two_product of the leading limbs, then limbs 1 and 2.
          const double p0 = a0 * b0;
          const double e0 = product_error(p0, ahi, alo, bhi, blo);
          const double prod[3] = {p0, (e0 + a0 * b1) + a1 * b0, (a1 * b1 + a0 * b2) + a2 * b0};
          // add(acc, product); the product's limbs 3..7 are zero.
          double s[kLimbs], e[kLimbs];
          for (int l = 0; l < kLimbs; ++l) two_sum(acc[l][jj], l < 3 ? prod[l] : 0.0, s[l], e[l]);
          acc[0][jj] = s[0];
          for (int l = 1; l < kLimbs; ++l) acc[l][jj] = s[l] + e[l - 1];
        }
      }
      const int64_t width = n - p * kPanel < kPanel ? n - p * kPanel : kPanel;
      for (int64_t jj = 0; jj < width; ++jj) {
        double* out = c.at(i, p * kPanel + jj);
        for (int l = 0; l < kLimbs; ++l) out[l] = acc[l][jj];
      }
    }
  }
}

// Rows [i_begin, i_end) of c -= a * b as a sequence of subtractions: every
// output element starts from its value in c and subtracts mul(a(i, kk),
// b(kk, j)) for kk = k_begin, ..., k_end - 1 in turn, with the 8-limb sub,
// exactly as an element-by-element elimination does. Element (i, kk) of a
// is at pa + (i * a_stride + kk) * kPackedFields; b is packed as pack_b
// lays out a depth-k matrix; c has n columns.
LIMBS_VECTOR_CLONES LIMBS_HD inline void subtract_products_rows(const double* pa, int64_t a_stride,
                                                                const double* pb, int64_t k,
                                                                int64_t k_begin, int64_t k_end,
                                                                int64_t n, int64_t i_begin,
                                                                int64_t i_end, const MatrixOut& c) {
  const int64_t panels = (n + kPanel - 1) / kPanel;
  for (int64_t i = i_begin; i < i_end; ++i) {
    const double* arow = pa + i * a_stride * kPackedFields;
    for (int64_t p = 0; p < panels; ++p) {
      const int64_t width = n - p * kPanel < kPanel ? n - p * kPanel : kPanel;
      double acc[kLimbs][kPanel];
      for (int64_t jj = 0; jj < kPanel; ++jj) {
        const double* in = jj < width ? c.at(i, p * kPanel + jj) : nullptr;
        for (int l = 0; l < kLimbs; ++l) acc[l][jj] = in ? in[l] : 0.0;
      }
      const double* bpanel = pb + p * k * kPackedFields * kPanel;
      for (int64_t kk = k_begin; kk < k_end; ++kk) {
        const double* ae = arow + kk * kPackedFields;
        const double a0 = ae[0], a1 = ae[1], a2 = ae[2], ahi = ae[3], alo = ae[4];
        const double* be = bpanel + kk * kPackedFields * kPanel;
        for (int64_t jj = 0; jj < kPanel; ++jj) {
          const double b0 = be[jj], b1 = be[kPanel + jj], b2 = be[2 * kPanel + jj];
          const double bhi = be[3 * kPanel + jj], blo = be[4 * kPanel + jj];
          const double p0 = a0 * b0;
          const double e0 = product_error(p0, ahi, alo, bhi, blo);
          // neg(mul(a, b)): limbs 3..7 of the negated product are -0.
          const double prod[3] = {-p0, -((e0 + a0 * b1) + a1 * b0),
                                  -((a1 * b1 + a0 * b2) + a2 * b0)};
          double s[kLimbs], e[kLimbs];
          for (int l = 0; l < kLimbs; ++l) two_sum(acc[l][jj], l < 3 ? prod[l] : -0.0, s[l], e[l]);
          acc[0][jj] = s[0];
          for (int l = 1; l < kLimbs; ++l) acc[l][jj] = s[l] + e[l - 1];
        }
      }
      for (int64_t jj = 0; jj < width; ++jj) {
        double* out = c.at(i, p * kPanel + jj);
        for (int l = 0; l < kLimbs; ++l) out[l] = acc[l][jj];
      }
    }
  }
}

// c = a * b for a (m x k) and b (k x n), single-threaded. k == 0 gives zeros.
inline void matmul(const MatrixView& a, const MatrixView& b, const MatrixOut& c) {
  std::vector<double> pa(static_cast<size_t>(packed_a_size(a.rows, a.cols)));
  std::vector<double> pb(static_cast<size_t>(packed_b_size(b.rows, b.cols)));
  pack_a(a, pa.data(), 0, a.rows);
  pack_b(b, pb.data(), 0, b.rows);
  // Output rows are independent; a chunk should hold some 4096 terms.
  const int64_t grain = 4096 / (b.cols * a.cols > 0 ? b.cols * a.cols : 1) + 1;
  for_chunks(a.rows, grain, [&](int64_t i0, int64_t i1) {
    matmul_rows(pa.data(), pb.data(), a.cols, b.cols, i0, i1, c);
  });
}

// Leaves of a dot product: mul(x_i, y_i).
struct ProductLeaves {
  const double* x;
  int64_t x_stride;
  const double* y;
  int64_t y_stride;
  LIMBS_HD Row operator()(int64_t i) const {
    return mul(load(x + i * x_stride * kLimbs), load(y + i * y_stride * kLimbs));
  }
#if defined(LIMBS_HAVE_LANES4)
  template <class L>
  RowOf<L> lanes(int64_t i) const {
    return mul(strided_lanes(x, i, x_stride), strided_lanes(y, i, y_stride));
  }
#endif
};

// Tree sum of x_i * y_i for i < n; a stride of 0 repeats one element (a
// broadcast length-1 operand). scratch holds tree_scratch_rows(n) rows.
LIMBS_HD inline Row dot(const double* x, int64_t x_stride, const double* y, int64_t y_stride,
                        int64_t n, double* scratch) {
  return tree_reduce(n, ProductLeaves{x, x_stride, y, y_stride}, SumPair(), zero_row(), scratch);
}

inline Row dot(const double* x, int64_t x_stride, const double* y, int64_t y_stride, int64_t n) {
  std::vector<double> scratch(static_cast<size_t>(tree_scratch_rows(n) * kLimbs));
  return dot(x, x_stride, y, y_stride, n, scratch.data());
}

}  // namespace limbs
