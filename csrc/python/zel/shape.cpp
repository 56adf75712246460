// Reshaping, transposition, joining, splitting, repetition and indexing:
// the Tensor members and the module functions.
#include <ATen/ops/equal.h>
#include <ATen/ops/nonzero.h>
#include <ATen/ops/zeros.h>
#include <limits>

#include "python/zel/bindings.h"
#include "python/shared/args.h"
#include "tensor/pointwise/arith.h"
#include "tensor/pointwise/pointwise.h"
#include "tensor/shape/shape.h"

namespace zel {

namespace {

py::list to_list(std::vector<LimbTensor> ts) {
  py::list out;
  for (LimbTensor& t : ts) out.append(py::cast(std::move(t)));
  return out;
}

std::vector<LimbTensor> tensor_list(py::handle v, const char* op) {
  if (!PyList_CheckExact(v.ptr())) raise_arg_type("tensors", "list", v);
  py::list l = py::reinterpret_borrow<py::list>(v);
  std::vector<LimbTensor> out;
  for (size_t i = 0; i < l.size(); ++i) {
    py::handle item = l[i];
    if (!py::isinstance<LimbTensor>(item))
      throw TypeError(std::string(op) +
                      "(): expected a list of Tensors, but found element of type " +
                      type_name(item) + " at pos " + std::to_string(i));
    out.push_back(item.cast<LimbTensor>());
  }
  return out;
}

IndexItem index_item(py::handle h) {
  IndexItem it{IndexItem::NewAxis};
  if (h.is_none()) return it;
  if (h.ptr() == Py_Ellipsis) {
    it.kind = IndexItem::Ellipsis;
    return it;
  }
  if (PySlice_Check(h.ptr())) {
    Py_ssize_t start, stop, step;
    if (PySlice_Unpack(h.ptr(), &start, &stop, &step) < 0) throw py::error_already_set();
    it.kind = IndexItem::Slice;
    it.start = start;
    it.stop = stop;
    it.step = step;
    return it;
  }
  // bool is an int to Python but a mask to PyTorch; tensors and sequences
  // would be advanced indexing. None of them is a basic index.
  if (!PyBool_Check(h.ptr()) && !is_torch_tensor(h) && !PySequence_Check(h.ptr()) &&
      PyIndex_Check(h.ptr())) {
    py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(h.ptr()));
    if (!i) throw py::error_already_set();
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (overflow) throw IndexError("index " + py::str(i).cast<std::string>() + " is out of bounds");
    it.kind = IndexItem::Int;
    it.start = x;
    return it;
  }
  throw TypeError("only integers, slices (`:`), ellipsis (`...`) and None are valid indices, got " +
                  type_name(h));
}

std::vector<IndexItem> parse_index(py::handle idx) {
  std::vector<IndexItem> items;
  if (!PyTuple_Check(idx.ptr())) {
    items.push_back(index_item(idx));
    return items;
  }
  for (py::handle h : py::reinterpret_borrow<py::tuple>(idx)) {
    if (PyTuple_Check(h.ptr())) throw TypeError("an index tuple cannot hold another tuple");
    items.push_back(index_item(h));
  }
  return items;
}

// A number assigned into a tensor is a fresh element (limb 0 only).
LimbTensor assigned_value(py::handle value) {
  if (is_py_number(value)) return from_python(value, at::Device(at::kCPU));
  if (py::isinstance<LimbTensor>(value)) return value.cast<LimbTensor>();
  PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '_data'",
               type_name(value).c_str());
  throw py::error_already_set();
}

// --- advanced indexing: index tensors, lists, masks ---

bool is_limb_tensor(py::handle h) { return py::isinstance<LimbTensor>(h); }

bool is_numpy_array(py::handle h) {
  py::object np = py::module_::import("sys").attr("modules").attr("get")("numpy");
  return !np.is_none() && py::isinstance(h, np.attr("ndarray"));
}

bool advanced_item(py::handle h) {
  return PyBool_Check(h.ptr()) || is_torch_tensor(h) || PyList_Check(h.ptr()) ||
         is_limb_tensor(h) || is_numpy_array(h);
}

