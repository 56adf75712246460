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
void bind_selftest(py::module_& m);
// zel.linalg and the top-level linear-algebra names.
void bind_linalg(py::module_& m);

}  // namespace zel
