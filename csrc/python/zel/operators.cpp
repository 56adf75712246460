// The arithmetic and comparison operators of Tensor (+ - * / // % **, their
// reflected forms, unary - and +, < <= > >= == !=), and their fast paths.
//
// Direct number slots for + - * / on Tensor. Python's generic slot for a
// class that defines __add__ looks the method up, and pybind11 then searches
// its overloads and converts each argument: together more than the 0-d
// operation itself. These slots compute the common case at once (a small
// CPU Tensor with another one or with a Python float or int, exact types)
// through the same tensor-layer functions as the methods, so the bits are
// the same; everything else goes to the methods, as the generic slot does.
// The one-operand element functions (exp, sin, abs, ...) get direct methods
// the same way, bound with their rows (pointwise.cpp).
#include <array>
#include <cstring>
#include <memory>
#include <utility>

#include <structmember.h>

#include "kernels/pointwise.h"
#include "kernels/pointwise_table.h"
#include "python/zel/bindings.h"
#include "python/zel/slot_operands.h"
#include "tensor/pointwise/arith.h"
#include "tensor/pointwise/pointwise.h"

namespace zel {

namespace {

PyTypeObject* tensor_type = nullptr;

// Rows up to which a call is computed in the slot (the methods keep the
// larger work and its GIL release).
constexpr int64_t kFastRows = 64;

using limbs::Row;

struct Op {
  PyObject* name;   // "__add__"
  PyObject* rname;  // "__radd__"
  const char* dunder;
  const char* rdunder;
  LimbTensor (*both)(const LimbTensor&, const LimbTensor&);
  LimbTensor (*scalar)(const LimbTensor&, double);   // tensor op number
  LimbTensor (*rscalar)(const LimbTensor&, double);  // number op tensor; null: via from_python
  // One element: the run kernel `both` uses on operands of one shape, and
  // the element functions of `scalar` and `rscalar`.
  void (*run)(const Row*, const Row*, Row*, int64_t);
  Row (*row_scalar)(const Row&, double);
  Row (*row_rscalar)(const Row&, double);
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
// is small and on the CPU (or holds an inline row); null otherwise.
// `history` is set when the operation may have to be recorded.
LimbTensor* fast_operand(PyObject* o, bool& history) {
  if (Py_TYPE(o) != tensor_type) return nullptr;
  auto* inst = reinterpret_cast<py::detail::instance*>(o);
  if (!inst->simple_layout || !inst->simple_holder_constructed) return nullptr;
  auto* t = static_cast<LimbTensor*>(inst->simple_value_holder[0]);
  if (!t) return nullptr;
  if (t->grad.meta && may_record()) history = true;
  if (t->inline_row) return t;
  if (!slot_layout(*t) || t->data.size(0) > kFastRows) return nullptr;
  return t;
}

// The LimbTensor of an object fast_operand accepted.
const LimbTensor* tensor_of(PyObject* o) {
  return static_cast<const LimbTensor*>(
      reinterpret_cast<py::detail::instance*>(o)->simple_value_holder[0]);
}

// The one row of a one-element operand, null for any other.
const Row* single_row(const LimbTensor* t) {
  if (!t) return nullptr;
  if (t->inline_row) return &t->row;
  return t->data.size(0) == 1 ? rows_of(t->data) : nullptr;
}

// Tensor objects made here rather than by py::cast, which looks the type up
// by name and registers the instance in a table each time: pybind11's own
// layout of an instance that owns its value through its holder, unregistered
// (pybind11 frees such an instance as any other; nothing here casts a
// pointer back to its object). `lean` is settled once, at binding time,
// against an object pybind11 made.
bool lean = false;

// Freed Tensor objects (of the exact type) kept for the next results, as
// CPython keeps freed floats; always touched with the GIL held.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kKeptObjects = 0;  // every object back to the sanitizer, which watches it
#else
constexpr int kKeptObjects = 256;
#endif
PyObject* kept_objects[kKeptObjects > 0 ? kKeptObjects : 1];
int kept_count = 0;

void free_tensor_object(void* p) {
  auto* o = static_cast<PyObject*>(p);
  if (Py_TYPE(o) == tensor_type && kept_count < kKeptObjects)
    kept_objects[kept_count++] = o;
  else
    PyObject_Free(p);
}

PyObject* alloc_tensor_object() {
  if (kept_count == 0) return tensor_type->tp_alloc(tensor_type, 0);
  PyObject* o = kept_objects[--kept_count];
  std::memset(static_cast<void*>(o), 0, static_cast<size_t>(tensor_type->tp_basicsize));
  return PyObject_Init(o, tensor_type);
}

LimbTensor* new_tensor_object(PyObject*& obj) {
  obj = alloc_tensor_object();
  if (!obj) throw py::error_already_set();
  auto* inst = reinterpret_cast<py::detail::instance*>(obj);
  auto* t = new LimbTensor();
  inst->simple_value_holder[0] = t;
  new (&inst->simple_value_holder[1]) std::unique_ptr<LimbTensor>(t);
  inst->simple_layout = true;
  inst->owned = true;
  inst->simple_holder_constructed = true;
  return t;
}

PyObject* to_object(LimbTensor&& r) {
  if (!lean) return py::cast(std::move(r)).release().ptr();
  PyObject* obj;
  *new_tensor_object(obj) = std::move(r);
  return obj;
}

// A one-element result of `shape`, computed by fill(row) into its inline row.
template <class F>
PyObject* inline_result(const Shape& shape, const F& fill) {
  if (!lean) {
    LimbTensor r;
    r.data = new_limbs_for(1);
    r.shape = shape;
    fill(*rows_of(r.data));
    return py::cast(std::move(r)).release().ptr();
  }
  PyObject* obj;
  LimbTensor* t = new_tensor_object(obj);
  if (!shape.empty()) t->shape = shape;
  t->inline_row = true;
  fill(t->row);
  return obj;
}

// pybind11's dealloc, for every object the short way below does not fit.
destructor pybind11_dealloc = nullptr;

// An exact Tensor that owns its LimbTensor through its holder, unregistered,
// with no weak references or kept-alive patients, freed while no exception
// is pending (pybind11 sets a pending one aside): what pybind11's dealloc
// does for it, without its generic walk.
void dealloc_tensor_object(PyObject* self) {
  auto* inst = reinterpret_cast<py::detail::instance*>(self);
  PyTypeObject* type = Py_TYPE(self);
  if (type != tensor_type || !inst->simple_layout || !inst->simple_holder_constructed ||
      inst->simple_instance_registered || inst->weakrefs || inst->has_patients ||
      PyErr_Occurred()) {
    pybind11_dealloc(self);
    return;
  }
  using Holder = std::unique_ptr<LimbTensor>;
  reinterpret_cast<Holder*>(&inst->simple_value_holder[1])->~Holder();
  inst->simple_holder_constructed = false;
  type->tp_free(self);
  Py_DECREF(type);
}

void settle_lean() {
  py::object probe = py::cast(LimbTensor{});
  auto* inst = reinterpret_cast<py::detail::instance*>(probe.ptr());
  lean = inst->simple_layout && inst->owned && inst->simple_holder_constructed &&
         Py_TYPE(probe.ptr()) == tensor_type &&
         py::detail::get_type_info(typeid(LimbTensor))->holder_size_in_ptrs == 1;
  // Objects without a collector's header, freed with PyObject_Free: those
  // may be kept.
  if (lean && !PyType_IS_GC(tensor_type) && tensor_type->tp_free == PyObject_Free &&
      tensor_type->tp_itemsize == 0 && tensor_type->tp_dictoffset == 0) {
    tensor_type->tp_free = free_tensor_object;
    pybind11_dealloc = tensor_type->tp_dealloc;
    tensor_type->tp_dealloc = dealloc_tensor_object;
  }
}

// A complex tensor or a Python complex number: the operation is the complex
// one (varnel.zel._complex), whatever the other operand.
bool complex_operand(PyObject* o) {
  if (PyComplex_Check(o)) return true;
  if (!is_ours(o)) return false;
  auto* inst = reinterpret_cast<py::detail::instance*>(o);
  if (!inst->simple_layout || !inst->simple_holder_constructed) return false;
  const auto* t = static_cast<const LimbTensor*>(inst->simple_value_holder[0]);
  return t && t->complex;
}

PyObject* complex_call(const char* name, PyObject* a, PyObject* b) {
  py::object f = py::module_::import("varnel.zel._complex").attr(b ? "binary" : "unary");
  py::object r = b ? f(name, py::handle(a), py::handle(b)) : f(name, py::handle(a));
  return r.release().ptr();
}

// --- complex forms of the tensor functions ------------------------------------
// A callable standing for a compiled function and its complex form
// (varnel.zel._complex): a call with a complex operand, or one that the
// compiled function refuses with a complex operand present, goes to the form.
// In C, so that real calls pay a pointer test per argument rather than a
// Python frame; a descriptor, so that it serves as a method too.
struct ComplexDispatch {
  PyObject_HEAD PyObject* orig;
  PyObject* form;
  int first;  // check the operands before calling orig (orig is Python code)
  vectorcallfunc vectorcall;
};

// A complex tensor among the operands (lists and tuples searched one level
// deep); with `numbers`, a Python complex number counts too.
bool any_complex(PyObject* const* args, Py_ssize_t n, bool numbers = true) {
  auto hit = [numbers](PyObject* o) {
    return complex_operand(o) && (numbers || !PyComplex_Check(o));
  };
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* o = args[i];
    if (hit(o)) return true;
    if (PyList_Check(o) || PyTuple_Check(o)) {
      PyObject* seq = PySequence_Fast(o, "");
      if (!seq) {
        PyErr_Clear();
        continue;
      }
      const Py_ssize_t m = PySequence_Fast_GET_SIZE(seq);
      PyObject** items = PySequence_Fast_ITEMS(seq);
      bool found = false;
      for (Py_ssize_t j = 0; j < m && !found; ++j) found = hit(items[j]);
      Py_DECREF(seq);
      if (found) return true;
    }
  }
  return false;
}

PyObject* dispatch_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* d = reinterpret_cast<ComplexDispatch*>(self);
  const Py_ssize_t n = PyVectorcall_NARGS(nargsf) + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
  if (d->first) {
    PyObject* f = any_complex(args, n) ? d->form : d->orig;
    return PyObject_Vectorcall(f, args, nargsf, kwnames);
  }
  PyObject* r = PyObject_Vectorcall(d->orig, args, nargsf, kwnames);
  if (r) return r;
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
      !PyErr_ExceptionMatches(PyExc_RuntimeError) && !PyErr_ExceptionMatches(PyExc_IndexError))
    return nullptr;
  // The operand test may call Python; orig's error waits aside meanwhile.
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  if (!any_complex(args, n)) {
    PyErr_Restore(type, value, trace);
    return nullptr;
  }
  PyObject* r2 = PyObject_Vectorcall(d->form, args, nargsf, kwnames);
  // Real tensors with a complex number the form cannot take either: orig's words.
  if (!r2 && !any_complex(args, n, false)) {
    PyErr_Clear();
    PyErr_Restore(type, value, trace);
    return nullptr;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(trace);
  return r2;
}

PyObject* dispatch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject *orig, *form;
  int first = 0;
  static const char* names[] = {"orig", "form", "first", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|p", const_cast<char**>(names), &orig, &form,
                                   &first))
    return nullptr;
  if (!PyCallable_Check(orig) || !PyCallable_Check(form)) {
    PyErr_SetString(PyExc_TypeError, "_ComplexDispatch(): orig and form must be callable");
    return nullptr;
  }
  auto* d = reinterpret_cast<ComplexDispatch*>(type->tp_alloc(type, 0));
  if (!d) return nullptr;
  Py_INCREF(orig);
  Py_INCREF(form);
  d->orig = orig;
  d->form = form;
  d->first = first;
  d->vectorcall = dispatch_call;
  return reinterpret_cast<PyObject*>(d);
}

