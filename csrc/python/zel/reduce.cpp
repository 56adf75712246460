// Reductions: sums, products, extrema, statistics and norms over all
// elements, one axis or several, running reductions, exact-order statistics
// (sort, topk, median, quantile, unique) and differences. One binding per
// Python name; the defined forms (one axis or all, no correction=) keep
// their own kernels, a tuple of axes or correction= takes the several-axes
// path.
#include <optional>

#include "python/zel/bindings.h"
#include "tensor/pointwise/arith.h"
#include "tensor/reduce/axis.h"
#include "tensor/reduce/dims.h"
#include "tensor/shape/shape.h"

namespace zel {

namespace {

std::optional<int64_t> opt_dim(py::handle dim) {
  if (dim.is_none()) return std::nullopt;
  return truncated_int(dim, "dim");
}

// sum, prod, max, min: the defined tree over all elements or one axis.
py::object reduce(const LimbTensor& t, py::handle dim, py::handle keepdim, ReduceOp op) {
  const bool keep = truth(keepdim);
  if (dim.is_none()) {
    check_limbs(t.data, t.shape, "sum");
    // One element: sum keeps the shape under keepdim; prod and the extrema never do.
    if (op == ReduceOp::Sum && keep && t.data.size(0) == 1) return py::cast(clone(t));
    return released_tensor([&] { return reduce_all(t, op); });
  }
  const int64_t d = truncated_int(dim, "dim");
  return released_tensor([&] { return reduce_dim(t, d, keep, op); });
}

// The p of the defined norm: an int or a float, kept as given.
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

// zel.norm: a tuple of axes takes the several-axes path, the rest is the
// defined norm.
py::object module_norm(py::handle input, py::handle p, py::handle dim, py::handle keepdim) {
  const LimbTensor t = tensor_arg(input, "norm", "input");
  if (is_dim_list(dim)) {
    const NormOrder order = NormOrder::of_value(float_arg(p, "norm", "p"));
    const Dims d = dims_arg(dim, "norm");
    const bool keep = truth(keepdim);
    return released_tensor([&] { return norm_dims(t, order, d, keep); });
  }
  const NormOrder order = norm_order(p);
  const auto d = opt_dim(dim);
  const bool keep = truth(keepdim);
  return released_tensor([&] { return norm(t, order, d, keep); });
}

kernels::QuantileMode quantile_mode(py::handle v) {
  if (!PyUnicode_Check(v.ptr()))
    throw TypeError("quantile(): argument 'interpolation' must be str, not " + type_name(v));
  const std::string s = v.cast<std::string>();
  if (s == "linear") return kernels::QuantileMode::Linear;
  if (s == "lower") return kernels::QuantileMode::Lower;
  if (s == "higher") return kernels::QuantileMode::Higher;
  if (s == "midpoint") return kernels::QuantileMode::Midpoint;
  if (s == "nearest") return kernels::QuantileMode::Nearest;
  throw std::runtime_error(
      "quantile() interpolation must be one of linear, lower, higher, midpoint or nearest. Found " +
      s);
}

// The q of quantile: a number, or a 0-d or 1-D Tensor (its approximations).
std::vector<double> quantile_q(py::handle q, bool& axis) {
  axis = false;
  if (!py::isinstance<LimbTensor>(q)) return {float_arg(q, "quantile", "q")};
  const LimbTensor t = q.cast<LimbTensor>();
  return released([&] { return quantile_points(t, axis); });
}

// A number as a 0-d tensor on t's device, or a Tensor as it is.
LimbTensor operand_of(py::handle v, const LimbTensor& t, const char* op, const char* name) {
  LimbTensor r;
  if (!as_operand(v, t.data.device(), r))
    throw TypeError(std::string(op) + "(): argument '" + name + "' must be Tensor, not " +
                    type_name(v));
  return r;
}

// Variance and its mean for std_mean / var_mean.
py::object spread_and_mean(py::handle input, py::handle dim, py::handle unbiased,
                           py::handle keepdim, py::handle correction, bool take_sqrt) {
  const char* op = take_sqrt ? "std_mean" : "var_mean";
  const LimbTensor t = input_of(input, op);
  // std_mean(x, True): PyTorch's (input, unbiased) form, never a dimension.
  if (PyBool_Check(dim.ptr())) {
    unbiased = dim;
    dim = py::none();
  }
  const Dims d = dims_arg(dim, op);
  const bool keep = truth(keepdim);
  const bool unb = unbiased.is_none() ? true : truth(unbiased);
  std::optional<double> corr;
  if (!correction.is_none()) corr = float_arg(correction, op, "correction");
  std::pair<LimbTensor, LimbTensor> r = released([&] {
    return std::make_pair(variance_dims(t, d, keep, corr, unb, take_sqrt),
                          fold(t, d, keep, Fold::Mean));
  });
  return py::make_tuple(std::move(r.first), std::move(r.second));
}

const char* const kSumDoc = "KALDEN sum using tree reduction.";
const char* const kProdDoc = "KALDEN product using tree reduction.";
const char* const kMeanDoc = "KALDEN mean.";

// Tensor.sum / prod / mean: the defined reduction, or a fold over a tuple
// of axes.
template <Fold kFold>
py::object sum_like(LimbTensor t, py::handle dim, py::handle keepdim, py::handle dtype) {
  const char* name = kFold == Fold::Sum ? "sum" : (kFold == Fold::Prod ? "prod" : "mean");
  check_dtype(dtype, name);  // every element is float64 limbs: a float dtype changes nothing
  if (is_dim_list(dim)) {
    const Dims d = dims_arg(dim, name);
    const bool keep = truth(keepdim);
    return released_tensor([&] { return fold(t, d, keep, kFold); });
  }
  if (kFold == Fold::Sum) return reduce(t, dim, keepdim, ReduceOp::Sum);
  if (kFold == Fold::Prod) return reduce(t, dim, keepdim, ReduceOp::Prod);
  const auto d = opt_dim(dim);
  const bool keep = truth(keepdim);
  return released_tensor([&] { return mean(t, d, keep); });
}

ReduceOp reduce_op_named(py::handle op) {
  if (!PyUnicode_Check(op.ptr())) raise_arg_type("op", "str", op);
  const std::string name = op.cast<std::string>();
  if (name == "sum") return ReduceOp::Sum;
  if (name == "prod") return ReduceOp::Prod;
  if (name == "min") return ReduceOp::Min;
  if (name == "max") return ReduceOp::Max;
  throw ValueError("Unknown op: " + name);
}

void bind_sums(Module& m, TensorClass& cls) {
  cls.def(
      "_reduce_dim",
      [](LimbTensor t, py::handle dim, py::handle keepdim, py::handle op) {
        const int64_t d = truncated_int(dim, "dim");
        const bool keep = truth(keepdim);
        const ReduceOp r = reduce_op_named(op);
        return released_tensor([&] { return reduce_dim(t, d, keep, r); });
      },
      py::arg("dim"), py::arg("keepdim"), py::arg("op"), "Reduce along a specific dimension.");
  const auto dim_none = py::arg("dim") = py::none();
  const auto keep_false = py::arg("keepdim") = false;
  const auto dtype_none = py::arg("dtype") = py::none();
  cls.def("sum", &sum_like<Fold::Sum>, dim_none, keep_false, py::kw_only(), dtype_none, kSumDoc);
  cls.def("prod", &sum_like<Fold::Prod>, dim_none, keep_false, py::kw_only(), dtype_none, kProdDoc);
  cls.def("mean", &sum_like<Fold::Mean>, dim_none, keep_false, py::kw_only(), dtype_none, kMeanDoc);
  // max(other) and min(other) with a tensor are PyTorch's element-wise
  // maximum and minimum; reading the tensor as a dimension gave a wrong answer.
  cls.def(
      "max",
      [](py::handle self, py::handle dim, py::handle keepdim) -> py::object {
        if (py::isinstance<LimbTensor>(dim)) return self.attr("maximum")(dim);
        return reduce(self.cast<LimbTensor>(), dim, keepdim, ReduceOp::Max);
      },
      dim_none, keep_false, "Maximum value.");
  cls.def(
      "min",
      [](py::handle self, py::handle dim, py::handle keepdim) -> py::object {
        if (py::isinstance<LimbTensor>(dim)) return self.attr("minimum")(dim);
        return reduce(self.cast<LimbTensor>(), dim, keepdim, ReduceOp::Min);
      },
      dim_none, keep_false, "Minimum value.");
  for (const bool is_max : {true, false})
    cls.def(
        is_max ? "argmax" : "argmin",
        [is_max](LimbTensor t, py::handle dim, py::handle keepdim) -> py::object {
          const auto d = opt_dim(dim);
          py::object r = py::cast(arg_extremum(t, d, is_max));
          if (!truth(keepdim) || t.shape.empty()) return r;
          // keepdim: the reduced axis (every axis, without dim) stays with length 1.
          if (d) return r.attr("unsqueeze")(*d);
          return r.attr("reshape")(py::tuple(py::cast(std::vector<int64_t>(t.shape.size(), 1))));
        },
        dim_none, keep_false, is_max ? "Index of maximum value." : "Index of minimum value.");

  // Module functions call the methods, so any object with them works and
  // anything else raises AttributeError, as in PyTorch-style forwarding.
  const std::pair<const char*, const char*> reductions[] = {{"sum", kSumDoc},
                                                            {"mean", kMeanDoc},
                                                            {"prod", kProdDoc},
                                                            {"max", "Maximum value."},
                                                            {"min", "Minimum value."}};
  for (const auto& [name, doc] : reductions) {
    const std::string method(name);
    const bool has_dtype = method != "max" && method != "min";
    m.def(
        name,
        [method, has_dtype](py::object input, py::object dim, py::object keepdim,
                            py::object dtype) {
          if (!has_dtype || dtype.is_none())
            return input.attr(method.c_str())(py::arg("dim") = dim, py::arg("keepdim") = keepdim);
          return input.attr(method.c_str())(py::arg("dim") = dim, py::arg("keepdim") = keepdim,
                                            py::arg("dtype") = dtype);
        },
        py::arg("input"), dim_none, keep_false, py::kw_only(), dtype_none, doc);
  }
  const std::pair<const char*, const char*> arg_extrema[] = {{"argmax", "Index of maximum value."},
                                                             {"argmin", "Index of minimum value."}};
  for (const auto& [name, doc] : arg_extrema) {
    const std::string method(name);
    m.def(
        name,
        [method](py::object input, py::object dim, py::object keepdim) {
          return input.attr(method.c_str())(dim, keepdim);
        },
        py::arg("input"), dim_none, keep_false, doc);
  }
}

// Tensor.var / std: the defined statistic, or over a tuple of axes or with
// correction=.
template <bool kSqrt>
py::object spread(LimbTensor t, py::handle dim, py::handle keepdim, py::handle unbiased,
                  py::handle correction) {
  const char* name = kSqrt ? "std" : "var";
  // std(x, True): PyTorch's (input, unbiased) form; a bool was read as dim 1.
  if (PyBool_Check(dim.ptr())) {
    unbiased = dim;
    dim = py::none();
  }
  if (correction.is_none() && !is_dim_list(dim)) {
    const auto d = opt_dim(dim);
    const bool keep = truth(keepdim), unb = truth(unbiased);
    return released_tensor([&] { return variance(t, d, keep, unb, kSqrt); });
  }
  const Dims d = dims_arg(dim, name);
  const bool keep = truth(keepdim), unb = truth(unbiased);
  std::optional<double> corr;
  if (!correction.is_none()) corr = float_arg(correction, name, "correction");
  return released_tensor([&] { return variance_dims(t, d, keep, corr, unb, kSqrt); });
}

void bind_spreads(Module& m, TensorClass& cls) {
  for (const bool take_sqrt : {false, true}) {
    const char* name = take_sqrt ? "std" : "var";
    const char* doc = take_sqrt ? "Standard deviation." : "Variance.";
    cls.def(name, take_sqrt ? &spread<true> : &spread<false>, py::arg("dim") = py::none(),
            py::arg("keepdim") = false, py::arg("unbiased") = true, py::kw_only(),
            py::arg("correction") = py::none(), doc);
    // Forwards to the method (any object with it works), correction= only when given.
    m.def(
        name,
        [name](py::object input, py::object dim, py::object keepdim, py::object unbiased,
               py::object correction) -> py::object {
          if (correction.is_none())
            return input.attr(name)(py::arg("dim") = dim, py::arg("keepdim") = keepdim,
                                    py::arg("unbiased") = unbiased);
          return input.attr(name)(py::arg("dim") = dim, py::arg("keepdim") = keepdim,
                                  py::arg("unbiased") = unbiased,
                                  py::arg("correction") = correction);
        },
        py::arg("input"), py::arg("dim") = py::none(), py::arg("keepdim") = false,
        py::arg("unbiased") = true, py::kw_only(), py::arg("correction") = py::none(), doc);
  }
  for (const bool take_sqrt : {true, false})
    m.def(
        take_sqrt ? "std_mean" : "var_mean",
        [take_sqrt](py::handle input, py::handle dim, py::handle unbiased, py::handle keepdim,
                    py::handle correction) {
          return spread_and_mean(input, dim, unbiased, keepdim, correction, take_sqrt);
        },
        py::arg("input"), py::arg("dim") = py::none(), py::arg("unbiased") = py::none(),
        py::arg("keepdim") = false, py::kw_only(), py::arg("correction") = py::none(),
        take_sqrt ? "Standard deviation and mean." : "Variance and mean.");
}

// Tensor.norm, as PyTorch's: 'fro' is the 2-norm, +-inf and 0 are the
// extreme and counting norms; finite p over all axes or one axis is the
// defined module norm.
py::object tensor_norm(py::handle self, py::handle p, py::handle dim, py::handle keepdim) {
  const LimbTensor t = input_of(self, "norm");
  double order = 2.0;
  py::object p_obj = py::reinterpret_borrow<py::object>(p);
  if (PyUnicode_Check(p.ptr())) {
    const std::string s = p.cast<std::string>();
    if (s == "nuc") {
      // The nuclear norm of the matrices over two axes (the last two by default).
      py::object axes = dim.is_none() ? py::object(py::make_tuple(-2, -1))
                                      : py::reinterpret_borrow<py::object>(dim);
      return py::module_::import("varnel.zel.zel")
          .attr("linalg")
          .attr("matrix_norm")(self, "nuc", axes, keepdim);
    }
    if (s != "fro")
      throw std::runtime_error("norm(): p must be 'fro', 'nuc' or a number, got '" + s + "'");
    p_obj = py::int_(2);
  } else {
    order = float_arg(p, "norm", "p");
  }
  const bool special = std::isinf(order) || order == 0.0;
  if (!special && !is_dim_list(dim)) return module_norm(self, p_obj, dim, keepdim);
  const Dims d = dims_arg(dim, "norm");
  const bool keep = truth(keepdim);
  const NormOrder o = NormOrder::of_value(order);
  return released_tensor([&] { return norm_dims(t, o, d, keep); });
}

py::object dist(py::handle input, py::handle other, py::handle p) {
  const LimbTensor a = tensor_arg(input, "dist", "input");
  const LimbTensor b = operand_of(other, a, "dist", "other");
  const NormOrder order = NormOrder::of_value(float_arg(p, "dist", "p"));
  return released_tensor([&] { return norm_dims(zel::sub(a, b), order, std::nullopt, false); });
}

void bind_norms(Module& m, TensorClass& cls) {
  m.def("norm", &module_norm, py::arg("input"), py::arg("p") = 2, py::arg("dim") = py::none(),
        py::arg("keepdim") = false, "Compute p-norm.");
  cls.def("norm", &tensor_norm, py::arg("p") = "fro", py::arg("dim") = py::none(),
          py::arg("keepdim") = false, "p-norm of the elements.");
  m.def("dist", &dist, py::arg("input"), py::arg("other"), py::arg("p") = 2,
        "p-norm of input - other.");
  cls.def("dist", &dist, py::arg("other"), py::arg("p") = 2, "p-norm of self - other.");
}

void bind_folds(Module& m, TensorClass& cls, const py::object& t_aminmax) {
  struct Folded {
    const char* name;
    Fold op;
    const char* doc;
  };
  for (const Folded& f :
       {Folded{"amax", Fold::Amax, "Largest element along dims, by exact value."},
        Folded{"amin", Fold::Amin, "Smallest element along dims, by exact value."},
        Folded{"nansum", Fold::NanSum, "Sum with NaN elements counted as zero."},
        Folded{"nanmean", Fold::NanMean, "Mean of the elements that are not NaN."},
        Folded{"logsumexp", Fold::LogSumExp,
               "log(sum(exp(x))) along dims, shifted by the maximum."}}) {
    const Fold op = f.op;
    const std::string name = f.name;
    const bool dim_required = op == Fold::LogSumExp;
    auto fn = [op, name, dim_required](py::handle input, py::handle dim, py::handle keepdim) {
      const LimbTensor t = input_of(input, name.c_str());
      if (dim_required && dim.is_none()) throw TypeError(name + "(): argument 'dim' is required");
      const Dims d = dims_arg(dim, name.c_str());
      const bool keep = truth(keepdim);
      return released([&] { return fold(t, d, keep, op); });
    };
    if (dim_required)
      def_both(m, cls, f.name, fn, f.doc, py::arg("dim") = py::none(), py::arg("keepdim") = false);
    else
      def_both(m, cls, f.name, fn, f.doc, py::arg("dim") = py::tuple(), py::arg("keepdim") = false);
  }
  def_both(
      m, cls, "aminmax",
      [t_aminmax](py::handle input, py::handle dim, py::handle keepdim) {
        const LimbTensor t = input_of(input, "aminmax");
        const Dims d = dims_arg(dim, "aminmax");
        const bool keep = truth(keepdim);
        std::pair<LimbTensor, LimbTensor> r = released([&] {
          return std::make_pair(fold(t, d, keep, Fold::Amin), fold(t, d, keep, Fold::Amax));
        });
        return t_aminmax(std::move(r.first), std::move(r.second));
      },
      "Smallest and largest element, by exact value.", py::kw_only(), py::arg("dim") = py::none(),
      py::arg("keepdim") = false);

  struct Truthy {
    const char* name;
    Truth op;
    const char* doc;
  };
  for (const Truthy& f :
       {Truthy{"any", Truth::Any, "Whether any element is non-zero (NaN counts)."},
        Truthy{"all", Truth::All, "Whether every element is non-zero (NaN counts)."}}) {
    const Truth op = f.op;
    const std::string name = f.name;
    def_both(
        m, cls, f.name,
        [op, name](py::handle input, py::handle dim, py::handle keepdim) {
          const LimbTensor t = input_of(input, name.c_str());
          const Dims d = dims_arg(dim, name.c_str());
          const bool keep = truth(keepdim);
          return released([&] { return truth_fold(t, d, keep, op); });
        },
        f.doc, py::arg("dim") = py::none(), py::arg("keepdim") = false);
  }
  def_both(
      m, cls, "count_nonzero",
      [](py::handle input, py::handle dim) {
        const LimbTensor t = input_of(input, "count_nonzero");
        const Dims d = dims_arg(dim, "count_nonzero");
        return released([&] { return truth_fold(t, d, false, Truth::CountNonzero); });
      },
      "Number of elements whose exact value is not zero, as int64.", py::arg("dim") = py::none());
}

void bind_order(Module& m, TensorClass& cls, const py::object& types) {
  const py::object t_sort = types.attr("sort"), t_topk = types.attr("topk");
  const py::object t_kth = types.attr("kthvalue"), t_median = types.attr("median");
  const py::object t_cummax = types.attr("cummax"), t_cummin = types.attr("cummin");
  struct Scanned {
    const char* name;
    Scan op;
    const char* doc;
  };
  for (const Scanned& f : {Scanned{"cumsum", Scan::Sum, "Running limb sum along dim."},
                           Scanned{"cumprod", Scan::Prod, "Running product along dim."}}) {
    const Scan op = f.op;
    const std::string name = f.name;
    def_both(
        m, cls, f.name,
        [op, name](py::handle input, py::handle dim, py::handle dtype) {
          const LimbTensor t = input_of(input, name.c_str());
          const int64_t d = int_arg(dim, name.c_str(), "dim");
          check_dtype(dtype, name.c_str());
          return released([&] { return scan(t, d, op).values; });
        },
        f.doc, py::arg("dim"), py::kw_only(), py::arg("dtype") = py::none());
  }
  for (const bool is_max : {true, false}) {
    const char* name = is_max ? "cummax" : "cummin";
    const py::object type = is_max ? t_cummax : t_cummin;
    def_both(
        m, cls, name,
        [type, is_max, name](py::handle input, py::handle dim) {
          const LimbTensor t = input_of(input, name);
          const int64_t d = int_arg(dim, name, "dim");
          return indexed_tuple(
              type, released([&] { return scan(t, d, is_max ? Scan::Max : Scan::Min); }));
        },
        is_max ? "Running maximum and its index, by exact value."
               : "Running minimum and its index, by exact value.",
        py::arg("dim"));
  }

  def_both(
      m, cls, "sort",
      [t_sort](py::handle input, py::handle dim, py::handle descending, py::handle stable) {
        const LimbTensor t = input_of(input, "sort");
        const int64_t d = int_arg(dim, "sort", "dim");
        const bool desc = truth(descending);
        (void)truth(stable);  // always stable
        return indexed_tuple(t_sort, released([&] { return sort(t, d, desc); }));
      },
      "Stable sort by exact value; NaN sorts last (first when descending).", py::arg("dim") = -1,
      py::arg("descending") = false, py::kw_only(), py::arg("stable") = false);
  def_both(
      m, cls, "argsort",
      [](py::handle input, py::handle dim, py::handle descending, py::handle stable) {
        const LimbTensor t = input_of(input, "argsort");
        const int64_t d = int_arg(dim, "argsort", "dim");
        const bool desc = truth(descending);
        (void)truth(stable);
        return released([&] { return sort(t, d, desc).indices; });
      },
      "Indices of the stable sort by exact value.", py::arg("dim") = -1,
      py::arg("descending") = false, py::kw_only(), py::arg("stable") = false);
  def_both(
      m, cls, "topk",
      [t_topk](py::handle input, py::handle k, py::handle dim, py::handle largest,
               py::handle sorted) {
        const LimbTensor t = input_of(input, "topk");
        const int64_t kk = int_arg(k, "topk", "k"), d = int_arg(dim, "topk", "dim");
        const bool big = truth(largest);
        (void)truth(sorted);  // the k entries always come out sorted
        return indexed_tuple(t_topk, released([&] { return topk(t, kk, d, big); }));
      },
      "The k largest (or smallest) elements along dim, in order.", py::arg("k"),
      py::arg("dim") = -1, py::arg("largest") = true, py::arg("sorted") = true);
  def_both(
      m, cls, "kthvalue",
      [t_kth](py::handle input, py::handle k, py::handle dim, py::handle keepdim) {
        const LimbTensor t = input_of(input, "kthvalue");
        const int64_t kk = int_arg(k, "kthvalue", "k"), d = int_arg(dim, "kthvalue", "dim");
        const bool keep = truth(keepdim);
        return indexed_tuple(t_kth, released([&] { return kthvalue(t, kk, d, keep); }));
      },
      "The k-th smallest element along dim and its index.", py::arg("k"), py::arg("dim") = -1,
      py::arg("keepdim") = false);
  def_both(
      m, cls, "median",
      [t_median](py::handle input, py::handle dim, py::handle keepdim) -> py::object {
        const LimbTensor t = input_of(input, "median");
        const bool keep = truth(keepdim);
        if (dim.is_none()) return py::cast(released([&] { return median_all(t); }));
        const int64_t d = int_arg(dim, "median", "dim");
        return indexed_tuple(t_median, released([&] { return median_dim(t, d, keep); }));
      },
      "Lower median (of all elements, or along dim with its index).", py::arg("dim") = py::none(),
      py::arg("keepdim") = false);
  def_both(
      m, cls, "quantile",
      [](py::handle input, py::handle q, py::handle dim, py::handle keepdim,
         py::handle interpolation) {
        const LimbTensor t = input_of(input, "quantile");
        bool axis = false;
        const std::vector<double> qs = quantile_q(q, axis);
        std::optional<int64_t> d;
        if (!dim.is_none()) d = int_arg(dim, "quantile", "dim");
        const bool keep = truth(keepdim);
        const kernels::QuantileMode mode = quantile_mode(interpolation);
        return released([&] { return quantile(t, qs, axis, d, keep, mode); });
      },
      "Quantiles by exact order, interpolated as PyTorch does.", py::arg("q"),
      py::arg("dim") = py::none(), py::arg("keepdim") = false, py::kw_only(),
      py::arg("interpolation") = "linear");
  def_both(
      m, cls, "unique",
      [](py::handle input, py::handle sorted, py::handle return_inverse, py::handle return_counts,
         py::handle dim) -> py::object {
        const LimbTensor t = input_of(input, "unique");
        (void)truth(sorted);  // always sorted
        const bool inv = truth(return_inverse), cnt = truth(return_counts);
        if (!dim.is_none())
          throw NotImplementedError("unique(): dim is not supported; unique of all elements only");
        Unique u = released([&] { return unique(t); });
        if (!inv && !cnt) return py::cast(std::move(u.values));
        py::list out;
        out.append(py::cast(std::move(u.values)));
        if (inv) out.append(py::cast(u.inverse));
        if (cnt) out.append(py::cast(u.counts));
        return py::tuple(out);
      },
      "Sorted distinct values by exact value (NaNs stay distinct).", py::arg("sorted") = true,
      py::arg("return_inverse") = false, py::arg("return_counts") = false,
      py::arg("dim") = py::none());
}

void bind_differences(Module& m, TensorClass& cls) {
  def_both(
      m, cls, "diff",
      [](py::handle input, py::handle n, py::handle dim, py::handle prepend,
         py::handle append) -> py::object {
        LimbTensor t = input_of(input, "diff");
        const int64_t order = int_arg(n, "diff", "n"), d = int_arg(dim, "diff", "dim");
        // The 0th difference is the input itself, whatever is prepended or appended.
        if (order == 0) return py::reinterpret_borrow<py::object>(input);
        std::vector<LimbTensor> parts;
        if (!prepend.is_none()) parts.push_back(operand_of(prepend, t, "diff", "prepend"));
        parts.push_back(t);
        if (!append.is_none()) parts.push_back(operand_of(append, t, "diff", "append"));
        LimbTensor r = released([&] {
          if (parts.size() > 1) {
            for (LimbTensor& p : parts)
              if (p.shape.empty() && !t.shape.empty()) {  // a number spans the other axes
                Shape s = t.shape;
                s[normalize_dim(d, static_cast<int64_t>(s.size()))] = 1;
                p = expand(p, s);
              }
            t = cat(parts, d);
          }
          return diff(t, order, d);
        });
        return py::cast(std::move(r));
      },
      "n-th forward difference along dim.", py::arg("n") = 1, py::arg("dim") = -1,
      py::arg("prepend") = py::none(), py::arg("append") = py::none());

  for (const bool cumulative : {false, true}) {
    const char* name = cumulative ? "cumulative_trapezoid" : "trapezoid";
    m.def(
        name,
        [cumulative, name](py::handle y, py::handle x, py::handle dx, py::handle dim) {
          const LimbTensor ty = tensor_arg(y, name, "y");
          if (!x.is_none() && !dx.is_none())
            throw TypeError(std::string(name) + "(): pass either x or dx, not both");
          std::optional<LimbTensor> tx;
          if (!x.is_none()) tx = tensor_arg(x, name, "x");
          const double step = dx.is_none() ? 1.0 : float_arg(dx, name, "dx");
          const int64_t d = int_arg(dim, name, "dim");
          return released([&] { return trapezoid(ty, tx ? &*tx : nullptr, step, d, cumulative); });
        },
        py::arg("y"), py::arg("x") = py::none(), py::kw_only(), py::arg("dx") = py::none(),
        py::arg("dim") = -1,
        cumulative ? "Running trapezoidal integral along dim." : "Trapezoidal rule along dim.");
  }
}

}  // namespace

void bind_reduce(Module& m, TensorClass& cls) {
  py::object types = py::module_::import("types").attr("SimpleNamespace")();
  for (const char* name : {"sort", "topk", "kthvalue", "median", "cummax", "cummin"})
    types.attr(name) = return_type(name, {"values", "indices"});
  types.attr("aminmax") = return_type("aminmax", {"min", "max"});
  m.attr("return_types") = types;
  bind_sums(m, cls);
  bind_spreads(m, cls);
  bind_norms(m, cls);
  bind_folds(m, cls, types.attr("aminmax"));
  bind_order(m, cls, types);
  bind_differences(m, cls);
}

}  // namespace zel
