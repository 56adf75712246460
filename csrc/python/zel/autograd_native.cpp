// Native nodes and the native engine.
//
// Most of what a scalar program records is arithmetic whose declared
// derivatives are arithmetic too ("grad * other", "-grad * self / (other *
// other)"). Such an operation records a node in C++: its formulas are parsed
// once into a small tree of + - * / over grad, result, the operands and
// numbers, and evaluated with the same Python operators the formula would
// call, in the same order, so the gradients are the bytes the Python
// formulas give. backward() without hooks, create_graph or inputs runs in
// C++ too, in the order of the Python engine (graph.py): latest node first,
// gradients meeting at a node added in the order they arrive. Every other
// graph, and every other operation, keeps the Python path; native nodes take
// part in it through the same members as the Python nodes.
#include <array>
#include <deque>
#include <memory>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

#include "python/zel/autograd.h"
#include "python/zel/bindings.h"
#include "python/zel/slot_operands.h"
#include "tensor/pointwise/arith.h"
#include "tensor/pointwise/pointwise.h"
// After Python.h, which the headers above bring.
#include <structmember.h>

namespace zel {
// Hidden as pybind11's own types are: the structs hold Python objects.
#pragma GCC visibility push(hidden)
namespace native_graph {

// Off: every node, and the engine, are the Python ones (the tests compare the two).
bool enabled = true;

// --- formulas --------------------------------------------------------------

// Values a formula reads: grad, result, then the call's arguments.
constexpr int kGrad = 0, kResult = 1, kFirstArg = 2;

struct Expr {
  enum Kind : uint8_t { Name, Number, Neg, Add, Sub, Mul, Div } kind = Name;
  int slot = -1;
  py::object number;
  int lhs = -1, rhs = -1;
};

struct Formula {
  std::vector<Expr> nodes;
  int root = -1;
  uint64_t reads = 0;  // bit per value slot
};

// Python's grammar for the part of it the arithmetic formulas use:
// sum := term (('+'|'-') term)*, term := factor (('*'|'/') factor)*,
// factor := '-' factor | name | number | '(' sum ')'. Anything else (a call,
// an attribute, **, //, %) is left to Python.
class Parser {
 public:
  Parser(const std::string& text, const std::vector<std::string>& names)
      : s_(text), names_(names) {}

  bool parse(Formula& f) {
    f_ = &f;
    const int root = sum();
    skip();
    if (root < 0 || pos_ != s_.size()) return false;
    f.root = root;
    return true;
  }

