// Factories, random tensors and the state of PyTorch's generators: the
// module functions.
#include "python/zel/bindings.h"
#include "python/shared/args.h"
#include "tensor/core/factory.h"

namespace zel {

namespace {

const char* kManualSeedDoc =
    "Set random seed for reproducible results.\n"
    "\n"
    "Sets both CPU and CUDA seeds for deterministic behavior.\n"
    "\n"
    "Example:\n"
    "    zel.manual_seed(42)\n"
    "    h1 = zel.randn(10, 10).sha256()\n"
    "    zel.manual_seed(42)\n"
    "    h2 = zel.randn(10, 10).sha256()\n"
    "    assert h1 == h2  # Guaranteed identical";

// A range bound as torch.arange takes it: an int, a float or a
// one-element tensor.
at::Scalar scalar_arg(py::handle v, const char* op, const char* name) {
  const std::string where = std::string(op) + "(): argument '" + name + "'";
  if (PyFloat_Check(v.ptr())) return at::Scalar(PyFloat_AsDouble(v.ptr()));
  if (is_torch_tensor(v)) {
    const at::Tensor t = torch_tensor_of(v);
    if (t.numel() != 1 || t.is_complex())
      throw TypeError(where + " must be a real number, got a tensor of " +
                      std::to_string(t.numel()) + " elements");
    return t.item();
  }
  if (PyIndex_Check(v.ptr())) return at::Scalar(int_like(v, where, TooBig::Runtime));
  throw TypeError(where + " must be Number, not " + type_name(v));
}

int64_t size_arg(py::handle v, const char* op, const char* name) {
  return int_like(v, std::string(op) + "(): argument '" + name + "'", TooBig::Runtime);
}

// A fill value: a number (bool and NumPy numbers included), a one-element
// torch tensor, or a one-element Tensor with all its limbs.
limbs::Row fill_row(py::handle v, const char* op) {
  if (py::isinstance<LimbTensor>(v)) {
    const LimbTensor t = v.cast<LimbTensor>();
    at::Tensor d = cpu_limbs(t, op);
    if (d.size(0) != 1)
      throw std::runtime_error(std::string(op) +
                               "(): fill_value must be a one-element Tensor, got shape " +
                               shape_str(t.shape));
    return limbs::load(d.data_ptr<double>());
  }
  if (!is_torch_tensor(v) && !PyUnicode_Check(v.ptr()) && !PyBytes_Check(v.ptr()) &&
      PyNumber_Check(v.ptr())) {
    // float(): an int beyond the float range raises OverflowError.
    const double x = PyFloat_AsDouble(v.ptr());
    if (x == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return limbs::from_double(x);
  }
  return limbs::from_double(scalar_arg(v, op, "fill_value").toDouble());
}

py::module_ torch_module() { return py::module_::import("torch"); }

bool cuda_available(const py::module_& torch) {
  return torch.attr("cuda").attr("is_available")().cast<bool>();
}

void bind_defined_factories(Module& m) {
  m.def(
      "zeros",
      [](const py::args& size, py::handle /*dtype*/, py::handle device, py::handle requires_grad) {
        const std::vector<int64_t> s = int_list_args(size, "zeros", "size", TooBig::Runtime);
        const at::Device dev = resolve_device(device);
        return with_requires_grad(requires_grad, released([&] { return zeros(s, dev); }));
      },
      py::kw_only(), py::arg("dtype") = py::none(), py::arg("device") = py::none(),
      py::arg("requires_grad") = false, "Create tensor of zeros.");
  m.def(
      "ones",
      [](const py::args& size, py::handle /*dtype*/, py::handle device, py::handle requires_grad) {
        const std::vector<int64_t> s = int_list_args(size, "ones", "size", TooBig::Runtime);
        const at::Device dev = resolve_device(device);
        return with_requires_grad(requires_grad, released([&] { return ones(s, dev); }));
      },
      py::kw_only(), py::arg("dtype") = py::none(), py::arg("device") = py::none(),
      py::arg("requires_grad") = false, "Create tensor of ones.");
  m.def(
      "arange",
      [](py::handle start, py::handle end, py::handle step, py::handle /*dtype*/, py::handle device,
         py::handle requires_grad) {
        // arange(5) counts from 0 to 5.
        const bool one_bound = end.is_none();
        const at::Scalar lo =
            one_bound ? at::Scalar(int64_t(0)) : scalar_arg(start, "arange", "start");
        const at::Scalar hi = scalar_arg(one_bound ? start : end, "arange", "end");
        const at::Scalar st = scalar_arg(step, "arange", "step");
        const at::Device dev = resolve_device(device);
        return with_requires_grad(requires_grad, released([&] { return arange(lo, hi, st, dev); }));
      },
      py::arg("start"), py::arg("end") = py::none(), py::arg("step") = 1,
      py::arg("dtype") = py::none(), py::arg("device") = py::none(),
      py::arg("requires_grad") = false, "Create tensor with evenly spaced values.");
  m.def(
      "linspace",
      [](py::handle start, py::handle end, py::handle steps, py::handle /*dtype*/,
         py::handle device, py::handle requires_grad) {
        const at::Scalar lo = scalar_arg(start, "linspace", "start");
        const at::Scalar hi = scalar_arg(end, "linspace", "end");
        const int64_t n = size_arg(steps, "linspace", "steps");
        const at::Device dev = resolve_device(device);
        return with_requires_grad(requires_grad,
                                  released([&] { return linspace(lo, hi, n, dev); }));
      },
      py::arg("start"), py::arg("end"), py::arg("steps"), py::arg("dtype") = py::none(),
      py::arg("device") = py::none(), py::arg("requires_grad") = false,
      "Create tensor with linearly spaced values.");
  m.def(
      "eye",
      [](py::handle n, py::handle m_arg, py::handle /*dtype*/, py::handle device,
         py::handle requires_grad) {
        const int64_t rows = size_arg(n, "eye", "n");
        // A false m (None, 0, False) means a square matrix.
        const bool square =
            m_arg.is_none() || !py::bool_(py::reinterpret_borrow<py::object>(m_arg));
        const int64_t cols = square ? rows : size_arg(m_arg, "eye", "m");
        const at::Device dev = resolve_device(device);
        return with_requires_grad(requires_grad, released([&] { return eye(rows, cols, dev); }));
      },
      py::arg("n"), py::arg("m") = py::none(), py::arg("dtype") = py::none(),
      py::arg("device") = py::none(), py::arg("requires_grad") = false, "Create identity matrix.");
}

void bind_other_factories(Module& m) {
  // --- PyTorch's other factories (dtype checked, then ignored: limbs are float64) ---
  m.def(
      "empty",
      [](const py::args& size, py::handle dtype, py::handle device, py::handle requires_grad) {
        check_dtype(dtype, "empty");
        const std::vector<int64_t> s = int_list_args(size, "empty", "size", TooBig::Runtime);
        const at::Device dev = resolve_device(device);
        return with_requires_grad(
            requires_grad, released([&] { return full(s, limbs::zero_row(), dev, "empty"); }));
      },
      py::kw_only(), py::arg("dtype") = py::none(), py::arg("device") = py::none(),
      py::arg("requires_grad") = false,
      "Create a tensor of the given size; its elements are zero.");
  m.def(
      "full",
      [](py::handle size, py::handle fill_value, py::handle dtype, py::handle device,
         py::handle requires_grad) {
        check_dtype(dtype, "full");
        if (!PyTuple_Check(size.ptr()) && !PyList_Check(size.ptr()))
          throw TypeError("full(): argument 'size' must be tuple of ints, not " + type_name(size));
        const std::vector<int64_t> s = int_sequence(size, "full", "size", TooBig::Runtime);
        const limbs::Row v = fill_row(fill_value, "full");
        const at::Device dev = resolve_device(device);
        return with_requires_grad(requires_grad, released([&] { return full(s, v, dev, "full"); }));
      },
      py::arg("size"), py::arg("fill_value"), py::kw_only(), py::arg("dtype") = py::none(),
      py::arg("device") = py::none(), py::arg("requires_grad") = false,
      "Create a tensor of the given size filled with fill_value (a one-element Tensor keeps all "
      "its limbs).");
  m.def(
      "logspace",
      [](py::handle start, py::handle end, py::handle steps, py::handle base, py::handle dtype,
         py::handle device, py::handle requires_grad) {
        check_dtype(dtype, "logspace");
        const at::Scalar lo = scalar_arg(start, "logspace", "start");
        const at::Scalar hi = scalar_arg(end, "logspace", "end");
        const int64_t n = size_arg(steps, "logspace", "steps");
        const double b = scalar_arg(base, "logspace", "base").toDouble();
        const at::Device dev = resolve_device(device);
        return with_requires_grad(requires_grad,
                                  released([&] { return logspace(lo, hi, n, b, dev); }));
      },
      py::arg("start"), py::arg("end"), py::arg("steps"), py::arg("base") = 10.0, py::kw_only(),
      py::arg("dtype") = py::none(), py::arg("device") = py::none(),
      py::arg("requires_grad") = false,
      "PyTorch's float64 values base ** linspace(start, end, steps).");

  // The *_like factories take the shape and (unless given) the device of input.
  struct Like {
    const char* name;
    const char* doc;
    double value;
  };
  static const Like likes[] = {
      {"zeros_like", "A tensor of zeros shaped like input.", 0.0},
      {"ones_like", "A tensor of ones shaped like input.", 1.0},
      {"empty_like", "A tensor shaped like input; its elements are zero.", 0.0}};
  for (const Like& like : likes) {
    const Like* l = &like;
    m.def(
        l->name,
        [l](py::handle input, py::handle dtype, py::handle device, py::handle requires_grad,
            py::handle /*memory_format*/) {
          const LimbTensor t = tensor_arg(input, l->name, "input");
          check_dtype(dtype, l->name);
          const at::Device dev = device.is_none() ? device_of(t, l->name) : resolve_device(device);
          return with_requires_grad(
              requires_grad,
              released([&] { return full(t.shape, limbs::from_double(l->value), dev, l->name); }));
        },
        py::arg("input"), py::kw_only(), py::arg("dtype") = py::none(),
        py::arg("device") = py::none(), py::arg("requires_grad") = false,
        py::arg("memory_format") = py::none(), l->doc);
  }
  m.def(
      "full_like",
      [](py::handle input, py::handle fill_value, py::handle dtype, py::handle device,
         py::handle requires_grad, py::handle /*memory_format*/) {
        const LimbTensor t = tensor_arg(input, "full_like", "input");
        check_dtype(dtype, "full_like");
        const limbs::Row v = fill_row(fill_value, "full_like");
        const at::Device dev =
            device.is_none() ? device_of(t, "full_like") : resolve_device(device);
        return with_requires_grad(requires_grad,
                                  released([&] { return full(t.shape, v, dev, "full_like"); }));
      },
      py::arg("input"), py::arg("fill_value"), py::kw_only(), py::arg("dtype") = py::none(),
      py::arg("device") = py::none(), py::arg("requires_grad") = false,
      py::arg("memory_format") = py::none(), "A tensor shaped like input filled with fill_value.");

  m.def(
      "rand",
      [](const py::args& size, py::handle /*dtype*/, py::handle device, py::handle requires_grad) {
        const std::vector<int64_t> s = int_list_args(size, "rand", "size", TooBig::Runtime);
        const at::Device dev = resolve_device(device);
        return with_requires_grad(requires_grad, released([&] { return rand(s, dev); }));
      },
      py::kw_only(), py::arg("dtype") = py::none(), py::arg("device") = py::none(),
      py::arg("requires_grad") = false, "Create tensor with random uniform [0,1) values.");
  m.def(
      "randn",
      [](const py::args& size, py::handle /*dtype*/, py::handle device, py::handle requires_grad) {
        const std::vector<int64_t> s = int_list_args(size, "randn", "size", TooBig::Runtime);
        const at::Device dev = resolve_device(device);
        return with_requires_grad(requires_grad, released([&] { return randn(s, dev); }));
      },
      py::kw_only(), py::arg("dtype") = py::none(), py::arg("device") = py::none(),
      py::arg("requires_grad") = false, "Create tensor with random normal values.");
}

void bind_random(Module& m) {
  m.def(
      "manual_seed",
      [](py::handle seed) {
        py::object s;
        if (PyLong_Check(seed.ptr())) {
          s = py::reinterpret_borrow<py::object>(seed);
        } else if (!PyUnicode_Check(seed.ptr()) && !PyBytes_Check(seed.ptr()) &&
                   PyNumber_Check(seed.ptr())) {
          s = py::reinterpret_steal<py::object>(
              PyNumber_Long(seed.ptr()));  // int(): 42.9 seeds with 42
          if (!s) throw py::error_already_set();
        } else {
          raise_arg_type("seed", "int", seed);
        }
        py::module_ torch = torch_module();
        torch.attr("manual_seed")(s);
        if (cuda_available(torch)) {
          torch.attr("cuda").attr("manual_seed")(s);
          torch.attr("cuda").attr("manual_seed_all")(s);
        }
        py::object cudnn = torch.attr("backends").attr("cudnn");
        cudnn.attr("deterministic") = true;
        cudnn.attr("benchmark") = false;
      },
      py::arg("seed"), kManualSeedDoc);
  m.def(
      "get_rng_state",
      [] {
        py::module_ torch = torch_module();
        py::dict state;
        state["cpu"] = torch.attr("get_rng_state")();
        if (cuda_available(torch)) state["cuda"] = torch.attr("cuda").attr("get_rng_state_all")();
        return state;
      },
      "Get current RNG state for later restoration.");
  m.def(
      "set_rng_state",
      [](py::handle state) {
        if (!PyDict_CheckExact(state.ptr())) raise_arg_type("state", "dict", state);
        py::dict d = py::reinterpret_borrow<py::dict>(state);
        py::module_ torch = torch_module();
        torch.attr("set_rng_state")(d[py::str("cpu")]);
        if (cuda_available(torch) && d.contains("cuda"))
          torch.attr("cuda").attr("set_rng_state_all")(d[py::str("cuda")]);
      },
      py::arg("state"), "Restore RNG state from get_rng_state().");
}

}  // namespace

void bind_factory(Module& m, TensorClass& /*cls*/) {
  bind_defined_factories(m);
  bind_other_factories(m);
  bind_random(m);
}

}  // namespace zel
