// Reshaping, transposition, joining, splitting, repetition and indexing:
// the Tensor members and the module functions.
#include "python/bindings.h"
#include "python/shape_args.h"
#include "tensor/arith.h"
#include "tensor/shape.h"

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
      throw TypeError(std::string(op) + "(): expected a list of Tensors, but found element of type " + type_name(item) +
                      " at pos " + std::to_string(i));
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
  if (!PyBool_Check(h.ptr()) && !THPVariable_Check(h.ptr()) && !PySequence_Check(h.ptr()) &&
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
  throw TypeError("only integers, slices (`:`), ellipsis (`...`) and None are valid indices, got " + type_name(h));
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
  PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '_data'", type_name(value).c_str());
  throw py::error_already_set();
}

py::object method(py::handle obj, const char* name) { return py::reinterpret_borrow<py::object>(obj).attr(name); }

}  // namespace

void bind_shape(py::module_& m, TensorClass& cls) {
  auto reshape_method = [](const LimbTensor& t, const py::args& shape) {
    const std::vector<int64_t> target = int_list_args(shape, "reshape", "shape", TooBig::Value);
    LimbTensor self = t;
    return released([&] { return reshape(self, target); });
  };
  cls.def("reshape", reshape_method, "Reshape tensor.");
  cls.def("view", reshape_method, "Reshape tensor (same as reshape).");
  cls.def(
      "flatten",
      [](const LimbTensor& t, py::handle start_dim, py::handle end_dim) {
        const int64_t start = arg_int(start_dim, "start_dim"), end = arg_int(end_dim, "end_dim");
        LimbTensor self = t;
        return released([&] { return flatten(self, start, end); });
      },
      py::arg("start_dim") = 0, py::arg("end_dim") = -1, "Flatten dimensions.");
  cls.def(
      "squeeze",
      [](const LimbTensor& t, py::handle dim) {
        LimbTensor self = t;
        if (dim.is_none()) return released([&] { return squeeze(self); });
        const int64_t d = arg_int(dim, "dim");
        return released([&] { return squeeze_dim(self, d); });
      },
      py::arg("dim") = py::none(), "Remove dimensions of size 1.");
  cls.def(
      "unsqueeze",
      [](const LimbTensor& t, py::handle dim) {
        const int64_t d = arg_int(dim, "dim");
        LimbTensor self = t;
        return released([&] { return unsqueeze(self, d); });
      },
      py::arg("dim"), "Add dimension of size 1.");
  cls.def(
      "expand",
      [](const LimbTensor& t, const py::args& sizes) {
        const std::vector<int64_t> s = int_list_args(sizes, "expand", "size", TooBig::Value);
        LimbTensor self = t;
        return released([&] { return expand(self, s); });
      },
      "Expand tensor to new shape.");
  cls.def(
      "transpose",
      [](const LimbTensor& t, py::handle dim0, py::handle dim1) {
        const int64_t d0 = arg_int(dim0, "dim0"), d1 = arg_int(dim1, "dim1");
        LimbTensor self = t;
        return released([&] { return transpose(self, d0, d1); });
      },
      py::arg("dim0"), py::arg("dim1"), "Transpose two dimensions.");
  cls.def_property_readonly(
      "T",
      [](const LimbTensor& t) {
        LimbTensor self = t;
        return released([&] { return transpose(self, -2, -1); });
      },
      "Matrix transpose.");

  cls.def(
      "__getitem__",
      [](const LimbTensor& t, py::handle idx) {
        const std::vector<IndexItem> index = parse_index(idx);
        LimbTensor self = t;
        return released([&] { return index_get(self, index); });
      },
      py::arg("idx"), "Index into tensor.");
  cls.def(
      "__setitem__",
      [](const LimbTensor& t, py::handle idx, py::handle value) {
        const std::vector<IndexItem> index = parse_index(idx);
        const LimbTensor v = assigned_value(value);
        LimbTensor self = t;
        released([&] { index_set(self, index, v); });
      },
      py::arg("idx"), py::arg("value"), "Set values in tensor.");

  // The forwarding functions call the method of whatever they are given, as
  // the element-wise module functions do.
  m.def(
      "reshape", [](py::handle input, py::handle shape) { return method(input, "reshape")(shape); },
      py::arg("input"), py::arg("shape"), "Reshape tensor.");
  m.def(
      "squeeze", [](py::handle input, py::handle dim) { return method(input, "squeeze")(dim); }, py::arg("input"),
      py::arg("dim") = py::none(), "Remove dimensions of size 1.");
  m.def(
      "unsqueeze",
      [](py::handle input, py::handle dim) { return method(input, "unsqueeze")(arg_int(dim, "dim")); },
      py::arg("input"), py::arg("dim"), "Add dimension of size 1.");
  m.def(
      "transpose",
      [](py::handle input, py::handle dim0, py::handle dim1) {
        return method(input, "transpose")(arg_int(dim0, "dim0"), arg_int(dim1, "dim1"));
      },
      py::arg("input"), py::arg("dim0"), py::arg("dim1"), "Transpose two dimensions.");

  m.def(
      "permute",
      [](py::handle input, py::handle dims) {
        const LimbTensor t = tensor_arg(input, "permute", "input");
        if (!PyTuple_Check(dims.ptr()) && !PyList_Check(dims.ptr()))
          throw TypeError("permute(): argument 'dims' must be tuple of ints, not " + type_name(dims));
        const std::vector<int64_t> d = int_sequence(dims, "permute", "dims", TooBig::Value);
        return released([&] { return permute(t, d); });
      },
      py::arg("input"), py::arg("dims"), "Permute tensor dimensions.");
  m.def(
      "cat",
      [](py::handle tensors, py::handle dim) {
        const std::vector<LimbTensor> ts = tensor_list(tensors, "cat");
        const int64_t d = arg_int(dim, "dim");
        return released([&] { return cat(ts, d); });
      },
      py::arg("tensors"), py::arg("dim") = 0, "Concatenate tensors along dimension.");
  m.def(
      "stack",
      [](py::handle tensors, py::handle dim) {
        const std::vector<LimbTensor> ts = tensor_list(tensors, "stack");
        const int64_t d = arg_int(dim, "dim");
        return released([&] { return stack(ts, d); });
      },
      py::arg("tensors"), py::arg("dim") = 0, "Stack tensors along new dimension.");
  m.def(
      "split",
      [](py::handle input, py::handle split_size_or_sections, py::handle dim) {
        const LimbTensor t = tensor_arg(input, "split", "input");
        const int64_t d = arg_int(dim, "dim");
        std::vector<LimbTensor> pieces;
        if (PyLong_Check(split_size_or_sections.ptr())) {
          const int64_t size = int_like(split_size_or_sections, "split(): split_size", TooBig::Value);
          pieces = released([&] { return split(t, size, d); });
        } else if (PyTuple_Check(split_size_or_sections.ptr()) || PyList_Check(split_size_or_sections.ptr())) {
          const std::vector<int64_t> sections =
              int_sequence(split_size_or_sections, "split", "split_size_or_sections", TooBig::Value);
          pieces = released([&] { return split_sections(t, sections, d); });
        } else {
          throw TypeError("split(): argument 'split_size_or_sections' must be an int or a list of ints, not " +
                          type_name(split_size_or_sections));
        }
        return to_list(std::move(pieces));
      },
      py::arg("input"), py::arg("split_size_or_sections"), py::arg("dim") = 0, "Split tensor into chunks.");
  m.def(
      "chunk",
      [](py::handle input, py::handle chunks, py::handle dim) {
        const LimbTensor t = tensor_arg(input, "chunk", "input");
        const int64_t c = arg_int(chunks, "chunks"), d = arg_int(dim, "dim");
        return to_list(released([&] { return chunk(t, c, d); }));
      },
      py::arg("input"), py::arg("chunks"), py::arg("dim") = 0, "Split tensor into number of chunks.");
  m.def(
      "repeat",
      [](py::handle input, const py::args& sizes) {
        const LimbTensor t = tensor_arg(input, "repeat", "input");
        const std::vector<int64_t> counts = int_list_args(sizes, "repeat", "sizes", TooBig::Value);
        return released([&] { return repeat(t, counts); });
      },
      py::arg("input"), "Repeat tensor along dimensions.");
}

}  // namespace zel