 private:
  void skip() {
    while (pos_ < s_.size() && s_[pos_] == ' ') ++pos_;
  }
  char peek() {
    skip();
    return pos_ < s_.size() ? s_[pos_] : '\0';
  }
  bool next_is(char c) {
    skip();
    return pos_ + 1 < s_.size() && s_[pos_ + 1] == c;
  }
  int add(Expr e) {
    f_->nodes.push_back(std::move(e));
    return static_cast<int>(f_->nodes.size()) - 1;
  }
  int binary(Expr::Kind k, int l, int r) {
    Expr e;
    e.kind = k;
    e.lhs = l;
    e.rhs = r;
    return add(std::move(e));
  }
  int sum() {
    int l = term();
    while (l >= 0) {
      const char c = peek();
      if (c != '+' && c != '-') break;
      ++pos_;
      const int r = term();
      if (r < 0) return -1;
      l = binary(c == '+' ? Expr::Add : Expr::Sub, l, r);
    }
    return l;
  }
  int term() {
    int l = factor();
    while (l >= 0) {
      const char c = peek();
      if (c != '*' && c != '/') break;
      if (next_is(c)) return -1;  // ** and //
      ++pos_;
      const int r = factor();
      if (r < 0) return -1;
      l = binary(c == '*' ? Expr::Mul : Expr::Div, l, r);
    }
    return l;
  }
  int factor() {
    const char c = peek();
    if (c == '-') {
      ++pos_;
      const int x = factor();
      if (x < 0) return -1;
      Expr e;
      e.kind = Expr::Neg;
      e.lhs = x;
      return add(std::move(e));
    }
    if (c == '(') {
      ++pos_;
      const int x = sum();
      if (x < 0 || peek() != ')') return -1;
      ++pos_;
      return after_atom(x);
    }
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') return number();
    if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') return name();
    return -1;
  }
  // An atom followed by a call, an attribute, an index or ** is Python's.
  int after_atom(int x) {
    const char c = peek();
    if (c == '(' || c == '.' || c == '[') return -1;
    if (c == '*' && next_is('*')) return -1;
    return x;
  }
  int number() {
    const size_t start = pos_;
    bool is_float = false;
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (std::isdigit(static_cast<unsigned char>(c))) {
        ++pos_;
      } else if (c == '.') {
        is_float = true;
        ++pos_;
      } else if ((c == 'e' || c == 'E') && pos_ > start) {
        is_float = true;
        ++pos_;
        if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
      } else {
        break;
      }
    }
    const std::string text = s_.substr(start, pos_ - start);
    // Python reads the literal: the same int or float the formula's code holds.
    py::object value =
        py::reinterpret_steal<py::object>(is_float ? PyFloat_FromString(py::str(text).ptr())
                                                   : PyLong_FromString(text.c_str(), nullptr, 10));
    if (!value) {
      PyErr_Clear();
      return -1;
    }
    Expr e;
    e.kind = Expr::Number;
    e.number = std::move(value);
    return after_atom(add(std::move(e)));
  }
  int name() {
    const size_t start = pos_;
    while (pos_ < s_.size() &&
           (std::isalnum(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '_'))
      ++pos_;
    const std::string id = s_.substr(start, pos_ - start);
    int slot = -1;
    for (size_t i = 0; i < names_.size(); ++i)
      if (names_[i] == id) {
        slot = static_cast<int>(i);
        break;
      }
    if (slot < 0) return -1;
    f_->reads |= uint64_t{1} << slot;
    Expr e;
    e.kind = Expr::Name;
    e.slot = slot;
    return after_atom(add(std::move(e)));
  }

  const std::string& s_;
  const std::vector<std::string>& names_;
  Formula* f_ = nullptr;
  size_t pos_ = 0;
};

py::object evaluate(const Formula& f, int i, const py::object* values) {
  const Expr& e = f.nodes[i];
  switch (e.kind) {
    case Expr::Name:
      return values[e.slot];
    case Expr::Number:
      return e.number;
    case Expr::Neg: {
      py::object x = evaluate(f, e.lhs, values);
      PyObject* r = PyNumber_Negative(x.ptr());
      if (!r) throw py::error_already_set();
      return py::reinterpret_steal<py::object>(r);
    }
    default:
      break;
  }
  py::object l = evaluate(f, e.lhs, values);
  py::object r = evaluate(f, e.rhs, values);
  PyObject* out = nullptr;
  switch (e.kind) {
    case Expr::Add:
      out = PyNumber_Add(l.ptr(), r.ptr());
      break;
    case Expr::Sub:
      out = PyNumber_Subtract(l.ptr(), r.ptr());
      break;
    case Expr::Mul:
      out = PyNumber_Multiply(l.ptr(), r.ptr());
      break;
    default:
      out = PyNumber_TrueDivide(l.ptr(), r.ptr());
      break;
  }
  if (!out) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(out);
}

// --- plans -----------------------------------------------------------------

struct Param {
  int arg = -1;          // index of the argument in the call
  bool formula = false;  // false: declared "None", no gradient
  Formula f;
};

// How one binding of an operation records natively.
struct Plan {
  std::string op;
  std::string node;
  PyObject* type = nullptr;        // the node type (MulBackward0, ...), owned
  int64_t evaluated = 0;           // gradients computed (for the tests' coverage count)
  std::vector<std::string> names;  // value slots: grad, result, then the arguments
  std::vector<Param> params;
  uint64_t declared_args = 0;  // bit per argument that is a declared parameter
};

// --- the node object -------------------------------------------------------

// A vector whose first N elements live inside it: a node's few edges and
// saved values cost no allocation of their own.
template <class T, size_t N>
class Small {
 public:
  Small() = default;
  Small(Small&& o) noexcept { *this = std::move(o); }
  Small& operator=(Small&& o) noexcept {
    n_ = o.n_;
    for (size_t i = 0; i < N; ++i) inline_[i] = std::move(o.inline_[i]);
    heap_ = std::move(o.heap_);
    o.n_ = 0;
    return *this;
  }
  void assign(size_t n, const T& v) {
    n_ = n;
    if (n > N) {
      heap_.assign(n, v);
    } else {
      heap_.clear();
      for (size_t i = 0; i < n; ++i) inline_[i] = v;
    }
  }
  void push_back(T v) {
    if (heap_.empty() && n_ < N) {
      inline_[n_++] = std::move(v);
      return;
    }
    if (heap_.empty())
      for (size_t i = 0; i < n_; ++i) heap_.push_back(std::move(inline_[i]));
    heap_.push_back(std::move(v));
    ++n_;
  }
  T* data() { return heap_.empty() ? inline_.data() : heap_.data(); }
  const T* data() const { return heap_.empty() ? inline_.data() : heap_.data(); }
  size_t size() const { return n_; }
  T& operator[](size_t i) { return data()[i]; }
  const T& operator[](size_t i) const { return data()[i]; }
  T* begin() { return data(); }
  T* end() { return data() + n_; }

