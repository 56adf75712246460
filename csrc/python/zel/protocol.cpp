// PyTorch's Tensor protocol beyond the defined members: conversions
// (__bool__, __format__, __array__, __iter__, __round__, matmul),
// and the in-place operations, which compute the
// out-of-place result (so its bits are the operator's) and write it into
// the existing limb array.
#include <string>

#include "python/zel/bindings.h"
#include "tensor/pointwise/arith.h"
#include "tensor/shape/shape.h"

namespace zel {

namespace {

// The value of a one-element tensor, for the conversions to Python scalars.
double single_value(const LimbTensor& t, const char* what) {
  check_limbs(t.data, t.shape, what);
  if (t.data.size(0) != 1) {
    throw std::runtime_error(std::string(what) + " of a Tensor with " +
                             std::to_string(t.data.size(0)) + " elements is ambiguous");
  }
  return collapse(cpu_limbs(t, what)).data_ptr<double>()[0];
}

// self <op> other through the Python operator, so that numbers, tensors,
// broadcasting and the release of the GIL are exactly the operator's.
// TypeError naming `op` when the operator declines.
py::object through_operator(py::handle self, const char* dunder, py::handle other, const char* op) {
  py::object r = self.attr(dunder)(other);
  if (r.is(not_implemented()))
    throw TypeError(std::string(op) + "(): argument 'other' must be Tensor or Number, not " +
                    type_name(other));
  return r;
}

// Writes `result` into self; a tensor operand that would change self's
// shape is refused before anything is computed.
py::object store(py::handle self, py::handle result, const char* op) {
  const LimbTensor t = self.cast<LimbTensor>();
  const LimbTensor r = result.cast<LimbTensor>();
  py::object history = before_write(self, result, op);
  released([&] { assign(t, r, op); });
  after_write(self, history);
  return py::reinterpret_borrow<py::object>(self);
}

void check_operand_shape(py::handle self, py::handle other, const char* op) {
  if (!py::isinstance<LimbTensor>(other)) return;
  const LimbTensor& t = self.cast<LimbTensor>();
  const LimbTensor& o = other.cast<LimbTensor>();
  check_limbs(t.data, t.shape, op);
  check_limbs(o.data, o.shape, op);
  check_broadcasts_into(o.shape, t.shape, op);
}

// other * alpha for add_/sub_ (PyTorch's self + alpha * other); alpha 1
// leaves other as it is, so the bits are those of self + other.
py::object scaled(py::handle other, py::handle alpha, const char* op) {
  if (PyLong_Check(alpha.ptr()) && PyLong_AsLong(alpha.ptr()) == 1 && !PyErr_Occurred()) {
    return py::reinterpret_borrow<py::object>(other);
  }
  PyErr_Clear();
  if (!is_py_number(alpha))
    throw TypeError(std::string(op) + "(): argument 'alpha' must be Number, not " +
                    type_name(alpha));
  if (py::isinstance<LimbTensor>(other)) return through_operator(other, "__mul__", alpha, op);
  if (!is_py_number(other))
    throw TypeError(std::string(op) + "(): argument 'other' must be Tensor or Number, not " +
                    type_name(other));
  return other * py::reinterpret_borrow<py::object>(alpha);
}

struct Inplace {
  const char* name;    // add_
  const char* dunder;  // __add__
  const char* iname;   // __iadd__, or null
  bool has_alpha;
};

const Inplace kInplace[] = {
    {"add_", "__add__", "__iadd__", true},
    {"sub_", "__sub__", "__isub__", true},
    {"mul_", "__mul__", "__imul__", false},
};

void bind_conversions(TensorClass& cls) {
  // --- conversions ---
  cls.def(
      "double", [](LimbTensor t, py::handle) { return clone(t); }, py::kw_only(),
      py::arg("memory_format") = py::none(), "Copy of the tensor; the precision is unchanged.");
  cls.def("__bool__", [](LimbTensor t) { return single_value(t, "Boolean value") != 0.0; });
  cls.def(
      "__format__",
      [](py::handle self, py::handle format_spec) -> py::object {
        if (!PyUnicode_Check(format_spec.ptr()))
          throw TypeError("__format__(): format_spec must be a str, not " + type_name(format_spec));
        if (py::len(format_spec) == 0) return py::str(self);
        const LimbTensor& t = self.cast<LimbTensor>();
        check_limbs(t.data, t.shape, "__format__");
        if (t.data.size(0) != 1)
          throw TypeError(
              "unsupported format string passed to Tensor.__format__: a format_spec needs a "
              "one-element "
              "Tensor, got shape " +
              shape_str(t.shape));
        return py::module_::import("builtins")
            .attr("format")(single_value(t, "__format__"), format_spec);
      },
      py::arg("format_spec"));
  cls.def(
      "__array__",
      [](py::handle self, py::handle dtype) -> py::object {
        py::module_ np = py::module_::import("numpy");
        py::object values = np.attr("asarray")(self.attr("numpy")());
        return dtype.is_none() ? values : values.attr("astype")(dtype);
      },
      py::arg("dtype") = py::none(),
      "The float64 values (approx of each element) as a NumPy array of the shape.");
  // As torch.Tensor: NumPy operators defer to the Tensor's reflected ones.
  cls.attr("__array_priority__") = 1000;
  cls.def("__iter__", [](py::handle self) {
    const LimbTensor& t = self.cast<LimbTensor>();
    check_limbs(t.data, t.shape, "iter");
    if (t.shape.empty()) throw TypeError("iteration over a 0-d tensor");
    py::list rows;
    for (int64_t i = 0; i < t.shape[0]; ++i) rows.append(self.attr("__getitem__")(i));
    return py::iter(rows);
  });
  cls.def(
      "__round__",
      [](py::handle self, py::handle ndigits) {
        return ndigits.is_none() ? self.attr("round")() : self.attr("round")(ndigits);
      },
      py::arg("ndigits") = py::none());
  cls.def(
      "matmul",
      [](py::handle self, py::handle other) {
        if (!py::isinstance<LimbTensor>(other))
          throw TypeError("matmul(): argument 'other' must be Tensor, not " + type_name(other));
        return self.attr("__matmul__")(other);
      },
      py::arg("other"), "Matrix product, as the @ operator.");
  cls.def(
      "__rmatmul__",
      [](py::handle self, py::handle other) -> py::object {
        // Numbers keep @'s TypeError; arrays and nested lists are data.
        if (is_py_number(other) || py::isinstance<LimbTensor>(other)) return not_implemented();
        py::object left =
            py::cast(from_python(other, device_of(self.cast<const LimbTensor&>(), "matmul")));
        return left.attr("__matmul__")(self);
      },
      py::is_operator());
}

void bind_inplace(TensorClass& cls) {
  // --- in-place operations ---
  for (const Inplace& entry : kInplace) {
    const Inplace* ip = &entry;
    if (ip->has_alpha) {
      cls.def(
          ip->name,
          [ip](py::handle self, py::handle other, py::handle alpha) {
            check_operand_shape(self, other, ip->name);
            py::object r =
                through_operator(self, ip->dunder, scaled(other, alpha, ip->name), ip->name);
            return store(self, r, ip->name);
          },
          py::arg("other"), py::kw_only(), py::arg("alpha") = 1,
          "In place: self op alpha * other.");
    } else {
      cls.def(
          ip->name,
          [ip](py::handle self, py::handle other) {
            check_operand_shape(self, other, ip->name);
            return store(self, through_operator(self, ip->dunder, other, ip->name), ip->name);
          },
          py::arg("other"), "In place: self op other.");
    }
    cls.def(
        ip->iname,
        [ip](py::handle self, py::handle other) -> py::object {
          if (!is_py_number(other) && !py::isinstance<LimbTensor>(other)) return not_implemented();
          check_operand_shape(self, other, ip->name);
          return store(self, through_operator(self, ip->dunder, other, ip->name), ip->name);
        },
        py::is_operator());
  }
  auto divide = [](py::handle self, py::handle other, py::handle rounding_mode) {
    const char* dunder = "__truediv__";
    bool truncate = false;
    if (!rounding_mode.is_none()) {
      const std::string mode =
          PyUnicode_Check(rounding_mode.ptr()) ? py::str(rounding_mode).cast<std::string>() : "";
      if (mode != "floor" && mode != "trunc")
        throw ValueError("div_(): rounding_mode must be None, 'trunc' or 'floor', got " +
                         py::repr(rounding_mode).cast<std::string>());
      truncate = mode == "trunc";
      if (!truncate) dunder = "__floordiv__";
    }
    check_operand_shape(self, other, "div_");
    py::object quotient = through_operator(self, dunder, other, "div_");
    if (truncate) quotient = quotient.attr("trunc")();
    return store(self, quotient, "div_");
  };
  cls.def("div_", divide, py::arg("other"), py::kw_only(), py::arg("rounding_mode") = py::none(),
          "In place: self / other (rounding_mode 'floor': self // other; 'trunc': the quotient's "
          "integer part).");
  cls.def(
      "__itruediv__",
      [](py::handle self, py::handle other) -> py::object {
        if (!is_py_number(other) && !py::isinstance<LimbTensor>(other)) return not_implemented();
        check_operand_shape(self, other, "div_");
        return store(self, through_operator(self, "__truediv__", other, "div_"), "div_");
      },
      py::is_operator());
  cls.def(
      "pow_",
      [](py::handle self, py::handle exponent) {
        py::object r = self.attr("__pow__")(exponent);
        if (r.is(not_implemented()))
          throw TypeError("pow_(): argument 'exponent' must be int or float, not " +
                          type_name(exponent));
        return store(self, r, "pow_");
      },
      py::arg("exponent"), "In place: self ** exponent.");
  cls.def(
      "clamp_",
      [](py::handle self, py::handle min, py::handle max) {
        return store(self, self.attr("clamp")(min, max), "clamp_");
      },
      py::arg("min") = py::none(), py::arg("max") = py::none(), "In place: clamp(min, max).");
  cls.def(
      "neg_", [](py::handle self) { return store(self, self.attr("__neg__")(), "neg_"); },
      "In place: -self.");
  cls.def(
      "zero_",
      [](py::handle self) {
        const LimbTensor t = self.cast<LimbTensor>();
        return store(self, py::cast(scalar_tensor(0.0, device_of(t, "zero_"))), "zero_");
      },
      "In place: every element 0.");
  cls.def(
      "fill_",
      [](py::handle self, py::handle value) {
        const LimbTensor t = self.cast<LimbTensor>();
        LimbTensor v;
        if (!as_operand(value, device_of(t, "fill_"), v))
          throw TypeError("fill_(): argument 'value' must be Number or a one-element Tensor, not " +
                          type_name(value));
        if (!v.shape.empty()) {
          check_limbs(v.data, v.shape, "fill_");
          if (v.data.size(0) != 1)
            throw std::runtime_error(
                "fill_(): only supports a 0-dimensional value tensor, got shape " +
                shape_str(v.shape));
          v.shape = Shape{};
        }
        return store(self, py::cast(v), "fill_");
      },
      py::arg("value"), "In place: every element a copy of value (a Tensor keeps all its limbs).");
  cls.def(
      "copy_",
      [](py::handle self, py::handle src, py::handle /*non_blocking*/) {
        const LimbTensor t = self.cast<LimbTensor>();
        if (!py::isinstance<LimbTensor>(src) && !is_torch_tensor(src))
          throw TypeError("copy_(): argument 'src' must be Tensor, not " + type_name(src));
        const LimbTensor v = py::isinstance<LimbTensor>(src)
                                 ? src.cast<LimbTensor>()
                                 : from_python(src, device_of(t, "copy_"));
        return store(self, py::cast(v), "copy_");
      },
      py::arg("src"), py::arg("non_blocking") = false,
      "In place: the elements of src (a Tensor, all limbs, or a torch tensor's values) broadcast "
      "into self.");
}

}  // namespace

void bind_protocol(Module& /*m*/, TensorClass& cls) {
  bind_conversions(cls);
  bind_inplace(cls);
}

}  // namespace zel
