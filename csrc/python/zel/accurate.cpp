// The accurate element functions beyond the rows of the operations table
// (those are bound with the table in pointwise.cpp): pow and float_power,
// the functions with parameters (logit, nan_to_num, isclose, allclose), with
// three operands (lerp, addcmul, addcdiv), clamp with Tensor bounds, equal,
// signbit, reciprocal as a module function, and special.logit.
#include <cfloat>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>

#include "python/zel/bindings.h"
#include "tensor/pointwise/accurate.h"

namespace zel {

namespace {

// A Tensor or a Python number (a 0-d tensor on `device`).
LimbTensor operand(py::handle v, const at::Device& device, const char* op, const char* name) {
  LimbTensor out;
  if (!as_operand(v, device, out))
    throw TypeError(std::string(op) + "(): argument '" + name +
                    "' must be Tensor or a number, not " + type_name(v));
  return out;
}

// The device of the first Tensor among the operands; TypeError when none is.
at::Device first_device(std::initializer_list<py::handle> args, const char* op) {
  for (py::handle a : args)
    if (py::isinstance<LimbTensor>(a)) return device_of(a.cast<const LimbTensor&>(), op);
  throw TypeError(std::string(op) + "(): expected at least one Tensor argument");
}

// An optional float parameter: None gives the fallback.
double optional_number(py::handle v, double fallback, const char* op, const char* name) {
  return v.is_none() ? fallback : float_arg(v, op, name);
}

// pow: a number exponent is the defined ** of the Tensor; float_power always
// takes the accurate kernel.
py::object pow_call(py::handle input, py::handle exponent, const char* op) {
  if (std::string(op) == "pow" && py::isinstance<LimbTensor>(input) && is_py_number(exponent))
    return input.attr("__pow__")(exponent);
  const at::Device dev = first_device({input, exponent}, op);
  const LimbTensor x = operand(input, dev, op, "input");
  const LimbTensor y = operand(exponent, dev, op, "exponent");
  return released_tensor([&] { return pow_tensor(x, y); });
}

py::object ternary_call(const char* op, py::handle a, py::handle b, py::handle c,
                        const char* b_name, const char* c_name, double value, int kind) {
  const at::Device dev = first_device({a, b, c}, op);
  const LimbTensor x = operand(a, dev, op, "input");
  const LimbTensor y = operand(b, dev, op, b_name);
  const LimbTensor z = operand(c, dev, op, c_name);
  return released_tensor(
      [&] { return kind == 0 ? lerp(x, y, z) : addc(x, y, z, value, kind == 2, op); });
}

py::object isclose_call(py::handle a, py::handle b, py::handle rtol, py::handle atol,
                        py::handle equal_nan, const char* op) {
  const at::Device dev = first_device({a, b}, op);
  const LimbTensor x = operand(a, dev, op, "input");
  const LimbTensor y = operand(b, dev, op, "other");
  const double r = float_arg(rtol, op, "rtol"), t = float_arg(atol, op, "atol");
  for (auto [v, name] : {std::make_pair(r, "rtol"), std::make_pair(t, "atol")})
    if (!(v >= 0.0))
      throw std::runtime_error(std::string(op) + "(): " + name +
                               " must be greater than or equal to zero, but got " +
                               std::to_string(v));
  const bool en = truth(equal_nan);
  return py::cast(released([&] { return isclose(x, y, r, t, en); }));
}

}  // namespace

py::object clamp_with_tensors(LimbTensor self, py::handle lo, py::handle hi, const char* op) {
  const at::Device dev = device_of(self, op);
  LimbTensor l, h;
  if (!lo.is_none()) l = operand(lo, dev, op, "min");
  if (!hi.is_none()) h = operand(hi, dev, op, "max");
  return released_tensor([&] {
    return clamp_rows(self, lo.is_none() ? nullptr : &l, hi.is_none() ? nullptr : &h, op);
  });
}

void bind_accurate(Module& m, TensorClass& cls) {
  m.def(
      "_complex_function",
      [](const std::string& name, const LimbTensor& z, py::handle w) {
        if (w.is_none()) return released_tensor([&] { return complex_function(name, z, nullptr); });
        if (!py::isinstance<LimbTensor>(w))
          throw TypeError(name + "(): argument 'other' must be Tensor, not " + type_name(w));
        const LimbTensor other = w.cast<const LimbTensor&>();
        return released_tensor([&] { return complex_function(name, z, &other); });
      },
      py::arg("name"), py::arg("z"), py::arg("other") = py::none(),
      "A complex element function on real tensors whose last dimension holds (real, imaginary).");
  m.def(
      "_fft",
      [](const LimbTensor& z, bool inverse) {
        return released_tensor([&] { return fft_last(z, inverse); });
      },
      py::arg("z"), py::arg("inverse") = false,
      "The discrete Fourier transform along dimension -2 of a (..., n, 2) tensor (unscaled).");
  const char* kPowDoc =
      "input ** exponent: a number exponent is the Tensor's **, a Tensor exponent accurate to "
      "2^-100.";
  cls.def(
      "pow", [](py::object self, py::handle e) { return pow_call(self, e, "pow"); },
      py::arg("exponent"), kPowDoc);
  m.def(
      "pow", [](py::handle input, py::handle e) { return pow_call(input, e, "pow"); },
      py::arg("input"), py::arg("exponent"), kPowDoc);
  const char* kFloatPowerDoc = "input ** exponent, accurate to 2^-100 for every exponent.";
  cls.def(
      "float_power", [](py::object self, py::handle e) { return pow_call(self, e, "float_power"); },
      py::arg("exponent"), kFloatPowerDoc);
  m.def(
      "float_power",
      [](py::handle input, py::handle e) { return pow_call(input, e, "float_power"); },
      py::arg("input"), py::arg("exponent"), kFloatPowerDoc);
  m.def(
      "reciprocal",
      [](py::handle input) {
        tensor_arg(input, "reciprocal", "input");
        return input.attr("reciprocal")();
      },
      py::arg("input"), "Element-wise reciprocal (the Tensor's reciprocal).");

  const char* kLogitDoc =
      "log(x / (1 - x)), x first clamped to [eps, 1 - eps] when eps is given; accurate to 2^-100.";
  auto logit_fn = [](py::handle input, py::handle eps) {
    const LimbTensor t = tensor_arg(input, "logit", "input");
    const bool has = !eps.is_none();
    const double e = has ? float_arg(eps, "logit", "eps") : 0.0;
    return released_tensor([&] { return logit(t, has, e); });
  };
  cls.def("logit", logit_fn, py::arg("eps") = py::none(), kLogitDoc);
  m.def("logit", logit_fn, py::arg("input"), py::arg("eps") = py::none(), kLogitDoc);
  m.attr("special").attr("logit") = m.attr("logit");

  const char* kNanDoc =
      "NaN, +inf and -inf replaced (by default 0 and the largest finite magnitudes).";
  auto nan_fn = [](py::handle input, py::handle nan, py::handle posinf, py::handle neginf) {
    const LimbTensor t = tensor_arg(input, "nan_to_num", "input");
    const double n = optional_number(nan, 0.0, "nan_to_num", "nan");
    const double p = optional_number(posinf, DBL_MAX, "nan_to_num", "posinf");
    const double q = optional_number(neginf, -DBL_MAX, "nan_to_num", "neginf");
    return released_tensor([&] { return nan_to_num(t, n, p, q); });
  };
  cls.def("nan_to_num", nan_fn, py::arg("nan") = 0.0, py::arg("posinf") = py::none(),
          py::arg("neginf") = py::none(), kNanDoc);
  m.def("nan_to_num", nan_fn, py::arg("input"), py::arg("nan") = 0.0,
        py::arg("posinf") = py::none(), py::arg("neginf") = py::none(), kNanDoc);

  const char* kLerpDoc = "input + weight * (end - input), as PyTorch forms it; accurate to 2^-100.";
  auto lerp_fn = [](py::handle input, py::handle end, py::handle weight) {
    return ternary_call("lerp", input, end, weight, "end", "weight", 0.0, 0);
  };
  cls.def("lerp", lerp_fn, py::arg("end"), py::arg("weight"), kLerpDoc);
  m.def("lerp", lerp_fn, py::arg("input"), py::arg("end"), py::arg("weight"), kLerpDoc);
  for (int kind : {1, 2}) {
    const char* name = kind == 1 ? "addcmul" : "addcdiv";
    const char* doc =
        kind == 1 ? "input + value * tensor1 * tensor2." : "input + value * tensor1 / tensor2.";
    auto fn = [name, kind](py::handle input, py::handle t1, py::handle t2, py::handle value) {
      return ternary_call(name, input, t1, t2, "tensor1", "tensor2",
                          float_arg(value, name, "value"), kind);
    };
    cls.def(name, fn, py::arg("tensor1"), py::arg("tensor2"), py::kw_only(), py::arg("value") = 1,
            doc);
    m.def(name, fn, py::arg("input"), py::arg("tensor1"), py::arg("tensor2"), py::kw_only(),
          py::arg("value") = 1, doc);
  }

  // clip is clamp under PyTorch's argument names; number bounds keep the
  // defined clamp.
  const char* kClipDoc =
      "clamp(min, max): number bounds as clamp, Tensor bounds on the exact value.";
  auto clip_fn = [](py::handle input, py::handle lo, py::handle hi) {
    tensor_arg(input, "clip", "input");
    return input.attr("clamp")(lo, hi);
  };
  cls.def("clip", clip_fn, py::arg("min") = py::none(), py::arg("max") = py::none(), kClipDoc);
  m.def("clip", clip_fn, py::arg("input"), py::arg("min") = py::none(), py::arg("max") = py::none(),
        kClipDoc);
  for (int upper : {0, 1}) {
    const char* name = upper ? "clamp_max" : "clamp_min";
    const char* arg = upper ? "max" : "min";
    auto fn = [name, upper](py::handle input, py::handle bound) {
      const LimbTensor t = tensor_arg(input, name, "input");
      if (bound.is_none())
        throw TypeError(std::string(name) + "(): argument '" + (upper ? "max" : "min") +
                        "' must be Tensor or a number, not NoneType");
      return upper ? clamp_with_tensors(t, py::none(), bound, name)
                   : clamp_with_tensors(t, bound, py::none(), name);
    };
    cls.def(name, fn, py::arg(arg), "Clamp on one side, on the exact value.");
    m.def(name, fn, py::arg("input"), py::arg(arg), "Clamp on one side, on the exact value.");
  }

  const char* kCloseDoc =
      "|input - other| <= atol + rtol * |other| on the exact difference (bool tensor).";
  auto close_fn = [](py::handle a, py::handle b, py::handle rtol, py::handle atol,
                     py::handle equal_nan) {
    return isclose_call(a, b, rtol, atol, equal_nan, "isclose");
  };
  cls.def("isclose", close_fn, py::arg("other"), py::arg("rtol") = 1e-05, py::arg("atol") = 1e-08,
          py::arg("equal_nan") = false, kCloseDoc);
  m.def("isclose", close_fn, py::arg("input"), py::arg("other"), py::arg("rtol") = 1e-05,
        py::arg("atol") = 1e-08, py::arg("equal_nan") = false, kCloseDoc);
  const char* kAllDoc = "Whether isclose holds for every element.";
  auto all_fn = [](py::handle a, py::handle b, py::handle rtol, py::handle atol,
                   py::handle equal_nan) {
    py::object r = isclose_call(a, b, rtol, atol, equal_nan, "allclose");
    return r.attr("all")().attr("item")().cast<bool>();
  };
  cls.def("allclose", all_fn, py::arg("other"), py::arg("rtol") = 1e-05, py::arg("atol") = 1e-08,
          py::arg("equal_nan") = false, kAllDoc);
  m.def("allclose", all_fn, py::arg("input"), py::arg("other"), py::arg("rtol") = 1e-05,
        py::arg("atol") = 1e-08, py::arg("equal_nan") = false, kAllDoc);
  const char* kEqualDoc = "Same shape and every element equal on the exact value.";
  auto equal_fn = [](py::handle a, py::handle b) {
    const LimbTensor x = tensor_arg(a, "equal", "input");
    const LimbTensor y = tensor_arg(b, "equal", "other");
    return released([&] { return equal(x, y); });
  };
  cls.def("equal", equal_fn, py::arg("other"), kEqualDoc);
  m.def("equal", equal_fn, py::arg("input"), py::arg("other"), kEqualDoc);
  const char* kSignbitDoc =
      "Whether the exact value is negative (-0.0 included), as a bool tensor.";
  auto signbit_fn = [](py::handle input) {
    const LimbTensor t = tensor_arg(input, "signbit", "input");
    return py::cast(released([&] { return signbit(t); }));
  };
  cls.def("signbit", signbit_fn, kSignbitDoc);
  m.def("signbit", signbit_fn, py::arg("input"), kSignbitDoc);
}

}  // namespace zel