 private:
  std::array<T, N> inline_{};
  std::vector<T> heap_;
  size_t n_ = 0;
};

struct Edge {
  py::object node;  // None for an input that takes no gradient
  int nr = 0;
};

struct State {
  Plan* plan = nullptr;
  int64_t seq = 0;
  Small<Edge, 2> edges;         // one per parameter
  Small<Shape, 2> shapes;       // the shape of each parameter's value, () for a number
  uint64_t live = 0;            // bit per parameter whose gradient is computed
  Small<py::object, 4> values;  // per slot; empty where no live formula reads it
  Small<int64_t, 4> versions;   // per slot: the saved tensor's version, -1 if none
  bool freed = false;
  py::object hooks, pre_hooks, tensor_hooks, metadata, next;
  // Where the engine run `run` keeps this node (see run()).
  uint64_t run = 0;
  size_t slot = 0;
};

// The state lives in the object itself: one allocation per node.
struct NodeObject {
  PyObject_HEAD PyObject* weakrefs;
  State state;
};

PyTypeObject* base_type = nullptr;

int64_t next_seq() {
  static int64_t counter = 0;  // under the GIL
  return counter++;
}

bool is_node(PyObject* o) { return base_type && PyObject_TypeCheck(o, base_type); }
State& state_of(PyObject* o) { return reinterpret_cast<NodeObject*>(o)->state; }

// Dropping a long chain of nodes would free it recursively, one C stack
// frame set per node: nodes freed inside another node's release hand their
// references to the outermost one, which drops them in a loop.
thread_local int releasing = 0;
thread_local std::vector<py::object> pending;  // kept between releases: no allocation per node

// Drops the references `take` moves into the queue; the outermost call
// empties it, so the nodes freed meanwhile only add to it.
template <class F>
void drop_all(F&& take) {
  take(pending);
  if (releasing > 0) return;
  ++releasing;
  while (!pending.empty()) {
    py::object next = std::move(pending.back());
    pending.pop_back();
  }
  --releasing;
}

void drop(py::object&& o) {
  if (o) drop_all([&](std::vector<py::object>& q) { q.push_back(std::move(o)); });
}

void dealloc(PyObject* self) {
  auto* n = reinterpret_cast<NodeObject*>(self);
  PyTypeObject* tp = Py_TYPE(self);
  if (n->weakrefs) PyObject_ClearWeakRefs(self);
  State moved = std::move(n->state);
  n->state.~State();
  tp->tp_free(self);
  Py_DECREF(tp);
  drop_all([&](std::vector<py::object>& q) {
    for (Edge& e : moved.edges)
      if (e.node) q.push_back(std::move(e.node));
    for (py::object& v : moved.values)
      if (v) q.push_back(std::move(v));
  });
}

const char* const kFreed =
    "Trying to backward through the graph a second time (or directly access saved tensors after "
    "they have already been freed). Saved intermediate values of the graph are freed when you "
    "call "
    ".backward() or autograd.grad(). Specify retain_graph=True if you need to backward through "
    "the "
    "graph a second time or if you need to access saved tensors after calling backward.";

// The LimbTensor of a Tensor object, null for anything else; the common
// layout is read directly, as the operator slots do.
LimbTensor* tensor_in(PyObject* o) {
  static PyTypeObject* tensor_type =
      reinterpret_cast<PyTypeObject*>(py::type::of<LimbTensor>().release().ptr());
  if (!o || !PyObject_TypeCheck(o, tensor_type)) return nullptr;
  auto* inst = reinterpret_cast<py::detail::instance*>(o);
  if (inst->simple_layout && inst->simple_holder_constructed && inst->simple_value_holder[0]) {
    auto* t = static_cast<LimbTensor*>(inst->simple_value_holder[0]);
    materialize(*t);
    return t;
  }
  return &py::reinterpret_borrow<py::object>(o).cast<LimbTensor&>();
}

int64_t version_of(const LimbTensor& t) {
  return t.data.defined() && !t.data.is_inference() ? static_cast<int64_t>(t.data._version()) : 0;
}

py::object formulas_attr(const char* name) {
  static py::object* mod = nullptr;
  if (!mod) mod = new py::object(py::module_::import("varnel.zel.autograd.formulas"));
  return mod->attr(name);
}

py::object graph_attr(const char* name) {
  static py::object* mod = nullptr;
  if (!mod) mod = new py::object(py::module_::import("varnel.zel.autograd.graph"));
  return mod->attr(name);
}

py::tuple shape_tuple(const Shape& s) {
  py::tuple t(s.size());
  for (size_t i = 0; i < s.size(); ++i) t[i] = py::int_(s[i]);
  return t;
}

// A gradient summed to the shape of its operand (formulas.sum_to).
py::object sum_to(py::object g, const Shape& shape) {
  if (const LimbTensor* t = tensor_in(g.ptr()))
    if (t->shape == shape) return g;
  static py::object* fn = new py::object(formulas_attr("sum_to"));
  return (*fn)(g, shape_tuple(shape));
}

// The saved result as a tensor whose gradient flows into `node` (double backward).
py::object result_alias(py::handle result, py::handle node) {
  const LimbTensor& t = *tensor_in(result.ptr());
  LimbTensor alias{t.data, t.shape, {}};
  auto meta = std::make_shared<GradMeta>();
  meta->requires_grad = true;
  meta->grad_fn = py::reinterpret_borrow<py::object>(node);
  alias.grad.meta = std::move(meta);
  return py::cast(std::move(alias));
}

void check_versions(State& s) {
  const Plan& p = *s.plan;
  for (size_t i = 0; i < s.versions.size(); ++i) {
    if (s.versions[i] < 0) continue;
    const LimbTensor& t = *tensor_in(s.values[i].ptr());
    const int64_t now = version_of(t);
    if (now != s.versions[i]) {
      std::string shape = "[";
      for (size_t k = 0; k < t.shape.size(); ++k)
        shape += (k ? ", " : "") + std::to_string(t.shape[k]);
      throw std::runtime_error(
          "one of the variables needed for gradient computation has been modified by an inplace "
          "operation: [varnel.zel.Tensor " +
          shape + "]] (operand '" + p.names[i] + "' of " + p.node + "), is at version " +
          std::to_string(now) + "; expected version " + std::to_string(s.versions[i]) +
          " instead.");
    }
  }
}

py::tuple apply(PyObject* self, const py::object* grads, size_t ngrads, bool create_graph) {
  State& s = state_of(self);
  if (s.freed) throw std::runtime_error(kFreed);
  const Plan& p = *s.plan;
  check_versions(s);
  // Local references: a large operation releases the GIL, and another
  // thread's backward may release this node meanwhile.
  std::vector<py::object> values(s.values.begin(), s.values.end());
  values[kGrad] = ngrads ? grads[0] : py::none();
  if (create_graph && values[kResult]) values[kResult] = result_alias(values[kResult], self);
  ++s.plan->evaluated;
  py::tuple out(p.params.size());
  for (size_t i = 0; i < p.params.size(); ++i) {
    if (!(s.live >> i & 1)) {
      out[i] = py::none();
      continue;
    }
    const Formula& f = p.params[i].f;
    out[i] = sum_to(evaluate(f, f.root, values.data()), s.shapes[i]);
  }
  return out;
}

void release(State& s) {
  s.freed = true;
  drop_all([&](std::vector<py::object>& q) {
    for (py::object& v : s.values)
      if (v) q.push_back(std::move(v));
  });
  std::fill(s.versions.begin(), s.versions.end(), -1);
}

// --- Python members --------------------------------------------------------

template <class F>
PyObject* guarded(F&& f) {
  try {
    return f();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

PyObject* py_apply(PyObject* self, PyObject* args) {
  PyObject* grads = nullptr;
  int create_graph = 0;
  if (!PyArg_ParseTuple(args, "O|p:apply", &grads, &create_graph)) return nullptr;
  return guarded([&]() -> PyObject* {
    py::tuple g = py::tuple(py::reinterpret_borrow<py::object>(grads));
    std::vector<py::object> gs;
    for (py::handle h : g) gs.push_back(py::reinterpret_borrow<py::object>(h));
    return apply(self, gs.data(), gs.size(), create_graph != 0).release().ptr();
  });
}

PyObject* py_release(PyObject* self, PyObject*) {
  release(state_of(self));
  Py_RETURN_NONE;
}

PyObject* get_next(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    State& s = state_of(self);
    if (!s.next) {
      py::tuple t(s.edges.size());
      for (size_t i = 0; i < s.edges.size(); ++i)
        t[i] = py::make_tuple(s.edges[i].node, s.edges[i].nr);
      s.next = t;
    }
    return s.next.inc_ref().ptr();
  });
}

PyObject* get_seq(PyObject* self, void*) { return PyLong_FromLongLong(state_of(self).seq); }

// _hooks, _pre_hooks, _tensor_hooks, _metadata: plain attributes, as on Python nodes.
template <py::object State::*field>
PyObject* get_field(PyObject* self, void*) {
  py::object& v = state_of(self).*field;
  return (v ? v : py::none()).inc_ref().ptr();
}

template <py::object State::*field>
int set_field(PyObject* self, PyObject* value, void*) {
  if (!value) {
    PyErr_SetString(PyExc_AttributeError, "cannot delete this attribute");
    return -1;
  }
  state_of(self).*field = py::reinterpret_borrow<py::object>(value);
  return 0;
}

PyMethodDef node_methods[] = {
    {"apply", py_apply, METH_VARARGS,
     "apply(grads, create_graph=False): the gradients of the inputs."},
    {"_release", py_release, METH_NOARGS, "Frees the saved values."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef node_getset[] = {
    {"next_functions", get_next, nullptr, "One (node, output_nr) edge per input.", nullptr},
    {"_seq", get_seq, nullptr, nullptr, nullptr},
    {"_hooks", get_field<&State::hooks>, set_field<&State::hooks>, nullptr, nullptr},
    {"_pre_hooks", get_field<&State::pre_hooks>, set_field<&State::pre_hooks>, nullptr, nullptr},
    {"_tensor_hooks", get_field<&State::tensor_hooks>, set_field<&State::tensor_hooks>, nullptr,
     nullptr},
    {"_metadata", get_field<&State::metadata>, set_field<&State::metadata>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef node_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, sizeof(PyObject), READONLY,
     nullptr},  // NodeObject::weakrefs
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* refuse_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "autograd nodes are made by the operations that record them");
  return nullptr;
}

PyType_Slot base_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, node_methods},
    {Py_tp_getset, node_getset},
    {Py_tp_members, node_members},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_doc,
     const_cast<char*>("A node recorded in C++: an operation whose derivatives are arithmetic.")},
    {0, nullptr},
};

