// Shape and construction functions PyTorch programs call beyond the defined
// ones, and the Tensor methods they use (t, mT, permute, repeat, ...).
#include "python/shared/args.h"
#include "tensor/pointwise/arith.h"
#include "tensor/shape/shape.h"
#include "tensor/shape/rearrange.h"

namespace zel {

namespace {

// Tensors given as separate arguments or as one list or tuple.
std::vector<LimbTensor> tensors_of(const py::args& args, const char* op) {
  py::handle seq = args;
  if (args.size() == 1 && (PyTuple_Check(args[0].ptr()) || PyList_Check(args[0].ptr())))
    seq = args[0];
  std::vector<LimbTensor> out;
  size_t i = 0;
  for (py::handle h : py::reinterpret_borrow<py::sequence>(seq)) {
    if (!py::isinstance<LimbTensor>(h))
      throw TypeError(std::string(op) + "(): expected Tensors, but found element of type " +
                      type_name(h) + " at pos " + std::to_string(i));
    out.push_back(h.cast<LimbTensor>());
    ++i;
  }
  return out;
}

std::vector<LimbTensor> tensor_sequence(py::handle v, const char* op) {
  if (!PyTuple_Check(v.ptr()) && !PyList_Check(v.ptr()))
    throw TypeError(std::string(op) +
                    "(): argument 'tensors' must be a tuple or list of Tensors, not " +
                    type_name(v));
  return tensors_of(py::make_tuple(v), op);
}

py::tuple as_tuple(std::vector<LimbTensor> ts) {
  py::tuple out(ts.size());
  for (size_t i = 0; i < ts.size(); ++i) out[i] = py::cast(std::move(ts[i]));
  return out;
}

py::object at_least_all(const py::args& args, size_t rank, const char* op) {
  const bool single = args.size() == 1 && py::isinstance<LimbTensor>(args[0]);
  std::vector<LimbTensor> ts = tensors_of(args, op);
  for (LimbTensor& t : ts) t = clone(at_least(t, rank));
  if (single) return py::cast(std::move(ts[0]));
  return as_tuple(std::move(ts));
}

// The shape of `like` as an int list.
std::vector<int64_t> shape_like(py::handle like, const char* op) {
  return tensor_arg(like, op, "other").shape;
}

LimbTensor broadcast_to(const LimbTensor& t, const std::vector<int64_t>& size) {
  try {
    return expand(t, size);
  } catch (const ValueError& e) {  // PyTorch reports shapes that cannot broadcast as RuntimeError
    throw std::runtime_error(std::string("broadcast_to: ") + e.what());
  }
}

void bind_tensor_forms(Module& m, TensorClass& cls) {
  // The defined methods without a Tensor form until now.
  cls.def(
      "permute",
      [](py::handle self, const py::args& dims) {
        const LimbTensor t = input_of(self, "permute");
        const std::vector<int64_t> d = int_list_args(dims, "permute", "dims", TooBig::Value);
        return released([&] { return permute(t, d); });
      },
      "Permute tensor dimensions.");
  cls.def(
      "repeat",
      [](py::handle self, const py::args& sizes) {
        const LimbTensor t = input_of(self, "repeat");
        const std::vector<int64_t> counts = int_list_args(sizes, "repeat", "sizes", TooBig::Value);
        return released([&] { return repeat(t, counts); });
      },
      "Repeat tensor along dimensions.");
  cls.def(
      "t",
      [](py::handle self) {
        const LimbTensor t = input_of(self, "t");
        return released([&] { return matrix_t(t); });
      },
      "Transpose of a matrix (vectors and scalars unchanged).");
  m.def(
      "t", [](py::handle input) { return py::reinterpret_borrow<py::object>(input).attr("t")(); },
      py::arg("input"), "Transpose of a matrix (vectors and scalars unchanged).");
  cls.def_property_readonly("mT",
                            py::cpp_function(
                                [](py::handle self) {
                                  const LimbTensor t = input_of(self, "mT");
                                  return released([&] { return matrix_mT(t); });
                                },
                                py::name("mT"), Recorded{}),
                            "Transpose of the last two axes.");
  cls.def(
      "view_as",
      [](py::handle self, py::handle other) {
        const LimbTensor t = input_of(self, "view_as");
        const std::vector<int64_t> s = shape_like(other, "view_as");
        return released([&] { return reshape(t, s); });
      },
      py::arg("other"), "Reshaped to the shape of other.");
  cls.def(
      "reshape_as",
      [](py::handle self, py::handle other) {
        const LimbTensor t = input_of(self, "reshape_as");
        const std::vector<int64_t> s = shape_like(other, "reshape_as");
        return released([&] { return reshape(t, s); });
      },
      py::arg("other"), "Reshaped to the shape of other.");
  cls.def(
      "expand_as",
      [](py::handle self, py::handle other) {
        const LimbTensor t = input_of(self, "expand_as");
        const std::vector<int64_t> s = shape_like(other, "expand_as");
        return released([&] { return expand(t, s); });
      },
      py::arg("other"), "Expanded to the shape of other.");

  m.def(
      "flatten",
      [](py::handle input, py::handle start_dim, py::handle end_dim) {
        input_of(input, "flatten");
        return py::reinterpret_borrow<py::object>(input).attr("flatten")(start_dim, end_dim);
      },
      py::arg("input"), py::arg("start_dim") = 0, py::arg("end_dim") = -1, "Flatten dimensions.");
  def_both(
      m, cls, "unflatten",
      [](py::handle input, py::handle dim, py::handle sizes) {
        const LimbTensor t = input_of(input, "unflatten");
        const int64_t d = int_arg(dim, "unflatten", "dim");
        const std::vector<int64_t> parts = int_sequence(sizes, "unflatten", "sizes", TooBig::Value);
        return released([&] { return unflatten(t, d, parts); });
      },
      "Expand one axis into the given sizes.", py::arg("dim"), py::arg("sizes"));
}

void bind_flips(Module& m, TensorClass& cls) {
  m.def(
      "flip",
      [](py::handle input, py::handle dims) {
        const LimbTensor t = input_of(input, "flip");
        const std::vector<int64_t> d = ints_arg(dims, "flip", "dims");
        return released([&] { return flip(t, d); });
      },
      py::arg("input"), py::arg("dims"), "Reverse the order of elements along dims.");
  cls.def(
      "flip",
      [](py::handle self, const py::args& dims) {
        const LimbTensor t = input_of(self, "flip");
        const std::vector<int64_t> d = int_list_args(dims, "flip", "dims", TooBig::Value);
        return released([&] { return flip(t, d); });
      },
      "Reverse the order of elements along dims.");
  for (const bool lr : {true, false}) {
    const char* name = lr ? "fliplr" : "flipud";
    def_both(
        m, cls, name,
        [lr, name](py::handle input) {
          const LimbTensor t = input_of(input, name);
          return released([&] { return flip_side(t, lr); });
        },
        lr ? "Reverse the columns." : "Reverse the rows.");
  }
  def_both(
      m, cls, "roll",
      [](py::handle input, py::handle shifts, py::handle dims) {
        const LimbTensor t = input_of(input, "roll");
        const std::vector<int64_t> s = ints_arg(shifts, "roll", "shifts");
        const std::vector<int64_t> d =
            dims.is_none() ? std::vector<int64_t>{} : ints_arg(dims, "roll", "dims");
        return released([&] { return roll(t, s, d); });
      },
      "Roll elements along dims (the flattened tensor without dims).", py::arg("shifts"),
      py::arg("dims") = py::none());
  def_both(
      m, cls, "rot90",
      [](py::handle input, py::handle k, py::handle dims) {
        const LimbTensor t = input_of(input, "rot90");
        const int64_t kk = int_arg(k, "rot90", "k");
        const std::vector<int64_t> d = int_sequence(dims, "rot90", "dims", TooBig::Value);
        return released([&] { return rot90(t, kk, d); });
      },
      "Rotate by 90 degrees k times in the plane of dims.", py::arg("k") = 1,
      py::arg("dims") = py::make_tuple(0, 1));
  for (const bool upper : {false, true}) {
    const char* name = upper ? "triu" : "tril";
    def_both(
        m, cls, name,
        [upper, name](py::handle input, py::handle diagonal) {
          const LimbTensor t = input_of(input, name);
          const int64_t k = int_arg(diagonal, name, "diagonal");
          return released([&] { return triangle(t, k, upper); });
        },
        upper ? "Upper triangle of the last two axes." : "Lower triangle of the last two axes.",
        py::arg("diagonal") = 0);
  }
}

void bind_diagonals_and_products(Module& m, TensorClass& cls) {
  def_both(
      m, cls, "diag",
      [](py::handle input, py::handle diagonal) {
        const LimbTensor t = input_of(input, "diag");
        const int64_t k = int_arg(diagonal, "diag", "diagonal");
        return released([&] { return diag(t, k); });
      },
      "Diagonal matrix of a vector, or the diagonal of a matrix.", py::arg("diagonal") = 0);
  def_both(
      m, cls, "diag_embed",
      [](py::handle input, py::handle offset, py::handle dim1, py::handle dim2) {
        const LimbTensor t = input_of(input, "diag_embed");
        const int64_t o = int_arg(offset, "diag_embed", "offset"),
                      a = int_arg(dim1, "diag_embed", "dim1"),
                      b = int_arg(dim2, "diag_embed", "dim2");
        return released([&] { return diag_embed(t, o, a, b); });
      },
      "Matrices whose diagonals are the last axis of input.", py::arg("offset") = 0,
      py::arg("dim1") = -2, py::arg("dim2") = -1);
  def_both(
      m, cls, "diagonal",
      [](py::handle input, py::handle offset, py::handle dim1, py::handle dim2) {
        const LimbTensor t = input_of(input, "diagonal");
        const int64_t o = int_arg(offset, "diagonal", "offset"),
                      a = int_arg(dim1, "diagonal", "dim1"), b = int_arg(dim2, "diagonal", "dim2");
        return released([&] { return diagonal(t, o, a, b); });
      },
      "Diagonal of the (dim1, dim2) planes, as the last axis.", py::arg("offset") = 0,
      py::arg("dim1") = 0, py::arg("dim2") = 1);
  def_both(
      m, cls, "trace",
      [](py::handle input) {
        const LimbTensor t = input_of(input, "trace");
        return released([&] { return trace(t); });
      },
      "Tree sum of the main diagonal.");
  for (const char* name : {"outer", "ger"}) {
    def_both(
        m, cls, name,
        [name](py::handle input, py::handle vec2) {
          const LimbTensor a = input_of(input, name), b = tensor_arg(vec2, name, "vec2");
          return released([&] { return outer(a, b); });
        },
        "Outer product of two vectors.", py::arg("vec2"));
  }
  def_both(
      m, cls, "kron",
      [](py::handle input, py::handle other) {
        const LimbTensor a = input_of(input, "kron"), b = tensor_arg(other, "kron", "other");
        return released([&] { return kron(a, b); });
      },
      "Kronecker product.", py::arg("other"));
  m.def(
      "einsum",
      [](py::handle equation, const py::args& operands) {
        if (!PyUnicode_Check(equation.ptr()))
          throw TypeError("einsum(): argument 'equation' must be str, not " + type_name(equation));
        const std::string eq = equation.cast<std::string>();
        const std::vector<LimbTensor> ops = tensors_of(operands, "einsum");
        return released([&] { return einsum(eq, ops); });
      },
      py::arg("equation"), "Einstein summation over limb products, summed in a fixed order.");
  m.def(
      "tensordot",
      [](py::handle a, py::handle b, py::handle dims) {
        const LimbTensor x = tensor_arg(a, "tensordot", "a"), y = tensor_arg(b, "tensordot", "b");
        if (PyLong_Check(dims.ptr())) {
          const int64_t n = int_arg(dims, "tensordot", "dims");
          return released([&] { return tensordot_n(x, y, n); });
        }
        if (!is_dim_list(dims) || py::len(dims) != 2)
          throw TypeError("tensordot(): argument 'dims' must be an int or a pair of lists of ints");
        py::sequence pair = py::reinterpret_borrow<py::sequence>(dims);
        const std::vector<int64_t> da = ints_arg(pair[0], "tensordot", "dims");
        const std::vector<int64_t> db = ints_arg(pair[1], "tensordot", "dims");
        return released([&] { return tensordot(x, y, da, db); });
      },
      py::arg("a"), py::arg("b"), py::arg("dims") = 2, "Contraction of the given axes of a and b.");
  m.def(
      "cdist",
      [](py::handle x1, py::handle x2, py::handle p, py::handle compute_mode) {
        const LimbTensor a = tensor_arg(x1, "cdist", "x1"), b = tensor_arg(x2, "cdist", "x2");
        const double order = float_arg(p, "cdist", "p");
        // PyTorch's matrix-product shortcut trades accuracy for speed: every mode
        // computes the distances directly here.
        if (!compute_mode.is_none()) {
          const std::string mode =
              PyUnicode_Check(compute_mode.ptr()) ? compute_mode.cast<std::string>() : "";
          if (mode != "use_mm_for_euclid_dist_if_necessary" && mode != "use_mm_for_euclid_dist" &&
              mode != "donot_use_mm_for_euclid_dist")
            throw py::value_error("cdist(): " + std::string(py::repr(compute_mode)) +
                                  " is not a valid value for compute_mode");
        }
        return released([&] { return cdist(a, b, order); });
      },
      py::arg("x1"), py::arg("x2"), py::arg("p") = 2.0, py::arg("compute_mode") = py::none(),
      "p-norm distances between the rows of x1 and x2.");
  m.def(
      "vander",
      [](py::handle x, py::handle n, py::handle increasing) {
        const LimbTensor t = tensor_arg(x, "vander", "x");
        const int64_t cols =
            n.is_none() ? (t.shape.size() == 1 ? t.shape[0] : 0) : int_arg(n, "vander", "N");
        const bool inc = truth(increasing);
        return released([&] { return vander(t, cols, inc); });
      },
      py::arg("x"), py::arg("N") = py::none(), py::arg("increasing") = false,
      "Vandermonde matrix of powers of x.");
}

void bind_grids(Module& m, TensorClass& cls) {
  m.def(
      "meshgrid",
      [](const py::args& tensors, py::kwargs kwargs) {
        std::string indexing = "ij";
        for (auto item : kwargs) {
          const std::string key = py::str(item.first).cast<std::string>();
          if (key != "indexing")
            throw TypeError("meshgrid() got an unexpected keyword argument '" + key + "'");
          if (!PyUnicode_Check(item.second.ptr()))
            throw TypeError("meshgrid(): indexing must be a str");
          indexing = item.second.cast<std::string>();
        }
        if (indexing != "ij" && indexing != "xy")
          throw std::runtime_error(
              "meshgrid: indexing must be one of \"xy\" or \"ij\", but received: " + indexing);
        const std::vector<LimbTensor> ts = tensors_of(tensors, "meshgrid");
        const bool xy = indexing == "xy";
        return as_tuple(released([&] { return meshgrid(ts, xy); }));
      },
      "Coordinate grids of 1-D tensors.");
  m.def(
      "broadcast_to",
      [](py::handle input, py::handle size) {
        const LimbTensor t = input_of(input, "broadcast_to");
        const std::vector<int64_t> s = ints_arg(size, "broadcast_to", "size");
        return released([&] { return broadcast_to(t, s); });
      },
      py::arg("input"), py::arg("size"), "Broadcast to the given shape.");
  cls.def(
      "broadcast_to",
      [](py::handle self, py::handle size) {
        const LimbTensor t = input_of(self, "broadcast_to");
        const std::vector<int64_t> s = ints_arg(size, "broadcast_to", "size");
        return released([&] { return broadcast_to(t, s); });
      },
      py::arg("size"), "Broadcast to the given shape.");
  m.def(
      "broadcast_tensors",
      [](const py::args& tensors) {
        const std::vector<LimbTensor> ts = tensors_of(tensors, "broadcast_tensors");
        std::vector<LimbTensor> out = released([&] { return broadcast_tensors(ts); });
        return as_tuple(std::move(out));
      },
      "Broadcast tensors to their common shape.");
}

void bind_moves_and_joins(Module& m, TensorClass& cls) {
  for (const char* name : {"movedim", "moveaxis"}) {
    def_both(
        m, cls, name,
        [name](py::handle input, py::handle source, py::handle destination) {
          const LimbTensor t = input_of(input, name);
          const std::vector<int64_t> s = ints_arg(source, name, "source"),
                                     d = ints_arg(destination, name, "destination");
          return released([&] { return movedim(t, s, d); });
        },
        "Move axes to new positions, the others keeping their order.", py::arg("source"),
        py::arg("destination"));
  }
  for (const char* name : {"swapaxes", "swapdims"}) {
    const bool axes = std::string(name) == "swapaxes";
    auto fn = [name](py::handle input, py::handle a, py::handle b) {
      const LimbTensor t = input_of(input, name);
      const int64_t x = int_arg(a, name, "dim0"), y = int_arg(b, name, "dim1");
      const int64_t nd = static_cast<int64_t>(t.shape.size());
      wrap_dim(x, nd, name);
      wrap_dim(y, nd, name);
      return released([&] { return nd < 2 ? clone(t) : transpose(t, x, y); });
    };
    if (axes)
      def_both(m, cls, name, fn, "Swap two axes.", py::arg("axis0"), py::arg("axis1"));
    else
      def_both(m, cls, name, fn, "Swap two axes.", py::arg("dim0"), py::arg("dim1"));
  }
  def_both(
      m, cls, "narrow",
      [](py::handle input, py::handle dim, py::handle start, py::handle length) {
        const LimbTensor t = input_of(input, "narrow");
        const int64_t d = int_arg(dim, "narrow", "dim"), s = int_arg(start, "narrow", "start"),
                      n = int_arg(length, "narrow", "length");
        return released([&] { return narrow(t, d, s, n); });
      },
      "The elements [start, start + length) of axis dim.", py::arg("dim"), py::arg("start"),
      py::arg("length"));
  def_both(
      m, cls, "tile",
      [](py::handle input, py::handle dims) {
        const LimbTensor t = input_of(input, "tile");
        std::vector<int64_t> counts = ints_arg(dims, "tile", "dims");
        // Fewer counts than axes repeat the trailing axes.
        if (counts.size() < t.shape.size())
          counts.insert(counts.begin(), t.shape.size() - counts.size(), 1);
        return released([&] { return repeat(t, counts); });
      },
      "Tile the tensor; missing leading counts are 1.", py::arg("dims"));
  def_both(
      m, cls, "unbind",
      [](py::handle input, py::handle dim) {
        const LimbTensor t = input_of(input, "unbind");
        const int64_t d = int_arg(dim, "unbind", "dim");
        return as_tuple(released([&] { return unbind(t, d); }));
      },
      "The slices along dim, as a tuple.", py::arg("dim") = 0);

  struct Stacker {
    const char* name;
    Stacking how;
    const char* doc;
  };
  for (const Stacker& s :
       {Stacker{"hstack", Stacking::Columns, "Join along the columns (1-D: along the only axis)."},
        Stacker{"vstack", Stacking::Rows, "Join along the rows of 2-D views."},
        Stacker{"column_stack", Stacking::AsColumns, "Join 1-D and 2-D tensors as columns."}}) {
    const Stacking how = s.how;
    const char* name = s.name;
    m.def(
        name,
        [how, name](py::handle tensors) {
          std::vector<LimbTensor> ts = tensor_sequence(tensors, name);
          return released([&] { return stack_sides(std::move(ts), how, name); });
        },
        py::arg("tensors"), s.doc);
  }
  for (const size_t rank : {1u, 2u, 3u}) {
    const std::string name = "atleast_" + std::to_string(rank) + "d";
    m.def(
        name.c_str(),
        [rank, name](const py::args& tensors) { return at_least_all(tensors, rank, name.c_str()); },
        "Views with at least that many axes.");
  }
}

}  // namespace

void bind_rearrange(Module& m, TensorClass& cls) {
  bind_tensor_forms(m, cls);
  bind_flips(m, cls);
  bind_diagonals_and_products(m, cls);
  bind_grids(m, cls);
  bind_moves_and_joins(m, cls);
}

}  // namespace zel
