// The reductions PyTorch programs call beyond the defined ones, and the
// forms of the defined reductions that raised before (tuple dims,
// correction=): module functions and Tensor methods.
#include "python/extra_args.h"
#include "tensor/arith.h"
#include "tensor/reduce_more.h"
#include "tensor/shape.h"

namespace zel {

namespace {

LimbTensor self_of(py::handle v, const char* op) { return tensor_arg(v, op, "input"); }

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
  std::vector<double> out;
  axis = false;
  if (py::isinstance<LimbTensor>(q)) {
    const LimbTensor t = q.cast<LimbTensor>();
    if (t.shape.size() > 1)
      throw std::runtime_error("quantile() q must be a scalar or 1D tensor, got shape " +
                               shape_str(t.shape));
    axis = t.shape.size() == 1;
    at::Tensor d = cpu_limbs(t, "quantile");
    for (int64_t i = 0; i < d.size(0); ++i) out.push_back(limbs::approx(rows_of(d)[i]));
  } else {
    out.push_back(float_arg(q, "quantile", "q"));
  }
  for (double v : out)
    if (!(v >= 0.0 && v <= 1.0))
      throw std::runtime_error("quantile() q values must be in the range [0, 1], got " +
                               std::to_string(v));
  return out;
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
  const LimbTensor t = self_of(input, op);
  const Dims d = dims_arg(dim, op);
  const bool keep = truth_of(keepdim);
  const bool unb = unbiased.is_none() ? true : truth_of(unbiased);
  std::optional<double> corr;
  if (!correction.is_none()) corr = float_arg(correction, op, "correction");
  std::pair<LimbTensor, LimbTensor> r = without_gil([&] {
    return std::make_pair(variance_dims(t, d, keep, corr, unb, take_sqrt),
                          fold(t, d, keep, Fold::Mean));
  });
  return py::make_tuple(std::move(r.first), std::move(r.second));
}

// The docstring of a defined function without pybind11's signature line, for
// the wrapper that replaces it.
std::string defined_doc(const py::object& f, const char* name) {
  std::string doc = py::str(f.attr("__doc__")).cast<std::string>();
  if (doc.rfind(std::string(name) + "(", 0) == 0) {
    const size_t end = doc.find('\n');
    doc = end == std::string::npos ? "" : doc.substr(end + 1);
  }
  const size_t start = doc.find_first_not_of('\n');
  return start == std::string::npos ? "" : doc.substr(start);
}

}  // namespace