PyType_Spec base_spec = {"varnel.zel.autograd.graph._NativeNode", sizeof(NodeObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, base_slots};

// The node type named `name` (PyTorch's node names are type names).
PyObject* node_type(const std::string& name) {
  static auto* types = new std::unordered_map<std::string, PyObject*>();
  static auto* names = new std::deque<std::string>();
  auto it = types->find(name);
  if (it != types->end()) return it->second;
  names->push_back("varnel.zel.autograd.graph." + name);
  static PyType_Slot slots[] = {{0, nullptr}};
  auto* node_layout =
      new PyType_Spec{names->back().c_str(), sizeof(NodeObject), 0, Py_TPFLAGS_DEFAULT, slots};
  PyObject* t = PyType_FromSpecWithBases(node_layout, reinterpret_cast<PyObject*>(base_type));
  if (!t) throw py::error_already_set();
  (*types)[name] = t;
  return t;
}

// --- recording ---------------------------------------------------------------

// A plan for an operation whose declared derivatives are all arithmetic in
// the named arguments; null where any is not.
std::unique_ptr<Plan> make_plan(const std::string& op, const std::string& node, py::handle pairs,
                                const std::vector<std::string>& args) {
  if (pairs.is_none()) return nullptr;
  auto plan = std::make_unique<Plan>();
  plan->op = op;
  plan->node = node;
  if (args.size() + kFirstArg > 64) return nullptr;  // slots are bits of a word
  plan->names = {"grad", "result"};
  for (const std::string& a : args) plan->names.push_back(a);
  for (py::handle pair : pairs) {
    const std::string param = py::str(pair[py::int_(0)]);
    const std::string formula = py::str(pair[py::int_(1)]);
    Param p;
    for (size_t i = 0; i < args.size(); ++i)
      if (args[i] == param) {
        p.arg = static_cast<int>(i);
        break;
      }
    if (p.arg < 0) return nullptr;
    plan->declared_args |= uint64_t{1} << p.arg;
    if (formula != "None") {
      p.formula = true;
      if (!Parser(formula, plan->names).parse(p.f)) return nullptr;
    }
    plan->params.push_back(std::move(p));
  }
  plan->type = node_type(node);
  return plan;
}

// (node, output_nr) where the gradient of t goes: its node, or its leaf's
// AccumulateGrad.
Edge edge_of(PyObject* o, LimbTensor& t) {
  GradMeta& m = *t.grad.meta;
  if (!m.grad_fn.is_none()) return Edge{m.grad_fn, m.output_nr};
  if (!m.accumulator.is_none()) {
    PyObject* alive = PyWeakref_GetObject(m.accumulator.ptr());
    if (alive && alive != Py_None) return Edge{py::reinterpret_borrow<py::object>(alive), 0};
  }
  static py::object* accumulator = new py::object(graph_attr("accumulator"));
  return Edge{(*accumulator)(t.grad.meta), 0};
}

bool is_tracked(PyObject* o) {
  const LimbTensor* t = tensor_in(o);
  return t && requires_grad(*t);
}

bool has_tracked(PyObject* o) {
  if (is_tracked(o)) return true;
  if (PyTuple_Check(o) || PyList_Check(o)) {
    py::sequence seq = py::reinterpret_borrow<py::sequence>(o);
    for (py::handle item : seq)
      if (is_tracked(item.ptr())) return true;
  }
  return false;
}

bool record(Plan& p, PyObject* const* args, size_t nargs, py::handle result) {
  LimbTensor* r = tensor_in(result.ptr());
  if (!r || r->grad.meta) return false;
  if (nargs + kFirstArg != p.names.size()) return false;
  for (size_t i = 0; i < nargs; ++i) {
    const bool declared = p.declared_args >> i & 1;
    if (declared ? (PyTuple_Check(args[i]) || PyList_Check(args[i])) : has_tracked(args[i]))
      return false;
  }
  State local;
  State* s = &local;
  s->plan = &p;
  uint64_t reads = 0;
  bool any = false;
  for (size_t i = 0; i < p.params.size(); ++i) {
    const Param& param = p.params[i];
    PyObject* v = args[param.arg];
    LimbTensor* t = tensor_in(v);
    const bool live = param.formula && t && requires_grad(*t);
    s->edges.push_back(live ? edge_of(v, *t) : Edge{py::none(), 0});
    s->shapes.push_back(t ? t->shape : Shape{});
    if (live) {
      s->live |= uint64_t{1} << i;
      reads |= param.f.reads;
      any = true;
    }
  }
  if (!any) return true;  // nothing that requires grad reaches the result
  s->values.assign(p.names.size(), py::object());
  s->versions.assign(p.names.size(), -1);
  for (size_t i = kFirstArg; i < p.names.size(); ++i) {
    if (!(reads >> i & 1)) continue;
    PyObject* v = args[i - kFirstArg];
    s->values[i] = py::reinterpret_borrow<py::object>(v);
    if (const LimbTensor* t = tensor_in(v)) s->versions[i] = version_of(*t);
  }
  if (reads >> kResult & 1) s->values[kResult] = py::cast(LimbTensor{r->data, r->shape, {}});
  s->seq = next_seq();
  s->hooks = py::tuple();
  s->pre_hooks = py::tuple();
  auto* tp = reinterpret_cast<PyTypeObject*>(p.type);
  PyObject* node = tp->tp_alloc(tp, 0);
  if (!node) throw py::error_already_set();
  auto* n = reinterpret_cast<NodeObject*>(node);
  n->weakrefs = nullptr;
  new (&n->state) State(std::move(local));
  auto meta = std::make_shared<GradMeta>();
  meta->requires_grad = true;
  meta->grad_fn = py::reinterpret_steal<py::object>(node);
  r->grad.meta = std::move(meta);
  return true;
}

// --- C++ evaluation ------------------------------------------------------------

// An operand of a formula evaluated in C++: a tensor or a Python number.
struct Operand {
  bool tensor = false;
  LimbTensor t;
  py::object number;
};

// The operand a value gives, false for anything the slots would not take.
bool operand_of(PyObject* v, Operand& out) {
  if (const LimbTensor* t = tensor_in(v)) {
    if (!slot_layout(*t)) return false;
    out.tensor = true;
    out.t = LimbTensor{t->data, t->shape, {}};
    return true;
  }
  double c;
  if (!slot_number(v, c)) return false;
  out.number = py::reinterpret_borrow<py::object>(v);
  return true;
}

// l <op> r computed as the operator slots compute it, so the bytes are the
// Python formula's; false where the slots would hand the call on.
bool combine(Expr::Kind k, const Operand& l, const Operand& r, Operand& out) {
  double c = 0;
  if (!l.tensor && !r.tensor) {
    PyObject* x = k == Expr::Add   ? PyNumber_Add(l.number.ptr(), r.number.ptr())
                  : k == Expr::Sub ? PyNumber_Subtract(l.number.ptr(), r.number.ptr())
                  : k == Expr::Mul ? PyNumber_Multiply(l.number.ptr(), r.number.ptr())
                                   : PyNumber_TrueDivide(l.number.ptr(), r.number.ptr());
    if (!x) throw py::error_already_set();
    out.number = py::reinterpret_steal<py::object>(x);
    return slot_number(x, c);
  }
  out.tensor = true;
  if (l.tensor && r.tensor) {
    out.t = k == Expr::Add   ? add(l.t, r.t)
            : k == Expr::Sub ? sub(l.t, r.t)
            : k == Expr::Mul ? mul(l.t, r.t)
                             : div(l.t, r.t);
  } else if (l.tensor) {
    slot_number(r.number.ptr(), c);
    out.t = k == Expr::Add   ? add_scalar(l.t, c)
            : k == Expr::Sub ? sub_scalar(l.t, c)
            : k == Expr::Mul ? mul_scalar(l.t, c)
                             : div_scalar(l.t, c);
  } else {
    slot_number(l.number.ptr(), c);
    out.t = k == Expr::Add   ? add_scalar(r.t, c)
            : k == Expr::Sub ? rsub_scalar(r.t, c)
            : k == Expr::Mul ? mul_scalar(r.t, c)
                             : div(from_python(l.number, at::kCPU), r.t);
  }
  return true;
}

bool evaluate_cpp(const Formula& f, int i, const Operand* values, Operand& out) {
  const Expr& e = f.nodes[i];
  switch (e.kind) {
    case Expr::Name:
      out = values[e.slot];
      return true;
    case Expr::Number:
      out.tensor = false;
      out.number = e.number;
      return true;
    case Expr::Neg: {
      Operand x;
      if (!evaluate_cpp(f, e.lhs, values, x)) return false;
      if (!x.tensor) {
        PyObject* n = PyNumber_Negative(x.number.ptr());
        if (!n) throw py::error_already_set();
        out.number = py::reinterpret_steal<py::object>(n);
        return true;
      }
      out.tensor = true;
      out.t = neg(x.t);
      return true;
    }
    default:
      break;
  }
  Operand l, r;
  return evaluate_cpp(f, e.lhs, values, l) && evaluate_cpp(f, e.rhs, values, r) &&
         combine(e.kind, l, r, out);
}

// --- the engine ----------------------------------------------------------------

// A gradient on its way: limbs (what native nodes give and read) or a
// Python object (what Python nodes give, or None).
struct Value {
  bool has_t = false;
  LimbTensor t;
  py::object o;

  bool empty() const { return !has_t && (!o || o.is_none()); }
  py::object object() const {
    return has_t ? py::cast(LimbTensor{t.data, t.shape, {}}) : (o ? o : py::none());
  }
  static Value of(py::object x) {
    Value v;
    if (const LimbTensor* t = tensor_in(x.ptr()); t && slot_layout(*t) && !t->grad.meta) {
      v.has_t = true;
      v.t = LimbTensor{t->data, t->shape, {}};
    } else {
      v.o = std::move(x);
    }
    return v;
  }
};

// The gradients of a native node's inputs, in C++ when every value allows;
// false (nothing computed) otherwise.
bool apply_cpp(State& s, const Value& grad, std::vector<Value>& out) {
  const Plan& p = *s.plan;
  if (!grad.has_t) return false;
  Operand local[8];
  std::vector<Operand> more;
  Operand* values = local;
  if (p.names.size() > 8) {
    more.resize(p.names.size());
    values = more.data();
  }
  values[kGrad].tensor = true;
  values[kGrad].t = grad.t;
  for (size_t i = kResult; i < p.names.size(); ++i)
    if (s.values[i] && !operand_of(s.values[i].ptr(), values[i])) return false;
  ++s.plan->evaluated;
  out.assign(p.params.size(), Value{});
  for (size_t i = 0; i < p.params.size(); ++i) {
    if (!(s.live >> i & 1)) continue;
    Operand g;
    if (!evaluate_cpp(p.params[i].f, p.params[i].f.root, values, g)) return false;
    if (g.tensor && g.t.shape == s.shapes[i]) {
      out[i].has_t = true;
      out[i].t = std::move(g.t);
    } else {
      py::object x = g.tensor ? py::cast(std::move(g.t)) : g.number;
      out[i] = Value::of(sum_to(std::move(x), s.shapes[i]));
    }
  }
  return true;
}

struct Info {
  py::object node;
  State* native = nullptr;
  py::object next;                               // a Python node's next_functions
  std::vector<std::pair<PyObject*, int>> edges;  // a Python node's
  int64_t seq = 0;
  int deps = 0;
  bool queued = false;
  std::vector<Value> buffer;
};

bool truthy(PyObject* o) {
  const int t = PyObject_IsTrue(o);
  if (t < 0) throw py::error_already_set();
  return t != 0;
}

// Which Info holds each node. Native nodes carry the run's number and their
// place, so a long chain needs no table; only one run at a time marks them
// (a backward in another thread, while this one waits for the GIL, finds
// the mark taken and uses the table for everything). Other nodes are looked
// up in the table.
class Index {
 public:
  explicit Index(const std::vector<Info>& infos)
      : infos_(infos), run_(++counter), marks_(active++ == 0) {}
  ~Index() { --active; }
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  bool find(PyObject* n, size_t& at) const {
    if (marks_ && is_node(n)) {
      const State& s = state_of(n);
      if (s.run != run_) return false;
      at = s.slot;
      return true;
    }
    auto it = table_.find(n);
    if (it == table_.end()) return false;
    at = it->second;
    return true;
  }
  size_t at(PyObject* n) const {
    size_t i = 0;
    if (!find(n, i) || i >= infos_.size() || infos_[i].node.ptr() != n)
      throw std::logic_error("autograd engine: a node outside the graph");
    return i;
  }
  void put(PyObject* n, size_t i) {
    if (marks_ && is_node(n)) {
      State& s = state_of(n);
      s.run = run_;
      s.slot = i;
      return;
    }
    table_[n] = i;
  }

 private:
  static inline uint64_t counter = 0;  // under the GIL
  static inline int active = 0;
  const std::vector<Info>& infos_;
  uint64_t run_;
  bool marks_;
  std::unordered_map<PyObject*, size_t> table_;
};

// Runs backward from `roots` ((node, output_nr) pairs) with `grads`, adding
// into the leaves' .grad. False, having done nothing, when a node of the
// graph has hooks: the Python engine runs those graphs.
// The engine's working arrays, kept between runs (one set per run in
// progress on the thread: a node's backward may run backward itself).
// Growing them afresh for every run cost more than the run's arithmetic.
struct Scratch {
  std::vector<Info> infos;
  std::vector<PyObject*> stack;
  std::vector<std::pair<int64_t, size_t>> heap;
};

class Lease {
 public:
  Lease() {
    if (spare().empty()) {
      s_ = std::make_unique<Scratch>();
    } else {
      s_ = std::move(spare().back());
      spare().pop_back();
    }
  }
  ~Lease() {
    s_->infos.clear();
    s_->stack.clear();
    s_->heap.clear();
    // A very large graph's arrays are not kept.
    if (s_->infos.capacity() <= (size_t{1} << 17)) spare().push_back(std::move(s_));
  }
  Scratch& operator*() { return *s_; }

 private:
  static std::vector<std::unique_ptr<Scratch>>& spare() {
    thread_local std::vector<std::unique_ptr<Scratch>> pool;
    return pool;
  }
  std::unique_ptr<Scratch> s_;
};

constexpr int kMaxOutputs = 1 << 16;

bool run(py::sequence roots, py::sequence grads, bool retain_graph) {
  if (!enabled) return false;
  // Never freed: a static Python object would be dropped after the interpreter.
  static PyObject *s_hooks = PyUnicode_InternFromString("_hooks"),
                  *s_pre = PyUnicode_InternFromString("_pre_hooks"),
                  *s_tensor = PyUnicode_InternFromString("_tensor_hooks"),
                  *s_seq = PyUnicode_InternFromString("_seq"),
                  *s_next = PyUnicode_InternFromString("next_functions"),
                  *s_apply = PyUnicode_InternFromString("apply"),
                  *s_release = PyUnicode_InternFromString("_release");
  Lease lease;
  std::vector<Info>& infos = (*lease).infos;
  std::vector<PyObject*>& stack = (*lease).stack;
  Index index(infos);
  std::vector<std::pair<py::object, int>> root_edges;
  for (py::handle r : roots) {
    py::object node = r[py::int_(0)];
    root_edges.emplace_back(node, r[py::int_(1)].cast<int>());
    if (!node.is_none()) stack.push_back(node.ptr());
  }
  auto edges_of = [&](const Info& info, size_t i, PyObject*& nxt, int& nr) {
    if (info.native) {
      const Edge& e = info.native->edges[i];
      nxt = e.node.is_none() ? nullptr : e.node.ptr();
      nr = e.nr;
    } else {
      nxt = info.edges[i].first;
      nr = info.edges[i].second;
    }
  };
  auto edge_count = [](const Info& info) {
    return info.native ? info.native->edges.size() : info.edges.size();
  };
  // Every node reachable, and how many edges lead into each.
  while (!stack.empty()) {
    PyObject* n = stack.back();
    stack.pop_back();
    size_t seen;
    if (index.find(n, seen)) continue;
    index.put(n, infos.size());
    infos.emplace_back();
    Info& info = infos.back();
    info.node = py::reinterpret_borrow<py::object>(n);
    if (is_node(n)) {
      State& s = state_of(n);
      if ((s.hooks && truthy(s.hooks.ptr())) || (s.pre_hooks && truthy(s.pre_hooks.ptr())) ||
          (s.tensor_hooks && truthy(s.tensor_hooks.ptr())))
        return false;
      info.native = &s;
      info.seq = s.seq;
    } else {
      if (truthy(info.node.attr(s_hooks).ptr()) || truthy(info.node.attr(s_pre).ptr()) ||
          truthy(info.node.attr(s_tensor).ptr()))
        return false;
      info.seq = info.node.attr(s_seq).cast<int64_t>();
      info.next = info.node.attr(s_next);
      for (py::handle e : info.next) {
        py::object nxt = e[py::int_(0)];
        info.edges.emplace_back(nxt.is_none() ? nullptr : nxt.ptr(), e[py::int_(1)].cast<int>());
      }
    }
    for (size_t i = 0, k = edge_count(info); i < k; ++i) {
      PyObject* nxt;
      int nr;
      edges_of(info, i, nxt, nr);
      if (nxt) stack.push_back(nxt);
    }
  }
  for (const Info& info : infos)
    for (size_t i = 0, k = edge_count(info); i < k; ++i) {
      PyObject* nxt;
      int nr;
      edges_of(info, i, nxt, nr);
      if (nxt) ++infos[index.at(nxt)].deps;
    }

  auto add_to = [&](Info& info, int nr, Value g) {
    // Roots and Python nodes' edges come from outside: an output number must index an output.
    if (nr < 0 || nr >= kMaxOutputs)
      throw py::value_error("autograd engine: output_nr " + std::to_string(nr) + " out of range");
    if (info.buffer.size() <= static_cast<size_t>(nr)) info.buffer.resize(nr + 1);
    Value& slot = info.buffer[nr];
    if (slot.empty()) {
      slot = std::move(g);
    } else if (slot.has_t && g.has_t) {
      slot.t = add(slot.t, g.t);
    } else {
      PyObject* sum = PyNumber_Add(slot.object().ptr(), g.object().ptr());
      if (!sum) throw py::error_already_set();
      slot = Value::of(py::reinterpret_steal<py::object>(sum));
    }
  };
  // The latest node first.
  std::priority_queue<std::pair<int64_t, size_t>> ready(std::less<std::pair<int64_t, size_t>>(),
                                                        std::move((*lease).heap));
  {
    size_t k = 0;
    std::vector<py::object> gs;
    for (py::handle g : grads) gs.push_back(py::reinterpret_borrow<py::object>(g));
    for (const auto& [node, nr] : root_edges) {
      if (!node.is_none()) add_to(infos[index.at(node.ptr())], nr, Value::of(gs.at(k)));
      ++k;
    }
    for (const auto& [node, nr] : root_edges) {
      if (node.is_none()) continue;
      const size_t i = index.at(node.ptr());
      if (infos[i].deps == 0 && !infos[i].queued) {
        infos[i].queued = true;
        ready.emplace(infos[i].seq, i);
      }
    }
  }

  struct Mode {
    bool saved = grad_enabled();
    Mode() { set_grad_enabled(false); }
    ~Mode() { set_grad_enabled(saved); }
  } mode;
  std::vector<Value> out;
  while (!ready.empty()) {
    const size_t at = ready.top().second;
    ready.pop();
    Info& info = infos[at];
    std::vector<Value> grads_in = std::move(info.buffer);
    bool any = false;
    for (const Value& g : grads_in) any = any || !g.empty();
    if (grads_in.empty()) grads_in.resize(1);
    out.clear();
    if (any) {
      if (info.native) {
        State& s = *info.native;
        if (s.freed) throw std::runtime_error(kFreed);
        check_versions(s);
        if (!apply_cpp(s, grads_in[0], out)) {
          std::vector<py::object> gs;
          for (const Value& g : grads_in) gs.push_back(g.object());
          out.clear();
          for (py::handle g : apply(info.node.ptr(), gs.data(), gs.size(), false))
            out.push_back(Value::of(py::reinterpret_borrow<py::object>(g)));
        }
        if (!retain_graph) release(s);
      } else {
        py::tuple args(grads_in.size());
        for (size_t i = 0; i < grads_in.size(); ++i) args[i] = grads_in[i].object();
        py::object r = info.node.attr(s_apply)(args, false);
        for (py::handle g : r) out.push_back(Value::of(py::reinterpret_borrow<py::object>(g)));
        if (!retain_graph) info.node.attr(s_release)();
      }
    }
    grads_in.clear();
    const size_t k = edge_count(info);
    for (size_t i = 0; i < out.size() && i < k; ++i) {
      PyObject* nxt;
      int nr;
      edges_of(info, i, nxt, nr);
      if (nxt && !out[i].empty()) add_to(infos[index.at(nxt)], nr, std::move(out[i]));
    }
    for (size_t i = 0; i < k; ++i) {
      PyObject* nxt;
      int nr;
      edges_of(info, i, nxt, nr);
      if (!nxt) continue;
      const size_t j = index.at(nxt);
      if (--infos[j].deps == 0 && !infos[j].queued) {
        infos[j].queued = true;
        ready.emplace(infos[j].seq, j);
      }
    }
  }
  return true;
}

// A plan per binding, made on first use.
std::unordered_map<const void*, std::unique_ptr<Plan>>& plans() {
  static auto* m = new std::unordered_map<const void*, std::unique_ptr<Plan>>();
  return *m;
}

}  // namespace native_graph
#pragma GCC visibility pop