int dispatch_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* d = reinterpret_cast<ComplexDispatch*>(self);
  Py_VISIT(d->orig);
  Py_VISIT(d->form);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int dispatch_clear(PyObject* self) {
  auto* d = reinterpret_cast<ComplexDispatch*>(self);
  Py_CLEAR(d->orig);
  Py_CLEAR(d->form);
  return 0;
}

void dispatch_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  dispatch_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* dispatch_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (!obj || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

// __name__, __qualname__, __doc__ and __module__ are orig's; __wrapped__ is orig.
PyObject* dispatch_attr(PyObject* self, void* name) {
  auto* d = reinterpret_cast<ComplexDispatch*>(self);
  if (!name) {
    Py_INCREF(d->orig);
    return d->orig;
  }
  PyObject* v = PyObject_GetAttrString(d->orig, static_cast<const char*>(name));
  if (!v && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    v = PyObject_GetAttrString(d->form, static_cast<const char*>(name));
  }
  return v;
}

PyGetSetDef dispatch_getset[] = {
    {"__name__", dispatch_attr, nullptr, nullptr, const_cast<char*>("__name__")},
    {"__qualname__", dispatch_attr, nullptr, nullptr, const_cast<char*>("__qualname__")},
    {"__doc__", dispatch_attr, nullptr, nullptr, const_cast<char*>("__doc__")},
    {"__module__", dispatch_attr, nullptr, nullptr, const_cast<char*>("__module__")},
    {"__text_signature__", dispatch_attr, nullptr, nullptr,
     const_cast<char*>("__text_signature__")},
    {"__wrapped__", dispatch_attr, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef dispatch_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(ComplexDispatch, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// An operation on a tensor with history records as its method would, as
// `name` (self, other); a false return leaves it to the method.
PyObject* recorded(const char* name, PyObject* self, PyObject* other, py::object result) {
  if (!record_operator(name, self, other, result)) return nullptr;
  return result.release().ptr();
}

template <const Op& op>
PyObject* slot(PyObject* a, PyObject* b) {
  // One-element operands and exact Python numbers, neither ever complex: at once.
  try {
    bool history = false;
    const Row* ra = single_row(fast_operand(a, history));
    const Row* rb = single_row(fast_operand(b, history));
    double c;
    if (!history && (ra || rb)) {
      const LimbTensor* ta = ra ? tensor_of(a) : nullptr;
      const LimbTensor* tb = rb ? tensor_of(b) : nullptr;
      if (ra && rb && ta->shape == tb->shape)
        return inline_result(ta->shape, [&](Row& out) { op.run(ra, rb, &out, 1); });
      if (ra && slot_number(b, c))
        return inline_result(ta->shape, [&](Row& out) { out = op.row_scalar(*ra, c); });
      if (rb && op.row_rscalar && slot_number(a, c))
        return inline_result(tb->shape, [&](Row& out) { out = op.row_rscalar(*rb, c); });
    }
  } catch (...) {
    PyErr_Clear();
  }
  if (complex_operand(a) || complex_operand(b)) {
    try {
      return complex_call(op.dunder, a, b);
    } catch (py::error_already_set& e) {
      e.restore();
      return nullptr;
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
      return nullptr;
    }
  }
  try {
    bool history = false;
    LimbTensor* ta = fast_operand(a, history);
    LimbTensor* tb = fast_operand(b, history);
    double c;
    if (!history) {
      // The one-element cases the first block leaves: a number divided by one.
      const Row* rb = single_row(tb);
      if (rb && !ta && !op.row_rscalar && slot_number(a, c)) {
        const LimbTensor left = from_python(a, at::kCPU);
        const Row* rl = single_row(&left);
        if (rl && left.shape == tb->shape)
          return inline_result(tb->shape, [&](Row& out) { op.run(rl, rb, &out, 1); });
      }
      if (ta) materialize(*ta);
      if (tb) materialize(*tb);
      if (ta && tb) return to_object(op.both(*ta, *tb));
      if (ta && slot_number(b, c)) return to_object(op.scalar(*ta, c));
      if (tb && slot_number(a, c)) {
        if (op.rscalar) return to_object(op.rscalar(*tb, c));
        return to_object(op.both(from_python(a, at::kCPU), *tb));
      }
    } else {
      if (ta) materialize(*ta);
      if (tb) materialize(*tb);
      PyObject* r = nullptr;
      if (ta && tb)
        r = recorded(op.dunder, a, b, py::cast(op.both(*ta, *tb)));
      else if (ta && slot_number(b, c))
        r = recorded(op.dunder, a, b, py::cast(op.scalar(*ta, c)));
      else if (tb && slot_number(a, c))
        r = recorded(
            op.rdunder, b, a,
            py::cast(op.rscalar ? op.rscalar(*tb, c) : op.both(from_python(a, at::kCPU), *tb)));
      if (r) return r;
    }
  } catch (...) {
    // The methods raise the error in their words.
    PyErr_Clear();
  }
  return by_methods(a, b, op);
}

PyObject* interned(const char* s) { return PyUnicode_InternFromString(s); }

void div_run(const Row* a, const Row* b, Row* out, int64_t n) {
  kernels::quotient_kernel(kernels::Quotient::Div, a, b, out, n);
}

PyObject* neg_name = nullptr;

// -t: the gradients of subtraction negate, so it has a slot as + - * / do.
PyObject* neg_slot(PyObject* a) {
  if (complex_operand(a)) {
    try {
      return complex_call("neg", a, nullptr);
    } catch (py::error_already_set& e) {
      e.restore();
      return nullptr;
    }
  }
  try {
    bool history = false;
    LimbTensor* t = fast_operand(a, history);
    if (t && !history) {
      if (const Row* r = single_row(t))
        return inline_result(t->shape, [&](Row& out) { out = neg_row(*r); });
      materialize(*t);
      return to_object(neg(*t));
    }
  } catch (...) {
    PyErr_Clear();
  }
  PyObject* f = _PyType_Lookup(Py_TYPE(a), neg_name);
  if (!f) {
    PyErr_SetString(PyExc_TypeError, "bad operand type for unary -");
    return nullptr;
  }
  return PyObject_CallOneArg(f, a);
}

// --- the one-operand element functions of the table ---------------------------
// A method descriptor per function: a call with no arguments on a small CPU
// Tensor is computed at once, through the same tensor-layer function as the
// general path; any other call, and any error, goes to the row's pybind11
// function, which answers in its words.
constexpr size_t kOpCount = kElementwiseOpCount;
PyObject* unary_methods[kOpCount];  // the pybind11 function of each row; owned, never freed
PyMethodDef unary_defs[kOpCount];   // must outlive the type

template <size_t I>
PyObject* unary_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) {
    try {
      bool history = false;
      LimbTensor* t = fast_operand(self, history);
      if (t && !history) {
        const ElementwiseOp& op = kElementwiseOps[I];
        const RowsKernel kernel = op.full && full_function_precision() ? op.full : op.unary;
        const Row* r = single_row(t);
        if (r && op.arity == 1 && kernel)
          return inline_result(t->shape, [&](Row& out) { kernel(r, &out, 1); });
        materialize(*t);
        return to_object(apply(op, *t));
      }
    } catch (...) {
      PyErr_Clear();
    }
  }
  // The pybind11 function with self in front: at most a few arguments.
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

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <size_t... I>
constexpr std::array<FastCall, kOpCount> unary_calls(std::index_sequence<I...>) {
  return {unary_method<I>...};
}

// --- the operator methods ------------------------------------------------------

py::object wrap(LimbTensor t) { return py::cast(std::move(t)); }

// Small operations keep the GIL: releasing it costs more than they do.
bool small(const at::Tensor& d) { return d.numel() < kReleaseRows * limbs::kLimbs; }

py::object binary(const char* name, const LimbTensor& self, py::handle other,
                  LimbTensor (*op)(const LimbTensor&, const LimbTensor&),
                  LimbTensor (*op_scalar)(const LimbTensor&, double)) {
  if (op_scalar && is_py_number(other)) {
    const double c = number_value(other);
    if (small(self.data)) return wrap(op_scalar(self, c));
    LimbTensor r;
    {
      py::gil_scoped_release nogil;
      r = op_scalar(self, c);
    }
    return wrap(std::move(r));
  }
  LimbTensor o;
  if (!as_operand(other, device_of(self, name), o)) return not_implemented();
  if (small(self.data) && small(o.data)) return wrap(op(self, o));
  LimbTensor r;
  {
    py::gil_scoped_release nogil;
    r = op(self, o);
  }
  return wrap(std::move(r));
}

// |n| as little-endian 64-bit words, for exponents of any size.
std::vector<unsigned long long> magnitude_words(py::handle n, bool& negative) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (!overflow) {
    negative = v < 0;
    // 0 - v in unsigned arithmetic is |v| even for the most negative v.
    return {negative ? 0ULL - static_cast<unsigned long long>(v)
                     : static_cast<unsigned long long>(v)};
  }
  negative = overflow < 0;
  std::vector<unsigned long long> words;
  py::object mag = py::reinterpret_steal<py::object>(PyNumber_Absolute(n.ptr()));
  if (!mag) throw py::error_already_set();
  const py::int_ shift(64);
  while (PyObject_IsTrue(mag.ptr())) {
    words.push_back(PyLong_AsUnsignedLongLongMask(mag.ptr()));
    mag = py::reinterpret_steal<py::object>(PyNumber_Rshift(mag.ptr(), shift.ptr()));
    if (!mag) throw py::error_already_set();
  }
  return words;
}

// Comparison of approximations: flat bool tensor on self's device.
py::object compare(const LimbTensor& a, py::handle other, const char* torch_op) {
  const bool number = is_py_number(other);
  if (!number && !py::isinstance<LimbTensor>(other)) return not_implemented();
  at::Tensor va, vb;
  {
    py::gil_scoped_release nogil;
    va = approx_values(a, torch_op);
  }
  py::object rhs;
  if (number) {
    rhs = py::reinterpret_borrow<py::object>(other);
  } else {
    const LimbTensor& b = other.cast<LimbTensor>();
    broadcast_shapes(a.shape, b.shape);
    {
      py::gil_scoped_release nogil;
      vb = approx_values(b, torch_op);
    }
    rhs = py::cast(vb);
  }
  // PyTorch's own operator, so scalars compare exactly as PyTorch compares them.
  at::Tensor r = torch_tensor_of(py::cast(va).attr(torch_op)(rhs)).reshape({-1});
  const at::Device dev = a.data.device();
  return py::cast(dev.is_cpu() ? r : r.to(dev));
}

void bind_operator_methods(TensorClass& cls) {
  cls.def(
      "__add__", [](LimbTensor a, py::handle o) { return binary("add", a, o, add, add_scalar); },
      py::is_operator());
  cls.def(
      "__radd__", [](LimbTensor a, py::handle o) { return binary("add", a, o, add, add_scalar); },
      py::is_operator());
  cls.def(
      "__sub__", [](LimbTensor a, py::handle o) { return binary("sub", a, o, sub, sub_scalar); },
      py::is_operator());
  cls.def(
      "__rsub__",
      [](LimbTensor a, py::handle o) {
        if (is_py_number(o)) return binary("sub", a, o, nullptr, rsub_scalar);
        LimbTensor left = from_python(o, device_of(a, "sub"));
        LimbTensor r;
        {
          py::gil_scoped_release nogil;
          r = sub(left, a);
        }
        return py::cast(std::move(r));
      },
      py::is_operator());
  cls.def("__neg__", [](LimbTensor a) { return neg(a); });
  cls.def("__pos__", [](LimbTensor a) { return clone(a); });
  auto times = [](LimbTensor a, py::handle o) -> py::object {
    if (is_py_number(o)) {
      const double c = number_value(o);
      if (small(a.data)) return py::cast(mul_scalar(a, c));
      LimbTensor r;
      {
        py::gil_scoped_release nogil;
        r = mul_scalar(a, c);
      }
      return py::cast(std::move(r));
    }
    if (py::isinstance<LimbTensor>(o)) return binary("mul", a, o, mul, nullptr);
    return not_implemented();
  };
  cls.def("__mul__", times, py::is_operator());
  cls.def("__rmul__", times, py::is_operator());

  cls.def(
      "__truediv__",
      [](LimbTensor self, py::handle other) -> py::object {
        if (is_py_number(other)) {
          const double c = number_value(other);
          return released_tensor([&] { return div_scalar(self, c); });
        }
        if (!py::isinstance<LimbTensor>(other)) return not_implemented();
        const LimbTensor& b = other.cast<LimbTensor>();
        return released_tensor([&] { return div(self, b); });
      },
      py::is_operator());
  cls.def(
      "__rtruediv__",
      [](LimbTensor self, py::handle other) {
        LimbTensor left = from_python(other, device_of(self, "div"));
        return released_tensor([&] { return div(left, self); });
      },
      py::is_operator());

  cls.def(
      "__pow__",
      [](LimbTensor self, py::handle exp) -> py::object {
        if (PyLong_Check(exp.ptr())) {
          bool negative = false;
          std::vector<unsigned long long> words = magnitude_words(exp, negative);
          return released_tensor([&] { return pow_int(self, negative, words); });
        }
        if (PyFloat_Check(exp.ptr())) {
          const double e = number_value(exp);
          return released_tensor([&] { return pow_float(self, e); });
        }
        return not_implemented();
      },
      py::arg("exp"), py::is_operator());

  cls.def(
      "__rpow__",
      [](LimbTensor self, py::handle base) -> py::object {
        if (!is_py_number(base)) return not_implemented();
        const double b = number_value(base);
        return released_tensor([&] { return rpow(b, self); });
      },
      py::arg("base"), py::is_operator());

  cls.def(
      "__floordiv__",
      [](LimbTensor self, py::handle other) -> py::object {
        if (is_py_number(other)) {
          const double c = number_value(other);
          return released_tensor([&] { return floordiv_scalar(self, c); });
        }
        if (!py::isinstance<LimbTensor>(other)) return not_implemented();
        const LimbTensor& b = other.cast<LimbTensor>();
        return released_tensor([&] { return floordiv(self, b); });
      },
      py::is_operator(), "Floor division.");
  cls.def(
      "__rfloordiv__",
      [](LimbTensor self, py::handle other) {
        LimbTensor left = from_python(other, device_of(self, "floordiv"));
        return released_tensor([&] { return floordiv(left, self); });
      },
      py::is_operator());
  cls.def(
      "__mod__",
      [](LimbTensor self, py::handle other) -> py::object {
        // A number divisor becomes a fresh element (element-wise reciprocal,
        // not the scalar path).
        LimbTensor b;
        if (!as_operand(other, device_of(self, "mod"), b)) return not_implemented();
        return released_tensor([&] { return mod(self, b); });
      },
      py::is_operator(), "Modulo operation.");
  cls.def(
      "__rmod__",
      [](LimbTensor self, py::handle other) {
        LimbTensor left = from_python(other, device_of(self, "mod"));
        return released_tensor([&] { return mod(left, self); });
      },
      py::is_operator());

  // --- comparisons ---
  const std::pair<const char*, const char*> comparisons[] = {
      {"__lt__", "__lt__"}, {"__le__", "__le__"}, {"__gt__", "__gt__"},
      {"__ge__", "__ge__"}, {"__eq__", "__eq__"}, {"__ne__", "__ne__"},
  };
  for (const auto& c : comparisons) {
    const char* torch_op = c.second;
    cls.def(
        c.first,
        [torch_op](LimbTensor self, py::handle other) { return compare(self, other, torch_op); },
        py::is_operator());
  }
  // Defining __eq__ must leave Tensor unhashable.
  cls.attr("__hash__") = py::none();
}

}  // namespace

void bind_fast_unary(TensorClass& cls, size_t row, py::cpp_function general) {
  static constexpr std::array<FastCall, kOpCount> calls =
      unary_calls(std::make_index_sequence<kOpCount>());
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  tensor_type = type;
  py::object doc = general.attr("__doc__");
  // The docstring pybind11 wrote (signature line included), kept for good.
  const char* text = doc.is_none() ? nullptr : PyUnicode_AsUTF8(doc.ptr());
  if (!doc.is_none() && !text) throw py::error_already_set();
  unary_methods[row] = general.release().ptr();
  unary_defs[row] =
      PyMethodDef{kElementwiseOps[row].name,
                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(calls[row])),
                  METH_FASTCALL | METH_KEYWORDS, text ? strdup(text) : nullptr};
  py::object descr = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &unary_defs[row]));
  if (!descr || PyObject_SetAttrString(cls.ptr(), kElementwiseOps[row].name, descr.ptr()) != 0)
    throw py::error_already_set();
}

