// Direct number slots for + - * / on Tensor. Python's generic slot for a
// class that defines __add__ looks the method up, and pybind11 then searches
// its overloads and converts each argument: together more than the 0-d
// operation itself. These slots compute the common case at once (a small
// CPU Tensor with another one or with a Python float or int, exact types)
// through the same tensor-layer functions as the methods, so the bits are
// the same; everything else goes to the methods, as the generic slot does.
#include "python/bindings.h"
#include "tensor/arith.h"
#include "tensor/elementwise.h"

namespace zel {

namespace {

PyTypeObject* tensor_type = nullptr;

// Rows up to which a call is computed in the slot (the methods keep the
// larger work and its GIL release).
constexpr int64_t kFastRows = 64;

struct Op {
  PyObject* name;   // "__add__"
  PyObject* rname;  // "__radd__"
  LimbTensor (*both)(const LimbTensor&, const LimbTensor&);
  LimbTensor (*scalar)(const LimbTensor&, double);   // tensor op number
  LimbTensor (*rscalar)(const LimbTensor&, double);  // number op tensor; null: via from_python
};

Op op_add, op_sub, op_mul, op_div;

bool is_ours(PyObject* o) { return PyObject_TypeCheck(o, tensor_type); }

// type(self).<name>(self, arg), looked up on the type as Python looks up
// special methods; NotImplemented when the type has no such method.
PyObject* call_special(PyObject* self, PyObject* name, PyObject* arg) {
  PyObject* f = _PyType_Lookup(Py_TYPE(self), name);
  if (!f) Py_RETURN_NOTIMPLEMENTED;
  Py_INCREF(f);
  PyObject* r;
  if (descrgetfunc get = Py_TYPE(f)->tp_descr_get) {
    PyObject* bound = get(f, self, reinterpret_cast<PyObject*>(Py_TYPE(self)));
    Py_DECREF(f);
    if (!bound) return nullptr;
    r = PyObject_CallOneArg(bound, arg);
    Py_DECREF(bound);
  } else {
    r = PyObject_CallOneArg(f, arg);
    Py_DECREF(f);
  }
  return r;
}

// What the generic slot does: the left operand's method, then the right
// operand's reflected one when the left declined and their types differ.
PyObject* by_methods(PyObject* a, PyObject* b, const Op& op) {
  if (is_ours(a)) {
    PyObject* r = call_special(a, op.name, b);
    if (r != Py_NotImplemented || Py_TYPE(a) == Py_TYPE(b) || !is_ours(b)) return r;
    Py_DECREF(r);
  }
  if (is_ours(b)) return call_special(b, op.rname, a);
  Py_RETURN_NOTIMPLEMENTED;
}

// The limbs of an exact Tensor that passes every check of the methods and
// is small and on the CPU; null otherwise.
const LimbTensor* fast_operand(PyObject* o) {
  if (Py_TYPE(o) != tensor_type) return nullptr;
  auto* inst = reinterpret_cast<py::detail::instance*>(o);
  if (!inst->simple_layout || !inst->simple_holder_constructed) return nullptr;
  const auto* t = static_cast<const LimbTensor*>(inst->simple_value_holder[0]);
  if (!t) return nullptr;
  const at::Tensor& d = t->data;
  if (!d.defined() || !d.device().is_cpu() || d.scalar_type() != at::kDouble || d.dim() != 2 ||
      d.size(1) != limbs::kLimbs || d.size(0) > kFastRows || !d.is_contiguous() ||
      t->shape.size() > kMaxDims || d.size(0) != shape_numel(t->shape))
    return nullptr;
  return t;
}

// float(o) for an exact int or float; false (no error set) otherwise.
bool fast_number(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (!PyLong_CheckExact(o)) return false;
  out = PyLong_AsDouble(o);
  if (out == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();  // the method raises it again
    return false;
  }
  return true;
}

template <const Op& op>
PyObject* slot(PyObject* a, PyObject* b) {
  try {
    const LimbTensor* ta = fast_operand(a);
    const LimbTensor* tb = fast_operand(b);
    double c;
    if (ta && tb) return py::cast(op.both(*ta, *tb)).release().ptr();
    if (ta && fast_number(b, c)) return py::cast(op.scalar(*ta, c)).release().ptr();
    if (tb && fast_number(a, c)) {
      if (op.rscalar) return py::cast(op.rscalar(*tb, c)).release().ptr();
      return py::cast(op.both(from_python(a, at::kCPU), *tb)).release().ptr();
    }
  } catch (...) {
    // The methods raise the error in their words.
    PyErr_Clear();
  }
  return by_methods(a, b, op);
}

PyObject* interned(const char* s) { return PyUnicode_InternFromString(s); }

}  // namespace

void install_fast_ops(TensorClass& cls) {
  tensor_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  op_add = {interned("__add__"), interned("__radd__"), add, add_scalar, add_scalar};
  op_sub = {interned("__sub__"), interned("__rsub__"), sub, sub_scalar, rsub_scalar};
  op_mul = {interned("__mul__"), interned("__rmul__"), mul, mul_scalar, mul_scalar};
  op_div = {interned("__truediv__"), interned("__rtruediv__"), div, div_scalar, nullptr};
  PyNumberMethods* nb = tensor_type->tp_as_number;
  nb->nb_add = slot<op_add>;
  nb->nb_subtract = slot<op_sub>;
  nb->nb_multiply = slot<op_mul>;
  nb->nb_true_divide = slot<op_div>;
  PyType_Modified(tensor_type);
}

}  // namespace zel