bool record_native(py::detail::function_call& call, py::handle result, const std::string& node,
                   py::handle pairs) {
  using namespace native_graph;
  if (!enabled) return false;
  auto& cache = plans();
  auto it = cache.find(&call.func);
  if (it == cache.end()) {
    std::vector<std::string> names;
    for (size_t i = 0; i < call.args.size(); ++i) {
      const char* param = i < call.func.args.size() ? call.func.args[i].name : nullptr;
      // The first two operands are self and other to the formulas, whatever their names.
      names.push_back(param && i >= 2 ? param : i == 0 ? "self" : i == 1 ? "other" : "");
      if (param && i < 2 && std::string(param) != names.back()) {
        // Both names must resolve: give up on this binding rather than guess.
        names.clear();
        break;
      }
    }
    it = cache
             .emplace(&call.func,
                      names.empty() ? nullptr : make_plan(call.func.name, node, pairs, names))
             .first;
  }
  if (!it->second) return false;
  std::vector<PyObject*> args(call.args.size());
  for (size_t i = 0; i < args.size(); ++i) args[i] = call.args[i].ptr();
  return record(*it->second, args.data(), args.size(), result);
}

bool record_operator_as(const char* op, const std::string& node, py::handle pairs, PyObject* self,
                        PyObject* other, py::handle result) {
  using namespace native_graph;
  if (!enabled) return false;
  auto& cache = plans();
  auto it = cache.find(op);
  if (it == cache.end())
    it = cache.emplace(op, make_plan(op, node, pairs, {"self", "other"})).first;
  if (!it->second) return false;
  PyObject* args[2] = {self, other};
  return record(*it->second, args, 2, result);
}