// Whether idx needs advanced indexing; basic indices keep their own path.
bool is_advanced(py::handle idx) {
  if (!PyTuple_Check(idx.ptr())) return advanced_item(idx);
  for (py::handle h : py::reinterpret_borrow<py::tuple>(idx))
    if (advanced_item(h)) return true;
  return false;
}

// An index tensor: a torch tensor as it is; a Tensor's values, which must be
// integers (this library has no integer dtype); lists and arrays as
// torch.as_tensor makes them.
at::Tensor index_tensor(py::handle h, const char* op) {
  if (is_torch_tensor(h)) return torch_tensor_of(h);
  if (is_limb_tensor(h)) {
    const LimbTensor& t = h.cast<LimbTensor>();
    at::Tensor v = approx_values(t, op);
    if (!at::equal(v, v.trunc()))
      throw IndexError(std::string(op) + ": a Tensor used as an index must hold integers");
    return v.to(at::kLong);
  }
  return torch_tensor_of(py::module_::import("torch").attr("as_tensor")(h));
}

AdvancedItem advanced_index_item(py::handle h) {
  AdvancedItem a;
  if (PyBool_Check(h.ptr())) {
    a.kind = AdvancedItem::Bool;
    a.flag = h.ptr() == Py_True;
    return a;
  }
  if (advanced_item(h)) return AdvancedItem::of(index_tensor(h, "index"));
  a.basic = index_item(h);  // ints, slices, None and Ellipsis, with the basic path's errors
  if (a.basic.kind == IndexItem::Slice && a.basic.step <= 0)
    throw ValueError("step must be greater than zero");
  return a;
}

// A flat bool tensor of one entry per element (what comparisons return)
// selects elements in row-major order, whatever the rank.
at::Tensor mask_for(const at::Tensor& mask, const LimbTensor& t) {
  if (mask.scalar_type() == at::kBool && mask.dim() == 1 && t.shape.size() != 1 &&
      t.data.defined() && t.data.dim() == 2 && mask.size(0) == t.data.size(0))
    return mask.reshape(t.shape);
  return mask;
}

// PyTorch's (and old NumPy's) rule: a short list holding sequences,
// tensors, slices, Ellipsis or None is a tuple of indices, not one index.
bool list_as_tuple(py::handle idx) {
  if (!PyList_Check(idx.ptr()) || PyList_GET_SIZE(idx.ptr()) >= 32) return false;
  for (py::handle h : py::reinterpret_borrow<py::list>(idx))
    if (is_torch_tensor(h) || PySequence_Check(h.ptr()) || PySlice_Check(h.ptr()) ||
        h.ptr() == Py_Ellipsis || h.is_none())
      return true;
  return false;
}

AdvancedIndex advanced_index(py::handle idx_in, const LimbTensor& t) {
  AdvancedIndex out;
  py::object idx = list_as_tuple(idx_in)
                       ? py::object(py::tuple(py::reinterpret_borrow<py::list>(idx_in)))
                       : py::reinterpret_borrow<py::object>(idx_in);
  if (!PyTuple_Check(idx.ptr())) {
    AdvancedItem it = advanced_index_item(idx);
    if (it.kind == AdvancedItem::Tensor) it.tensor = mask_for(it.tensor, t);
    out.push_back(std::move(it));
    return out;
  }
  for (py::handle h : py::reinterpret_borrow<py::tuple>(idx)) {
    if (PyTuple_Check(h.ptr())) throw TypeError("an index tuple cannot hold another tuple");
    out.push_back(advanced_index_item(h));
  }
  return out;
}

// A bool mask argument of masked_fill/masked_select: a torch bool tensor.
at::Tensor mask_arg(py::handle mask, const LimbTensor& t, const char* op) {
  if (!is_torch_tensor(mask))
    throw TypeError(std::string(op) + "(): argument 'mask' must be a torch bool tensor, not " +
                    type_name(mask));
  at::Tensor m = torch_tensor_of(mask);
  if (m.scalar_type() != at::kBool)
    throw std::runtime_error(std::string(op) + "(): expected a bool mask, got dtype " +
                             std::string(c10::toString(m.scalar_type())));
  check_limbs(t.data, t.shape, op);
  return mask_for(m, t);
}

