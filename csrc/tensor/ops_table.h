// The one table of element-wise functions. The tensor layer runs a row's
// kernel over limb arrays; the binding layer makes each row a Tensor method
// (and, where marked, a module function) with its docstring. A new function
// is its kernel, one row here, its stub and its tests. Torch-free.
#pragma once

#include <cstdint>

#include "limbs/elementary.h"
#include "limbs/functions.h"
#include "limbs/rows.h"

namespace zel {

// A unary kernel on a contiguous chunk of rows: out[i] = f(in[i]), i < n.
// Chunk-wise so that SIMD-lane versions (limbs::<fn>_rows) fit unchanged.
using RowsKernel = void (*)(const limbs::Row* in, limbs::Row* out, int64_t n);
// A binary kernel on one pair of rows; the tensor layer broadcasts.
using PairKernel = limbs::Row (*)(const limbs::Row& a, const limbs::Row& b);

// Rows per parallel chunk: the iterative functions cost thousands of float64
// operations per row, the selections a handful.
enum class Grain : int64_t { Heavy = 256, Light = 16384 };

struct ElementwiseOp {
  const char* name;
  int arity;           // 1: `unary` is set; 2: `pair` is set
  RowsKernel unary;
  PairKernel pair;
  Grain grain;
  const char* doc;
  bool module_function;  // also a module function name(input[, other])
};

// The rows kernel of a per-element function.
template <limbs::Row (*F)(const limbs::Row&)>
void each_row(const limbs::Row* in, limbs::Row* out, int64_t n) {
  for (int64_t i = 0; i < n; ++i) out[i] = F(in[i]);
}

namespace detail {

constexpr ElementwiseOp unary(const char* name, RowsKernel k, Grain g, const char* doc, bool module_function = true) {
  return ElementwiseOp{name, 1, k, nullptr, g, doc, module_function};
}
constexpr ElementwiseOp pair(const char* name, PairKernel k, Grain g, const char* doc) {
  return ElementwiseOp{name, 2, nullptr, k, g, doc, true};
}

// Rows of the accurate functions (limbs/functions.h), each behind the
// malformed-row check.
template <limbs::Row (*F)(const limbs::Row&)>
constexpr ElementwiseOp accurate(const char* name, const char* doc, Grain g = Grain::Heavy) {
  return unary(name, each_row<&limbs::math::guarded<F>>, g, doc);
}
template <limbs::Row (*F)(const limbs::Row&, const limbs::Row&)>
constexpr ElementwiseOp accurate_pair(const char* name, const char* doc, Grain g = Grain::Heavy) {
  return pair(name, &limbs::math::guarded<F>, g, doc);
}

}  // namespace detail

inline constexpr ElementwiseOp kElementwiseOps[] = {
    detail::unary("exp", limbs::exp_rows, Grain::Heavy, "Exponential using Taylor series."),
    detail::unary("log", limbs::log_rows, Grain::Heavy, "Natural logarithm using Newton-Raphson."),
    detail::unary("sqrt", limbs::sqrt_rows, Grain::Heavy, "Square root using Newton-Raphson."),
    detail::unary("sin", limbs::sin_rows, Grain::Heavy, "Sine using Taylor series."),
    detail::unary("cos", limbs::cos_rows, Grain::Heavy, "Cosine using Taylor series."),
    detail::unary("tan", limbs::tan_rows, Grain::Heavy, "Tangent."),
    detail::unary("tanh", limbs::tanh_rows, Grain::Heavy, "Hyperbolic tangent."),
    detail::unary("sigmoid", limbs::sigmoid_rows, Grain::Heavy, "Sigmoid function."),
    detail::unary("silu", limbs::silu_rows, Grain::Heavy, "SiLU (Swish) activation: x * sigmoid(x)."),
    detail::unary("gelu", limbs::gelu_rows, Grain::Heavy, "GELU activation."),
    detail::unary("relu", each_row<&limbs::relu>, Grain::Light, "ReLU activation."),
    detail::unary("abs", each_row<&limbs::abs>, Grain::Light, "Absolute value."),
    detail::unary("floor", each_row<&limbs::floor>, Grain::Light, "Floor function."),
    detail::unary("ceil", each_row<&limbs::ceil>, Grain::Light, "Ceiling function."),
    detail::unary("reciprocal", limbs::reciprocal_rows, Grain::Heavy,
                  "Element-wise reciprocal using Newton-Raphson.", false),
    detail::pair("maximum", limbs::math::maximum, Grain::Light,
                 "Element-wise maximum on the exact values; NaN if either is NaN."),
    detail::pair("minimum", limbs::math::minimum, Grain::Light,
                 "Element-wise minimum on the exact values; NaN if either is NaN."),
    // The accurate functions (limbs/functions.h): 2^-100 relative, operands
    // read from all limbs, malformed rows giving NaN before any kernel step.
    detail::accurate<&limbs::math::asin>("asin", "Arcsine, accurate to 2^-100."),
    detail::accurate<&limbs::math::asin>("arcsin", "Arcsine (asin)."),
    detail::accurate<&limbs::math::acos>("acos", "Arccosine, accurate to 2^-100."),
    detail::accurate<&limbs::math::acos>("arccos", "Arccosine (acos)."),
    detail::accurate<&limbs::math::atan>("atan", "Arctangent, accurate to 2^-100."),
    detail::accurate<&limbs::math::atan>("arctan", "Arctangent (atan)."),
    detail::accurate<&limbs::math::sinh>("sinh", "Hyperbolic sine, accurate to 2^-100."),
    detail::accurate<&limbs::math::cosh>("cosh", "Hyperbolic cosine, accurate to 2^-100."),
    detail::accurate<&limbs::math::asinh>("asinh", "Inverse hyperbolic sine, accurate to 2^-100."),
    detail::accurate<&limbs::math::asinh>("arcsinh", "Inverse hyperbolic sine (asinh)."),
    detail::accurate<&limbs::math::acosh>("acosh", "Inverse hyperbolic cosine, accurate to 2^-100."),
    detail::accurate<&limbs::math::acosh>("arccosh", "Inverse hyperbolic cosine (acosh)."),
    detail::accurate<&limbs::math::atanh>("atanh", "Inverse hyperbolic tangent, accurate to 2^-100."),
    detail::accurate<&limbs::math::atanh>("arctanh", "Inverse hyperbolic tangent (atanh)."),
    detail::accurate<&limbs::math::expm1>("expm1", "exp(x) - 1, accurate to 2^-100."),
    detail::accurate<&limbs::math::log1p>("log1p", "log(1 + x), accurate to 2^-100."),
    detail::accurate<&limbs::math::log2>("log2", "Base-2 logarithm, accurate to 2^-100 (exact at powers of two)."),
    detail::accurate<&limbs::math::log10>("log10", "Base-10 logarithm, accurate to 2^-100."),
    detail::accurate<&limbs::math::exp2>("exp2", "2 ** x, accurate to 2^-100 (exact at integers)."),
    detail::accurate<&limbs::math::erf>("erf", "Error function, accurate to 2^-100."),
    detail::accurate<&limbs::math::erfc>("erfc", "Complementary error function, accurate to 2^-100."),
    detail::accurate<&limbs::math::rsqrt>("rsqrt", "1 / sqrt(x), accurate to 2^-100."),
    detail::accurate<&limbs::math::sinc>("sinc", "sin(pi x) / (pi x), accurate to 2^-100."),
    detail::accurate<&limbs::math::deg2rad>("deg2rad", "Degrees to radians, accurate to 2^-100."),
    detail::accurate<&limbs::math::rad2deg>("rad2deg", "Radians to degrees, accurate to 2^-100."),
    detail::accurate<&limbs::math::trunc>("trunc", "Integer part of the exact value.", Grain::Light),
    detail::accurate<&limbs::math::trunc>("fix", "Integer part of the exact value (trunc).", Grain::Light),
    detail::accurate<&limbs::math::frac>("frac", "Fractional part of the exact value.", Grain::Light),
    detail::accurate<&limbs::math::sign>("sign", "Sign of the exact value: -1, 0 or 1; NaN for NaN.", Grain::Light),
    detail::accurate<&limbs::math::sign>("sgn", "Sign of the exact value (sign, for real tensors).", Grain::Light),
    detail::unary("square", each_row<&limbs::math::square>, Grain::Light, "x * x, the product of x ** 2."),
    detail::unary("neg", each_row<&limbs::neg>, Grain::Light, "Negation of every limb (exact)."),
    detail::unary("negative", each_row<&limbs::neg>, Grain::Light, "Negation of every limb (neg)."),
    detail::unary("positive", each_row<&limbs::math::positive>, Grain::Light, "The elements unchanged."),
    detail::accurate_pair<&limbs::math::atan2>("atan2",
        "Arctangent of input / other in the quadrant of (other, input)."),
    detail::accurate_pair<&limbs::math::atan2>("arctan2", "atan2."),
    detail::accurate_pair<&limbs::math::hypot>("hypot",
        "sqrt(input^2 + other^2) without overflow, accurate to 2^-100."),
    detail::accurate_pair<&limbs::math::fmod>("fmod",
        "C fmod: input - trunc(input / other) * other, sign of input; exact."),
    detail::accurate_pair<&limbs::math::remainder>("remainder",
        "Python modulus: the result has the sign of other; exact."),
    detail::accurate_pair<&limbs::math::fmax>("fmax",
        "Element-wise maximum on the exact values; a NaN operand is ignored.", Grain::Light),
    detail::accurate_pair<&limbs::math::fmin>("fmin",
        "Element-wise minimum on the exact values; a NaN operand is ignored.", Grain::Light),
    detail::accurate_pair<&limbs::math::copysign>("copysign", "|input| with the sign of other.", Grain::Light),
    detail::accurate_pair<&limbs::math::logaddexp>("logaddexp", "log(exp(input) + exp(other)), accurate to 2^-100."),
    detail::accurate_pair<&limbs::math::logaddexp2>("logaddexp2", "log2(2**input + 2**other), accurate to 2^-100."),
    detail::accurate_pair<&limbs::math::xlogy>("xlogy",
        "input * log(other), 0 where input is 0; accurate to 2^-100."),
};

}  // namespace zel