bool native_before_write(py::handle node, py::handle self) {
  using namespace native_graph;
  if (!is_node(node.ptr())) return false;
  State& s = state_of(node.ptr());
  for (size_t i = kFirstArg; i < s.values.size(); ++i) {
    if (!s.values[i].is(self)) continue;
    LimbTensor& t = *tensor_in(self.ptr());
    LimbTensor copy{t.data.clone(), t.shape, {}};
    copy.grad.meta = t.grad.meta;
    s.values[i] = py::cast(std::move(copy));
    s.versions[i] = version_of(*tensor_in(s.values[i].ptr()));
  }
  return true;
}

bool is_native_node(py::handle h) { return native_graph::is_node(h.ptr()); }

void bind_native_graph(Module& m) {
  using namespace native_graph;
  PyObject* t = PyType_FromSpec(&base_spec);
  if (!t) throw py::error_already_set();
  base_type = reinterpret_cast<PyTypeObject*>(t);
  m.attr("_NativeNode") = py::reinterpret_borrow<py::object>(t);
  // Plain module functions: the engine's own calls are not recorded.
  py::module_& plain = m;
  plain.def(
      "_next_sequence", [] { return next_seq(); }, "The order number of the next node recorded.");
  plain.def(
      "_native_graph",
      [](bool on) {
        const bool was = enabled;
        enabled = on;
        return was;
      },
      py::arg("enabled"),
      "Whether operations may record native nodes; returns the previous setting.");
  plain.def(
      "_native_evaluations",
      [] {
        std::unordered_map<std::string, int64_t> counts;
        for (const auto& [key, plan] : plans())
          if (plan) counts[plan->op] += plan->evaluated;
        return counts;
      },
      "Per operation, how many times native nodes computed its gradients.");
  plain.def(
      "_run_graph",
      [](py::sequence roots, py::sequence grads, bool retain_graph) {
        return run(roots, grads, retain_graph);
      },
      py::arg("roots"), py::arg("grads"), py::arg("retain_graph"),
      "Runs backward in C++; False, having done nothing, where a node has hooks.");
}

}  // namespace zel