py::object complex_dispatch_type() {
  PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(dispatch_new)},
                         {Py_tp_dealloc, reinterpret_cast<void*>(dispatch_dealloc)},
                         {Py_tp_traverse, reinterpret_cast<void*>(dispatch_traverse)},
                         {Py_tp_clear, reinterpret_cast<void*>(dispatch_clear)},
                         {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                         {Py_tp_descr_get, reinterpret_cast<void*>(dispatch_get)},
                         {Py_tp_getset, dispatch_getset},
                         {Py_tp_members, dispatch_members},
                         {0, nullptr}};
  PyType_Spec layout = {"varnel.zel.zel._ComplexDispatch", sizeof(ComplexDispatch), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR,
                        slots};
  PyObject* type = PyType_FromSpec(&layout);
  if (!type) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(type);
}

void bind_operators(TensorClass& cls) {
  bind_operator_methods(cls);
  // The slots go in after the methods: setting __add__ (or any of the
  // names of these slots) on the class again would put the generic slot back.
  tensor_type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  op_add = {
      interned("__add__"), interned("__radd__"), "__add__",      "__radd__",    add, add_scalar,
      add_scalar,          kernels::add_kernel,  add_scalar_row, add_scalar_row};
  op_sub = {
      interned("__sub__"), interned("__rsub__"), "__sub__",      "__rsub__",     sub, sub_scalar,
      rsub_scalar,         kernels::sub_kernel,  sub_scalar_row, rsub_scalar_row};
  op_mul = {
      interned("__mul__"), interned("__rmul__"), "__mul__",      "__rmul__",    mul, mul_scalar,
      mul_scalar,          kernels::mul_kernel,  mul_scalar_row, mul_scalar_row};
  op_div = {interned("__truediv__"),
            interned("__rtruediv__"),
            "__truediv__",
            "__rtruediv__",
            div,
            div_scalar,
            nullptr,
            div_run,
            div_scalar_row,
            nullptr};
  settle_lean();
  PyNumberMethods* nb = tensor_type->tp_as_number;
  nb->nb_add = slot<op_add>;
  nb->nb_subtract = slot<op_sub>;
  nb->nb_multiply = slot<op_mul>;
  nb->nb_true_divide = slot<op_div>;
  neg_name = interned("__neg__");
  nb->nb_negative = neg_slot;
  PyType_Modified(tensor_type);
}

}  // namespace zel
