// Direct number slots for + - * / on Tensor. Python's generic slot for a
// class that defines __add__ looks the method up, and pybind11 then searches
// its overloads and converts each argument: together more than the 0-d
// operation itself. These slots compute the common case at once (a small
// CPU Tensor with another one or with a Python float or int, exact types)
// through the same tensor-layer functions as the methods, so the bits are
// the same; everything else goes to the methods, as the generic slot does.
// The one-operand element functions (exp, sin, abs, ...) get direct methods
// the same way.
#include <cstring>
#include <utility>

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

// --- the one-operand element functions of the table ---------------------------
// A method descriptor per function, in place of the pybind11 method: a call
// with no arguments on a small CPU Tensor is computed at once, through the
// same tensor-layer function as the method; any other call, and any error,
// goes to the pybind11 method, which answers in its words.
constexpr size_t kOpCount = sizeof(kElementwiseOps) / sizeof(kElementwiseOps[0]);
PyObject* unary_methods[kOpCount];  // pybind11's function of each row; owned, never freed
PyMethodDef unary_defs[kOpCount];   // must outlive the type

template <size_t I>
PyObject* unary_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) {
    try {
      if (const LimbTensor* t = fast_operand(self))
        return py::cast(apply(kElementwiseOps[I], *t)).release().ptr();
    } catch (...) {
      PyErr_Clear();
    }
  }
  // The pybind11 method with self in front: at most a few arguments.
  constexpr Py_ssize_t kMaxArgs = 8;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs + nkw + 1 > kMaxArgs) {
    py::tuple positional(nargs + 1);
    positional[0] = py::reinterpret_borrow<py::object>(self);
    for (Py_ssize_t i = 0; i < nargs; ++i)
      positional[i + 1] = py::reinterpret_borrow<py::object>(args[i]);
    py::dict keywords;
    for (Py_ssize_t i = 0; i < nkw; ++i)
      keywords[py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(kwnames, i))] =
          py::reinterpret_borrow<py::object>(args[nargs + i]);
    return PyObject_Call(unary_methods[I], positional.ptr(), keywords.ptr());
  }
  PyObject* all[kMaxArgs];
  all[0] = self;
  for (Py_ssize_t i = 0; i < nargs + nkw; ++i) all[i + 1] = args[i];
  return PyObject_Vectorcall(unary_methods[I], all, static_cast<size_t>(nargs + 1), kwnames);
}

template <size_t... I>
void install_unary(PyTypeObject* type, std::index_sequence<I...>) {
  using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
  const FastCall calls[] = {unary_method<I>...};
  for (size_t i = 0; i < kOpCount; ++i) {
    const ElementwiseOp& op = kElementwiseOps[i];
    if (op.arity != 1) continue;
    PyObject* original = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), op.name);
    if (!original) throw py::error_already_set();
    py::object doc = py::reinterpret_steal<py::object>(PyObject_GetAttrString(original, "__doc__"));
    if (!doc) throw py::error_already_set();
    unary_methods[i] = original;
    // The docstring pybind11 wrote (signature line included), kept for good.
    const char* text = doc.is_none() ? nullptr : PyUnicode_AsUTF8(doc.ptr());
    if (!doc.is_none() && !text) throw py::error_already_set();
    unary_defs[i] =
        PyMethodDef{op.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calls[i])),
                    METH_FASTCALL | METH_KEYWORDS, text ? strdup(text) : nullptr};
    py::object descr = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &unary_defs[i]));
    if (!descr ||
        PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), op.name, descr.ptr()) != 0)
      throw py::error_already_set();
  }
}

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
  install_unary(tensor_type, std::make_index_sequence<kOpCount>());
  PyType_Modified(tensor_type);
}

}  // namespace zel
