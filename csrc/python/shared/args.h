// The argument kinds of PyTorch's signatures beyond the defined ones:
// integers as PyTorch reads them (an int or an object with __index__; a
// float is a TypeError), integer lists given f(2, 3), f((2, 3)), f([2, 3]) or
// f(torch.Size), axis lists, numbers, and PyTorch's named result tuples.
// The defined int rule (int() semantics) is truncated_int in convert.h.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "python/shared/convert.h"
#include "tensor/reduce/dims.h"

namespace zel {

// Which exception a value beyond int64 raises: shape functions report a bad
// shape (ValueError), factories PyTorch's RuntimeError.
enum class TooBig { Value, Runtime };

[[noreturn]] inline void raise_too_big(TooBig kind, const std::string& message) {
  if (kind == TooBig::Value) throw ValueError(message);
  throw std::runtime_error(message);
}

// An int, or an object with __index__ (NumPy integers, 0-d integer tensors);
// floats, strings and the like raise TypeError.
inline int64_t int_like(py::handle v, const std::string& where, TooBig kind) {
  if (!PyIndex_Check(v.ptr())) throw TypeError(where + " must be an int, got " + type_name(v));
  py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
  if (!i) throw py::error_already_set();
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
  if (overflow) raise_too_big(kind, where + " is out of range: " + py::str(i).cast<std::string>());
  if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<int64_t>(x);
}

// The entries of a tuple or list (subclasses included) of integers.
inline std::vector<int64_t> int_sequence(py::handle seq, const char* op, const char* what,
                                         TooBig kind) {
  py::object fast =
      py::reinterpret_steal<py::object>(PySequence_Fast(seq.ptr(), "expected a sequence"));
  if (!fast) throw py::error_already_set();
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
  std::vector<int64_t> out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    py::handle item = PySequence_Fast_GET_ITEM(fast.ptr(), i);
    if (!PyIndex_Check(item.ptr()))
      throw TypeError(std::string(op) + "(): argument '" + what +
                      "' must be tuple of ints, but found element of type " + type_name(item) +
                      " at pos " + std::to_string(i));
    out.push_back(
        int_like(item, std::string(op) + "(): '" + what + "' entry " + std::to_string(i), kind));
  }
  return out;
}

// Sizes given as separate arguments or as one tuple or list.
inline std::vector<int64_t> int_list_args(const py::args& args, const char* op, const char* what,
                                          TooBig kind) {
  if (args.size() == 1 && (PyTuple_Check(args[0].ptr()) || PyList_Check(args[0].ptr())))
    return int_sequence(args[0], op, what, kind);
  return int_sequence(args, op, what, kind);
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

}  // namespace zel
