// What the direct operator slots compute on (operators.cpp), and what the
// native autograd nodes evaluate their formulas on the same way
// (autograd_native.cpp): one definition, so both take the same operands.
#pragma once

#include "python/zel/bindings.h"

namespace zel {

// A limb array in the layout the slots' kernels read: a contiguous (N, 8)
// float64 CPU array matching the shape.
inline bool slot_layout(const LimbTensor& t) {
  const at::Tensor& d = t.data;
  return d.defined() && d.device().is_cpu() && d.scalar_type() == at::kDouble && d.dim() == 2 &&
         d.size(1) == limbs::kLimbs && d.is_contiguous() && t.shape.size() <= kMaxDims &&
         d.size(0) == shape_numel(t.shape);
}

// float(o) for an exact int or float; false (no error set) otherwise.
inline bool slot_number(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (!PyLong_CheckExact(o)) return false;
  out = PyLong_AsDouble(o);
  if (out == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();  // the methods raise it again
    return false;
  }
  return true;
}

}  // namespace zel
