// Reductions, statistics and matrix products: Tensor methods and module
// functions.
#include <optional>

#include "python/bindings.h"
#include "tensor/arith.h"
#include "tensor/matmul.h"
#include "tensor/reduce.h"

namespace zel {

namespace {

std::optional<int64_t> opt_dim(py::handle dim) {
  if (dim.is_none()) return std::nullopt;
  return arg_int(dim, "dim");
}

py::object reduce(const LimbTensor& t, py::handle dim, py::handle keepdim, ReduceOp op) {
  const bool keep = truth(keepdim);
  if (dim.is_none()) {
    check_limbs(t.data, t.shape, "sum");
    // One element: sum keeps the shape under keepdim; prod and the extrema never do.
    if (op == ReduceOp::Sum && keep && t.data.size(0) == 1) return py::cast(clone(t));
    return released_tensor([&] { return reduce_all(t, op); });
  }
  const int64_t d = arg_int(dim, "dim");
  return released_tensor([&] { return reduce_dim(t, d, keep, op); });
}

NormOrder norm_order(py::handle p) {
  if (PyLong_Check(p.ptr())) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(p.ptr(), &overflow);
    if (overflow)
      throw ValueError("norm(): p = " + py::str(p).cast<std::string>() + " is out of range");
    return NormOrder{true, v, 0.0};
  }
  if (PyFloat_Check(p.ptr())) return NormOrder{false, 0, p.cast<double>()};
  throw TypeError("norm(): p must be an int or a float, got " + type_name(p));
}

}  // namespace

