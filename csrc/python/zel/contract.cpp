// Matrix products: the @ operator, matmul, mm, bmm, mv and dot (one
// kernel, the limb matrix product of kernels/matrix.h).
#include "python/zel/bindings.h"
#include "tensor/contract/matmul.h"

namespace zel {

void bind_contract(Module& m, TensorClass& cls) {
  cls.def(
      "__matmul__",
      [](LimbTensor a, py::handle b) -> py::object {
        if (!py::isinstance<LimbTensor>(b)) return not_implemented();
        const LimbTensor& bt = b.cast<LimbTensor>();
        return released_tensor([&] { return matmul(a, bt); });
      },
      py::is_operator());

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
