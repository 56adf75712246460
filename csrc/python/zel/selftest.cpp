// test_kalden(): the demonstration report printed by `python -m varnel.zel`.
// It drives the public API exactly as a user script would, so it exercises
// the same paths (operators, reflected forms, promotion of Python numbers).
#include "python/zel/bindings.h"

namespace zel {

namespace {

std::string fmt(py::handle value, const char* pattern) {
  return py::str(py::module_::import("builtins").attr("format")(value, pattern))
      .cast<std::string>();
}

std::string fmt_item(const py::object& t, const char* pattern) {
  return fmt(t.attr("item")(), pattern);
}

void cancellation_case(py::module_& m, const char* title, double big) {
  py::print(title);
  py::list values;
  values.append(big);
  values.append(1.0);
  values.append(-big);
  py::object result = m.attr("tensor")(values).attr("sum")();
  py::object item = result.attr("item")();
  py::print("   Result: " + py::str(item).cast<std::string>());
  py::print("   Expected: 1.0");
  // Checked only while assertions are enabled, like a Python assert.
  if (!Py_OptimizeFlag && item.cast<double>() != 1.0) {
    PyErr_SetString(PyExc_AssertionError,
                    ("FAIL: got " + py::str(item).cast<std::string>()).c_str());
    throw py::error_already_set();
  }
  py::print("   PASS");
}

void synchronize(const py::object& torch) {
  if (torch.attr("cuda").attr("is_available")().cast<bool>())
    torch.attr("cuda").attr("synchronize")();
}

void test_kalden(py::module_& m) {
  const std::string rule(60, '=');
  py::object tensor = m.attr("tensor");
  py::print("ZEL KALDEN Tests");
  py::print(rule);

  cancellation_case(m, "\n1. Catastrophic Cancellation: [1e8, 1, -1e8].sum()", 1e8);
  cancellation_case(m, "\n2. Large Scale: [1e16, 1.0, -1e16].sum()", 1e16);

  py::print("\n3. Basic Operations:");
  py::object a = tensor(3.14159), b = tensor(2.71828);
  py::print("   a = " + fmt_item(a, ".6f"));
  py::print("   b = " + fmt_item(b, ".6f"));
  py::print("   a + b = " + fmt_item(a + b, ".6f"));
  py::print("   a - b = " + fmt_item(a - b, ".6f"));
  py::print("   a * b = " + fmt_item(a * b, ".6f"));
  py::print("   a / b = " + fmt_item(a / b, ".6f"));

  py::print("\n4. Matrix Operations:");
  py::object mat = tensor(py::make_tuple(py::make_tuple(1.0, 2.0), py::make_tuple(3.0, 4.0)));
  py::object vec = tensor(py::make_tuple(1.0, 1.0));
  py::print("   Matrix:\n   " + py::str(mat.attr("tolist")()).cast<std::string>());
  py::print("   Vector: " + py::str(vec.attr("tolist")()).cast<std::string>());
  py::object mv = m.attr("matmul")(mat, vec);
  py::print("   M @ v = " + py::str(mv.attr("tolist")()).cast<std::string>());

  py::print("\n5. Transcendental Functions:");
  py::object one = tensor(1.0);
  py::print("   exp(1) = " + fmt_item(one.attr("exp")(), ".10f") + " (expected: 2.7182818285)");
  py::print("   log(e) = " + fmt_item(tensor(2.718281828).attr("log")(), ".10f") +
            " (expected: 1.0)");
  py::print("   sin(pi/2) = " + fmt_item(tensor(1.5707963268).attr("sin")(), ".10f") +
            " (expected: 1.0)");
  py::print("   cos(0) = " + fmt_item(tensor(0.0).attr("cos")(), ".10f") + " (expected: 1.0)");

  py::print("\n6. Lorenz System (1000 steps):");
  py::object time = py::module_::import("time");
  py::object torch = m.attr("_torch");
  const py::float_ dt(0.01), sigma(10.0), rho(28.0), beta(2.6666666666666665);
  py::object x = tensor(1.0), y = tensor(1.0), z = tensor(1.0);
  for (int i = 0; i < 10; ++i) {
    py::object dx = (y - x) * sigma;
    x = x + dx * dt;
  }
  x = tensor(1.0);
  y = tensor(1.0);
  z = tensor(1.0);
  synchronize(torch);
  const double t0 = time.attr("time")().cast<double>();
  for (int i = 0; i < 1000; ++i) {
    py::object dx = (y - x) * sigma;
    py::object dy = x * (rho - z) - y;
    py::object dz = x * y - z * beta;
    x = x + dx * dt;
    y = y + dy * dt;
    z = z + dz * dt;
  }
  synchronize(torch);
  const double elapsed = time.attr("time")().cast<double>() - t0;
  py::print("   Time: " + fmt(py::float_(elapsed), ".3f") + "s");
  py::print("   Speed: " + fmt(py::float_(1000.0 / elapsed), ".1f") + " steps/sec");
  py::print("   Final: (" + fmt_item(x, ".6f") + ", " + fmt_item(y, ".6f") + ", " +
            fmt_item(z, ".6f") + ")");

  py::print("\n" + rule);
  py::print("ALL TESTS PASSED - KALDEN VERIFIED");
  py::print(rule);
}

}  // namespace

void bind_selftest(Module& m) {
  py::handle module_handle = m;
  m.def(
      "test_kalden",
      [module_handle]() {
        py::module_ mod = py::reinterpret_borrow<py::module_>(module_handle);
        test_kalden(mod);
      },
      "Test KALDEN error property.");
}

}  // namespace zel
