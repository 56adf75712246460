// zel.linalg, PyTorch's torch.linalg, and the top-level cholesky_solve,
// det, logdet and inverse: argument rules, PyTorch's result namedtuples and
// torch.linalg.LinAlgError for singular and non-definite input.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "python/zel/bindings.h"
#include "tensor/linalg/complex_linalg.h"
#include "tensor/linalg/linalg.h"

namespace zel {

namespace {

std::optional<double> opt_float(py::handle v, const char* op, const char* name) {
  if (v.is_none()) return std::nullopt;
  if (!is_py_number(v))
    throw TypeError(std::string(op) + "(): argument '" + name + "' must be float, not " +
                    type_name(v));
  return py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>();
}

// A vector norm's ord: any real number.
double vector_ord(py::handle v, const char* op) {
  if (!is_py_number(v))
    throw TypeError(std::string(op) + "(): argument 'ord' must be Number, not " + type_name(v));
  return py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>();
}

// A matrix norm's ord: 'fro', 'nuc', +-1, +-2, +-inf.
dense::MatrixOrd matrix_ord(py::handle v, const char* op) {
  using dense::MatrixOrd;
  if (PyUnicode_Check(v.ptr())) {
    const std::string s = v.cast<std::string>();
    if (s == "fro") return MatrixOrd::kFro;
    if (s == "nuc") return MatrixOrd::kNuc;
    throw std::runtime_error(std::string(op) + ": Order " + s + " not supported.");
  }
  if (!is_py_number(v))
    throw TypeError(std::string(op) + "(): argument 'ord' must be str or Number, not " +
                    type_name(v));
  const double o = py::float_(py::reinterpret_borrow<py::object>(v)).cast<double>();
  if (o == 2.0) return MatrixOrd::kTwo;
  if (o == -2.0) return MatrixOrd::kNegTwo;
  if (o == 1.0) return MatrixOrd::kOne;
  if (o == -1.0) return MatrixOrd::kNegOne;
  if (std::isinf(o)) return o > 0 ? MatrixOrd::kInf : MatrixOrd::kNegInf;
  throw std::runtime_error(std::string(op) + ": Order " + py::str(v).cast<std::string>() +
                           " not supported.");
}

dense::QrMode qr_mode(const std::string& mode) {
  if (mode == "reduced") return dense::QrMode::kReduced;
  if (mode == "complete") return dense::QrMode::kComplete;
  if (mode == "r") return dense::QrMode::kR;
  throw std::runtime_error("qr received unrecognized mode '" + mode +
                           "' but expected one of 'reduced' (default), 'r', or 'complete'");
}

bool uplo_lower(const std::string& uplo, const char* op) {
  if (uplo == "L" || uplo == "l") return true;
  if (uplo == "U" || uplo == "u") return false;
  throw std::runtime_error(std::string(op) + ": Expected UPLO argument to be 'L' or 'U', but got " +
                           uplo);
}

dense::LstsqDriver lstsq_driver(py::handle driver) {
  if (driver.is_none()) return dense::LstsqDriver::kGelsy;
  if (!PyUnicode_Check(driver.ptr()))
    throw TypeError("linalg.lstsq(): argument 'driver' must be str, not " + type_name(driver));
  const std::string d = driver.cast<std::string>();
  if (d == "gels") return dense::LstsqDriver::kGels;
  if (d == "gelsy") return dense::LstsqDriver::kGelsy;
  if (d == "gelsd") return dense::LstsqDriver::kGelsd;
  if (d == "gelss") return dense::LstsqDriver::kGelss;
  throw std::runtime_error(
      "torch.linalg.lstsq: parameter `driver` should be one of (gels, gelsy, gelsd, gelss)");
}

// The vector-norm reading of linalg.norm: ord None is 2.
py::object vector_or_matrix_norm(const LimbTensor& a, py::handle ord, py::handle dim,
                                 bool keepdim) {
  const char* op = "linalg.norm";
  const auto dims = dims_arg(dim, op);
  const size_t nd = a.shape.size();
  const bool matrix = dims ? dims->size() == 2 : (!ord.is_none() && nd == 2);
  if (!dims && !ord.is_none() && nd != 1 && nd != 2)
    throw std::runtime_error(
        std::string(op) + ": If dim is not specified but ord is, the input must be 1D or 2D. Got " +
        std::to_string(nd) + "D.");
  if (dims && dims->size() != 1 && dims->size() != 2)
    throw std::runtime_error(std::string(op) +
                             ": If dim is specified, it must be of length 1 or 2. Got " +
                             std::to_string(dims->size()));
  LimbTensor t = a;
  if (matrix) {
    const dense::MatrixOrd o = ord.is_none() ? dense::MatrixOrd::kFro : matrix_ord(ord, op);
    const int64_t d0 = dims ? (*dims)[0] : -2, d1 = dims ? (*dims)[1] : -1;
    return py::cast(released([&] { return dense::matrix_norm(t, o, d0, d1, keepdim); }));
  }
  if (PyUnicode_Check(ord.ptr()))
    throw std::runtime_error(std::string(op) + ": ord '" + ord.cast<std::string>() +
                             "' is a matrix norm, but the norm is over one dimension");
  const double o = ord.is_none() ? 2.0 : vector_ord(ord, op);
  return py::cast(released([&] { return dense::vector_norm(t, o, dims, keepdim); }));
}

// torch.linalg's result tuples: namedtuples of the given fields.
py::object result_type(const char* name, std::initializer_list<const char*> fields) {
  py::list f;
  for (const char* s : fields) f.append(s);
  py::object t = py::module_::import("collections").attr("namedtuple")(name, f);
  t.attr("__module__") = "varnel.zel.zel.linalg";
  return t;
}

void bind_factorizations(Module& la) {
  const py::object slogdet_t = result_type("linalg_slogdet", {"sign", "logabsdet"});
  const auto A = py::arg("A");

  la.def("solve", released_call(&dense::solve), A, py::arg("B"), py::kw_only(),
         py::arg("left") = true, "X with A X = B (or X A = B when left=False).");
  la.def("inv", released_call(&dense::inv), A, "Inverse of a square matrix (a batch of them).");
  la.def("det", released_call(&dense::det), A, "Determinant, from the LU factorisation.");
  la.def(
      "slogdet",
      [slogdet_t](LimbTensor x) {
        auto r = released([&] { return dense::slogdet(x); });
        return slogdet_t(r.first, r.second);
      },
      A, "(sign, logabsdet) of the determinant.");
  la.def("cholesky", released_call(&dense::cholesky), A, py::kw_only(), py::arg("upper") = false,
         "Cholesky factor L with A = L L^T (U^T U when upper=True).");
}

void bind_decompositions(Module& la) {
  const py::object qr_t = result_type("linalg_qr", {"Q", "R"});
  const py::object eigh_t = result_type("linalg_eigh", {"eigenvalues", "eigenvectors"});
  const py::object svd_t = result_type("linalg_svd", {"U", "S", "Vh"});
  const py::object lstsq_t =
      result_type("linalg_lstsq", {"solution", "residuals", "rank", "singular_values"});
  const auto A = py::arg("A");

  la.def(
      "qr",
      [qr_t](LimbTensor a, const std::string& mode) {
        const dense::QrMode md = qr_mode(mode);
        LimbTensor x = a;
        auto r = released([&] { return dense::qr(x, md); });
        return qr_t(r.first, r.second);
      },
      A, py::arg("mode") = "reduced", "Householder QR; mode 'reduced', 'complete' or 'r'.");
  la.def(
      "eigh",
      [eigh_t](LimbTensor a, const std::string& uplo) {
        const bool lower = uplo_lower(uplo, "linalg.eigh");
        LimbTensor x = a;
        auto r = released([&] { return dense::eigh(x, lower, true, "linalg.eigh"); });
        return eigh_t(r.first, r.second);
      },
      A, py::arg("UPLO") = "L",
      "Eigenvalues (ascending) and eigenvectors of a symmetric matrix, by Jacobi rotations.");
  la.def(
      "eigvalsh",
      [](LimbTensor a, const std::string& uplo) {
        const bool lower = uplo_lower(uplo, "linalg.eigvalsh");
        LimbTensor x = a;
        return released([&] { return dense::eigh(x, lower, false, "linalg.eigvalsh").first; });
      },
      A, py::arg("UPLO") = "L", "Eigenvalues (ascending) of a symmetric matrix.");
  la.def(
      "svd",
      [svd_t](LimbTensor x, bool full_matrices, py::handle) {
        auto r = released([&] { return dense::svd(x, full_matrices); });
        return svd_t(std::get<0>(r), std::get<1>(r), std::get<2>(r));
      },
      A, py::arg("full_matrices") = true, py::kw_only(), py::arg("driver") = py::none(),
      "Singular value decomposition by one-sided Jacobi; S descending.");
  la.def(
      "svdvals",
      [](LimbTensor x, py::handle) { return released([&] { return dense::svdvals(x); }); }, A,
      py::kw_only(), py::arg("driver") = py::none(), "Singular values, descending.");
  la.def(
      "lstsq",
      [lstsq_t](LimbTensor a, LimbTensor b, py::handle rcond, py::handle driver) {
        const auto rc = opt_float(rcond, "linalg.lstsq", "rcond");
        const dense::LstsqDriver d = lstsq_driver(driver);
        LimbTensor x = a, y = b;
        auto r = released([&] { return dense::lstsq(x, y, rc, d); });
        return lstsq_t(r.solution, r.residuals, r.rank, r.singular_values);
      },
      A, py::arg("B"), py::arg("rcond") = py::none(), py::kw_only(), py::arg("driver") = py::none(),
      "Minimum-norm least-squares solution through the SVD.");
}

void bind_norm_functions(Module& la) {
  const auto A = py::arg("A");

  la.def(
      "vector_norm",
      [](LimbTensor a, py::handle ord, py::handle dim, py::handle keepdim) {
        const double o = vector_ord(ord, "linalg.vector_norm");
        const auto dims = dims_arg(dim, "linalg.vector_norm");
        const bool keep = truth(keepdim);
        LimbTensor x = a;
        return released([&] { return dense::vector_norm(x, o, dims, keep); });
      },
      py::arg("x"), py::arg("ord") = 2, py::arg("dim") = py::none(), py::arg("keepdim") = false,
      "Vector norm over all elements or the given dims.");
  la.def(
      "matrix_norm",
      [](LimbTensor a, py::handle ord, py::handle dim, py::handle keepdim) {
        const dense::MatrixOrd o = matrix_ord(ord, "linalg.matrix_norm");
        const auto dims = dims_arg(dim, "linalg.matrix_norm");
        if (!dims || dims->size() != 2)
          throw std::runtime_error("linalg.matrix_norm: dim must be a 2-tuple. Got " +
                                   py::str(dim).cast<std::string>());
        const bool keep = truth(keepdim);
        LimbTensor x = a;
        return released([&] { return dense::matrix_norm(x, o, (*dims)[0], (*dims)[1], keep); });
      },
      A, py::arg("ord") = "fro", py::arg("dim") = py::make_tuple(-2, -1),
      py::arg("keepdim") = false, "Matrix norm: 'fro', 'nuc', 1, -1, 2, -2, inf or -inf.");
  la.def(
      "norm",
      [](LimbTensor a, py::handle ord, py::handle dim, py::handle keepdim) {
        return vector_or_matrix_norm(a, ord, dim, truth(keepdim));
      },
      A, py::arg("ord") = py::none(), py::arg("dim") = py::none(), py::arg("keepdim") = false,
      "Vector or matrix norm, as torch.linalg.norm decides from ord and dim.");
  la.def(
      "cond",
      [](LimbTensor a, py::handle p) {
        const dense::MatrixOrd o =
            p.is_none() ? dense::MatrixOrd::kTwo : matrix_ord(p, "linalg.cond");
        LimbTensor x = a;
        return released([&] { return dense::cond(x, o); });
      },
      A, py::arg("p") = py::none(), "Condition number; p = None is the 2-norm one.");
  la.def(
      "matrix_rank",
      [](LimbTensor a, py::handle tol, py::handle hermitian, py::handle atol, py::handle rtol) {
        auto at = opt_float(atol, "linalg.matrix_rank", "atol");
        const auto rt = opt_float(rtol, "linalg.matrix_rank", "rtol");
        const auto legacy = opt_float(tol, "linalg.matrix_rank", "tol");
        if (legacy) {
          if (at || rt)
            throw std::runtime_error(
                "linalg.matrix_rank: tol and atol/rtol cannot be given together");
          at = legacy;
        }
        const bool herm = truth(hermitian);
        LimbTensor x = a;
        return released([&] {
          return dense::matrix_rank(x, at, legacy ? std::optional<double>(0.0) : rt, herm);
        });
      },
      A, py::arg("tol") = py::none(), py::arg("hermitian") = false, py::kw_only(),
      py::arg("atol") = py::none(), py::arg("rtol") = py::none(),
      "Number of singular values above max(atol, rtol * largest); an int64 torch tensor.");
  la.def(
      "pinv",
      [](LimbTensor a, py::handle rcond, py::handle hermitian, py::handle atol, py::handle rtol) {
        const auto at = opt_float(atol, "linalg.pinv", "atol");
        auto rt = opt_float(rtol, "linalg.pinv", "rtol");
        const auto rc = opt_float(rcond, "linalg.pinv", "rcond");
        if (rc) {
          if (at || rt)
            throw std::runtime_error("linalg.pinv: rcond and atol/rtol cannot be given together");
          rt = rc;
        }
        const bool herm = truth(hermitian);
        LimbTensor x = a;
        return released([&] { return dense::pinv(x, at, rt, herm); });
      },
      A, py::arg("rcond") = py::none(), py::arg("hermitian") = false, py::kw_only(),
      py::arg("atol") = py::none(), py::arg("rtol") = py::none(),
      "Pseudo-inverse through the SVD (the eigen-decomposition when hermitian).");
}

void bind_matrix_functions(Module& la) {
  const py::object lu_factor_t = result_type("linalg_lu_factor", {"LU", "pivots"});
  const py::object lu_t = result_type("linalg_lu", {"P", "L", "U"});
  const auto A = py::arg("A");

  la.def("matrix_exp", released_call(&dense::matrix_exp), A,
         "exp(A) by scaling and squaring of the Taylor series.");
  la.def(
      "matrix_power",
      [](LimbTensor a, py::handle n) {
        const int64_t k = truncated_int(n, "n");
        LimbTensor x = a;
        return released([&] { return dense::matrix_power(x, k); });
      },
      A, py::arg("n"), "A^n by repeated squaring; negative n through the inverse.");
  la.def("solve_triangular", released_call(&dense::solve_triangular), A, py::arg("B"),
         py::kw_only(), py::arg("upper"), py::arg("left") = true, py::arg("unitriangular") = false,
         "X with A X = B (X A = B) for a triangular A.");
  la.def(
      "lu_factor",
      [lu_factor_t](LimbTensor x, bool pivot) {
        auto r = released([&] { return dense::lu_factor(x, pivot); });
        return lu_factor_t(r.first, r.second);
      },
      A, py::kw_only(), py::arg("pivot") = true,
      "Compact LU with partial pivoting; pivots are int32 as LAPACK's.");
  la.def(
      "lu",
      [lu_t](LimbTensor x, bool pivot) {
        auto r = released([&] { return dense::lu(x, pivot); });
        return lu_t(std::get<0>(r), std::get<1>(r), std::get<2>(r));
      },
      A, py::kw_only(), py::arg("pivot") = true, "A = P L U with partial pivoting.");
  la.def(
      "lu_solve",
      [](LimbTensor x, const at::Tensor& pivots, LimbTensor y, bool left, bool adjoint) {
        at::Tensor piv = pivots;
        return released([&] { return dense::lu_solve(x, piv, y, left, adjoint); });
      },
      py::arg("LU"), py::arg("pivots"), py::arg("B"), py::kw_only(), py::arg("left") = true,
      py::arg("adjoint") = false, "X with A X = B from lu_factor's result.");
  la.def(
      "cross",
      [](LimbTensor a, LimbTensor b, py::handle dim) {
        const int64_t d = truncated_int(dim, "dim");
        LimbTensor x = a, y = b;
        return released([&] { return dense::cross(x, y, d); });
      },
      py::arg("input"), py::arg("other"), py::kw_only(), py::arg("dim") = -1,
      "Cross product of 3-vectors along dim.");
  la.def(
      "vecdot",
      [](LimbTensor a, LimbTensor b, py::handle dim) {
        const int64_t d = truncated_int(dim, "dim");
        LimbTensor x = a, y = b;
        return released([&] { return dense::vecdot(x, y, d); });
      },
      py::arg("x"), py::arg("y"), py::kw_only(), py::arg("dim") = -1,
      "Dot products along dim, broadcasting.");
  la.def(
      "multi_dot",
      [](const std::vector<LimbTensor>& tensors) {
        return released([&] { return dense::multi_dot(tensors); });
      },
      py::arg("tensors"), "Chained matrix product; the first and last may be vectors.");
}

// The top-level names of the same operations.
void bind_top_level(Module& m) {
  m.def("cholesky_solve", released_call(&dense::cholesky_solve), py::arg("input"),
        py::arg("input2"), py::arg("upper") = false,
        "X with A X = B, given the Cholesky factor of A (input2) and B (input).");
  m.def("det", released_call(&dense::det), py::arg("input"), "Determinant (linalg.det).");
  m.def("logdet", released_call(&dense::logdet), py::arg("input"),
        "log of the determinant: NaN when it is negative, -inf when zero.");
  m.def("inverse", released_call(&dense::inv), py::arg("input"), "Matrix inverse (linalg.inv).");
}

// The complex kernels behind varnel.zel._complex_linalg, on real views.
void bind_complex(Module& la) {
  la.def("_complex_solve", released_call(&dense::complex_solve), py::arg("A"), py::arg("B"),
         "X with A X = B on real views (k, n, n, 2), (k, n, m, 2); (X, status).");
  la.def("_complex_inv", released_call(&dense::complex_inv), py::arg("A"),
         "Inverse on real views; (X, status).");
  la.def("_complex_det", released_call(&dense::complex_det), py::arg("A"),
         "(det, sign, logabsdet) on real views.");
  la.def("_complex_cholesky", released_call(&dense::complex_cholesky), py::arg("A"),
         "Lower Cholesky factor from the lower triangle, on real views; (L, status).");
  la.def("_complex_qr", released_call(&dense::complex_qr), py::arg("A"), py::arg("complete"),
         "Householder QR on real views; (Q, R).");
  la.def("_complex_eig", released_call(&dense::complex_eig), py::arg("A"), py::arg("vectors"),
         "Eigenvalues and unit eigenvectors on real views; (values, vectors, status).");
  la.def("_complex_eigh", released_call(&dense::complex_eigh), py::arg("A"), py::arg("vectors"),
         "Hermitian eigenproblem from the lower triangle on real views; (values, vectors, "
         "status).");
  la.def("_complex_svd", released_call(&dense::complex_svd), py::arg("A"), py::arg("full_matrices"),
         "SVD on real views; (U, S, Vh, status).");
}

}  // namespace
void bind_linalg(Module& m) {
  py::module_ torch = py::module_::import("torch");
  static PyObject* linalg_error = [&] {
    py::object cls = torch.attr("linalg").attr("LinAlgError");
    return cls.release().ptr();
  }();
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const dense::LinAlgError& e) {
      PyErr_SetString(linalg_error, e.what());
    }
  });
  Module la(m.def_submodule("linalg",
                            "Linear algebra with torch.linalg's names, arguments and results."));
  la.attr("LinAlgError") = py::handle(linalg_error);
  bind_factorizations(la);
  bind_decompositions(la);
  bind_norm_functions(la);
  bind_matrix_functions(la);
  bind_complex(la);
  bind_top_level(m);
}

}  // namespace zel