// A one-element value of masked_fill/fill_: a number or a Tensor (all limbs).
LimbTensor fill_value(py::handle value, const LimbTensor& t, const char* op) {
  LimbTensor v;
  if (!as_operand(value, device_of(t, op), v))
    throw TypeError(std::string(op) + "(): argument 'value' must be Number or Tensor, not " +
                    type_name(value));
  check_limbs(v.data, v.shape, op);
  // PyTorch takes a number or a 0-d tensor (a one-element 1-d tensor too is refused).
  if (!v.shape.empty())
    throw std::runtime_error(
        std::string(op) + "(): only supports a 0-dimensional value tensor, but got tensor with " +
        std::to_string(v.shape.size()) + " dimension(s).");
  return LimbTensor{v.data, Shape{}};
}

void masked_fill_in_place(const LimbTensor& t, const at::Tensor& mask, const LimbTensor& v,
                          const char* op) {
  const Shape ms(mask.sizes().begin(), mask.sizes().end());
  check_broadcasts_into(ms, t.shape, op);
  index_advanced_set(t, {AdvancedItem::of(mask.expand(t.shape))}, v);
}

py::object method(py::handle obj, const char* name) {
  return py::reinterpret_borrow<py::object>(obj).attr(name);
}

void bind_views(Module& m, TensorClass& cls) {
  auto reshape_method = [](LimbTensor t, const py::args& shape) {
    const std::vector<int64_t> target = int_list_args(shape, "reshape", "shape", TooBig::Value);
    LimbTensor self = t;
    return released([&] { return reshape(self, target); });
  };
  cls.def("reshape", reshape_method, "Reshape tensor.");
  cls.def("view", reshape_method, "Reshape tensor (same as reshape).");
  cls.def(
      "flatten",
      [](LimbTensor t, py::handle start_dim, py::handle end_dim) {
        const int64_t start = truncated_int(start_dim, "start_dim"),
                      end = truncated_int(end_dim, "end_dim");
        LimbTensor self = t;
        return released([&] { return flatten(self, start, end); });
      },
      py::arg("start_dim") = 0, py::arg("end_dim") = -1, "Flatten dimensions.");
  cls.def(
      "squeeze",
      [](LimbTensor t, py::handle dim) {
        LimbTensor self = t;
        if (dim.is_none()) return released([&] { return squeeze(self); });
        const int64_t d = truncated_int(dim, "dim");
        return released([&] { return squeeze_dim(self, d); });
      },
      py::arg("dim") = py::none(), "Remove dimensions of size 1.");
  cls.def(
      "unsqueeze",
      [](LimbTensor t, py::handle dim) {
        const int64_t d = truncated_int(dim, "dim");
        LimbTensor self = t;
        return released([&] { return unsqueeze(self, d); });
      },
      py::arg("dim"), "Add dimension of size 1.");
  cls.def(
      "expand",
      [](LimbTensor t, const py::args& sizes) {
        const std::vector<int64_t> s = int_list_args(sizes, "expand", "size", TooBig::Value);
        LimbTensor self = t;
        return released([&] { return expand(self, s); });
      },
      "Expand tensor to new shape.");
  cls.def(
      "transpose",
      [](LimbTensor t, py::handle dim0, py::handle dim1) {
        const int64_t d0 = truncated_int(dim0, "dim0"), d1 = truncated_int(dim1, "dim1");
        LimbTensor self = t;
        return released([&] { return transpose(self, d0, d1); });
      },
      py::arg("dim0"), py::arg("dim1"), "Transpose two dimensions.");
  cls.def_property_readonly("T",
                            py::cpp_function(
                                [](LimbTensor t) {
                                  LimbTensor self = t;
                                  return released([&] { return transpose(self, -2, -1); });
                                },
                                py::name("T"), Recorded{}),
                            "Matrix transpose.");

  cls.def(
      "__getitem__",
      [](LimbTensor t, py::handle idx) {
        LimbTensor self = t;
        if (is_advanced(idx)) {
          const AdvancedIndex index = advanced_index(idx, self);
          return released([&] { return index_advanced(self, index); });
        }
        const std::vector<IndexItem> index = parse_index(idx);
        return released([&] { return index_get(self, index); });
      },
      py::arg("idx"), "Index into tensor.");
  cls.def(
      "__setitem__",
      [](py::handle target, py::handle idx, py::handle value) {
        LimbTensor self = target.cast<LimbTensor>();
        before_write(target, py::none(), "__setitem__");
        if (is_advanced(idx)) {
          const AdvancedIndex index = advanced_index(idx, self);
          const LimbTensor v = assigned_value(value);
          released([&] { index_advanced_set(self, index, v); });
        } else {
          const std::vector<IndexItem> index = parse_index(idx);
          const LimbTensor v = assigned_value(value);
          released([&] { index_set(self, index, v); });
        }
        after_indexed_write(target, idx, value);
      },
      py::arg("idx"), py::arg("value"), "Set values in tensor.");
}

