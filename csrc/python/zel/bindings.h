// Each area of the core module registers its Tensor members and module
// functions through one of these.
#pragma once

#include "python/zel/autograd.h"

namespace zel {

void bind_tensor_class(Module& m, TensorClass& cls);
void bind_pointwise(Module& m, TensorClass& cls);
void bind_reduce(Module& m, TensorClass& cls);
void bind_shape(Module& m, TensorClass& cls);
void bind_factory(Module& m, TensorClass& cls);
void bind_protocol(Module& m, TensorClass& cls);
void bind_accurate(Module& m, TensorClass& cls);
void bind_selftest(Module& m);
void bind_contract(Module& m, TensorClass& cls);
void bind_rearrange(Module& m, TensorClass& cls);
// Integer conversions, the scatter family, counting, searching, index generators.
void bind_index_tools(Module& m, TensorClass& cls);

// clamp with at least one Tensor bound (numbers become 0-d tensors): the
// exact ordering of the accurate functions.
py::object clamp_with_tensors(LimbTensor self, py::handle lo, py::handle hi, const char* op);
// zel.linalg and the top-level linear-algebra names.
void bind_linalg(Module& m);
// Row `row` of the element-function table as a method with a fast path for
// small CPU tensors; `general` (its pybind11 function) answers every other call.
void bind_fast_unary(TensorClass& cls, size_t row, py::cpp_function general);
// The arithmetic and comparison operators, with direct + - * / slots.
void bind_operators(TensorClass& cls);
// The type of the callables that send complex operands to varnel.zel._complex.
py::object complex_dispatch_type();

}  // namespace zel
