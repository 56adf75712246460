// Each area of the core module registers its Tensor members and module
// functions through one of these.
#pragma once

#include "python/common.h"

namespace zel {

using TensorClass = py::class_<LimbTensor>;

void bind_core(py::module_& m, TensorClass& cls);
void bind_elementwise(py::module_& m, TensorClass& cls);
void bind_reduce(py::module_& m, TensorClass& cls);
void bind_shape(py::module_& m, TensorClass& cls);
void bind_factory(py::module_& m, TensorClass& cls);
void bind_dropin(py::module_& m, TensorClass& cls);
void bind_math(py::module_& m, TensorClass& cls);
void bind_selftest(py::module_& m);
// Added around the defined names; they run after the areas above, whose
// methods they extend.
void bind_reduce_more(py::module_& m, TensorClass& cls);
void bind_shape_more(py::module_& m, TensorClass& cls);

// clamp with at least one Tensor bound (numbers become 0-d tensors): the
// exact ordering of the accurate functions.
py::object clamp_with_tensors(LimbTensor self, py::handle lo, py::handle hi, const char* op);
// zel.linalg and the top-level linear-algebra names.
void bind_linalg(py::module_& m);
// Last: direct + - * / slots over the methods bound before.
void install_fast_ops(TensorClass& cls);

}  // namespace zel
