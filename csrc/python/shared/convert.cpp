#include "python/shared/convert.h"

#include <ATen/ops/view_as_real.h>
#include <climits>

namespace zel {

namespace {
at::Device g_default_device(at::kCPU);
constexpr int kMaxNesting = 64;
}  // namespace

void register_errors() {
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const TypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const ValueError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const IndexError& e) {
      PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const ZeroDivisionError& e) {
      PyErr_SetString(PyExc_ZeroDivisionError, e.what());
    } catch (const NotImplementedError& e) {
      PyErr_SetString(PyExc_NotImplementedError, e.what());
    }
  });
}

at::Device default_device() { return g_default_device; }
void set_default_device(const at::Device& device) { g_default_device = device; }

at::Device resolve_device(py::handle device) {
  if (device.is_none() || !py::bool_(py::reinterpret_borrow<py::object>(device)))
    return g_default_device;
  py::object dev = py::module_::import("torch").attr("device")(device);
  return at::Device(py::str(dev).cast<std::string>());
}

std::string type_name(py::handle v) {
  return py::str(py::type::handle_of(v).attr("__name__")).cast<std::string>();
}

void raise_arg_type(const char* name, const char* expected, py::handle got) {
  PyErr_Format(PyExc_TypeError,
               "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
               type_name(got).c_str());
  throw py::error_already_set();
}

bool is_py_number(py::handle v) { return PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr()); }