void bind_reduce_more(py::module_& m, TensorClass& cls) {
  py::module_ types = py::module_::import("types");
  py::object ns = types.attr("SimpleNamespace")();
  auto named = [&](const char* name, std::vector<const char*> fields) {
    py::object t = return_type(name, std::move(fields));
    ns.attr(name) = t;
    return t;
  };
  const py::object t_sort = named("sort", {"values", "indices"}),
                   t_topk = named("topk", {"values", "indices"});
  const py::object t_kth = named("kthvalue", {"values", "indices"}),
                   t_median = named("median", {"values", "indices"});
  const py::object t_cummax = named("cummax", {"values", "indices"}),
                   t_cummin = named("cummin", {"values", "indices"});
  const py::object t_aminmax = named("aminmax", {"min", "max"});
  m.attr("return_types") = ns;

  // The defined reductions, extended where they raised: a tuple or list of
  // axes (and correction= for var/std) takes the new path; every other call
  // goes to the defined method unchanged.
  struct Extended {
    const char* name;
    Fold op;
  };
  for (const Extended& e :
       {Extended{"sum", Fold::Sum}, Extended{"mean", Fold::Mean}, Extended{"prod", Fold::Prod}}) {
    py::object defined = cls.attr(e.name);
    const Fold op = e.op;
    const std::string name = e.name;
    cls.attr(e.name) = py::cpp_function(
        [defined, op, name](py::handle self, py::handle dim, py::handle keepdim) -> py::object {
          if (!is_dim_list(dim)) return defined(self, dim, keepdim);
          const LimbTensor t = self_of(self, name.c_str());
          const Dims d = dims_arg(dim, name.c_str());
          const bool keep = truth_of(keepdim);
          return py::cast(without_gil([&] { return fold(t, d, keep, op); }));
        },
        py::name(e.name), py::is_method(cls), py::arg("dim") = py::none(),
        py::arg("keepdim") = false, py::doc(defined_doc(defined, e.name).c_str()));
  }
  for (const bool take_sqrt : {false, true}) {
    const char* name = take_sqrt ? "std" : "var";
    py::object defined = cls.attr(name);
    py::object defined_fn = m.attr(name);
    cls.attr(name) = py::cpp_function(
        [defined, take_sqrt, name](py::handle self, py::handle dim, py::handle keepdim,
                                   py::handle unbiased, py::handle correction) -> py::object {
          if (correction.is_none() && !is_dim_list(dim))
            return defined(self, dim, keepdim, unbiased);
          const LimbTensor t = self_of(self, name);
          const Dims d = dims_arg(dim, name);
          const bool keep = truth_of(keepdim), unb = truth_of(unbiased);
          std::optional<double> corr;
          if (!correction.is_none()) corr = float_arg(correction, name, "correction");
          return py::cast(
              without_gil([&] { return variance_dims(t, d, keep, corr, unb, take_sqrt); }));
        },
        py::name(name), py::is_method(cls), py::arg("dim") = py::none(), py::arg("keepdim") = false,
        py::arg("unbiased") = true, py::kw_only(), py::arg("correction") = py::none(),
        py::doc(defined_doc(defined, name).c_str()));
    m.attr(name) = py::cpp_function(
        [defined_fn, name](py::object input, py::object dim, py::object keepdim,
                           py::object unbiased, py::object correction) -> py::object {
          if (correction.is_none()) return defined_fn(input, dim, keepdim, unbiased);
          return input.attr(name)(py::arg("dim") = dim, py::arg("keepdim") = keepdim,
                                  py::arg("unbiased") = unbiased,
                                  py::arg("correction") = correction);
        },
        py::name(name), py::arg("input"), py::arg("dim") = py::none(), py::arg("keepdim") = false,
        py::arg("unbiased") = true, py::kw_only(), py::arg("correction") = py::none(),
        py::doc(defined_doc(defined_fn, name).c_str()));
  }
  // Module norm: a tuple of axes is new; the rest is the defined function.
  {
    py::object defined = m.attr("norm");
    m.attr("norm") = py::cpp_function(
        [defined](py::handle input, py::handle p, py::handle dim,
                  py::handle keepdim) -> py::object {
          if (!is_dim_list(dim)) return defined(input, p, dim, keepdim);
          const LimbTensor t = tensor_arg(input, "norm", "input");
          const double order = float_arg(p, "norm", "p");
          const Dims d = dims_arg(dim, "norm");
          const bool keep = truth_of(keepdim);
          return py::cast(without_gil([&] { return norm_dims(t, order, d, keep); }));
        },
        py::name("norm"), py::arg("input"), py::arg("p") = 2, py::arg("dim") = py::none(),
        py::arg("keepdim") = false, py::doc(defined_doc(defined, "norm").c_str()));
  }
  // Tensor.norm, as PyTorch's: 'fro' is the 2-norm, +-inf and 0 are the
  // extreme and counting norms; finite p over all axes or one axis is the
  // defined module norm.
  cls.def(
      "norm",
      [](py::handle self, py::handle p, py::handle dim, py::handle keepdim) -> py::object {
        const LimbTensor t = self_of(self, "norm");
        double order = 2.0;
        py::object p_obj = py::reinterpret_borrow<py::object>(p);
        if (PyUnicode_Check(p.ptr())) {
          const std::string s = p.cast<std::string>();
          if (s != "fro")
            throw std::runtime_error("norm(): only p='fro' of the named norms is supported, got '" +
                                     s + "'");
          p_obj = py::int_(2);
        } else {
          order = float_arg(p, "norm", "p");
        }
        const bool special = std::isinf(order) || order == 0.0;
        if (!special && !is_dim_list(dim))
          return py::module_::import("varnel.zel.zel").attr("norm")(self, p_obj, dim, keepdim);
        const Dims d = dims_arg(dim, "norm");
        const bool keep = truth_of(keepdim);
        return py::cast(without_gil([&] { return norm_dims(t, order, d, keep); }));
      },
      py::arg("p") = "fro", py::arg("dim") = py::none(), py::arg("keepdim") = false,
      "p-norm of the elements.");

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
      const LimbTensor t = self_of(input, name.c_str());
      if (dim_required && dim.is_none()) throw TypeError(name + "(): argument 'dim' is required");
      const Dims d = dims_arg(dim, name.c_str());
      const bool keep = truth_of(keepdim);
      return without_gil([&] { return fold(t, d, keep, op); });
    };
    if (dim_required)
      def_both(m, cls, f.name, fn, f.doc, py::arg("dim") = py::none(), py::arg("keepdim") = false);
    else
      def_both(m, cls, f.name, fn, f.doc, py::arg("dim") = py::tuple(), py::arg("keepdim") = false);
  }
  def_both(
      m, cls, "aminmax",
      [t_aminmax](py::handle input, py::handle dim, py::handle keepdim) {
        const LimbTensor t = self_of(input, "aminmax");
        const Dims d = dims_arg(dim, "aminmax");
        const bool keep = truth_of(keepdim);
        std::pair<LimbTensor, LimbTensor> r = without_gil([&] {
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
          const LimbTensor t = self_of(input, name.c_str());
          const Dims d = dims_arg(dim, name.c_str());
          const bool keep = truth_of(keepdim);
          return without_gil([&] { return truth_fold(t, d, keep, op); });
        },
        f.doc, py::arg("dim") = py::none(), py::arg("keepdim") = false);
  }
  def_both(
      m, cls, "count_nonzero",
      [](py::handle input, py::handle dim) {
        const LimbTensor t = self_of(input, "count_nonzero");
        const Dims d = dims_arg(dim, "count_nonzero");
        return without_gil([&] { return truth_fold(t, d, false, Truth::CountNonzero); });
      },
      "Number of elements whose exact value is not zero, as int64.", py::arg("dim") = py::none());

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
        [op, name](py::handle input, py::handle dim) {
          const LimbTensor t = self_of(input, name.c_str());
          const int64_t d = int_arg(dim, name.c_str(), "dim");
          return without_gil([&] { return scan(t, d, op).values; });
        },
        f.doc, py::arg("dim"));
  }
  for (const bool is_max : {true, false}) {
    const char* name = is_max ? "cummax" : "cummin";
    const py::object type = is_max ? t_cummax : t_cummin;
    def_both(
        m, cls, name,
        [type, is_max, name](py::handle input, py::handle dim) {
          const LimbTensor t = self_of(input, name);
          const int64_t d = int_arg(dim, name, "dim");
          return indexed_tuple(
              type, without_gil([&] { return scan(t, d, is_max ? Scan::Max : Scan::Min); }));
        },
        is_max ? "Running maximum and its index, by exact value."
               : "Running minimum and its index, by exact value.",
        py::arg("dim"));
  }

  def_both(
      m, cls, "sort",
      [t_sort](py::handle input, py::handle dim, py::handle descending, py::handle stable) {
        const LimbTensor t = self_of(input, "sort");
        const int64_t d = int_arg(dim, "sort", "dim");
        const bool desc = truth_of(descending);
        (void)truth_of(stable);  // always stable
        return indexed_tuple(t_sort, without_gil([&] { return sort(t, d, desc); }));
      },
      "Stable sort by exact value; NaN sorts last (first when descending).", py::arg("dim") = -1,
      py::arg("descending") = false, py::kw_only(), py::arg("stable") = false);
  def_both(
      m, cls, "argsort",
      [](py::handle input, py::handle dim, py::handle descending, py::handle stable) {
        const LimbTensor t = self_of(input, "argsort");
        const int64_t d = int_arg(dim, "argsort", "dim");
        const bool desc = truth_of(descending);
        (void)truth_of(stable);
        return without_gil([&] { return sort(t, d, desc).indices; });
      },
      "Indices of the stable sort by exact value.", py::arg("dim") = -1,
      py::arg("descending") = false, py::kw_only(), py::arg("stable") = false);
  def_both(
      m, cls, "topk",
      [t_topk](py::handle input, py::handle k, py::handle dim, py::handle largest,
               py::handle sorted) {
        const LimbTensor t = self_of(input, "topk");
        const int64_t kk = int_arg(k, "topk", "k"), d = int_arg(dim, "topk", "dim");
        const bool big = truth_of(largest);
        (void)truth_of(sorted);  // the k entries always come out sorted
        return indexed_tuple(t_topk, without_gil([&] { return topk(t, kk, d, big); }));
      },
      "The k largest (or smallest) elements along dim, in order.", py::arg("k"),
      py::arg("dim") = -1, py::arg("largest") = true, py::arg("sorted") = true);
  def_both(
      m, cls, "kthvalue",
      [t_kth](py::handle input, py::handle k, py::handle dim, py::handle keepdim) {
        const LimbTensor t = self_of(input, "kthvalue");
        const int64_t kk = int_arg(k, "kthvalue", "k"), d = int_arg(dim, "kthvalue", "dim");
        const bool keep = truth_of(keepdim);
        return indexed_tuple(t_kth, without_gil([&] { return kthvalue(t, kk, d, keep); }));
      },
      "The k-th smallest element along dim and its index.", py::arg("k"), py::arg("dim") = -1,
      py::arg("keepdim") = false);
  def_both(
      m, cls, "median",
      [t_median](py::handle input, py::handle dim, py::handle keepdim) -> py::object {
        const LimbTensor t = self_of(input, "median");
        const bool keep = truth_of(keepdim);
        if (dim.is_none()) return py::cast(without_gil([&] { return median_all(t); }));
        const int64_t d = int_arg(dim, "median", "dim");
        return indexed_tuple(t_median, without_gil([&] { return median_dim(t, d, keep); }));
      },
      "Lower median (of all elements, or along dim with its index).", py::arg("dim") = py::none(),
      py::arg("keepdim") = false);
  def_both(
      m, cls, "quantile",
      [](py::handle input, py::handle q, py::handle dim, py::handle keepdim,
         py::handle interpolation) {
        const LimbTensor t = self_of(input, "quantile");
        bool axis = false;
        const std::vector<double> qs = quantile_q(q, axis);
        std::optional<int64_t> d;
        if (!dim.is_none()) d = int_arg(dim, "quantile", "dim");
        const bool keep = truth_of(keepdim);
        const kernels::QuantileMode mode = quantile_mode(interpolation);
        return without_gil([&] { return quantile(t, qs, axis, d, keep, mode); });
      },
      "Quantiles by exact order, interpolated as PyTorch does.", py::arg("q"),
      py::arg("dim") = py::none(), py::arg("keepdim") = false, py::kw_only(),
      py::arg("interpolation") = "linear");
  def_both(
      m, cls, "unique",
      [](py::handle input, py::handle sorted, py::handle return_inverse, py::handle return_counts,
         py::handle dim) -> py::object {
        const LimbTensor t = self_of(input, "unique");
        (void)truth_of(sorted);  // always sorted
        const bool inv = truth_of(return_inverse), cnt = truth_of(return_counts);
        if (!dim.is_none())
          throw NotImplementedError("unique(): dim is not supported; unique of all elements only");
        Unique u = without_gil([&] { return unique(t); });
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

  def_both(
      m, cls, "diff",
      [](py::handle input, py::handle n, py::handle dim, py::handle prepend, py::handle append) {
        LimbTensor t = self_of(input, "diff");
        const int64_t order = int_arg(n, "diff", "n"), d = int_arg(dim, "diff", "dim");
        std::vector<LimbTensor> parts;
        if (!prepend.is_none()) parts.push_back(operand_of(prepend, t, "diff", "prepend"));
        parts.push_back(t);
        if (!append.is_none()) parts.push_back(operand_of(append, t, "diff", "append"));
        return without_gil([&] {
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
          return without_gil(
              [&] { return trapezoid(ty, tx ? &*tx : nullptr, step, d, cumulative); });
        },
        py::arg("y"), py::arg("x") = py::none(), py::kw_only(), py::arg("dx") = py::none(),
        py::arg("dim") = -1,
        cumulative ? "Running trapezoidal integral along dim." : "Trapezoidal rule along dim.");
  }
  m.def(
      "dist",
      [](py::handle input, py::handle other, py::handle p) {
        const LimbTensor a = tensor_arg(input, "dist", "input");
        const LimbTensor b = operand_of(other, a, "dist", "other");
        const double order = float_arg(p, "dist", "p");
        return without_gil([&] { return norm_dims(zel::sub(a, b), order, std::nullopt, false); });
      },
      py::arg("input"), py::arg("other"), py::arg("p") = 2, "p-norm of input - other.");
  cls.def(
      "dist",
      [](py::handle self, py::handle other, py::handle p) {
        return py::module_::import("varnel.zel.zel").attr("dist")(self, other, p);
      },
      py::arg("other"), py::arg("p") = 2, "p-norm of self - other.");
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

}  // namespace zel
