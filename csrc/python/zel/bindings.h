// Each area of the core module registers its Tensor members and module
// functions through one of these.
#pragma once

#include "python/shared/args.h"

namespace zel {

void bind_tensor_class(py::module_& m, TensorClass& cls);
void bind_pointwise(py::module_& m, TensorClass& cls);
void bind_reduce(py::module_& m, TensorClass& cls);
void bind_shape(py::module_& m, TensorClass& cls);
void bind_factory(py::module_& m, TensorClass& cls);
void bind_protocol(py::module_& m, TensorClass& cls);
void bind_accurate(py::module_& m, TensorClass& cls);
void bind_selftest(py::module_& m);
void bind_contract(py::module_& m, TensorClass& cls);
void bind_rearrange(py::module_& m, TensorClass& cls);

// clamp with at least one Tensor bound (numbers become 0-d tensors): the
// exact ordering of the accurate functions.
py::object clamp_with_tensors(LimbTensor self, py::handle lo, py::handle hi, const char* op);
// zel.linalg and the top-level linear-algebra names.
void bind_linalg(py::module_& m);
// Row `row` of the element-function table as a method with a fast path for
// small CPU tensors; `general` (its pybind11 function) answers every other call.
void bind_fast_unary(TensorClass& cls, size_t row, py::cpp_function general);
// The arithmetic and comparison operators, with direct + - * / slots.
void bind_operators(TensorClass& cls);

}  // namespace zel