void bind_reduce(py::module_& m, TensorClass& cls) {
  cls.def(
      "_reduce_dim",
      [](LimbTensor t, py::handle dim, py::handle keepdim, py::handle op) {
        const int64_t d = arg_int(dim, "dim");
        const bool keep = truth(keepdim);
        if (!PyUnicode_Check(op.ptr())) raise_arg_type("op", "str", op);
        const std::string name = op.cast<std::string>();
        ReduceOp r;
        if (name == "sum")
          r = ReduceOp::Sum;
        else if (name == "prod")
          r = ReduceOp::Prod;
        else if (name == "min")
          r = ReduceOp::Min;
        else if (name == "max")
          r = ReduceOp::Max;
        else
          throw ValueError("Unknown op: " + name);
        return released_tensor([&] { return reduce_dim(t, d, keep, r); });
      },
      py::arg("dim"), py::arg("keepdim"), py::arg("op"), "Reduce along a specific dimension.");

  const auto dim_none = py::arg("dim") = py::none();
  const auto keep_false = py::arg("keepdim") = false;
  cls.def(
      "sum",
      [](LimbTensor t, py::handle dim, py::handle keepdim) {
        return reduce(t, dim, keepdim, ReduceOp::Sum);
      },
      dim_none, keep_false, "KALDEN sum using tree reduction.");
  cls.def(
      "prod",
      [](LimbTensor t, py::handle dim, py::handle keepdim) {
        return reduce(t, dim, keepdim, ReduceOp::Prod);
      },
      dim_none, keep_false, "KALDEN product using tree reduction.");
  cls.def(
      "max",
      [](LimbTensor t, py::handle dim, py::handle keepdim) {
        return reduce(t, dim, keepdim, ReduceOp::Max);
      },
      dim_none, keep_false, "Maximum value.");
  cls.def(
      "min",
      [](LimbTensor t, py::handle dim, py::handle keepdim) {
        return reduce(t, dim, keepdim, ReduceOp::Min);
      },
      dim_none, keep_false, "Minimum value.");
  cls.def(
      "mean",
      [](LimbTensor t, py::handle dim, py::handle keepdim) {
        const auto d = opt_dim(dim);
        const bool keep = truth(keepdim);
        return released_tensor([&] { return mean(t, d, keep); });
      },
      dim_none, keep_false, "KALDEN mean.");
  cls.def(
      "argmax", [](LimbTensor t, py::handle dim) { return arg_extremum(t, opt_dim(dim), true); },
      dim_none, "Index of maximum value.");
  cls.def(
      "argmin", [](LimbTensor t, py::handle dim) { return arg_extremum(t, opt_dim(dim), false); },
      dim_none, "Index of minimum value.");
  auto stat = [](bool take_sqrt) {
    return [take_sqrt](LimbTensor t, py::handle dim, py::handle keepdim, py::handle unbiased) {
      const auto d = opt_dim(dim);
      const bool keep = truth(keepdim), unb = truth(unbiased);
      return released_tensor([&] { return variance(t, d, keep, unb, take_sqrt); });
    };
  };
  cls.def("var", stat(false), dim_none, keep_false, py::arg("unbiased") = true, "Variance.");
  cls.def("std", stat(true), dim_none, keep_false, py::arg("unbiased") = true,
          "Standard deviation.");

  cls.def(
      "__matmul__",
      [](LimbTensor a, py::handle b) -> py::object {
        if (!py::isinstance<LimbTensor>(b)) return not_implemented();
        const LimbTensor& bt = b.cast<LimbTensor>();
        return released_tensor([&] { return matmul(a, bt); });
      },
      py::is_operator());

  // Module functions call the methods, so any object with them works and
  // anything else raises AttributeError, as in PyTorch-style forwarding.
  const std::pair<const char*, const char*> reductions[] = {
      {"sum", "KALDEN sum using tree reduction."},
      {"mean", "KALDEN mean."},
      {"prod", "KALDEN product using tree reduction."},
      {"max", "Maximum value."},
      {"min", "Minimum value."}};
  for (const auto& [name, doc] : reductions) {
    const std::string method(name);
    m.def(
        name,
        [method](py::object input, py::object dim, py::object keepdim) {
          return input.attr(method.c_str())(py::arg("dim") = dim, py::arg("keepdim") = keepdim);
        },
        py::arg("input"), dim_none, keep_false, doc);
  }
  const std::pair<const char*, const char*> spreads[] = {{"std", "Standard deviation."},
                                                         {"var", "Variance."}};
  for (const auto& [name, doc] : spreads) {
    const std::string method(name);
    m.def(
        name,
        [method](py::object input, py::object dim, py::object keepdim, py::object unbiased) {
          return input.attr(method.c_str())(py::arg("dim") = dim, py::arg("keepdim") = keepdim,
                                            py::arg("unbiased") = unbiased);
        },
        py::arg("input"), dim_none, keep_false, py::arg("unbiased") = true, doc);
  }
  const std::pair<const char*, const char*> arg_extrema[] = {{"argmax", "Index of maximum value."},
                                                             {"argmin", "Index of minimum value."}};
  for (const auto& [name, doc] : arg_extrema) {
    const std::string method(name);
    m.def(
        name,
        [method](py::object input, py::object dim) { return input.attr(method.c_str())(dim); },
        py::arg("input"), dim_none, doc);
  }
  m.def(
      "norm",
      [](py::handle input, py::handle p, py::handle dim, py::handle keepdim) {
        const LimbTensor& t = tensor_arg(input, "norm", "input");
        const NormOrder order = norm_order(p);
        const auto d = opt_dim(dim);
        const bool keep = truth(keepdim);
        return released_tensor([&] { return norm(t, order, d, keep); });
      },
      py::arg("input"), py::arg("p") = 2, dim_none, keep_false, "Compute p-norm.");

  m.def(
      "matmul",
      [](py::handle a, py::handle b) {
        const LimbTensor& x = tensor_arg(a, "matmul", "a");
        const LimbTensor& y = tensor_arg(b, "matmul", "b");
        return released_tensor([&] { return matmul(x, y); });
      },
      py::arg("a"), py::arg("b"), "Matrix multiplication with KALDEN.");
  m.def(
      "mm",
      [](py::handle a, py::handle b) {
        const LimbTensor& x = tensor_arg(a, "mm", "a");
        const LimbTensor& y = tensor_arg(b, "mm", "b");
        return released_tensor([&] { return matmul(x, y); });
      },
      py::arg("a"), py::arg("b"), "Matrix multiplication.");
  m.def(
      "bmm",
      [](py::handle a, py::handle b) {
        const LimbTensor& x = tensor_arg(a, "bmm", "a");
        const LimbTensor& y = tensor_arg(b, "bmm", "b");
        return released_tensor([&] { return matmul(x, y); });
      },
      py::arg("a"), py::arg("b"), "Batched matrix multiplication.");
  m.def(
      "mv",
      [](py::handle a, py::handle b) {
        const LimbTensor& x = tensor_arg(a, "mv", "mat");
        const LimbTensor& y = tensor_arg(b, "mv", "vec");
        return released_tensor([&] { return mv(x, y); });
      },
      py::arg("mat"), py::arg("vec"), "Matrix-vector product.");
  m.def(
      "dot",
      [](py::handle a, py::handle b) {
        const LimbTensor& x = tensor_arg(a, "dot", "a");
        const LimbTensor& y = tensor_arg(b, "dot", "b");
        return released_tensor([&] { return dot(x, y); });
      },
      py::arg("a"), py::arg("b"), "Dot product of two 1D tensors.");
}

}  // namespace zel
