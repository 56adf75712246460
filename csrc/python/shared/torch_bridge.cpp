// torch.Tensor objects for the bindings: the only file that includes torch's
// Python headers. It must not include convert.h, whose caster for
// at::Tensor stands in for torch's (declared by these headers) everywhere else.
#include <torch/csrc/autograd/python_variable.h>

namespace py = pybind11;

namespace zel {

bool is_torch_tensor(py::handle v) { return THPVariable_Check(v.ptr()); }

at::Tensor torch_tensor_of(py::handle v) { return THPVariable_Unpack(v.ptr()); }

py::object torch_object(const at::Tensor& t) {
  PyObject* o = THPVariable_Wrap(t);
  if (!o) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

}  // namespace zel
