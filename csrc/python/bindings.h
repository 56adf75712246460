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
// Last: direct + - * / slots over the methods bound before.
void install_fast_ops(TensorClass& cls);

}  // namespace zel
