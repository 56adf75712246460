// Argument helpers of the added reduction and shape bindings: axis lists
// given as an int or a tuple, truth values, PyTorch's named result tuples,
// and kernels run without the GIL.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "python/bindings.h"
#include "python/shape_args.h"
#include "tensor/reduce_more.h"

namespace zel {

// Runs a kernel without the GIL; it must only see LimbTensor copies (which
// hold their arrays).
template <class F>
auto without_gil(const F& f) -> decltype(f()) {
  py::gil_scoped_release nogil;
  return f();
}

inline bool truth_of(py::handle v) {
  const int r = PyObject_IsTrue(v.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

inline bool is_dim_list(py::handle dim) {
  return PyTuple_Check(dim.ptr()) || PyList_Check(dim.ptr());
}

// None: every axis; an int: that axis; a tuple or list: those axes.
inline Dims dims_arg(py::handle dim, const char* op) {
  if (dim.is_none()) return std::nullopt;
  if (is_dim_list(dim)) return int_sequence(dim, op, "dim", TooBig::Value);
  return std::vector<int64_t>{int_like(dim, std::string(op) + "(): argument 'dim'", TooBig::Value)};
}

inline int64_t int_arg(py::handle v, const char* op, const char* name) {
  return int_like(v, std::string(op) + "(): argument '" + name + "'", TooBig::Value);
}

// An int or a sequence of ints.
inline std::vector<int64_t> ints_arg(py::handle v, const char* op, const char* name) {
  if (is_dim_list(v)) return int_sequence(v, op, name, TooBig::Value);
  return {int_arg(v, op, name)};
}

inline double float_arg(py::handle v, const char* op, const char* name) {
  if (!PyFloat_Check(v.ptr()) && !PyLong_Check(v.ptr()))
    throw TypeError(std::string(op) + "(): argument '" + name + "' must be a number, not " +
                    type_name(v));
  const double x = PyFloat_AsDouble(v.ptr());
  if (x == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return x;
}

// PyTorch's torch.return_types.<name>: a named tuple of the given fields.
inline py::object return_type(const char* name, std::vector<const char*> fields) {
  py::list f;
  for (const char* s : fields) f.append(s);
  py::object nt = py::module_::import("collections").attr("namedtuple")(name, f);
  nt.attr("__module__") = "varnel.zel.zel.return_types";
  return nt;
}

inline py::object indexed_tuple(const py::object& type, Indexed r) {
  return type(py::cast(std::move(r.values)), py::cast(r.indices));
}

// Defines `name` both as a module function f(input, ...) and as the Tensor
// method of the same name (self in place of input).
template <class F, class... Extra>
void def_both(py::module_& m, TensorClass& cls, const char* name, const F& f, const char* doc,
              const Extra&... extra) {
  m.def(name, f, py::arg("input"), extra..., doc);
  cls.def(name, f, extra..., doc);
}

}  // namespace zel
