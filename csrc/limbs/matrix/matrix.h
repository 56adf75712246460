// Owning row-major matrices of 8-limb elements and the results of the
// factorisations in linalg.h (tarsk's) and dense.h (zel.linalg's): plain
// data, so that the tensor layer can hold them while the algorithms are
// compiled once among the kernels.
#pragma once

#include <cstdint>
#include <vector>

#include "limbs/core/row.h"

namespace limbs {

static_assert(sizeof(Row) == kLimbs * sizeof(double), "a Row must be exactly its limbs");

using Vector = std::vector<Row>;

// An owning rows x cols matrix, element (i, j) at data[i * cols + j]: the
// layout of a 2-D limb array.
struct Matrix {
  int64_t rows = 0;
  int64_t cols = 0;
  Vector data;

  Matrix() = default;
  Matrix(int64_t r, int64_t c) : rows(r), cols(c), data(static_cast<size_t>(r * c), zero_row()) {}

  Row& at(int64_t i, int64_t j) { return data[static_cast<size_t>(i * cols + j)]; }
  const Row& at(int64_t i, int64_t j) const { return data[static_cast<size_t>(i * cols + j)]; }
};

// Copies rows * cols contiguous limb rows.
inline Matrix matrix_from_rows(const Row* p, int64_t rows, int64_t cols) {
  Matrix a;
  a.rows = rows;
  a.cols = cols;
  a.data.assign(p, p + rows * cols);
  return a;
}

inline Matrix identity(int64_t n) {
  Matrix a(n, n);
  for (int64_t i = 0; i < n; ++i) a.at(i, i) = from_double(1.0);
  return a;
}

inline Matrix transpose(const Matrix& a) {
  Matrix t(a.cols, a.rows);
  for (int64_t i = 0; i < a.rows; ++i)
    for (int64_t j = 0; j < a.cols; ++j) t.at(j, i) = a.at(i, j);
  return t;
}

// --- tarsk's factorisations (linalg.h) -------------------------------------------

struct LuResult {
  Matrix P;  // row i of P*A is row perm[i] of A
  Matrix L;  // unit lower triangular
  Matrix U;  // upper triangular up to the residuals left below the diagonal
  std::vector<int64_t> perm;
};

struct QrResult {
  Matrix Q;  // m x n
  Matrix R;  // n x n, lower triangle exactly 0
};

struct LstsqResult {
  Vector x;           // n unknowns
  Row residual_norm;  // default norm of A x - b
};

struct EigResult {
  Vector values;   // diagonal of the last iterate, in diagonal order
  Matrix vectors;  // product of the Q factors, columns as vectors
};

struct SvdResult {
  Matrix U;   // m x k, k = min(m, n)
  Vector S;   // k, descending by approx
  Matrix Vh;  // k x n
};

// Which norm, as the binding layer maps the Python `ord`, first match wins:
//   None or 'fro'            -> kFrobenius
//   ord == 2 (2, 2.0)        -> kTwo        (same result as kFrobenius here;
//                                            cond tells them apart)
//   ord == 1 (1, 1.0, True)  -> kOne
//   ord == float('inf')      -> kMax
//   any other int (False too)-> kIntPower with int_power
//   any other float          -> kFloatPower with float_power
//   anything else            -> TypeError in the binding (** rejects it)
enum class NormKind { kFrobenius, kTwo, kOne, kMax, kIntPower, kFloatPower };

struct NormOrd {
  NormKind kind = NormKind::kFrobenius;
  long long int_power = 0;
  double float_power = 0.0;
};

struct NormResult {
  std::vector<int64_t> shape;
  Vector data;
};

namespace dense {

// --- zel.linalg's factorisations (dense.h) --------------------------------------

struct SlogDet {
  Row sign;
  Row logabsdet;
};

struct Householder {
  Matrix r;               // m x n, zero below the diagonal
  std::vector<Vector> v;  // reflector j acts on rows j..m-1
  Vector beta;            // H_j = I - beta_j v_j v_j^T
};

struct EigenSystem {
  Vector values;   // ascending
  Matrix vectors;  // column i belongs to values[i]
};

struct Svd {
  Matrix u;   // m x m when full, else m x k
  Vector s;   // k = min(m, n), descending
  Matrix vh;  // n x n when full, else k x n
};

}  // namespace dense
}  // namespace limbs
