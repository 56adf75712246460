// The element-wise kernels, compiled once in csrc/kernels/pointwise.cpp with
// the layout flags. The tensor layer sees these declarations only: what it
// runs over rows, it runs through them. Torch-free.
//
// A run kernel fills out[i] for i < n (out may alias an input); a row
// function computes one element and is called through a plain call, never
// inlined into its caller, so each has one compiled copy.
#pragma once

#include <cstddef>
#include <cstdint>

#include "limbs/core/row.h"

namespace zel {

using limbs::Row;

// A unary kernel on a contiguous run of rows: out[i] = f(in[i]), i < n.
using RowsKernel = void (*)(const Row* in, Row* out, int64_t n);
// A binary kernel on one pair of rows; the tensor layer broadcasts.
using PairKernel = Row (*)(const Row& a, const Row& b);

// Rows per parallel chunk: the iterative functions cost thousands of float64
// operations per row, the selections a handful.
enum class Grain : int64_t { Heavy = 256, Light = 16384 };

// A row of csrc/ops/pointwise.def.
struct ElementwiseOp {
  const char* name;
  int arity;  // 1: `unary` is set; 2: `pair` is set
  RowsKernel unary;
  PairKernel pair;
  Grain grain;
  const char* doc;
  bool module_function;  // also a module function name(input[, other])
};

constexpr size_t kElementwiseOpCount = 0
#define ZEL_UNARY(...) +1
#define ZEL_BINARY(...) +1
#include "ops/pointwise.def"
#undef ZEL_UNARY
#undef ZEL_BINARY
    ;

// The rows of ops/pointwise.def, in their order.
extern const ElementwiseOp kElementwiseOps[kElementwiseOpCount];

namespace kernels {

// 1 / s by the scalar Newton-Raphson reciprocal.
Row reciprocal_of(double s);

Row reciprocal_row(const Row& a);
// a * reciprocal(b).
Row div_row(const Row& a, const Row& b);
// Runs of the defined series and iterations (lanes where the processor has
// them); the `rows` kind of ops/pointwise.def names these. Each family is a
// translation unit of its own (kernels/defined_*.cpp), so that they compile
// side by side.
void exp_kernel(const Row* in, Row* out, int64_t n);
void tanh_kernel(const Row* in, Row* out, int64_t n);
void sigmoid_kernel(const Row* in, Row* out, int64_t n);
void silu_kernel(const Row* in, Row* out, int64_t n);
void gelu_kernel(const Row* in, Row* out, int64_t n);
void log_kernel(const Row* in, Row* out, int64_t n);
void sqrt_kernel(const Row* in, Row* out, int64_t n);
void reciprocal_kernel(const Row* in, Row* out, int64_t n);
void sin_kernel(const Row* in, Row* out, int64_t n);
void cos_kernel(const Row* in, Row* out, int64_t n);
void tan_kernel(const Row* in, Row* out, int64_t n);
// a ** e for a float64 exponent, through log and exp.
void pow_float_kernel(const Row* in, Row* out, int64_t n, double e);
// a ** m for m >= 1 in `count` little-endian 64-bit words; with `invert`, 1 / a ** m.
void pow_positive_kernel(const Row* in, Row* out, int64_t n, const unsigned long long* words,
                         int count, bool invert);
// base ** x.
void number_pow_kernel(double base, const Row* in, Row* out, int64_t n);

// out = x * c, or floor(x * c) with `floor_it` (division by a number through its reciprocal).
void scale_kernel(const Row* in, Row* out, int64_t n, const Row& c, bool floor_it);

// The quotients of the operators, from x, y and the reciprocal of y.
enum class Quotient { Div, FloorDiv, Mod };
Row quotient_row(Quotient q, const Row& x, const Row& y, const Row& inv_y);
// The same over a run of equal-shape operands, the reciprocals computed a block at a time.
void quotient_kernel(Quotient q, const Row* a, const Row* b, Row* out, int64_t n);

// Equal-shape + - * over runs (four rows at a time in lanes), and the one
// compiled copy of each for single elements (broadcasts).
void add_kernel(const Row* a, const Row* b, Row* out, int64_t n);
void sub_kernel(const Row* a, const Row* b, Row* out, int64_t n);
void mul_kernel(const Row* a, const Row* b, Row* out, int64_t n);
Row add_row(const Row& a, const Row& b);
Row sub_row(const Row& a, const Row& b);
Row mul_row(const Row& a, const Row& b);

void clamp_kernel(const Row* in, Row* out, int64_t n, bool has_min, double min_val, bool has_max,
                  double max_val);
// decimals == 0 rounds approx half to even; otherwise round(approx * factor) / factor.
void round_kernel(const Row* in, Row* out, int64_t n, bool decimals_zero, double factor);

// The accurate functions with parameters or three operands: a malformed
// operand (limbs::math::malformed) gives NaN.
bool malformed_row(const Row& a);
Row pow_row(const Row& a, const Row& b);
void logit_kernel(const Row* in, Row* out, int64_t n, bool has_eps, double eps);
void nan_to_num_kernel(const Row* in, Row* out, int64_t n, double nan, double posinf,
                       double neginf);
Row lerp_row(const Row& start, const Row& end, const Row& weight);
Row addcmul_row(const Row& in, const Row& t1, const Row& t2, double value);
Row addcdiv_row(const Row& in, const Row& t1, const Row& t2, double value);
// x clamped to the bounds present (null: absent), on the exact values.
Row clamp_between_row(const Row& x, const Row* lo, const Row* hi);
bool isclose_row(const Row& a, const Row& b, double rtol, double atol, bool equal_nan);
bool signbit_row(const Row& a);

}  // namespace kernels
}  // namespace zel
