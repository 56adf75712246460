// The linear-algebra module varnel.zel.tarsk: element accessors and the
// thirteen public functions. It imports the core module first, so the
// Tensor type registered there is the one these functions take and return.
#include <cmath>
#include <optional>
#include <string>

#include "python/shared/convert.h"
#include "tensor/linalg/tarsk.h"

namespace zel {
namespace {

const char* kModuleDoc =
    "ZEL Linear Algebra - KALDEN Precision\n"
    "\n"
    "All operations use ZEL arithmetic for zero floating point drift.\n"
    "\n"
    "Usage:\n"
    "    from zel import zel, tarsk\n"
    "    A = zel.randn(3, 3)\n"
    "    Q, R = tarsk.qr(A)\n"
    "    x = tarsk.solve(A, b)\n"
    "    U, S, Vh = tarsk.svd(A)\n";

const char* kPublicNames[] = {"norm", "solve", "inv", "det",   "qr",          "cholesky", "eig",
                              "eigh", "svd",   "lu",  "lstsq", "matrix_rank", "cond"};

// tensor_arg, refusing by name a Tensor made by Tensor.__new__ alone.
LimbTensor matrix_arg(py::handle v, const char* op, const char* name) {
  if (py::isinstance<LimbTensor>(v) && !reinterpret_cast<py::detail::instance*>(v.ptr())
                                            ->get_value_and_holder()
                                            .holder_constructed())
    throw TypeError(std::string(op) + "(): argument '" + name +
                    "' is a Tensor whose __init__ was never called");
  return tensor_arg(v, op, name);
}

bool equals(py::handle a, py::handle b) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// An iteration count as range() takes it: ints and objects with __index__;
// a negative count runs nothing.
int64_t iteration_count(py::handle v, const char* op) {
  if (!PyIndex_Check(v.ptr())) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                 type_name(v).c_str());
    throw py::error_already_set();
  }
  py::object as_int = py::reinterpret_steal<py::object>(PyNumber_Index(v.ptr()));
  if (!as_int) throw py::error_already_set();
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
  if (overflow > 0)
    throw ValueError(std::string(op) + "(): max_iter = " + py::str(as_int).cast<std::string>() +
                     " is too large");
  if (overflow < 0) return 0;
  return static_cast<int64_t>(n);
}

// The Python `ord` of norm (and `p` of cond), first match wins: None or
// 'fro', == 2, == 1, == inf, then an int or float power; anything else is
// what `Tensor ** ord` rejects.
limbs::NormOrd norm_ord(py::handle ord, const char* op) {
  using limbs::NormKind;
  limbs::NormOrd r;
  if (ord.is_none() ||
      (PyUnicode_Check(ord.ptr()) && PyUnicode_CompareWithASCIIString(ord.ptr(), "fro") == 0)) {
    r.kind = NormKind::kFrobenius;
  } else if (equals(ord, py::int_(2))) {
    r.kind = NormKind::kTwo;
  } else if (equals(ord, py::int_(1))) {
    r.kind = NormKind::kOne;
  } else if (equals(ord, py::float_(INFINITY))) {
    r.kind = NormKind::kMax;
  } else if (PyFloat_Check(ord.ptr())) {
    r.kind = NormKind::kFloatPower;
    r.float_power = PyFloat_AsDouble(ord.ptr());
  } else if (PyIndex_Check(ord.ptr())) {
    py::object as_int = py::reinterpret_steal<py::object>(PyNumber_Index(ord.ptr()));
    if (!as_int) throw py::error_already_set();
    int overflow = 0;
    r.kind = NormKind::kIntPower;
    r.int_power = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
    if (overflow)
      throw ValueError(std::string(op) + "(): ord = " + py::str(as_int).cast<std::string>() +
                       " is out of range");
  } else {
    throw TypeError("unsupported operand type(s) for ** or pow(): 'Tensor' and '" + type_name(ord) +
                    "'");
  }
  return r;
}

