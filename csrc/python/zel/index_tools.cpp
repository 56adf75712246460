// The integer and index tools of PyTorch: conversions to integer tensors,
// the scatter family (index_add, index_copy, index_fill, index_put,
// scatter, scatter_add, scatter_reduce, put, masked_scatter),
// take_along_dim, counting (bincount, histc, histogram), searching
// (searchsorted, bucketize) and index generators (tril_indices,
// triu_indices, combinations, cartesian_prod). Index tensors are PyTorch
// integer tensors (or lists of ints); results that are indices or counts
// without weights are PyTorch tensors, as in PyTorch.
#include <ATen/ops/arange.h>
#include <ATen/ops/zeros.h>
#include <cstring>
#include <limits>

#include "python/shared/args.h"
#include "python/zel/bindings.h"
#include "tensor/pointwise/arith.h"
#include "tensor/shape/index_tools.h"
#include "tensor/shape/shape.h"

namespace zel {

// A named namespace: the unity build joins this file with others whose
// anonymous namespaces hold helpers of the same names.
namespace index_tools {

py::object torch_module() { return py::module_::import("torch"); }

// Work done inside a binding records nothing: the binding's own node does.
struct NoRecording {
  bool was = grad_enabled();
  NoRecording() { set_grad_enabled(false); }
  ~NoRecording() { set_grad_enabled(was); }
};

std::string dtype_name(const at::Tensor& t) { return c10::toString(t.scalar_type()); }

// An index argument: a PyTorch integer tensor or a (nested) list of ints,
// as a contiguous int64 CPU array. int32 where PyTorch takes it too.
at::Tensor index_arg(py::handle h, const char* op, bool int32_ok, const char* name = "index") {
  at::Tensor t;
  if (is_torch_tensor(h)) {
    t = torch_tensor_of(h);
  } else if (PyList_Check(h.ptr()) || PyTuple_Check(h.ptr())) {
    t = torch_tensor_of(
        torch_module().attr("as_tensor")(h, py::arg("dtype") = torch_module().attr("long")));
  } else {
    throw TypeError(std::string(op) + "(): argument '" + name + "' must be Tensor, not " +
                    type_name(h));
  }
  if (t.scalar_type() != at::kLong && !(int32_ok && t.scalar_type() == at::kInt))
    throw std::runtime_error(std::string(op) + "(): Expected dtype int64 for " + name + ", got " +
                             dtype_name(t));
  return t.to(at::kCPU).to(at::kLong).contiguous();
}

int64_t dim_arg(py::handle dim, const LimbTensor& t, const char* op) {
  check_limbs(t.data, t.shape, op);
  return wrap_dim(int_arg(dim, op, "dim"), static_cast<int64_t>(t.shape.size()), op);
}

Shape shape_of(const at::Tensor& t) { return Shape(t.sizes().begin(), t.sizes().end()); }

std::vector<int64_t> contiguous_row_strides(const Shape& s) {
  std::vector<int64_t> st(s.size(), 0);
  for (int64_t a = static_cast<int64_t>(s.size()) - 1, step = 1; a >= 0; --a) {
    st[static_cast<size_t>(a)] = step;
    step *= s[static_cast<size_t>(a)];
  }
  return st;
}

// The value of index_fill / scatter: a number or a one-element Tensor.
LimbTensor scalar_value(py::handle value, const LimbTensor& like, const char* op) {
  LimbTensor v;
  if (!as_operand(value, device_of(like, op), v))
    throw TypeError(std::string(op) + "(): argument 'value' must be Number or Tensor, not " +
                    type_name(value));
  check_limbs(v.data, v.shape, op);
  if (!v.shape.empty())
    throw std::runtime_error(
        std::string(op) + "(): only supports a 0-dimensional value tensor, but got tensor with " +
        std::to_string(v.shape.size()) + " dimension(s).");
  return v;
}

// The index_* family: a vector of k indices, a source shaped like self with k along dim.
at::Tensor vector_index(py::handle index, const char* op) {
  at::Tensor ix = index_arg(index, op, true);
  if (ix.dim() > 1)
    throw IndexError(std::string(op) + "(): Index is supposed to be a vector, got " +
                     std::to_string(ix.dim()) + " dimensions");
  return ix.reshape({-1});
}

void check_index_source(const LimbTensor& self, int64_t d, int64_t k, const LimbTensor& src,
                        const char* op) {
  check_limbs(src.data, src.shape, op);
  // A 0-d self is one slice: exactly one index names it (the walk reads one).
  if (self.shape.empty() && k != 1)
    throw IndexError(std::string(op) +
                     "(): When source is scalar, index should have one element (got " +
                     std::to_string(k) + ")");
  Shape want = self.shape;
  if (!want.empty()) want[static_cast<size_t>(d)] = k;
  const bool scalar_ok = self.shape.empty() && k == 1 && shape_numel(src.shape) == 1;
  if (src.shape != want && !scalar_ok)
    throw std::runtime_error(std::string(op) + "(): source of shape " + shape_str(src.shape) +
                             " does not match self " + shape_str(self.shape) + " with " +
                             std::to_string(k) + " indices along dimension " + std::to_string(d) +
                             " (expected " + shape_str(want) + ")");
}

// Scatter over the positions of a source shaped like self but k along dim.
LimbTensor index_scatter(const LimbTensor& self, int64_t d, const at::Tensor& ix,
                         const LimbTensor& src, bool one_value, Combine combine, IndexCheck check,
                         const char* op) {
  Scatter s;
  s.dim = d;
  s.walk = self.shape;
  if (!s.walk.empty()) s.walk[static_cast<size_t>(d)] = ix.numel();
  s.index = ix;
  s.index_strides.assign(s.walk.size(), 0);
  if (!s.walk.empty()) s.index_strides[static_cast<size_t>(d)] = 1;
  s.src = src;
  s.src_strides =
      one_value ? std::vector<int64_t>(s.walk.size(), 0) : contiguous_row_strides(s.walk);
  s.combine = combine;
  s.check = check;
  s.op = op;
  return released([&] { return scatter_rows(self, s); });
}

// The scatter family's checks: index of self's rank, no larger than self off
// dim nor than src anywhere.
void check_scatter_shapes(const LimbTensor& self, int64_t d, const at::Tensor& ix,
                          const LimbTensor* src, const char* op) {
  const int64_t nd = static_cast<int64_t>(self.shape.size());
  if (ix.dim() != nd && !(nd == 0 && ix.dim() <= 1) && ix.numel() != 0)
    throw std::runtime_error(std::string(op) +
                             "(): Index tensor must have the same number of dimensions as self "
                             "tensor, got " +
                             std::to_string(ix.dim()) + " and " + std::to_string(nd));
  if (src && static_cast<int64_t>(src->shape.size()) != ix.dim() && ix.numel() != 0 &&
      !(nd == 0 && src->shape.size() <= 1))
    throw std::runtime_error(std::string(op) +
                             "(): Index tensor must have the same number of dimensions as src "
                             "tensor, got " +
                             std::to_string(ix.dim()) + " and " +
                             std::to_string(src->shape.size()));
  if (ix.numel() == 0 || nd == 0) return;
  for (int64_t a = 0; a < nd; ++a) {
    const bool over_self = a != d && ix.size(a) > self.shape[static_cast<size_t>(a)];
    const bool over_src = src && ix.size(a) > src->shape[static_cast<size_t>(a)];
    if (over_self || over_src)
      throw std::runtime_error(
          std::string(op) + "(): Expected index " + shape_str(shape_of(ix)) +
          " to be smaller than self " + shape_str(self.shape) + " apart from dimension " +
          std::to_string(d) +
          (src ? " and to be smaller size than src " + shape_str(src->shape) : std::string()));
  }
}

LimbTensor scatter_along(const LimbTensor& self, int64_t d, const at::Tensor& ix,
                         const LimbTensor& src, bool one_value, Combine combine, bool mean,
                         bool include_self, const char* op) {
  check_scatter_shapes(self, d, ix, one_value ? nullptr : &src, op);
  if (ix.numel() == 0) return clone(self);
  if (self.shape.empty() && ix.numel() != 1)
    throw std::runtime_error(std::string(op) + "(): a 0-d self takes one index, got " +
                             std::to_string(ix.numel()));
  Scatter s;
  s.dim = d;
  s.index = self.shape.empty() ? ix.reshape({1}) : ix;
  s.walk = self.shape.empty() ? Shape{} : shape_of(ix);
  s.index_strides = contiguous_row_strides(s.walk);
  s.src = src;
  if (one_value || self.shape.empty())
    s.src_strides.assign(s.walk.size(), 0);
  else
    s.src_strides = contiguous_row_strides(src.shape);
  s.combine = combine;
  s.mean = mean;
  s.include_self = include_self;
  s.check = IndexCheck::Scatter;
  s.op = op;
  return released([&] { return scatter_rows(self, s); });
}

Combine reduce_mode(py::handle reduce, const char* op, bool& mean) {
  mean = false;
  if (!PyUnicode_Check(reduce.ptr()))
    throw TypeError(std::string(op) + "(): argument 'reduce' must be str, not " +
                    type_name(reduce));
  const std::string r = reduce.cast<std::string>();
  if (r == "sum") return Combine::Add;
  if (r == "prod") return Combine::Mul;
  if (r == "amax") return Combine::Max;
  if (r == "amin") return Combine::Min;
  if (r == "mean") {
    mean = true;
    return Combine::Add;
  }
  throw std::runtime_error(
      std::string(op) + "(): reduce argument must be either sum, prod, mean, amax or amin, got " +
      r);
}

// Positions (row-major, flat) of self, picked as self[indices] picks them.
at::Tensor picked_positions(const LimbTensor& self, py::handle indices, Shape& shape,
                            const char* op) {
  if (!PyTuple_Check(indices.ptr()) && !PyList_Check(indices.ptr()))
    throw TypeError(std::string(op) + "(): argument 'indices' must be tuple of Tensors, not " +
                    type_name(indices));
  check_limbs(self.data, self.shape, op);
  const int64_t n = self.data.size(0);
  at::Tensor pos = at::zeros({n, limbs::kLimbs}, at::TensorOptions().dtype(at::kDouble));
  pos.select(1, 0).copy_(at::arange(n, at::TensorOptions().dtype(at::kDouble)));
  py::object positions = py::cast(LimbTensor{pos, self.shape});
  py::object picked =
      positions.attr("__getitem__")(py::tuple(py::reinterpret_borrow<py::sequence>(indices)));
  const LimbTensor& p = picked.cast<const LimbTensor&>();
  shape = p.shape;
  return p.data.select(1, 0).to(at::kLong).contiguous();
}

// self.flat[positions[i]] combined with values.flat[i], i in order.
LimbTensor put_flat(const LimbTensor& self, const at::Tensor& positions, const LimbTensor& values,
                    Combine combine, IndexCheck check, const char* op) {
  Scatter s;
  s.dim = 0;
  s.walk = Shape{positions.numel()};
  s.index = positions.reshape({-1});
  s.index_strides = {1};
  s.src = values;
  s.src_strides = {1};
  s.combine = combine;
  s.check = check;
  s.op = op;
  const LimbTensor flat{self.data, Shape{self.data.size(0)}};
  LimbTensor out = released([&] { return scatter_rows(flat, s); });
  out.shape = self.shape;
  return out;
}

LimbTensor broadcast_value(const LimbTensor& v, const Shape& to, const char* op) {
  check_limbs(v.data, v.shape, op);
  if (v.shape == to) return v;
  try {
    return clone(expand(v, std::vector<int64_t>(to.begin(), to.end())));
  } catch (const std::exception&) {
    throw std::runtime_error(std::string(op) + "(): shape mismatch: value tensor of shape " +
                             shape_str(v.shape) +
                             " cannot be broadcast to indexing result of shape " + shape_str(to));
  }
}

// self.<name>(...) then written into self, as the in-place operators do.
void bind_in_place(TensorClass& cls, const char* name, const char* doc) {
  const std::string base(name, std::strlen(name) - 1);
  cls.def(
      name,
      [base, name](py::handle self, py::args args, py::kwargs kwargs) {
        const LimbTensor t = tensor_arg(self, name, "self");
        py::object result = self.attr(base.c_str())(*args, **kwargs);
        const LimbTensor r = result.cast<LimbTensor>();
        py::object history = before_write(self, result, name);
        released([&] { assign(t, r, name); });
        after_write(self, history);
        return py::reinterpret_borrow<py::object>(self);
      },
      doc);
}

py::object forward(py::handle input, const char* name, py::args args, py::kwargs kwargs) {
  tensor_arg(input, name, "input");
  return py::reinterpret_borrow<py::object>(input).attr(name)(*args, **kwargs);
}

void bind_conversions(TensorClass& cls) {
  cls.def(
      "long",
      [](const LimbTensor& t, py::handle) {
        return released([&] {
          return to_integers(t, at::kLong, std::numeric_limits<int64_t>::min(),
                             std::numeric_limits<int64_t>::max(), "long");
        });
      },
      py::arg("memory_format") = py::none(),
      "An int64 torch tensor: each exact value truncated toward zero (NaN, infinities and values "
      "outside int64 raise RuntimeError).");
  cls.def(
      "int",
      [](const LimbTensor& t, py::handle) {
        return released([&] {
          return to_integers(t, at::kInt, std::numeric_limits<int32_t>::min(),
                             std::numeric_limits<int32_t>::max(), "int");
        });
      },
      py::arg("memory_format") = py::none(),
      "An int32 torch tensor: each exact value truncated toward zero (NaN, infinities and values "
      "outside int32 raise RuntimeError).");
  // The narrow integer types wrap as PyTorch's conversions do (through int64).
  struct Narrow {
    const char* name;
    at::ScalarType type;
    const char* doc;
  };
  static const Narrow narrow[] = {
      {"short", at::kShort,
       "An int16 torch tensor: each exact value truncated toward zero, then wrapped as PyTorch's "
       "conversion does (NaN, infinities and values outside int64 raise RuntimeError)."},
      {"char", at::kChar,
       "An int8 torch tensor: each exact value truncated toward zero, then wrapped as PyTorch's "
       "conversion does (NaN, infinities and values outside int64 raise RuntimeError)."},
      {"byte", at::kByte,
       "A uint8 torch tensor: each exact value truncated toward zero, then wrapped as PyTorch's "
       "conversion does (NaN, infinities and values outside int64 raise RuntimeError)."}};
  for (const Narrow& n : narrow)
    cls.def(
        n.name,
        [n](const LimbTensor& t, py::handle) {
          return released([&] {
            return to_integers(t, at::kLong, std::numeric_limits<int64_t>::min(),
                               std::numeric_limits<int64_t>::max(), n.name)
                .to(n.type);
          });
        },
        py::arg("memory_format") = py::none(), n.doc);
  cls.def(
      "bool", [](const LimbTensor& t, py::handle) { return released([&] { return to_bools(t); }); },
      py::arg("memory_format") = py::none(),
      "A bool torch tensor: True where the exact value is not zero (NaN included).");
}

void bind_index_family(TensorClass& cls) {
  cls.def(
      "index_add",
      [](const LimbTensor& self, py::handle dim, py::handle index, py::handle source,
         py::handle alpha) {
        const char* op = "index_add";
        const int64_t d = dim_arg(dim, self, op);
        const at::Tensor ix = vector_index(index, op);
        LimbTensor src = tensor_arg(source, op, "source");
        check_index_source(self, d, ix.numel(), src, op);
        if (!is_py_number(alpha))
          throw TypeError("index_add(): argument 'alpha' must be Number, not " + type_name(alpha));
        const bool unit = PyLong_Check(alpha.ptr()) && !PyBool_Check(alpha.ptr()) &&
                          py::int_(py::reinterpret_borrow<py::object>(alpha)).equal(py::int_(1));
        if (!unit) {
          const double a = number_value(alpha);
          src = released([&] { return mul_scalar(src, a); });
        }
        return index_scatter(self, d, ix, src, false, Combine::Add, IndexCheck::IndexAdd, op);
      },
      py::arg("dim"), py::arg("index"), py::arg("source"), py::kw_only(), py::arg("alpha") = 1,
      "self with alpha * source added at index along dim; repeated indices add in the order of "
      "source's positions.");
  cls.def(
      "index_copy",
      [](const LimbTensor& self, py::handle dim, py::handle index, py::handle source) {
        const char* op = "index_copy";
        const int64_t d = dim_arg(dim, self, op);
        const at::Tensor ix = vector_index(index, op);
        const LimbTensor src = tensor_arg(source, op, "source");
        check_index_source(self, d, ix.numel(), src, op);
        return index_scatter(self, d, ix, src, false, Combine::Copy, IndexCheck::IndexCopy, op);
      },
      py::arg("dim"), py::arg("index"), py::arg("source"),
      "self with the slices of source copied to index along dim (the last of repeated indices "
      "wins).");
  cls.def(
      "index_fill",
      [](const LimbTensor& self, py::handle dim, py::handle index, py::handle value) {
        const char* op = "index_fill";
        const int64_t d = dim_arg(dim, self, op);
        const at::Tensor ix = vector_index(index, op);
        const LimbTensor v = scalar_value(value, self, op);
        return index_scatter(self, d, ix, v, true, Combine::Copy, IndexCheck::Wrapping, op);
      },
      py::arg("dim"), py::arg("index"), py::arg("value"),
      "self with value (all its limbs) at index along dim; negative indices count from the end.");
  cls.def(
      "index_put",
      [](const LimbTensor& self, py::handle indices, py::handle values, py::handle accumulate) {
        const char* op = "index_put";
        const LimbTensor v = tensor_arg(values, op, "values");
        Shape picked;
        at::Tensor positions;
        {
          NoRecording quiet;
          positions = picked_positions(self, indices, picked, op);
        }
        const LimbTensor wide = broadcast_value(v, picked, op);
        return put_flat(self, positions, wide, truth(accumulate) ? Combine::Add : Combine::Copy,
                        IndexCheck::Wrapping, op);
      },
      py::arg("indices"), py::arg("values"), py::arg("accumulate") = false,
      "self with values put at self[indices]; with accumulate, repeated places add in the order "
      "of the selection.");
  cls.def(
      "put",
      [](const LimbTensor& self, py::handle index, py::handle source, py::handle accumulate) {
        const char* op = "put";
        check_limbs(self.data, self.shape, op);
        const at::Tensor ix = index_arg(index, op, false);
        const LimbTensor src = tensor_arg(source, op, "source");
        check_limbs(src.data, src.shape, op);
        if (shape_numel(src.shape) != ix.numel())
          throw IndexError(
              "put(): Expected source and index to have the same number of elements, but got "
              "source.numel() = " +
              std::to_string(shape_numel(src.shape)) +
              ", index.numel() = " + std::to_string(ix.numel()));
        return put_flat(self, ix, src, truth(accumulate) ? Combine::Add : Combine::Copy,
                        IndexCheck::Wrapping, op);
      },
      py::arg("index"), py::arg("source"), py::arg("accumulate") = false,
      "self with source put at the flat indices; with accumulate, repeated indices add in index "
      "order.");
  cls.def(
      "masked_scatter",
      [](const LimbTensor& self, py::handle mask, py::handle source) {
        const char* op = "masked_scatter";
        check_limbs(self.data, self.shape, op);
        if (py::isinstance<LimbTensor>(mask))  // a mask of float elements: PyTorch's dtype error
          throw std::runtime_error(
              "masked_scatter_ only supports boolean masks, but got mask with "
              "dtype float64");
        if (!is_torch_tensor(mask))
          throw TypeError("masked_scatter(): argument 'mask' must be a torch bool tensor, not " +
                          type_name(mask));
        const at::Tensor m = torch_tensor_of(mask).to(at::kCPU);
        if (m.scalar_type() != at::kBool)
          throw std::runtime_error("masked_scatter(): expected a bool mask, got dtype " +
                                   dtype_name(m));
        const LimbTensor src = tensor_arg(source, op, "source");
        check_limbs(src.data, src.shape, op);
        // A mask that broadcasts beyond self widens the result, as in PyTorch.
        LimbTensor base = self;
        if (m.dim() > static_cast<int64_t>(self.shape.size())) {
          Shape wide;
          try {
            wide = broadcast_shapes(self.shape, shape_of(m));
          } catch (const std::exception&) {
            wide = self.shape;  // check_broadcasts_into reports it
          }
          if (wide != self.shape)
            base = clone(expand(self, std::vector<int64_t>(wide.begin(), wide.end())));
        }
        check_broadcasts_into(shape_of(m), base.shape, op);
        const at::Tensor positions =
            at::arange(base.data.size(0), at::TensorOptions().dtype(at::kLong))
                .masked_select(m.expand(base.shape).reshape({-1}));
        if (positions.numel() > shape_numel(src.shape))
          throw std::runtime_error(
              "masked_scatter(): Number of elements of source < number of ones in mask");
        const LimbTensor flat{src.data, Shape{src.data.size(0)}};
        return put_flat(base, positions, flat, Combine::Copy, IndexCheck::Wrapping, op);
      },
      py::arg("mask"), py::arg("source"),
      "self with the elements of source, in order, where mask is True.");
}

void bind_scatter_family(TensorClass& cls) {
  cls.def(
      "scatter",
      [](const LimbTensor& self, py::handle dim, py::handle index, py::handle src, py::handle value,
         py::handle reduce) {
        const char* op = "scatter";
        const int64_t d = dim_arg(dim, self, op);
        const at::Tensor ix = index_arg(index, op, false);
        if (src.is_none() == value.is_none())
          throw TypeError("scatter(): expected exactly one of 'src' (a Tensor) and 'value'");
        Combine combine = Combine::Copy;
        if (!reduce.is_none()) {
          const std::string r = PyUnicode_Check(reduce.ptr()) ? reduce.cast<std::string>() : "";
          if (r == "add")
            combine = Combine::Add;
          else if (r == "multiply")
            combine = Combine::Mul;
          else
            throw std::runtime_error("scatter(): reduce argument must be either add or multiply.");
        }
        // A number in the src place is PyTorch's value overload.
        py::handle given = value.is_none() ? src : value;
        if (py::isinstance<LimbTensor>(given) && value.is_none()) {
          const LimbTensor s = given.cast<LimbTensor>();
          check_limbs(s.data, s.shape, op);
          return scatter_along(self, d, ix, s, false, combine, false, true, op);
        }
        const LimbTensor v = scalar_value(given, self, op);
        return scatter_along(self, d, ix, v, true, combine, false, true, op);
      },
      py::arg("dim"), py::arg("index"), py::arg("src") = py::none(), py::kw_only(),
      py::arg("value") = py::none(), py::arg("reduce") = py::none(),
      "self with src (or value) written at index along dim; reduce='add' or 'multiply' combines "
      "instead, in index order.");
  cls.def(
      "scatter_add",
      [](const LimbTensor& self, py::handle dim, py::handle index, py::handle src) {
        const char* op = "scatter_add";
        const int64_t d = dim_arg(dim, self, op);
        const at::Tensor ix = index_arg(index, op, false);
        const LimbTensor s = tensor_arg(src, op, "src");
        check_limbs(s.data, s.shape, op);
        return scatter_along(self, d, ix, s, false, Combine::Add, false, true, op);
      },
      py::arg("dim"), py::arg("index"), py::arg("src"),
      "self with src added at index along dim, in the row-major order of index.");
  cls.def(
      "scatter_reduce",
      [](const LimbTensor& self, py::handle dim, py::handle index, py::handle src,
         py::handle reduce, py::handle include_self) {
        const char* op = "scatter_reduce";
        const int64_t d = dim_arg(dim, self, op);
        const at::Tensor ix = index_arg(index, op, false);
        const LimbTensor s = tensor_arg(src, op, "src");
        check_limbs(s.data, s.shape, op);
        bool mean = false;
        const Combine combine = reduce_mode(reduce, op, mean);
        return scatter_along(self, d, ix, s, false, combine, mean, truth(include_self), op);
      },
      py::arg("dim"), py::arg("index"), py::arg("src"), py::arg("reduce"), py::kw_only(),
      py::arg("include_self") = true,
      "self with src reduced in at index along dim ('sum', 'prod', 'mean', 'amax', 'amin'), in "
      "the row-major order of index; amax and amin on the exact values.");
  cls.def(
      "take_along_dim",
      [](const LimbTensor& self, py::handle indices, py::handle dim) {
        const char* op = "take_along_dim";
        check_limbs(self.data, self.shape, op);
        at::Tensor ix = index_arg(indices, op, false, "indices");
        if (dim.is_none()) {
          const LimbTensor flat{self.data, Shape{self.data.size(0)}};
          const at::Tensor fi = ix.reshape({-1});
          const int64_t n = self.data.size(0);
          if (fi.numel() && (fi.min().item<int64_t>() < 0 || fi.max().item<int64_t>() >= n)) {
            const int64_t bad =
                fi.min().item<int64_t>() < 0 ? fi.min().item<int64_t>() : fi.max().item<int64_t>();
            throw std::runtime_error("take_along_dim(): index " + std::to_string(bad) +
                                     " is out of bounds for dimension 0 with size " +
                                     std::to_string(n));
          }
          return released([&] { return gather(flat, 0, fi); });
        }
        const int64_t d = dim_arg(dim, self, op);
        const int64_t nd = static_cast<int64_t>(self.shape.size());
        if (ix.dim() != nd)
          throw std::runtime_error(
              "take_along_dim(): input and indices should have the same number of dimensions, "
              "but got " +
              std::to_string(nd) + " dimensions for input, and " + std::to_string(ix.dim()) +
              " dimensions for indices");
        if (nd == 0) return released([&] { return gather(self, 0, ix); });
        Shape a = self.shape, b = shape_of(ix);
        a[static_cast<size_t>(d)] = b[static_cast<size_t>(d)];
        Shape wide;
        try {
          wide = broadcast_shapes(a, b);
        } catch (const std::exception& e) {
          throw std::runtime_error(std::string("take_along_dim(): ") + e.what());
        }
        Shape self_wide = wide, ix_wide = wide;
        self_wide[static_cast<size_t>(d)] = self.shape[static_cast<size_t>(d)];
        ix_wide[static_cast<size_t>(d)] = b[static_cast<size_t>(d)];
        ix = ix.expand(ix_wide).contiguous();
        const int64_t n = self.shape[static_cast<size_t>(d)];
        if (ix.numel() && (ix.min().item<int64_t>() < 0 || ix.max().item<int64_t>() >= n)) {
          const int64_t bad =
              ix.min().item<int64_t>() < 0 ? ix.min().item<int64_t>() : ix.max().item<int64_t>();
          throw std::runtime_error("take_along_dim(): index " + std::to_string(bad) +
                                   " is out of bounds for dimension " + std::to_string(d) +
                                   " with size " + std::to_string(n));
        }
        const LimbTensor src =
            self.shape == self_wide
                ? self
                : expand(self, std::vector<int64_t>(self_wide.begin(), self_wide.end()));
        return released([&] { return gather(src, d, ix); });
      },
      py::arg("indices"), py::arg("dim") = py::none(),
      "The elements at indices along dim (input and indices broadcast off dim); without dim, of "
      "the flattened input.");
  for (const char* name : {"index_add_", "index_copy_", "index_fill_", "index_put_", "put_",
                           "masked_scatter_", "scatter_", "scatter_add_", "scatter_reduce_"})
    bind_in_place(cls, name,
                  "In place: the operation without the trailing underscore, written into self.");
}

void bind_module_forms(Module& m) {
  struct Forward {
    const char* name;
    const char* doc;
  };
  for (const Forward& f :
       {Forward{"index_add", "input with alpha * source added at index along dim."},
        Forward{"index_copy", "input with source's slices copied to index along dim."},
        Forward{"index_fill", "input with value at index along dim."},
        Forward{"index_put", "input with values put at input[indices]."},
        Forward{"put", "input with source put at the flat indices."},
        Forward{"masked_scatter", "input with source's elements where mask is True."},
        Forward{"scatter", "input with src (or value) written at index along dim."},
        Forward{"scatter_add", "input with src added at index along dim."},
        Forward{"scatter_reduce", "input with src reduced in at index along dim."},
        Forward{"take_along_dim", "The elements of input at indices along dim."}}) {
    const char* name = f.name;
    m.def(
        name,
        [name](py::handle input, py::args args, py::kwargs kwargs) {
          return forward(input, name, args, kwargs);
        },
        py::arg("input"), f.doc);
  }
}

LimbTensor values_arg(py::handle v, const LimbTensor& like, const char* op, const char* name) {
  if (py::isinstance<LimbTensor>(v)) {
    const LimbTensor t = v.cast<LimbTensor>();
    check_limbs(t.data, t.shape, op);
    return t;
  }
  if (is_py_number(v) && !PyBool_Check(v.ptr())) return from_python(v, device_of(like, op));
  throw TypeError(std::string(op) + "(): argument '" + name + "' must be Tensor or Number, not " +
                  type_name(v));
}

py::object search(const LimbTensor& sorted, py::handle input, bool right, bool out_int32,
                  py::handle sorter, const char* op) {
  check_limbs(sorted.data, sorted.shape, op);
  const LimbTensor values = values_arg(input, sorted, op, "input");
  if (sorted.shape.empty())
    throw std::runtime_error(std::string(op) +
                             "(): boundaries tensor should have positive dimension, but got 0 "
                             "dimension");
  if (sorted.shape.size() > 1) {
    const Shape lead(sorted.shape.begin(), sorted.shape.end() - 1);
    const Shape vlead =
        values.shape.empty() ? Shape{} : Shape(values.shape.begin(), values.shape.end() - 1);
    if (lead != vlead)
      throw std::runtime_error(std::string(op) +
                               "(): boundaries tensor should be 1 dimension or the first N-1 "
                               "dimensions of boundaries tensor and input value tensor must "
                               "match, but we got boundaries tensor " +
                               shape_str(sorted.shape) + " and input value tensor " +
                               shape_str(values.shape));
  }
  at::Tensor order;
  if (!sorter.is_none()) {
    order = index_arg(sorter, op, false, "sorter");
    if (shape_of(order) != sorted.shape)
      throw std::runtime_error(std::string(op) +
                               "(): boundary and sorter must have the same size, but got "
                               "boundary tensor " +
                               shape_str(sorted.shape) + " and got sorter tensor " +
                               shape_str(shape_of(order)));
    const int64_t len = sorted.shape.back();
    if (order.numel() && (order.min().item<int64_t>() < 0 || order.max().item<int64_t>() >= len))
      throw std::runtime_error(std::string(op) + "(): sorter index out of range");
  }
  return py::cast(released([&] { return search_sorted(sorted, values, order, right, out_int32); }));
}

bool side_of(py::handle right, py::handle side, const char* op) {
  const bool r = truth(right);
  if (side.is_none()) return r;
  const std::string s = PyUnicode_Check(side.ptr()) ? side.cast<std::string>() : "";
  if (s != "left" && s != "right")
    throw std::runtime_error(std::string(op) + "(): side can only be 'left' or 'right' but got " +
                             py::str(side).cast<std::string>());
  if (r && s == "left")
    throw std::runtime_error(std::string(op) +
                             "(): side and right can't be set to opposites, got side of left "
                             "while right was True");
  return s == "right";
}

void bind_counting(Module& m, TensorClass& cls) {
  m.def(
      "searchsorted",
      [](py::handle sorted_sequence, py::handle input, bool out_int32, py::handle right,
         py::handle side, py::handle sorter) {
        const char* op = "searchsorted";
        const LimbTensor s = tensor_arg(sorted_sequence, op, "sorted_sequence");
        return search(s, input, side_of(right, side, op), out_int32, sorter, op);
      },
      py::arg("sorted_sequence"), py::arg("input"), py::kw_only(), py::arg("out_int32") = false,
      py::arg("right") = false, py::arg("side") = py::none(), py::arg("sorter") = py::none(),
      "Insertion points of input in the innermost rows of sorted_sequence, on the exact values: "
      "an int64 (or int32) torch tensor.");
  m.def(
      "bucketize",
      [](py::handle input, py::handle boundaries, bool out_int32, py::handle right) {
        const char* op = "bucketize";
        const LimbTensor b = tensor_arg(boundaries, op, "boundaries");
        check_limbs(b.data, b.shape, op);
        if (b.shape.size() != 1)
          throw std::runtime_error(
              "bucketize(): boundaries tensor must be 1 dimension, but got dim(" +
              std::to_string(b.shape.size()) + ")");
        return search(b, input, truth(right), out_int32, py::none(), op);
      },
      py::arg("input"), py::arg("boundaries"), py::kw_only(), py::arg("out_int32") = false,
      py::arg("right") = false,
      "The bucket of each element of input among increasing boundaries, on the exact values.");
  m.def(
      "bincount",
      [](py::handle input, py::handle weights, py::handle minlength) -> py::object {
        const char* op = "bincount";
        if (!is_torch_tensor(input))
          throw TypeError("bincount(): argument 'input' must be an integer torch tensor, not " +
                          type_name(input));
        const int64_t minlen = int_arg(minlength, op, "minlength");
        // PyTorch validates input and minlength and counts.
        py::object counts = torch_module().attr("bincount")(input, py::arg("minlength") = minlen);
        if (weights.is_none()) return counts;
        const LimbTensor w = tensor_arg(weights, op, "weights");
        check_limbs(w.data, w.shape, op);
        const at::Tensor bins = torch_tensor_of(input).to(at::kCPU).to(at::kLong).contiguous();
        if (w.shape.size() != 1 || w.shape[0] != bins.numel())
          throw std::runtime_error(
              "bincount(): weights should be 1-d and have the same length as input");
        const int64_t nbins = torch_tensor_of(counts).numel();
        return py::cast(released([&] { return bin_sums(bins, w, nbins); }));
      },
      py::arg("input"), py::arg("weights") = py::none(), py::arg("minlength") = 0,
      "Counts of each value of a non-negative int torch tensor (an int64 torch tensor), or the "
      "sums of weights per value in index order (a Tensor).");
  auto histc = [](const LimbTensor& t, py::handle bins, py::handle min, py::handle max) {
    const char* op = "histc";
    check_limbs(t.data, t.shape, op);
    const int64_t n = int_arg(bins, op, "bins");
    if (n <= 0) throw std::runtime_error("histc(): bins must be > 0, but got " + std::to_string(n));
    limbs::Row lo = limbs::from_double(float_arg(min, op, "min"));
    limbs::Row hi = limbs::from_double(float_arg(max, op, "max"));
    if (lo.l[0] > hi.l[0]) throw std::runtime_error("histc(): max must be larger than min");
    if (lo.l[0] == hi.l[0]) {
      if (!released([&] { return value_range(t, lo, hi); })) lo = hi = limbs::zero_row();
      widen_empty_range(lo, hi, 1.0);
    }
    if (!std::isfinite(limbs::approx(lo)) || !std::isfinite(limbs::approx(hi)))
      throw std::runtime_error("histc(): range of [" + std::to_string(limbs::approx(lo)) + ", " +
                               std::to_string(limbs::approx(hi)) + "] is not finite");
    const at::Device dev = device_of(t, op);
    return released(
        [&] { return histogram_counts(t, even_edges(lo, hi, n, dev), nullptr, false); });
  };
  m.def("histc", histc, py::arg("input"), py::arg("bins") = 100, py::arg("min") = 0,
        py::arg("max") = 0,
        "Counts of the elements in bins equal-width bins between min and max (their range when "
        "min == max); elements outside are left out.");
  cls.def("histc", histc, py::arg("bins") = 100, py::arg("min") = 0, py::arg("max") = 0,
          "Counts of the elements in bins equal-width bins between min and max.");
  static py::object histogram_type = return_type("histogram", {"hist", "bin_edges"});
  auto histogram = [](const LimbTensor& t, py::handle bins, py::handle range, py::handle weight,
                      py::handle density) {
    const char* op = "histogram";
    check_limbs(t.data, t.shape, op);
    LimbTensor edges;
    const at::Device dev = device_of(t, op);
    if (py::isinstance<LimbTensor>(bins)) {
      edges = bins.cast<LimbTensor>();
      check_limbs(edges.data, edges.shape, op);
      if (edges.shape.size() != 1 || edges.shape[0] < 1)
        throw std::runtime_error(
            "histogram(): bins tensor should have one dimension and at least "
            "1 element, but got shape " +
            shape_str(edges.shape));
      edges = clone(edges);
    } else {
      const int64_t n = int_arg(bins, op, "bins");
      if (n <= 0)
        throw std::runtime_error("histogram(): bins must be > 0, but got " + std::to_string(n));
      limbs::Row lo = limbs::zero_row(), hi = limbs::from_double(1.0);
      if (!range.is_none()) {
        if (!PyTuple_Check(range.ptr()) && !PyList_Check(range.ptr()))
          throw TypeError("histogram(): argument 'range' must be a tuple of two floats");
        py::sequence r = py::reinterpret_borrow<py::sequence>(range);
        if (py::len(r) != 2)
          throw TypeError("histogram(): argument 'range' must be a tuple of two floats");
        lo = limbs::from_double(float_arg(r[0], op, "range"));
        hi = limbs::from_double(float_arg(r[1], op, "range"));
        if (lo.l[0] > hi.l[0])
          throw std::runtime_error("histogram(): min should not exceed max, but got min " +
                                   std::to_string(lo.l[0]) + " max " + std::to_string(hi.l[0]));
      } else if (!released([&] { return value_range(t, lo, hi); })) {
        lo = limbs::zero_row();
        hi = limbs::from_double(1.0);
      }
      widen_empty_range(lo, hi, 0.5);
      if (!std::isfinite(limbs::approx(lo)) || !std::isfinite(limbs::approx(hi)))
        throw std::runtime_error("histogram(): range of [" + std::to_string(limbs::approx(lo)) +
                                 ", " + std::to_string(limbs::approx(hi)) + "] is not finite");
      edges = released([&] { return even_edges(lo, hi, n, dev); });
    }
    LimbTensor w;
    if (!weight.is_none()) {
      w = tensor_arg(weight, op, "weight");
      check_limbs(w.data, w.shape, op);
      if (w.shape != t.shape)
        throw std::runtime_error(
            "histogram(): if weight tensor is provided it should have the "
            "same shape as the input tensor, got " +
            shape_str(w.shape) + " and " + shape_str(t.shape));
    }
    const bool dens = truth(density);
    LimbTensor hist =
        released([&] { return histogram_counts(t, edges, weight.is_none() ? nullptr : &w, dens); });
    return histogram_type(py::cast(std::move(hist)), py::cast(std::move(edges)));
  };
  m.def("histogram", histogram, py::arg("input"), py::arg("bins"), py::kw_only(),
        py::arg("range") = py::none(), py::arg("weight") = py::none(), py::arg("density") = false,
        "(hist, bin_edges): counts (or summed weights, in element order) of the elements in each "
        "bin, on the exact values.");
  cls.def("histogram", histogram, py::arg("bins"), py::kw_only(), py::arg("range") = py::none(),
          py::arg("weight") = py::none(), py::arg("density") = false,
          "(hist, bin_edges) of the elements.");
}

void bind_generators(Module& m) {
  for (const char* name : {"tril_indices", "triu_indices"}) {
    m.def(
        name,
        [name](py::args args, py::kwargs kwargs) {
          return torch_module().attr(name)(*args, **kwargs);
        },
        "PyTorch's own: the (2, N) int64 indices of the triangle of a row x col matrix.");
  }
  m.def(
      "combinations",
      [](const LimbTensor& input, py::handle r, py::handle with_replacement) -> py::object {
        const char* op = "combinations";
        check_limbs(input.data, input.shape, op);
        if (input.shape.size() != 1)
          throw std::runtime_error("combinations(): Expect a 1D vector, but got shape " +
                                   shape_str(input.shape));
        const int64_t k = int_arg(r, op, "r");
        if (k < 0)
          throw std::runtime_error("combinations(): Expect a non-negative number, but got " +
                                   std::to_string(k));
        if (k == 0)  // PyTorch gives an empty vector
          return py::cast(make_result(new_limbs(0, op), Shape{0}, device_of(input, op)));
        // The positions, from PyTorch's own combinations of 0..n-1.
        py::object positions = torch_module().attr("combinations")(
            torch_module().attr("arange")(input.shape[0]), py::arg("r") = k,
            py::arg("with_replacement") = truth(with_replacement));
        const at::Tensor ix = torch_tensor_of(positions).contiguous();
        return py::cast(released([&] { return index_advanced(input, {AdvancedItem::of(ix)}); }));
      },
      py::arg("input"), py::arg("r") = 2, py::arg("with_replacement") = false,
      "The length-r combinations of the elements of a vector, one per row.");
  m.def(
      "cartesian_prod",
      [](py::args tensors) -> py::object {
        const char* op = "cartesian_prod";
        std::vector<LimbTensor> ts;
        py::list aranges;
        for (size_t i = 0; i < tensors.size(); ++i) {
          if (!py::isinstance<LimbTensor>(tensors[i]))
            throw TypeError("cartesian_prod(): expected Tensors, but found element of type " +
                            type_name(tensors[i]) + " at pos " + std::to_string(i));
          ts.push_back(tensors[i].cast<LimbTensor>());
          check_limbs(ts.back().data, ts.back().shape, op);
          if (ts.back().shape.size() != 1)
            throw std::runtime_error("cartesian_prod(): Expect a 1D vector, but got shape " +
                                     shape_str(ts.back().shape));
          aranges.append(torch_module().attr("arange")(ts.back().shape[0]));
        }
        if (ts.empty()) throw std::runtime_error("cartesian_prod(): expects at least one tensor");
        if (ts.size() == 1) return py::reinterpret_borrow<py::object>(tensors[0]);
        const at::Tensor grid =
            torch_tensor_of(torch_module().attr("cartesian_prod")(*aranges)).contiguous();
        return py::cast(released([&] {
          std::vector<LimbTensor> columns;
          for (size_t j = 0; j < ts.size(); ++j)
            columns.push_back(index_advanced(
                ts[j], {AdvancedItem::of(grid.select(1, static_cast<int64_t>(j)).contiguous())}));
          return stack(columns, 1);
        }));
      },
      "The cartesian product of vectors: one row per combination, the last vector varying "
      "fastest.");
}

}  // namespace index_tools

void bind_index_tools(Module& m, TensorClass& cls) {
  using namespace index_tools;
  bind_conversions(cls);
  bind_index_family(cls);
  bind_scatter_family(cls);
  bind_module_forms(m);
  bind_counting(m, cls);
  bind_generators(m);
}

}  // namespace zel