void bind_selections(Module& m, TensorClass& cls) {
  // --- selections by index tensors and masks (PyTorch's signatures) ---
  cls.def(
      "index_select",
      [](LimbTensor t, py::handle dim, py::handle index) {
        check_limbs(t.data, t.shape, "index_select");
        const int64_t d = wrap_dim(truncated_int(dim, "dim"), static_cast<int64_t>(t.shape.size()),
                                   "index_select");
        const at::Tensor ix = index_tensor(index, "index_select");
        if (ix.dim() > 1) throw IndexError("index_select(): Index is supposed to be a vector");
        if (ix.scalar_type() != at::kLong && ix.scalar_type() != at::kInt)
          throw std::runtime_error("index_select(): Expected dtype int32/int64 for index, got " +
                                   std::string(c10::toString(ix.scalar_type())));
        AdvancedItem all;
        all.basic = IndexItem{IndexItem::Slice, 0, std::numeric_limits<int64_t>::max(), 1};
        AdvancedIndex index_list(static_cast<size_t>(d), all);
        index_list.push_back(AdvancedItem::of(ix.reshape({-1})));
        LimbTensor self = t;
        if (t.shape.empty()) {
          // A 0-d tensor selects as a 1-element vector and stays 0-d, as in PyTorch.
          LimbTensor r = released([&] { return index_advanced(reshape(self, {1}), index_list); });
          if (r.shape == Shape{1}) r.shape = Shape{};
          return r;
        }
        return released([&] { return index_advanced(self, index_list); });
      },
      py::arg("dim"), py::arg("index"), "Elements at the given indices along dim.");
  cls.def(
      "gather",
      [](LimbTensor t, py::handle dim, py::handle index) {
        const int64_t d = truncated_int(dim, "dim");
        const at::Tensor ix = index_tensor(index, "gather");
        LimbTensor self = t;
        return released([&] { return gather(self, d, ix); });
      },
      py::arg("dim"), py::arg("index"),
      "torch.gather: out[i][j] = self[index[i][j]][j] for dim 0, and so on.");
  cls.def(
      "take",
      [](LimbTensor t, py::handle index) {
        check_limbs(t.data, t.shape, "take");
        const at::Tensor ix = index_tensor(index, "take");
        LimbTensor flat{t.data, Shape{t.data.size(0)}};
        return released([&] { return index_advanced(flat, {AdvancedItem::of(ix)}); });
      },
      py::arg("index"), "Elements at the given flat (row-major) indices, shaped like index.");
  cls.def(
      "masked_select",
      [](LimbTensor t, py::handle mask) {
        const at::Tensor m = mask_arg(mask, t, "masked_select");
        const Shape ms(m.sizes().begin(), m.sizes().end());
        const Shape out = broadcast_shapes(ms, t.shape);
        LimbTensor self = t;
        return released([&] {
          const LimbTensor wide = out == t.shape ? self : expand(self, out);
          return index_advanced(wide, {AdvancedItem::of(m.expand(out))});
        });
      },
      py::arg("mask"),
      "The elements where mask is True, as a 1-D tensor (mask and self broadcast).");
  cls.def(
      "masked_fill_",
      [](py::handle self_obj, py::handle mask, py::handle value) {
        const LimbTensor t = self_obj.cast<LimbTensor>();
        const at::Tensor m = mask_arg(mask, t, "masked_fill_");
        const LimbTensor v = fill_value(value, t, "masked_fill_");
        released([&] { masked_fill_in_place(t, m, v, "masked_fill_"); });
        return py::reinterpret_borrow<py::object>(self_obj);
      },
      py::arg("mask"), py::arg("value"), "In place: value (all its limbs) where mask is True.");
  cls.def(
      "masked_fill",
      [](LimbTensor t, py::handle mask, py::handle value) {
        // A mask that broadcasts beyond self widens the result, as in PyTorch.
        if (is_torch_tensor(mask) && t.data.defined()) {
          const at::Tensor mt = torch_tensor_of(mask);
          const Shape ms(mt.sizes().begin(), mt.sizes().end());
          // Only a mask of more dimensions than self can widen it (a flat
          // mask of self's elements, as the comparisons give, is left to mask_arg).
          if (ms.size() > t.shape.size()) {
            Shape wide;
            try {
              wide = broadcast_shapes(t.shape, ms);
            } catch (const std::exception&) {
              wide = t.shape;  // mask_arg reports it
            }
            if (wide != t.shape) t = expand(t, wide);
          }
        }
        const at::Tensor m = mask_arg(mask, t, "masked_fill");
        const LimbTensor v = fill_value(value, t, "masked_fill");
        LimbTensor self = t;
        return released([&] {
          LimbTensor out = clone(self);
          masked_fill_in_place(out, m, v, "masked_fill");
          return out;
        });
      },
      py::arg("mask"), py::arg("value"), "A copy with value (all its limbs) where mask is True.");
  cls.def(
      "nonzero",
      [](LimbTensor t, py::handle as_tuple) -> py::object {
        // Non-zero as the approximation sees it (NaN counts), as a mask does.
        at::Tensor v;
        {
          py::gil_scoped_release nogil;
          v = approx_values(t, "nonzero");
        }
        at::Tensor idx = at::nonzero(v.ne(0));
        const at::Device dev = t.data.device();
        if (!dev.is_cpu()) idx = idx.to(dev);
        if (!truth(as_tuple)) return py::cast(idx);
        py::tuple parts(static_cast<size_t>(std::max<int64_t>(idx.size(1), 1)));
        if (idx.size(1) == 0) parts[0] = py::cast(at::zeros({idx.size(0)}, idx.options()));
        for (int64_t a = 0; a < idx.size(1); ++a)
          parts[static_cast<size_t>(a)] = py::cast(idx.select(1, a).contiguous());
        return parts;
      },
      py::kw_only(), py::arg("as_tuple") = false,
      "Indices of the non-zero elements: an int64 torch tensor (count, ndim), or a tuple of index "
      "vectors.");
}