int64_t truncated_int(py::handle v, const char* name) {
  py::object as_int;
  if (PyLong_Check(v.ptr())) {
    as_int = py::reinterpret_borrow<py::object>(v);
  } else if (!PyUnicode_Check(v.ptr()) && !PyBytes_Check(v.ptr()) && PyNumber_Check(v.ptr())) {
    PyObject* r = PyNumber_Long(v.ptr());  // int(): truncates floats, raises for nan/inf
    if (!r) throw py::error_already_set();
    as_int = py::reinterpret_steal<py::object>(r);
  } else {
    raise_arg_type(name, "int", v);
  }
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
  if (overflow)
    throw IndexError(std::string("argument '") + name +
                     "' is out of range: " + py::str(as_int).cast<std::string>());
  if (x == -1 && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<int64_t>(x);
}

bool is_dtype_like(py::handle v) {
  static const char* const names[] = {"float64", "float32", "int64", "int32", "bool"};
  if (PyUnicode_Check(v.ptr())) {
    const std::string name = py::str(v).cast<std::string>();
    for (const char* n : names)
      if (name == n) return true;
    return false;
  }
  if (v.ptr() == reinterpret_cast<PyObject*>(&PyFloat_Type) ||
      v.ptr() == reinterpret_cast<PyObject*>(&PyLong_Type) ||
      v.ptr() == reinterpret_cast<PyObject*>(&PyBool_Type))
    return true;
  return py::isinstance(v, py::module_::import("torch").attr("dtype"));
}

void check_dtype(py::handle dtype, const char* op) {
  if (dtype.is_none() || is_dtype_like(dtype)) return;
  throw TypeError(std::string(op) +
                  "(): argument 'dtype' must be torch.dtype or one of the names float64, "
                  "float32, int64, int32, bool, not " +
                  (PyUnicode_Check(dtype.ptr()) ? "'" + py::str(dtype).cast<std::string>() + "'"
                                                : type_name(dtype)));
}

py::object not_implemented() { return py::reinterpret_borrow<py::object>(Py_NotImplemented); }

Shape shape_from_tuple(py::handle v, const char* what) {
  if (!PyTuple_Check(v.ptr()))
    throw TypeError(std::string(what) + " must be a tuple of ints, got " + type_name(v));
  Shape s;
  for (py::handle d : py::reinterpret_borrow<py::tuple>(v)) {
    if (!PyLong_Check(d.ptr()))
      throw TypeError(std::string(what) + " must be a tuple of ints, got an element of type " +
                      type_name(d));
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(d.ptr(), &overflow);
    if (overflow || x < 0)
      throw ValueError(std::string(what) + " has an invalid size " +
                       py::str(d).cast<std::string>());
    s.push_back(x);
  }
  shape_numel(s);  // rejects counts beyond int64
  return s;
}

py::tuple shape_to_tuple(const Shape& shape) {
  py::tuple t(shape.size());
  for (size_t i = 0; i < shape.size(); ++i) t[i] = py::int_(shape[i]);
  return t;
}

namespace {

py::object loaded_numpy() {
  py::object mods = py::module_::import("sys").attr("modules");
  return mods.attr("get")("numpy");
}

bool is_numpy_array(py::handle v, const py::object& np) {
  return !np.is_none() && py::isinstance(v, np.attr("ndarray"));
}

bool is_numpy_scalar(py::handle v, const py::object& np) {
  return !np.is_none() && py::isinstance(v, np.attr("generic"));
}

bool is_sequence(py::handle v, const py::object& np) {
  return PyList_Check(v.ptr()) || PyTuple_Check(v.ptr()) || is_numpy_array(v, np);
}

double leaf_float(py::handle v) {
  PyObject* f = PyNumber_Float(v.ptr());
  if (!f) throw py::error_already_set();
  double x = PyFloat_AS_DOUBLE(f);
  Py_DECREF(f);
  return x;
}

void flatten_into(py::handle data, int depth, const py::object& np, std::vector<double>& flat,
                  Shape& shape) {
  if (depth > kMaxNesting) throw ValueError("nested sequence is deeper than 64 levels");
  if (is_py_number(data) || is_numpy_scalar(data, np)) {
    flat.push_back(leaf_float(data));
    shape.clear();
    return;
  }
  if (is_numpy_array(data, np) && py::cast<int>(data.attr("ndim")) == 0) {
    flat.push_back(leaf_float(data));
    shape.clear();
    return;
  }
  if (!is_sequence(data, np))
    throw TypeError("Cannot create Tensor from nested element of type " + type_name(data));
  py::sequence seq = py::reinterpret_borrow<py::sequence>(data);
  const int64_t n = static_cast<int64_t>(py::len(seq));
  if (n == 0) {
    shape = Shape{0};
    return;
  }
  py::object first = seq[0];
  if (is_py_number(first) || is_numpy_scalar(first, np)) {
    // A level of numbers: every item goes through float(), as Python would.
    for (int64_t i = 0; i < n; ++i) {
      py::object item = seq[i];
      if (is_sequence(item, np))
        throw ValueError("ragged nested sequence: item " + std::to_string(i) +
                         " is a sequence where a number was expected");
      flat.push_back(leaf_float(item));
    }
    shape = Shape{n};
    return;
  }
  Shape inner;
  for (int64_t i = 0; i < n; ++i) {
    py::object item = seq[i];
    if (!is_sequence(item, np)) {
      if (is_py_number(item) || is_numpy_scalar(item, np))
        throw ValueError("ragged nested sequence: item " + std::to_string(i) +
                         " is a number where a sequence was expected");
      throw TypeError("Cannot create Tensor from nested element of type " + type_name(item));
    }
    Shape sub;
    flatten_into(item, depth + 1, np, flat, sub);
    if (i == 0) {
      inner = sub;
    } else if (sub != inner) {
      throw ValueError("ragged nested sequence: item " + std::to_string(i) + " has shape " +
                       shape_str(sub) + " but item 0 has shape " + shape_str(inner));
    }
  }
  shape = Shape{n};
  shape.insert(shape.end(), inner.begin(), inner.end());
}

LimbTensor from_values(const std::vector<double>& flat, Shape shape, const at::Device& dev) {
  at::Tensor d = new_limbs(static_cast<int64_t>(flat.size()));
  double* p = d.data_ptr<double>();
  for (size_t i = 0; i < flat.size(); ++i) p[i * limbs::kLimbs] = flat[i];
  return make_result(d, std::move(shape), dev);
}

}  // namespace

std::pair<std::vector<double>, Shape> flatten_with_shape(py::handle data) {
  std::vector<double> flat;
  Shape shape;
  flatten_into(data, 0, loaded_numpy(), flat, shape);
  return {std::move(flat), std::move(shape)};
}

namespace {

// Complex data (a complex NumPy array or scalar, or nested lists holding a
// complex number) as a C-contiguous float64 array of shape (*shape, 2);
// None for anything else.
py::object complex_numpy(py::handle data, const py::object& np) {
  bool complex = false;
  if (is_numpy_array(data, np) || is_numpy_scalar(data, np)) {
    complex =
        py::str(np.attr("asarray")(data).attr("dtype").attr("kind")).cast<std::string>() == "c";
  } else {
    std::vector<py::handle> stack{data};
    for (size_t seen = 0; !stack.empty() && !complex && seen < (size_t{1} << 22); ++seen) {
      py::handle h = stack.back();
      stack.pop_back();
      if (PyComplex_Check(h.ptr())) {
        complex = true;
      } else if (PyList_Check(h.ptr()) || PyTuple_Check(h.ptr())) {
        for (py::handle item : py::reinterpret_borrow<py::sequence>(h)) stack.push_back(item);
      }
    }
  }
  if (!complex) return py::none();
  py::object arr = np.attr("asarray")(data, py::arg("dtype") = np.attr("complex128"));
  return np.attr("ascontiguousarray")(arr)
      .attr("view")(np.attr("float64"))
      .attr("reshape")(py::tuple(arr.attr("shape")) + py::make_tuple(2));
}

}  // namespace

LimbTensor from_python(py::handle data, const at::Device& dev) {
  if (data.is_none()) return make_result(new_limbs(1), Shape{}, dev);
  if (py::isinstance<LimbTensor>(data)) {
    const LimbTensor& t = data.cast<LimbTensor>();
    if (t.complex) {
      LimbTensor c = complex_view(
          LimbTensor{complex_limbs(t, "Tensor").clone(), real_view(t).shape}, "Tensor");
      return c;
    }
    check_limbs(t.data, t.shape, "Tensor");
    // A copy stays on the device of its source.
    return LimbTensor{t.data.clone(at::MemoryFormat::Contiguous), t.shape};
  }
  if (PyComplex_Check(data.ptr())) {
    const std::vector<double> vals{PyComplex_RealAsDouble(data.ptr()),
                                   PyComplex_ImagAsDouble(data.ptr())};
    return complex_view(from_values(vals, Shape{2}, dev), "Tensor");
  }
  if (is_py_number(data)) {
    at::Tensor d = new_limbs(1);
    d.data_ptr<double>()[0] = leaf_float(data);
    return make_result(d, Shape{}, dev);
  }
  if (is_torch_tensor(data)) {
    at::Tensor src = torch_tensor_of(data);
    if (src.is_complex()) {
      at::Tensor parts =
          at::view_as_real(src.detach().to(at::kCPU, at::kComplexDouble).contiguous());
      Shape shape(parts.sizes().begin(), parts.sizes().end());
      at::Tensor flat = parts.reshape({-1}).contiguous();
      std::vector<double> vals(flat.data_ptr<double>(), flat.data_ptr<double>() + flat.numel());
      return complex_view(from_values(vals, std::move(shape), dev), "Tensor");
    }
    Shape shape(src.sizes().begin(), src.sizes().end());
    at::Tensor flat = src.detach().reshape({-1}).to(at::kCPU, at::kDouble).contiguous();
    std::vector<double> vals(flat.data_ptr<double>(), flat.data_ptr<double>() + flat.numel());
    return from_values(vals, std::move(shape), dev);
  }
  py::object np = loaded_numpy();
  if (PyList_Check(data.ptr()) || PyTuple_Check(data.ptr()) || is_numpy_array(data, np) ||
      is_numpy_scalar(data, np)) {
    py::object complex_array = complex_numpy(data, np);
    if (!complex_array.is_none()) {
      Shape shape;
      for (py::handle d : py::tuple(complex_array.attr("shape")))
        shape.push_back(d.cast<int64_t>());
      py::buffer_info info = py::buffer(complex_array).request();
      const double* p = static_cast<const double*>(info.ptr);
      std::vector<double> vals(p, p + info.size);
      return complex_view(from_values(vals, std::move(shape), dev), "Tensor");
    }
    if (is_numpy_array(data, np) || is_numpy_scalar(data, np)) {
      // asarray, not ascontiguousarray: that would make 0-d data (NumPy
      // scalars, 0-d arrays) one-element 1-D arrays.
      py::object arr =
          np.attr("asarray")(data, py::arg("dtype") = np.attr("float64"), py::arg("order") = "C");
      Shape shape;
      for (py::handle d : py::tuple(arr.attr("shape"))) shape.push_back(d.cast<int64_t>());
      py::buffer_info info = py::buffer(arr).request();
      const double* p = static_cast<const double*>(info.ptr);
      std::vector<double> vals(p, p + info.size);
      return from_values(vals, std::move(shape), dev);
    }
    auto flat = flatten_with_shape(data);
    return from_values(flat.first, std::move(flat.second), dev);
  }
  throw TypeError("Cannot create Tensor from " +
                  py::str(py::type::handle_of(data)).cast<std::string>());
}

bool as_operand(py::handle other, const at::Device& device, LimbTensor& out) {
  if (py::isinstance<LimbTensor>(other)) {
    out = other.cast<LimbTensor>();
    return true;
  }
  if (is_py_number(other)) {
    at::Tensor d = new_limbs(1);
    d.data_ptr<double>()[0] = leaf_float(other);
    out = make_result(d, Shape{}, device);
    return true;
  }
  return false;
}

}  // namespace zel
