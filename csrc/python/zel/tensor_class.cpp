// Tensor storage, construction, the basic operators, conversions, limb
// export and digests.
#include <ATen/ops/scalar_tensor.h>
#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "python/zel/bindings.h"
#include "tensor/pointwise/arith.h"

namespace zel {

namespace {

// What a complex tensor does instead (varnel.zel._complex works on its real view).
py::object complex_part(const char* name) {
  return py::module_::import("varnel.zel._complex").attr(name);
}

const LimbTensor& checked(const LimbTensor& t, const char* op) {
  check_limbs(t.data, t.shape, op);
  return t;
}

// A limb-array argument of the static helpers, which take torch tensors.
at::Tensor torch_arg(py::handle v, const char* op, const char* name) {
  if (!is_torch_tensor(v))
    throw TypeError(std::string(op) + "(): argument '" + name + "' must be a torch tensor, got " +
                    type_name(v));
  return torch_tensor_of(v);
}

// Approximations of all elements as a CPU float64 array.
at::Tensor host_values(const LimbTensor& t, const char* op) { return collapse(cpu_limbs(t, op)); }

// Products and sums of non-negative sizes, saturating at the int64 maximum:
// an empty tensor may have sizes whose product overflows.
int64_t sat_mul(int64_t a, int64_t b) {
  return a != 0 && b > std::numeric_limits<int64_t>::max() / a ? std::numeric_limits<int64_t>::max()
                                                               : a * b;
}
int64_t sat_add(int64_t a, int64_t b) {
  return b > std::numeric_limits<int64_t>::max() - a ? std::numeric_limits<int64_t>::max() : a + b;
}

// A (2^62, 0) tensor holds nothing but nests 2^62 empty lists: refuse such
// shapes before building any, as a result too large for memory.
void check_list_count(const Shape& shape, const char* op) {
  int64_t lists = 1, level = 1;
  for (size_t d = 0; d + 1 < shape.size(); ++d) {
    level = sat_mul(level, shape[d]);
    lists = sat_add(lists, level);
  }
  check_alloc(lists, op);
}

py::object reshape_list(const py::list& flat, const Shape& shape, size_t dim, int64_t begin,
                        int64_t end) {
  const int64_t len = end - begin;
  if (dim == shape.size()) {
    if (len > 0) return flat[begin];
    return py::float_(0.0);
  }
  if (dim + 1 == shape.size()) {
    py::list out;
    const int64_t take = std::min<int64_t>(shape[dim], std::max<int64_t>(len, 0));
    for (int64_t i = 0; i < take; ++i) out.append(flat[begin + i]);
    return out;
  }
  int64_t stride = 1;
  for (size_t d = dim + 1; d < shape.size(); ++d) stride = sat_mul(stride, shape[d]);
  const int64_t avail = std::max<int64_t>(len, 0);
  py::list out;
  for (int64_t i = 0; i < shape[dim]; ++i) {
    const int64_t from = sat_mul(i, stride), to = sat_mul(i + 1, stride);
    const int64_t b = from >= avail ? std::max(begin, end) : begin + from;
    const int64_t e = to >= avail ? std::max(begin, end) : begin + to;
    out.append(reshape_list(flat, shape, dim + 1, b, e));
  }
  return out;
}

std::string repr_float(double v) { return py::repr(py::float_(v)).cast<std::string>(); }

py::object eft_pair(py::handle a, py::handle b, bool product) {
  const char* op = product ? "_two_product" : "_two_sum";
  if (is_py_number(a) && is_py_number(b)) {
    double x = number_value(a), y = number_value(b), r, e;
    if (product)
      limbs::two_product(x, y, r, e);
    else
      limbs::two_sum(x, y, r, e);
    return py::make_tuple(r, e);
  }
  auto to_array = [op](py::handle v, const char* name) -> at::Tensor {
    if (is_torch_tensor(v)) return torch_tensor_of(v);
    if (is_py_number(v))
      return at::scalar_tensor(number_value(v), at::TensorOptions().dtype(at::kDouble));
    throw TypeError(std::string(op) + "(): argument '" + name +
                    "' must be a float or a torch tensor, got " + type_name(v));
  };
  at::Tensor x = to_array(a, "a"), y = to_array(b, "b");
  auto r = product ? two_product_arrays(x, y) : two_sum_arrays(x, y);
  return py::make_tuple(r.first, r.second);
}

at::Tensor as_float64_device(at::Tensor moved, const at::Tensor& original) {
  // dtype arguments are accepted and ignored: storage stays float64.
  if (moved.scalar_type() != at::kDouble) return original.to(moved.device());
  return moved;
}

void bind_construction(Module& m, TensorClass& cls) {
  cls.def(py::init([](py::handle data, py::handle /*dtype*/, py::handle device,
                      py::handle requires_grad, py::handle raw, py::handle shape) {
            if (!raw.is_none()) {
              if (!is_torch_tensor(raw))
                throw TypeError("Tensor(): argument '_raw' must be a torch tensor, got " +
                                type_name(raw));
              at::Tensor d = torch_tensor_of(raw);
              Shape s;
              if (!shape.is_none())
                s = shape_from_tuple(shape, "Tensor(): argument '_shape'");
              else
                s = Shape{d.dim() > 0 ? d.size(0) : 0};
              check_limbs(d, s, "Tensor");
              return with_requires_grad(requires_grad, LimbTensor{d, s, {}});
            }
            return with_requires_grad(requires_grad, from_python(data, resolve_device(device)));
          }),
          py::arg("data") = py::none(), py::arg("dtype") = py::none(),
          py::arg("device") = py::none(), py::arg("requires_grad") = false,
          py::arg("_raw") = py::none(), py::arg("_shape") = py::none());

  cls.attr("__slots__") = [] {
    py::list l;
    l.append("_data");
    l.append("_shape");
    return l;
  }();
  cls.attr("__hash__") = py::none();

  cls.def_property(
      "_data", [](const LimbTensor& t) { return t.data; },
      [](LimbTensor& t, py::handle v) {
        if (!is_torch_tensor(v))
          throw TypeError("_data must be a torch tensor, got " + type_name(v));
        if (!t.data.defined()) throw TypeError("Tensor.__init__() was not called on this object");
        t.data = torch_tensor_of(v);
      });
  cls.def_property(
      "_shape", [](const LimbTensor& t) { return shape_to_tuple(t.shape); },
      [](LimbTensor& t, py::handle v) {
        if (!t.data.defined()) throw TypeError("Tensor.__init__() was not called on this object");
        t.shape = shape_from_tuple(v, "_shape");
      });

  cls.def_static(
      "_flatten_with_shape",
      [](py::handle data) {
        auto r = flatten_with_shape(data);
        py::list flat;
        for (double v : r.first) flat.append(v);
        return py::make_tuple(flat, shape_to_tuple(r.second));
      },
      py::arg("data"), "Flatten nested list and infer shape.");

  cls.def_property_readonly(
      "shape", [](const LimbTensor& t) { return shape_to_tuple(t.shape); },
      "Logical shape as a tuple of ints.");
  cls.def_property_readonly(
      "ndim", [](const LimbTensor& t) { return t.shape.size(); }, "Number of dimensions.");
  cls.def_property_readonly(
      "numel",
      [](LimbTensor t) {
        const int64_t rows = t.data.defined() && t.data.dim() > 0 ? t.data.size(0) : int64_t(0);
        return t.complex ? rows / 2 : rows;
      },
      "Number of elements (a property, not a method).");
  cls.def_property_readonly(
      "device",
      [](LimbTensor t) {
        device_of(t, "device");
        return py::cast(t.data).attr("device");
      },
      "Device of the limb array (a torch.device).");
  cls.def_property_readonly(
      "dtype", [](const LimbTensor& t) { return py::str(t.complex ? "complex128" : "float32"); },
      "The string \"float32\", for compatibility (limbs are always float64); \"complex128\" for "
      "a complex tensor.");
  cls.def(
      "_is_complex", [](const LimbTensor& t) { return t.complex; },
      "Whether the elements are complex (two expansions each: real, imaginary).");
  m.def(
      "_view_as_real",
      [](const LimbTensor& t) {
        if (!t.complex) throw TypeError("_view_as_real(): expected a complex tensor");
        return real_view(t);
      },
      py::arg("input"), "A complex tensor as a real one of shape (*shape, 2) on the same limbs.");
  m.def(
      "_view_as_complex", [](const LimbTensor& t) { return complex_view(t, "view_as_complex"); },
      py::arg("input"), "A real tensor of shape (*shape, 2) as a complex one on the same limbs.");
}

void bind_devices(Module& m, TensorClass& cls) {
  cls.def(
      "size",
      [](LimbTensor t, py::handle dim) -> py::object {
        if (dim.is_none()) return shape_to_tuple(t.shape);
        return py::int_(t.shape[shape_axis(truncated_int(dim, "dim"), t.shape, "size")]);
      },
      py::arg("dim") = py::none(), "Shape, or the size of one dimension.");
  cls.def(
      "dim", [](const LimbTensor& t) { return t.shape.size(); }, "Number of dimensions.");
  // memory_format= (accepted where PyTorch takes it) means nothing for a limb array.
  const auto memory_format = py::arg("memory_format") = py::none();
  cls.def(
      "clone", [](LimbTensor t, py::handle) { return clone(t); }, py::kw_only(), memory_format,
      "Independent copy of all limbs on the same device.");
  cls.def(
      "detach", [](LimbTensor t) { return clone(t); },
      "Copy of the tensor (there is no gradient tracking).");
  cls.def(
      "float", [](LimbTensor t, py::handle) { return clone(t); }, py::kw_only(), memory_format,
      "Copy of the tensor; the precision is unchanged.");
  for (const char* name : {"half", "bfloat16"})
    cls.def(
        name, [](LimbTensor t, py::handle) { return clone(t); }, py::kw_only(), memory_format,
        "Copy of the tensor; the precision is unchanged (one element type serves every float "
        "dtype).");
  // resize_ in Python builds the new limbs; this swaps them in, as the
  // in-place operations write theirs.
  cls.def(
      "_replace_limbs",
      [](py::handle self, const LimbTensor& source) {
        LimbTensor* t = tensor_in(self);
        if (!t) throw TypeError("_replace_limbs(): self must be a Tensor");
        check_limbs(source.data, source.shape, "_replace_limbs");
        if (requires_grad(*t))
          throw std::runtime_error("cannot resize variables that require grad");
        t->data = source.data.clone();
        t->shape = source.shape;
        after_write(self, py::none());
        return py::reinterpret_borrow<py::object>(self);
      },
      py::arg("source"));
  cls.def(
      "contiguous",
      [](LimbTensor t, py::handle) {
        checked(t, "contiguous");
        return LimbTensor{t.data.contiguous(), t.shape};
      },
      py::kw_only(), memory_format, "Tensor with a contiguous limb array (may share it).");
  cls.def(
      "to",
      [](LimbTensor t, py::args args, py::kwargs kwargs) {
        checked(t, "to");
        // dtypes (this module's names included) say nothing about limb storage:
        // they are dropped; a Tensor argument stands for its device.
        py::list rest;
        for (py::handle a : args) {
          if (is_dtype_like(a)) continue;
          if (py::isinstance<LimbTensor>(a))
            rest.append(py::module_::import("torch").attr("device")(
                device_of(a.cast<const LimbTensor&>(), "to").str()));
          else
            rest.append(a);
        }
        py::dict kw;
        for (auto item : kwargs) {
          const std::string key = py::str(item.first);
          // The limbs are rows of one array: a memory format says nothing about them.
          if (key == "memory_format") continue;
          if (key != "dtype" || !is_dtype_like(item.second)) kw[item.first] = item.second;
        }
        if (rest.empty() && kw.empty()) return LimbTensor{t.data, t.shape};
        py::object moved = py::cast(t.data).attr("to")(*py::tuple(rest), **kw);
        return LimbTensor{as_float64_device(torch_tensor_of(moved), t.data), t.shape};
      },
      "Move all limbs to a device; arguments as for torch.Tensor.to (dtypes are accepted and "
      "ignored).");
  cls.def(
      "cuda",
      [](LimbTensor t) {
        checked(t, "cuda");
        return LimbTensor{t.data.to(at::Device("cuda")), t.shape};
      },
      "Move all limbs to the CUDA device.");
  cls.def(
      "cpu",
      [](LimbTensor t) {
        checked(t, "cpu");
        return LimbTensor{t.data.to(at::kCPU), t.shape};
      },
      "Move all limbs to the CPU.");

  cls.def_static(
      "_two_sum", [](py::handle a, py::handle b) { return eft_pair(a, b, false); }, py::arg("a"),
      py::arg("b"), "TwoSum: a + b = s + e EXACTLY.");
  cls.def_static(
      "_two_product", [](py::handle a, py::handle b) { return eft_pair(a, b, true); }, py::arg("a"),
      py::arg("b"), "TwoProduct: a * b = p + e EXACTLY using Veltkamp split.");
}

void bind_broadcast_helpers(Module& m, TensorClass& cls) {
  cls.def_static(
      "_broadcast",
      [](py::handle a_in, py::handle b_in) -> py::tuple {
        const at::Tensor a = torch_arg(a_in, "_broadcast", "a"),
                         b = torch_arg(b_in, "_broadcast", "b");
        auto size_str = [](const at::Tensor& t) {
          return py::str(py::cast(t).attr("shape")).cast<std::string>();
        };
        if (a.dim() < 1 || b.dim() < 1)
          throw ValueError("_broadcast expects limb arrays of shape (N, 8), got " + size_str(a) +
                           " and " + size_str(b));
        if (a.sizes().equals(b.sizes())) return py::make_tuple(a, b);
        if (a.size(0) == 1) return py::make_tuple(a.expand({b.size(0), -1}), b);
        if (b.size(0) == 1) return py::make_tuple(a, b.expand({a.size(0), -1}));
        throw ValueError("Cannot broadcast shapes " + size_str(a) + " and " + size_str(b));
      },
      py::arg("a"), py::arg("b"), "Broadcast two data tensors to compatible shapes.");
  cls.def_static(
      "_broadcast_shape",
      [](py::handle s1, py::handle s2) {
        if (!PyTuple_Check(s1.ptr()) || !PyTuple_Check(s2.ptr()))
          throw TypeError("_broadcast_shape expects two tuples, got " + type_name(s1) + " and " +
                          type_name(s2));
        return shape_to_tuple(
            broadcast_shapes(shape_from_tuple(s1, "_broadcast_shape(): argument 's1'"),
                             shape_from_tuple(s2, "_broadcast_shape(): argument 's2'")));
      },
      py::arg("s1"), py::arg("s2"), "Compute broadcast output shape.");
}

void bind_values(Module& m, TensorClass& cls) {
  cls.def(
      "_collapse_limbs",
      [](const LimbTensor&, py::handle data) {
        return collapse(torch_arg(data, "_collapse_limbs", "data"));
      },
      py::arg("data"), "Collapse limbs to single value, handling inf/nan in limb 0.");

  cls.def(
      "item",
      [](py::object self) -> py::object {
        const LimbTensor& t = self.cast<const LimbTensor&>();
        if (t.complex) return complex_part("item")(self);
        checked(t, "item");
        if (t.data.size(0) != 1) throw ValueError("item() only works on single-element tensors");
        return py::float_(host_values(t, "item").data_ptr<double>()[0]);
      },
      "Get scalar value.");
  cls.def(
      "value",
      [](LimbTensor t) {
        at::Tensor v = host_values(t, "value");
        if (v.numel() == 0) throw IndexError("value() of a tensor with no elements");
        return v.data_ptr<double>()[0];
      },
      "Get float approximation of first element.");
  cls.def(
      "tolist",
      [](py::object self) -> py::object {
        const LimbTensor& t = self.cast<const LimbTensor&>();
        if (t.complex) return complex_part("tolist")(self);
        at::Tensor v = host_values(t, "tolist");
        const double* p = v.data_ptr<double>();
        check_list_count(t.shape, "tolist");
        py::list flat;
        for (int64_t i = 0; i < v.numel(); ++i) flat.append(p[i]);
        return reshape_list(flat, t.shape, 0, 0, v.numel());
      },
      "Convert to nested Python list.");
  cls.def(
      "_reshape_list",
      [](const LimbTensor&, py::handle flat, py::handle shape) {
        if (!PyList_Check(flat.ptr()))
          throw TypeError("_reshape_list(): argument 'flat' must be a list, got " +
                          type_name(flat));
        Shape s = shape_from_tuple(shape, "_reshape_list(): argument 'shape'");
        check_list_count(s, "_reshape_list");
        py::list l = py::reinterpret_borrow<py::list>(flat);
        return reshape_list(l, s, 0, 0, static_cast<int64_t>(py::len(l)));
      },
      py::arg("flat"), py::arg("shape"));
  cls.def(
      "numpy",
      [](py::object self) -> py::object {
        const LimbTensor& t = self.cast<const LimbTensor&>();
        if (t.complex) return complex_part("numpy")(self);
        py::module_::import("numpy");
        py::object vals = py::cast(host_values(t, "numpy")).attr("numpy")();
        if (t.shape.empty()) return vals[py::int_(0)];
        return vals.attr("reshape")(shape_to_tuple(t.shape));
      },
      "Convert to numpy array (collapses to FP64, loses extra precision).");
  cls.def("__len__", [](LimbTensor t) {
    checked(t, "len");
    if (t.shape.empty()) throw TypeError("len() of a 0-d tensor");
    return t.shape[0];
  });
  cls.def("__float__", [](LimbTensor t) {
    checked(t, "float");
    if (t.data.size(0) != 1)
      throw ValueError("only one-element tensors can be converted to Python scalars");
    return host_values(t, "float").data_ptr<double>()[0];
  });
  cls.def("__int__", [](LimbTensor t) {
    checked(t, "int");
    if (t.data.size(0) != 1)
      throw ValueError("only one-element tensors can be converted to Python scalars");
    return py::int_(py::float_(host_values(t, "int").data_ptr<double>()[0]));
  });
  cls.def("__repr__", [](py::object self) -> py::object {
    const LimbTensor& t = self.cast<const LimbTensor&>();
    if (t.complex) return complex_part("repr")(self);
    at::Tensor v = host_values(t, "repr");
    const int64_t n = v.numel();
    const double* p = v.data_ptr<double>();
    if (n <= 10) {
      if (t.shape.empty()) {
        return py::str("tensor(" +
                       py::str(py::module_::import("builtins").attr("format")(p[0], ".6g"))
                           .cast<std::string>() +
                       ")");
      }
      std::string s = "tensor([";
      for (int64_t i = 0; i < n; ++i) s += (i ? ", " : "") + repr_float(p[i]);
      return py::str(s + "])");
    }
    std::ostringstream os;
    os << "tensor(shape=" << shape_str(t.shape) << ", device=" << t.data.device() << ")";
    return py::str(os.str());
  });
}

void bind_limbs_and_pickle(Module& m, TensorClass& cls) {
  cls.def(
      "torch_limbs",
      [](LimbTensor t) {
        checked(t, "torch_limbs");
        if (t.shape.empty()) return t.data[0];
        Shape s = t.shape;
        s.push_back(limbs::kLimbs);
        return t.data.reshape(s);
      },
      "Export ALL limbs as PyTorch tensor - PRESERVES FULL PRECISION.");
  cls.def(
      "numpy_limbs",
      [](LimbTensor t) -> py::object {
        checked(t, "numpy_limbs");
        py::object arr = py::cast(t.data.to(at::kCPU)).attr("numpy")();
        if (t.shape.empty()) return arr[py::int_(0)];
        Shape s = t.shape;
        s.push_back(limbs::kLimbs);
        return arr.attr("reshape")(shape_to_tuple(s));
      },
      "Export ALL limbs as numpy array - PRESERVES FULL PRECISION.");
  auto digest = [](LimbTensor t) {
    at::Tensor d = cpu_limbs(t, "sha256");
    py::bytes raw(reinterpret_cast<const char*>(d.data_ptr<double>()), d.numel() * sizeof(double));
    return py::module_::import("hashlib")
        .attr("sha256")(raw)
        .attr("hexdigest")()
        .cast<std::string>();
  };
  cls.def("sha256", digest,
          "Compute SHA256 hash of exact limb values for reproducibility verification.");
  cls.def(
      "verify",
      [digest](LimbTensor t, py::handle expected) {
        if (!PyUnicode_Check(expected.ptr()))
          throw TypeError("verify expects the digest as a str, got " + type_name(expected));
        return digest(t) == expected.cast<std::string>();
      },
      py::arg("expected_hash"), "Verify this tensor matches an expected SHA256 hash.");
  cls.def(
      "fingerprint", [digest](LimbTensor t) { return digest(t).substr(0, 8); },
      "Short 8-character fingerprint for quick comparison.");

  cls.def(py::pickle(
      [](LimbTensor t) -> py::object {
        at::Tensor d = cpu_limbs(t, "pickle");
        std::ostringstream dev;
        dev << t.data.device();
        return py::make_tuple(d.clone(), shape_to_tuple(t.shape), dev.str());
      },
      [](py::object state_in) {
        if (!PyTuple_Check(state_in.ptr()))
          throw TypeError("unpickle: expected a state tuple (limbs, shape, device), got " +
                          type_name(state_in));
        py::tuple state = py::reinterpret_borrow<py::tuple>(state_in);
        if (py::len(state) != 3)
          throw ValueError("unpickle: expected a state tuple (limbs, shape, device), got " +
                           std::to_string(py::len(state)) + " items");
        if (!is_torch_tensor(py::object(state[0])))
          throw TypeError("unpickle: expected the limbs as a torch.Tensor, got " +
                          type_name(state[0]));
        at::Tensor d = torch_tensor_of(py::object(state[0]));
        Shape s = shape_from_tuple(state[1], "unpickle: the shape");
        check_limbs(d, s, "unpickle");
        if (!PyUnicode_Check(py::object(state[2]).ptr()))
          throw TypeError("unpickle: expected the device as a str, got " + type_name(state[2]));
        const at::Device dev = resolve_device(state[2]);
        return LimbTensor{dev.is_cpu() ? d : d.to(dev), s};
      }));
  // object.__reduce__ (protocols 0 and 1) would call the pybind11 base type
  // on the instance, which aborts the process. The protocol 2 reduction,
  // __new__ then __setstate__, serves every protocol.
  cls.def("__reduce__", [](py::handle self) {
    py::object newobj = py::module_::import("copyreg").attr("__newobj__");
    return py::make_tuple(newobj, py::make_tuple(py::type::handle_of(self)),
                          self.attr("__getstate__")());
  });

  m.def(
      "tensor",
      [](py::handle data, py::handle /*dtype*/, py::handle device, py::handle requires_grad) {
        return with_requires_grad(requires_grad, from_python(data, resolve_device(device)));
      },
      py::arg("data"), py::arg("dtype") = py::none(), py::arg("device") = py::none(),
      py::arg("requires_grad") = false, "Create a tensor from data.");

  m.def(
      "from_limbs",
      [](py::handle limbs_in, py::handle device) {
        py::module_ np = py::module_::import("numpy");
        const at::Device dev = resolve_device(device);
        at::Tensor t;
        if (py::isinstance(limbs_in, np.attr("ndarray"))) {
          t = torch_tensor_of(py::module_::import("torch").attr("from_numpy")(limbs_in));
        } else if (is_torch_tensor(limbs_in)) {
          t = torch_tensor_of(limbs_in);
        } else {
          throw TypeError("from_limbs expects numpy array or torch tensor, got " +
                          py::str(py::type::handle_of(limbs_in)).cast<std::string>());
        }
        if (t.dim() == 0)
          throw IndexError(
              "from_limbs expects an array whose last axis holds the 8 limbs, got a 0-d array");
        if (t.size(-1) != limbs::kLimbs)
          throw ValueError("Last dimension must be 8, got " + std::to_string(t.size(-1)));
        if (t.is_complex()) throw TypeError("from_limbs expects real limbs, got a complex array");
        t = t.to(dev);
        if (t.dim() == 1) return LimbTensor{t.unsqueeze(0).to(at::kDouble), Shape{}};
        Shape shape(t.sizes().begin(), t.sizes().end() - 1);
        const int64_t n = shape_numel(shape);
        return LimbTensor{t.reshape({n, limbs::kLimbs}).to(at::kDouble), shape};
      },
      py::arg("limbs"), py::arg("device") = py::none(),
      "Create ZEL tensor from raw limbs array - PRESERVES FULL PRECISION.\n\n"
      "Example:\n    limbs = x.numpy_limbs()\n    y = zel.from_limbs(limbs)\n"
      "    assert x.sha256() == y.sha256()  # Bit-identical!");
}

}  // namespace

void bind_tensor_class(Module& m, TensorClass& cls) {
  bind_construction(m, cls);
  bind_devices(m, cls);
  bind_broadcast_helpers(m, cls);
  bind_values(m, cls);
  bind_limbs_and_pickle(m, cls);
}

}  // namespace zel
