// The one table of element-wise functions. The tensor layer runs a row's
// kernel over limb arrays; the binding layer makes each row a Tensor method
// (and, where marked, a module function) with its docstring. A new function
// is its kernel, one row here, its stub and its tests. Torch-free.
#pragma once

#include <cstdint>

#include "limbs/elementary.h"
#include "limbs/extrema.h"

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

}  // namespace detail

inline constexpr ElementwiseOp kElementwiseOps[] = {
    detail::unary("exp", each_row<&limbs::exp>, Grain::Heavy, "Exponential using Taylor series."),
    detail::unary("log", each_row<&limbs::log>, Grain::Heavy, "Natural logarithm using Newton-Raphson."),
    detail::unary("sqrt", each_row<&limbs::sqrt>, Grain::Heavy, "Square root using Newton-Raphson."),
    detail::unary("sin", each_row<&limbs::sin>, Grain::Heavy, "Sine using Taylor series."),
    detail::unary("cos", each_row<&limbs::cos>, Grain::Heavy, "Cosine using Taylor series."),
    detail::unary("tan", each_row<&limbs::tan>, Grain::Heavy, "Tangent."),
    detail::unary("tanh", each_row<&limbs::tanh>, Grain::Heavy, "Hyperbolic tangent."),
    detail::unary("sigmoid", each_row<&limbs::sigmoid>, Grain::Heavy, "Sigmoid function."),
    detail::unary("silu", each_row<&limbs::silu>, Grain::Heavy, "SiLU (Swish) activation: x * sigmoid(x)."),
    detail::unary("gelu", each_row<&limbs::gelu>, Grain::Heavy, "GELU activation."),
    detail::unary("relu", each_row<&limbs::relu>, Grain::Light, "ReLU activation."),
    detail::unary("abs", each_row<&limbs::abs>, Grain::Light, "Absolute value."),
    detail::unary("floor", each_row<&limbs::floor>, Grain::Light, "Floor function."),
    detail::unary("ceil", each_row<&limbs::ceil>, Grain::Light, "Ceiling function."),
    detail::unary("reciprocal", each_row<&limbs::reciprocal>, Grain::Heavy,
                  "Element-wise reciprocal using Newton-Raphson.", false),
    detail::pair("maximum", limbs::row_maximum, Grain::Light,
                 "Element-wise maximum on the exact values; NaN if either is NaN."),
    detail::pair("minimum", limbs::row_minimum, Grain::Light,
                 "Element-wise minimum on the exact values; NaN if either is NaN."),
};

}  // namespace zel
