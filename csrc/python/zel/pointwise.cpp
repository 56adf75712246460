// Division, powers, modulo, the rows of the operations table, softmax, the
// comparisons and predicates, where, and the module functions that forward
// to them.
#include <string>
#include <utility>
#include <vector>

#include "kernels/pointwise_table.h"
#include "python/zel/bindings.h"
#include "tensor/pointwise/pointwise.h"

namespace zel {

namespace {

// A clamp bound: None, or anything float() takes other than a string.
bool bound_value(py::handle v, const char* name, double& out) {
  if (v.is_none()) return false;
  if (PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()) || !PyNumber_Check(v.ptr()))
    throw TypeError(std::string("clamp(): argument '") + name + "' must be a number or None, got " +
                    type_name(v));
  out = number_value(v);
  return true;
}

// The int rule of the module functions: an int as it is, another number
// through int(), anything else TypeError naming the parameter.
py::object int_rule(py::handle v, const char* name) {
  if (PyLong_Check(v.ptr())) return py::reinterpret_borrow<py::object>(v);
  return py::int_(truncated_int(v, name));
}

// dim in [-ndim, ndim), as an index into the shape.
int64_t axis(const LimbTensor& t, py::handle dim, const char* op) {
  check_limbs(t.data, t.shape, op);
  return shape_axis(truncated_int(dim, "dim"), t.shape, op);
}

// x or y of where: a Tensor, or a number made a 0-d tensor on `device`.
LimbTensor where_operand(py::handle v, const char* name, const at::Device& device) {
  LimbTensor out;
  if (!as_operand(v, device, out))
    throw TypeError(std::string("where(): argument '") + name +
                    "' must be a Tensor or a number, got " + type_name(v));
  return out;
}

const char* const kClampDoc = "Clamp values to range [min_val, max_val].";
const char* const kRoundDoc = "Round to given decimal places.";
const char* const kSoftmaxDoc = "Softmax along dimension.";
const char* const kLogSoftmaxDoc = "Log-softmax along dimension.";

struct PredicateName {
  const char* name;
  Predicate p;
  const char* doc;
};

const PredicateName kPredicates[] = {
    {"isnan", Predicate::IsNan, "Check for NaN values."},
    {"isinf", Predicate::IsInf, "Check for infinite values."},
    {"isfinite", Predicate::IsFinite, "Check for finite values."},
};

void bind_table_methods(Module& m, TensorClass& cls) {
  cls.def(
      "_reciprocal_scalar",
      [](LimbTensor self, py::handle scalar) {
        if (PyUnicode_Check(scalar.ptr()) || PyBytes_Check(scalar.ptr()) ||
            !PyNumber_Check(scalar.ptr()))
          throw TypeError("_reciprocal_scalar(): scalar must be a float, got " + type_name(scalar));
        const double s = number_value(scalar);
        check_limbs(self.data, self.shape, "_reciprocal_scalar");
        return reciprocal_scalar(s, self.data.device());
      },
      py::arg("scalar"), "Newton-Raphson reciprocal of scalar.");

  // --- predicates ---
  for (const PredicateName& p : kPredicates) {
    const Predicate which = p.p;
    cls.def(
        p.name,
        [which](LimbTensor self) {
          py::gil_scoped_release nogil;
          return predicate(self, which);
        },
        p.doc);
  }

  // --- element-wise functions: one binding per row of the operations table ---
  for (size_t i = 0; i < kElementwiseOpCount; ++i) {
    const ElementwiseOp* op = &kElementwiseOps[i];
    if (op->arity == 1) {
      bind_fast_unary(
          cls, i,
          py::cpp_function(
              [op](py::object obj) -> py::object {
                // The object itself, history included, for the complex form.
                LimbTensor self = obj.cast<LimbTensor>();
                if (self.complex)
                  return py::module_::import("varnel.zel._complex").attr("unary")(op->name, obj);
                return released_tensor([&] { return apply(*op, self); });
              },
              py::name(op->name), py::is_method(cls), op->doc, Recorded{}));
      if (std::string(op->name) == "abs") cls.attr("__abs__") = cls.attr("abs");
    } else {
      cls.def(
          op->name,
          [op](LimbTensor self, py::handle other) {
            LimbTensor b;
            if (!as_operand(other, device_of(self, op->name), b))
              throw TypeError(std::string(op->name) +
                              "(): argument 'other' must be Tensor or a number, not " +
                              type_name(other));
            return released_tensor([&] { return apply(*op, self, b); });
          },
          py::arg("other"), op->doc);
    }
  }
}

void bind_parameterised(Module& m, TensorClass& cls) {
  cls.def(
      "clamp",
      [](LimbTensor self, py::handle min_val, py::handle max_val) -> py::object {
        if (py::isinstance<LimbTensor>(min_val) || py::isinstance<LimbTensor>(max_val))
          return clamp_with_tensors(self, min_val, max_val, "clamp");
        double lo = 0.0, hi = 0.0;
        const bool has_min = bound_value(min_val, "min_val", lo);
        const bool has_max = bound_value(max_val, "max_val", hi);
        return released_tensor([&] { return clamp(self, has_min, lo, has_max, hi); });
      },
      py::arg("min_val") = py::none(), py::arg("max_val") = py::none(), kClampDoc);
  cls.def(
      "round",
      [](LimbTensor self, py::handle decimals) {
        py::object d = int_rule(decimals, "decimals");
        const bool zero = !PyObject_IsTrue(d.ptr());
        double factor = 1.0;
        if (!zero) {
          // 10.0 ** decimals as Python computes it: OverflowError when too large.
          py::object f = py::reinterpret_steal<py::object>(
              PyNumber_Power(py::float_(10.0).ptr(), d.ptr(), Py_None));
          if (!f) throw py::error_already_set();
          factor = number_value(f);
        }
        return released_tensor([&] { return round(self, zero, factor); });
      },
      py::arg("decimals") = 0, kRoundDoc);
  cls.def(
      "softmax",
      [](LimbTensor self, py::handle dim, py::handle dtype) {
        const int64_t d = axis(self, dim, "softmax");
        check_dtype(dtype, "softmax");
        return released_tensor([&] { return softmax(self, d, false); });
      },
      py::arg("dim") = -1, py::arg("dtype") = py::none(), kSoftmaxDoc);
  cls.def(
      "log_softmax",
      [](LimbTensor self, py::handle dim, py::handle dtype) {
        const int64_t d = axis(self, dim, "log_softmax");
        check_dtype(dtype, "log_softmax");
        return released_tensor([&] { return softmax(self, d, true); });
      },
      py::arg("dim") = -1, py::arg("dtype") = py::none(), kLogSoftmaxDoc);
}

void bind_module_functions(Module& m, TensorClass& cls) {
  // The rows of ops/pointwise.def, for the tests, the fuzzer and the
  // gradients: (name, arity, module_function, special, docstring, complex,
  // derivatives) each, derivatives a tuple of one formula per operand.
  py::list declared;
  for (const ElementwiseOp& row : kElementwiseOps) {
    py::list derivatives;
    derivatives.append(row.derivative);
    if (row.arity == 2) derivatives.append(row.derivative_other);
    declared.append(py::make_tuple(row.name, row.arity, row.module_function(), row.special(),
                                   row.doc, row.complex, py::tuple(derivatives)));
  }
  m.attr("_pointwise_ops") = py::tuple(declared);

  // --- module functions: method calls on whatever `input` is ---
  for (const ElementwiseOp& row : kElementwiseOps) {
    if (!row.module_function()) continue;
    const char* name = row.name;
    if (row.arity == 1) {
      m.def(
          name, [name](py::object input) { return input.attr(name)(); }, py::arg("input"), row.doc);
    } else {
      m.def(
          name, [name](py::object input, py::object other) { return input.attr(name)(other); },
          py::arg("input"), py::arg("other"), row.doc);
    }
  }
  // zel.special holds the same function objects.
  py::object special = m.attr("special");
  for (const ElementwiseOp& row : kElementwiseOps)
    if (row.special()) special.attr(row.name) = m.attr(row.name);
  for (const PredicateName& p : kPredicates) {
    const char* name = p.name;
    m.def(
        name, [name](py::object input) { return input.attr(name)(); }, py::arg("input"), p.doc);
  }
  m.def(
      "round",
      [](py::object input, py::handle decimals) {
        return input.attr("round")(int_rule(decimals, "decimals"));
      },
      py::arg("input"), py::arg("decimals") = 0, kRoundDoc);
  m.def(
      "clamp",
      [](py::object input, py::handle min_val, py::handle max_val) {
        return input.attr("clamp")(min_val, max_val);
      },
      py::arg("input"), py::arg("min_val") = py::none(), py::arg("max_val") = py::none(),
      kClampDoc);
  m.def(
      "softmax",
      [](py::object input, py::handle dim, py::handle dtype) {
        return input.attr("softmax")(int_rule(dim, "dim"), dtype);
      },
      py::arg("input"), py::arg("dim") = -1, py::arg("dtype") = py::none(), kSoftmaxDoc);
  m.def(
      "log_softmax",
      [](py::object input, py::handle dim, py::handle dtype) {
        return input.attr("log_softmax")(int_rule(dim, "dim"), dtype);
      },
      py::arg("input"), py::arg("dim") = -1, py::arg("dtype") = py::none(), kLogSoftmaxDoc);

  m.def(
      "where",
      [](py::handle condition, py::handle x, py::handle y) {
        if (!is_torch_tensor(condition))
          throw TypeError("where(): condition must be a torch bool tensor, got " +
                          type_name(condition));
        at::Tensor cond = torch_tensor_of(condition);
        // Numbers go to the device of the other operand (or the condition's).
        at::Device dev = cond.device();
        if (py::isinstance<LimbTensor>(x))
          dev = device_of(x.cast<const LimbTensor&>(), "where");
        else if (py::isinstance<LimbTensor>(y))
          dev = device_of(y.cast<const LimbTensor&>(), "where");
        LimbTensor a = where_operand(x, "x", dev);
        LimbTensor b = where_operand(y, "y", dev);
        return released_tensor([&] { return where(cond, a, b); });
      },
      py::arg("condition"), py::arg("x"), py::arg("y"),
      "Select elements from x or y based on condition.");
}

}  // namespace

void bind_pointwise(Module& m, TensorClass& cls) {
  bind_table_methods(m, cls);
  bind_parameterised(m, cls);
  bind_module_functions(m, cls);
  // varnel.zel._precision wraps these with PyTorch-style names and a context manager.
  m.def(
      "_set_full_function_precision", [](bool full) { set_full_function_precision(full); },
      py::arg("full"),
      "Switches the process-wide function precision (True: full, False: defined).");
  m.def(
      "_full_function_precision", [] { return full_function_precision(); },
      "Whether the process-wide function precision is full.");
  // The accurate kernel of a function whatever the setting (the library's own
  // compositions that promise 2^-100 use it); records no gradient.
  m.def(
      "_full_function",
      [](const std::string& name, LimbTensor input) {
        for (size_t i = 0; i < kElementwiseOpCount; ++i) {
          const ElementwiseOp& op = kElementwiseOps[i];
          if (op.full && name == op.name)
            return released_tensor(
                [&] { return map_runs(input, op.name, static_cast<int64_t>(op.grain), op.full); });
        }
        throw ValueError("_full_function(): no accurate kernel named '" + name + "'");
      },
      py::arg("name"), py::arg("input"));
}

}  // namespace zel