void bind_shape_functions(Module& m, TensorClass& cls) {
  m.def(
      "index_select",
      [](py::handle input, py::handle dim, py::handle index) {
        return method(input, "index_select")(dim, index);
      },
      py::arg("input"), py::arg("dim"), py::arg("index"),
      "Elements at the given indices along dim.");
  m.def(
      "gather",
      [](py::handle input, py::handle dim, py::handle index) {
        return method(input, "gather")(dim, index);
      },
      py::arg("input"), py::arg("dim"), py::arg("index"), "torch.gather on elements.");
  m.def(
      "take", [](py::handle input, py::handle index) { return method(input, "take")(index); },
      py::arg("input"), py::arg("index"), "Elements at the given flat indices.");
  m.def(
      "masked_select",
      [](py::handle input, py::handle mask) { return method(input, "masked_select")(mask); },
      py::arg("input"), py::arg("mask"), "The elements where mask is True.");
  m.def(
      "masked_fill",
      [](py::handle input, py::handle mask, py::handle value) {
        return method(input, "masked_fill")(mask, value);
      },
      py::arg("input"), py::arg("mask"), py::arg("value"), "A copy with value where mask is True.");
  m.def(
      "nonzero",
      [](py::handle input, py::handle as_tuple) {
        return method(input, "nonzero")(py::arg("as_tuple") = as_tuple);
      },
      py::arg("input"), py::kw_only(), py::arg("as_tuple") = false,
      "Indices of the non-zero elements.");

  // The forwarding functions call the method of whatever they are given, as
  // the element-wise module functions do.
  m.def(
      "reshape", [](py::handle input, py::handle shape) { return method(input, "reshape")(shape); },
      py::arg("input"), py::arg("shape"), "Reshape tensor.");
  m.def(
      "squeeze", [](py::handle input, py::handle dim) { return method(input, "squeeze")(dim); },
      py::arg("input"), py::arg("dim") = py::none(), "Remove dimensions of size 1.");
  m.def(
      "unsqueeze",
      [](py::handle input, py::handle dim) {
        return method(input, "unsqueeze")(truncated_int(dim, "dim"));
      },
      py::arg("input"), py::arg("dim"), "Add dimension of size 1.");
  m.def(
      "transpose",
      [](py::handle input, py::handle dim0, py::handle dim1) {
        return method(input, "transpose")(truncated_int(dim0, "dim0"), truncated_int(dim1, "dim1"));
      },
      py::arg("input"), py::arg("dim0"), py::arg("dim1"), "Transpose two dimensions.");

  m.def(
      "permute",
      [](py::handle input, py::handle dims) {
        const LimbTensor t = tensor_arg(input, "permute", "input");
        if (!PyTuple_Check(dims.ptr()) && !PyList_Check(dims.ptr()))
          throw TypeError("permute(): argument 'dims' must be tuple of ints, not " +
                          type_name(dims));
        const std::vector<int64_t> d = int_sequence(dims, "permute", "dims", TooBig::Value);
        return released([&] { return permute(t, d); });
      },
      py::arg("input"), py::arg("dims"), "Permute tensor dimensions.");
  m.def(
      "cat",
      [](py::handle tensors, py::handle dim) {
        const std::vector<LimbTensor> ts = tensor_list(tensors, "cat");
        const int64_t d = truncated_int(dim, "dim");
        return released([&] { return cat(ts, d); });
      },
      py::arg("tensors"), py::arg("dim") = 0, "Concatenate tensors along dimension.");
  m.def(
      "stack",
      [](py::handle tensors, py::handle dim) {
        const std::vector<LimbTensor> ts = tensor_list(tensors, "stack");
        const int64_t d = truncated_int(dim, "dim");
        return released([&] { return stack(ts, d); });
      },
      py::arg("tensors"), py::arg("dim") = 0, "Stack tensors along new dimension.");
  m.def(
      "split",
      [](py::handle input, py::handle split_size_or_sections, py::handle dim) {
        const LimbTensor t = tensor_arg(input, "split", "input");
        const int64_t d = truncated_int(dim, "dim");
        std::vector<LimbTensor> pieces;
        if (PyLong_Check(split_size_or_sections.ptr())) {
          const int64_t size =
              int_like(split_size_or_sections, "split(): split_size", TooBig::Value);
          pieces = released([&] { return split(t, size, d); });
        } else if (PyTuple_Check(split_size_or_sections.ptr()) ||
                   PyList_Check(split_size_or_sections.ptr())) {
          const std::vector<int64_t> sections = int_sequence(
              split_size_or_sections, "split", "split_size_or_sections", TooBig::Value);
          pieces = released([&] { return split_sections(t, sections, d); });
        } else {
          throw TypeError(
              "split(): argument 'split_size_or_sections' must be an int or a list of ints, not " +
              type_name(split_size_or_sections));
        }
        return to_list(std::move(pieces));
      },
      py::arg("input"), py::arg("split_size_or_sections"), py::arg("dim") = 0,
      "Split tensor into chunks.");
  m.def(
      "chunk",
      [](py::handle input, py::handle chunks, py::handle dim) {
        const LimbTensor t = tensor_arg(input, "chunk", "input");
        const int64_t c = truncated_int(chunks, "chunks"), d = truncated_int(dim, "dim");
        return to_list(released([&] { return chunk(t, c, d); }));
      },
      py::arg("input"), py::arg("chunks"), py::arg("dim") = 0,
      "Split tensor into number of chunks.");
  m.def(
      "repeat",
      [](py::handle input, const py::args& sizes) {
        const LimbTensor t = tensor_arg(input, "repeat", "input");
        const std::vector<int64_t> counts = int_list_args(sizes, "repeat", "sizes", TooBig::Value);
        return released([&] { return repeat(t, counts); });
      },
      py::arg("input"), "Repeat tensor along dimensions.");
}

}  // namespace

void bind_shape(Module& m, TensorClass& cls) {
  bind_views(m, cls);
  bind_selections(m, cls);
  bind_shape_functions(m, cls);
}

}  // namespace zel
