// Conversions between Python objects and the tensor layer, shared by both
// extension modules: argument rules, shapes, devices, construction from
// Python data and the translation of C++ errors into Python exceptions.
#pragma once

#include <ATen/core/Tensor.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "tensor/core/limb_tensor.h"

namespace py = pybind11;

namespace zel {

// torch.Tensor objects, through the one file that includes torch's Python
// headers (torch_bridge.cpp; they cost every file that includes them seconds
// of parsing).
bool is_torch_tensor(py::handle v);
at::Tensor torch_tensor_of(py::handle v);  // v is a torch.Tensor
py::object torch_object(const at::Tensor& t);

}  // namespace zel

// at::Tensor arguments and results of the bindings are torch.Tensor objects.
// (In pybind11's hidden-visibility namespace: this caster never leaves the
// module, and torch's own never enters it.)
namespace PYBIND11_NAMESPACE {
namespace detail {
template <>
struct type_caster<at::Tensor> {
  PYBIND11_TYPE_CASTER(at::Tensor, _("torch.Tensor"));
  bool load(handle src, bool) {
    if (!zel::is_torch_tensor(src)) return false;
    value = zel::torch_tensor_of(src);
    return true;
  }
  static handle cast(const at::Tensor& t, return_value_policy, handle) {
    return zel::torch_object(t).release();
  }
};

// Tensor arguments: pybind11's own loading, then an inline row (a result of
// the operator slots) gets its limb array, so no binding meets one.
template <>
class type_caster<zel::LimbTensor> : public type_caster_base<zel::LimbTensor> {
 public:
  bool load(handle src, bool convert) {
    if (!type_caster_base<zel::LimbTensor>::load(src, convert)) return false;
    if (value) zel::materialize(*static_cast<zel::LimbTensor*>(value));
    return true;
  }
};
}  // namespace detail
}  // namespace PYBIND11_NAMESPACE

namespace zel {

// Maps zel::TypeError etc. to the Python exceptions of the same name.
void register_errors();

// The module device, fixed when varnel.zel.zel is imported.
at::Device default_device();
void set_default_device(const at::Device& device);

// A truthy device argument names the device; a falsy one means the module device.
at::Device resolve_device(py::handle device);

// The name Python prints for the type of v ("int", "str", ...).
std::string type_name(py::handle v);

// "Argument 'dim' has incorrect type (expected int, got str)".
[[noreturn]] void raise_arg_type(const char* name, const char* expected, py::handle got);

// The defined int rule: int() semantics (an int as it is, another number
// truncated), anything else TypeError with the message above. The names
// added after the defined ones read ints as PyTorch does: int_arg (args.h).
int64_t truncated_int(py::handle v, const char* name);

// Python int and float, subclasses (so bool) included.
bool is_py_number(py::handle v);

// float(v) for a Python int or float: an int beyond the float range raises
// float()'s OverflowError instead of a failed C++ cast.
inline double number_value(py::handle v) {
  const double x = PyFloat_AsDouble(v.ptr());
  if (x == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return x;
}

py::object not_implemented();

// A dtype as PyTorch code passes one: a torch.dtype, float/int/bool, or one
// of this module's dtype names. Storage is float64 whatever it says.
bool is_dtype_like(py::handle v);
// None or is_dtype_like, else TypeError naming `op`.
void check_dtype(py::handle dtype, const char* op);

// bool(v), raising what __bool__ raises.
inline bool truth(py::handle v) {
  const int r = PyObject_IsTrue(v.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// A Tensor argument (a copy sharing the limb array, so that a kernel keeps
// its operand alive while the GIL is released); TypeError naming the
// operation otherwise.
inline LimbTensor tensor_arg(py::handle v, const char* op, const char* name) {
  if (!py::isinstance<LimbTensor>(v))
    throw TypeError(std::string(op) + "(): argument '" + name + "' must be Tensor, not " +
                    type_name(v));
  return v.cast<LimbTensor>();
}

// The `input` argument of a function that is also a Tensor method.
inline LimbTensor input_of(py::handle v, const char* op) { return tensor_arg(v, op, "input"); }

// Runs f() without the GIL. The kernel must only see LimbTensor copies
// (which hold their arrays), never the fields of a Python object that
// another thread could replace meanwhile.
template <class F>
auto released(const F& f) -> decltype(f()) {
  py::gil_scoped_release nogil;
  return f();
}

// f as the body of a binding: pybind11 converts the arguments and copies
// the operands while the GIL is held; f runs without it.
template <class R, class... Args>
auto released_call(R (*f)(Args...)) {
  return [f](std::decay_t<Args>... args) -> R { return released([&] { return f(args...); }); };
}

// The same for a kernel returning a tensor, wrapped for Python.
template <class F>
py::object released_tensor(const F& f) {
  return py::cast(released(f));
}

// A tuple of non-negative ints, else TypeError/ValueError naming `what`.
Shape shape_from_tuple(py::handle v, const char* what);
py::tuple shape_to_tuple(const Shape& shape);

// Nested lists/tuples (or NumPy arrays) to their float64 values and shape.
// Ragged input raises ValueError, non-numeric leaves TypeError/ValueError.
std::pair<std::vector<double>, Shape> flatten_with_shape(py::handle data);

// Every public construction path except the raw one: None, Tensor, number,
// torch tensor, sequence, NumPy array or scalar.
LimbTensor from_python(py::handle data, const at::Device& device);

// Operand of a binary operator: a Tensor as it is, an int/float as a 0-d
// tensor on `device`; false for anything else.
bool as_operand(py::handle other, const at::Device& device, LimbTensor& out);

}  // namespace zel
