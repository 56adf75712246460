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
using PairRunsKernel = void (*)(const Row* a, const Row* b, Row* out, int64_t n);

// Rows per parallel chunk: the iterative functions cost thousands of float64
// operations per row, the selections a handful.
enum class Grain : int64_t { Heavy = 256, Light = 16384 };

// The Python names a row of csrc/ops/pointwise.def binds (its `names`
// column): the Tensor method always; Function adds zel.name, Special
// zel.special.name.
namespace op_names {
enum : unsigned { Method = 0, Function = 1, Special = 2 };
}

// A row of csrc/ops/pointwise.def.
struct ElementwiseOp {
  const char* name;
  int arity;  // 1: `unary` is set; 2: `pair` is set
  RowsKernel unary;
  PairKernel pair;
  Grain grain;
  const char* doc;
  unsigned names;  // op_names
  bool complex;    // the `elements` column: Complex
  // The gradient formulas of the `derivative` columns (derivative_other is
  // nullptr for one operand).
  const char* derivative;
  const char* derivative_other;
  // The accurate kernel of the `rows_or_full` kind, used in "full" function
  // precision; nullptr for every other kind.
  RowsKernel full;
  // The `lanes` kind's kernel over runs of rows of two operands of one
  // shape; nullptr for every other kind.
  PairRunsKernel pair_runs;
  bool module_function() const { return (names & op_names::Function) != 0; }
  bool special() const { return (names & op_names::Special) != 0; }
};

// The rows, in their order (kernels/pointwise_table.h gives their count; it
// reads the declarations, so only the files that need the count depend on them).
extern const ElementwiseOp kElementwiseOps[];

// The process-wide function precision: "defined" (false, the default) or
// "full". An operation reads it once, when it picks its kernel.
bool full_function_precision();
void set_full_function_precision(bool full);

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
// The "full" function precision's kernels (accurate to 2^-100) of the
// rows_or_full rows, and the run kernels of the `lanes` rows
// (kernels/accurate_lanes.cpp).
void exp_full_kernel(const Row* in, Row* out, int64_t n);
void log_full_kernel(const Row* in, Row* out, int64_t n);
void sin_full_kernel(const Row* in, Row* out, int64_t n);
void cos_full_kernel(const Row* in, Row* out, int64_t n);
void tan_full_kernel(const Row* in, Row* out, int64_t n);
void tanh_full_kernel(const Row* in, Row* out, int64_t n);
void sigmoid_full_kernel(const Row* in, Row* out, int64_t n);
void silu_full_kernel(const Row* in, Row* out, int64_t n);
void gelu_full_kernel(const Row* in, Row* out, int64_t n);
void expm1_lanes_kernel(const Row* in, Row* out, int64_t n);
void atan2_lanes_kernel(const Row* a, const Row* b, Row* out, int64_t n);
// (a - b) - c from every limb of the three, rounded once (the accurate kernels'
// exact difference): a log-softmax entry next to zero keeps its digits.
Row sub_exact(const Row& a, const Row& b, const Row& c);
// |a|, decided on the exact value (every limb negated where it is negative).
Row abs_row(const Row& a);
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
// floor(x / y) for the number y through its reciprocal c, mended as floor division is.
void floor_scale_kernel(const Row* in, Row* out, int64_t n, const Row& c, const Row& y);

// The exact floored remainder x - floor(x / y) y (the accurate `remainder`):
// what // and % fall back to where the float64 floor of the quotient leaves
// the remainder outside the divisor's range.
Row floored_remainder(const Row& x, const Row& y);

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