std::optional<double> tolerance(py::handle tol) {
  if (tol.is_none()) return std::nullopt;
  if (PyUnicode_Check(tol.ptr()) || PyBytes_Check(tol.ptr()) || !PyNumber_Check(tol.ptr()))
    throw TypeError("matrix_rank(): argument 'tol' must be a number, not " + type_name(tol));
  const double t = PyFloat_AsDouble(tol.ptr());
  if (t == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return t;
}

namespace {

void bind_elements_and_solvers(py::module_& m) {
  const auto A = py::arg("A");
  const auto i = py::arg("i");
  const auto j = py::arg("j");
  const auto max_iter = py::arg("max_iter") = 100;

  m.def(
      "_get",
      [](py::handle a, py::handle i, py::handle j) {
        const int64_t ii = truncated_int(i, "i"), jj = truncated_int(j, "j");
        const LimbTensor t = matrix_arg(a, "_get", "A");
        return linalg::get_row(t, linalg::element_row(t, ii, jj, "_get"));
      },
      A, i, j, "Get element A[i,j] as scalar Tensor.");
  m.def(
      "_set",
      [](py::handle a, py::handle i, py::handle j, py::handle val) {
        const int64_t ii = truncated_int(i, "i"), jj = truncated_int(j, "j");
        LimbTensor t = matrix_arg(a, "_set", "A");
        const LimbTensor v = matrix_arg(val, "_set", "val");
        linalg::set_row(t, linalg::element_row(t, ii, jj, "_set"), v, "_set");
      },
      A, i, j, py::arg("val"), "Set element A[i,j] = val.");
  m.def(
      "_getv",
      [](py::handle a, py::handle i, py::handle j) {
        const int64_t ii = truncated_int(i, "i"), jj = truncated_int(j, "j");
        const LimbTensor t = matrix_arg(a, "_getv", "A");
        return linalg::get_value(t, linalg::element_row(t, ii, jj, "_getv"));
      },
      A, i, j, "Get element A[i,j] as Python float.");

  m.def(
      "norm",
      [](py::handle x, py::handle ord, py::handle dim, py::handle keepdim) {
        const LimbTensor t = matrix_arg(x, "norm", "x");
        const limbs::NormOrd o = norm_ord(ord, "norm");
        std::optional<int64_t> d;
        if (!dim.is_none()) d = truncated_int(dim, "dim");
        const bool keep = truth(keepdim);
        return released([&] { return linalg::norm(t, o, d, keep); });
      },
      py::arg("x"), py::arg("ord") = py::none(), py::arg("dim") = py::none(),
      py::arg("keepdim") = false, "Vector/matrix norm with KALDEN precision.");
  m.def(
      "lu",
      [](py::handle a) {
        const LimbTensor t = matrix_arg(a, "lu", "A");
        linalg::LuFactors f = released([&] { return linalg::lu(t); });
        return py::make_tuple(std::move(f.P), std::move(f.L), std::move(f.U));
      },
      A, "LU decomposition with partial pivoting. Returns P, L, U where P @ A = L @ U.");

  m.def(
      "_setv",
      [](py::handle v, py::handle i, py::handle val) {
        const int64_t ii = truncated_int(i, "i");
        LimbTensor t = matrix_arg(v, "_setv", "v");
        const LimbTensor x = matrix_arg(val, "_setv", "val");
        linalg::set_row(t, linalg::vector_row(t, ii, "_setv"), x, "_setv");
      },
      py::arg("v"), i, py::arg("val"), "Set element v[i] = val for 1D tensor.");
  m.def(
      "_getv1d",
      [](py::handle v, py::handle i) {
        const int64_t ii = truncated_int(i, "i");
        const LimbTensor t = matrix_arg(v, "_getv1d", "v");
        return linalg::get_row(t, linalg::vector_row(t, ii, "_getv1d"));
      },
      py::arg("v"), i, "Get element v[i] as scalar Tensor from 1D tensor.");

  m.def(
      "solve",
      [](py::handle a, py::handle b) {
        const LimbTensor t = matrix_arg(a, "solve", "A");
        const LimbTensor rhs = matrix_arg(b, "solve", "b");
        return released([&] { return linalg::solve(t, rhs); });
      },
      A, py::arg("b"), "Solve Ax = b with KALDEN precision.");
}

void bind_decompositions(py::module_& m) {
  const auto A = py::arg("A");
  const auto max_iter = py::arg("max_iter") = 100;
  m.def(
      "inv",
      [](py::handle a) {
        const LimbTensor t = matrix_arg(a, "inv", "A");
        return released([&] { return linalg::inv(t); });
      },
      A, "Matrix inverse via Gauss-Jordan elimination.");
  m.def(
      "det",
      [](py::handle a) {
        const LimbTensor t = matrix_arg(a, "det", "A");
        return released([&] { return linalg::det(t); });
      },
      A, "Determinant via LU decomposition.");
  m.def(
      "qr",
      [](py::handle a) {
        const LimbTensor t = matrix_arg(a, "qr", "A");
        auto f = released([&] { return linalg::qr(t); });
        return py::make_tuple(std::move(f.first), std::move(f.second));
      },
      A, "QR decomposition via Gram-Schmidt. Returns Q, R where A = Q @ R.");
  m.def(
      "cholesky",
      [](py::handle a) {
        const LimbTensor t = matrix_arg(a, "cholesky", "A");
        return released([&] { return linalg::cholesky(t); });
      },
      A, "Cholesky decomposition for positive definite A. Returns L where A = L @ L.T.");

  auto eig = [](const char* op) {
    return [op](py::handle a, py::handle iterations) {
      const LimbTensor t = matrix_arg(a, op, "A");
      const int64_t n = iteration_count(iterations, op);
      auto f = released([&] { return linalg::eig(t, n); });
      return py::make_tuple(std::move(f.first), std::move(f.second));
    };
  };
  m.def("eig", eig("eig"), A, max_iter,
        "Eigenvalues via QR iteration. Returns eigenvalues, eigenvectors.");
  m.def("eigh", eig("eigh"), A, max_iter, "Eigenvalues for symmetric matrix.");
  m.def(
      "svd",
      [](py::handle a, py::handle /*full_matrices: the reduced form is the only one*/,
         py::handle iterations) {
        const LimbTensor t = matrix_arg(a, "svd", "A");
        const int64_t n = iteration_count(iterations, "svd");
        auto f = released([&] { return linalg::svd(t, n); });
        return py::make_tuple(std::move(std::get<0>(f)), std::move(std::get<1>(f)),
                              std::move(std::get<2>(f)));
      },
      A, py::arg("full_matrices") = true, max_iter,
      "SVD decomposition. Returns U, S, Vh where A = U @ diag(S) @ Vh.");
  m.def(
      "lstsq",
      [](py::handle a, py::handle b) {
        const LimbTensor t = matrix_arg(a, "lstsq", "A");
        const LimbTensor rhs = matrix_arg(b, "lstsq", "b");
        auto f = released([&] { return linalg::lstsq(t, rhs); });
        return py::make_tuple(std::move(f.first), std::move(f.second));
      },
      A, py::arg("b"), "Least squares min ||Ax - b||. Returns x, residual_norm.");
  m.def(
      "matrix_rank",
      [](py::handle a, py::handle tol) {
        const LimbTensor t = matrix_arg(a, "matrix_rank", "A");
        const std::optional<double> limit = tolerance(tol);
        return released([&] { return linalg::matrix_rank(t, limit); });
      },
      A, py::arg("tol") = py::none(), "Matrix rank via SVD.");
  m.def(
      "cond",
      [](py::handle a, py::handle p) {
        const LimbTensor t = matrix_arg(a, "cond", "A");
        const limbs::NormOrd o = norm_ord(p, "cond");
        return released([&] { return linalg::cond(t, o); });
      },
      A, py::arg("p") = 2, "Condition number.");
}

}  // namespace

void bind(py::module_& m) {
  bind_elements_and_solvers(m);
  bind_decompositions(m);
}

}  // namespace
}  // namespace zel

PYBIND11_MODULE(tarsk, m) {
  using namespace zel;
  // The docstrings are the documented texts, without generated signatures.
  py::options options;
  options.disable_function_signatures();
  m.doc() = kModuleDoc;
  register_errors();
  install_chunk_runner();
  m.def("_parallel_width", &last_parallel_width,
        "Threads that ran a chunk of the latest parallel loop (for tests).");

  // The core module sits next to this one in the same package.
  const std::string name = m.attr("__name__").cast<std::string>();
  const size_t dot = name.rfind('.');
  const std::string package = dot == std::string::npos ? "varnel.zel" : name.substr(0, dot);
  py::module_ core = py::module_::import((package + ".zel").c_str());
  m.attr("_zel") = core;
  for (const char* attr : {"Tensor", "_torch", "_DTYPE", "_NUM_LIMBS", "_DEVICE"})
    m.attr(attr) = core.attr(attr);
  py::list all;
  for (const char* public_name : kPublicNames) all.append(public_name);
  m.attr("__all__") = all;

  bind(m);
}
