// Gradients on the C++ side: the autograd state of a Tensor, the modes, the
// hook after every call, and the Tensor members of PyTorch's autograd.
#include <cstring>
#include "python/zel/autograd.h"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kernels/pointwise_table.h"
#include "python/zel/bindings.h"

namespace zel {

std::atomic<int64_t> GradMeta::live{0};

namespace {

thread_local bool grad_mode = true;
thread_local bool inference_mode = false;

// The declared derivatives: per Python name, the node name and a
// (parameter, formula) pair per differentiable parameter.
struct Declared {
  std::string node;
  py::object pairs;  // tuple of (parameter, formula); None: not differentiable
};

std::unordered_map<std::string, Declared>& declared() {
  static auto* table = new std::unordered_map<std::string, Declared>();
  return *table;
}

// PyTorch's node name for a row of the operations table: the kernel's name
// in CamelCase (asin for arcsin too), then Backward0.
std::string node_name(const char* kernel) {
  std::string k = kernel;
  const size_t colon = k.rfind(':');
  if (colon != std::string::npos) k = k.substr(colon + 1);
  std::string out;
  bool upper = true;
  for (char c : k) {
    if (c == '_') {
      upper = true;
      continue;
    }
    out += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    upper = false;
  }
  return out + "Backward0";
}

void declare_all() {
  auto& table = declared();
  // The rows of ops/pointwise.def: kernel names come from the .def itself.
  static const char* const kKernels[] = {
#define ZEL_UNARY(name, kind, kernel, ...) #kernel,
#define ZEL_BINARY(name, kind, kernel, ...) #kernel,
#include "ops/pointwise.def"
#undef ZEL_UNARY
#undef ZEL_BINARY
  };
  for (size_t i = 0; i < kElementwiseOpCount; ++i) {
    const ElementwiseOp& row = kElementwiseOps[i];
    py::list pairs;
    pairs.append(py::make_tuple("self", row.derivative));
    if (row.arity == 2) pairs.append(py::make_tuple("other", row.derivative_other));
    table[row.name] = Declared{node_name(kKernels[i]), py::tuple(pairs)};
  }
  struct Row {
    const char* name;
    const char* node;
    std::vector<const char*> pairs;
  };
  static const Row kRows[] = {
#define ZEL_DERIVATIVE(name, node, ...) {#name, #node, {__VA_ARGS__}},
#define ZEL_NOT_DIFFERENTIABLE(name) {#name, nullptr, {}},
#include "ops/derivatives.def"
#undef ZEL_DERIVATIVE
#undef ZEL_NOT_DIFFERENTIABLE
  };
  for (const Row& r : kRows) {
    if (!r.node) {
      table[r.name] = Declared{"", py::none()};
      continue;
    }
    py::list pairs;
    for (size_t i = 0; i + 1 < r.pairs.size(); i += 2)
      pairs.append(py::make_tuple(r.pairs[i], r.pairs[i + 1]));
    table[r.name] = Declared{r.node, py::tuple(pairs)};
  }
}

py::object graph_module() {
  static py::object* mod = nullptr;
  if (!mod) mod = new py::object(py::module_::import("varnel.zel.autograd.graph"));
  return *mod;
}

py::object formulas_module() {
  static py::object* mod = nullptr;
  if (!mod) mod = new py::object(py::module_::import("varnel.zel.autograd.formulas"));
  return *mod;
}

// A node of the graph (varnel.zel.autograd.graph.Node), else TypeError.
void check_node(py::handle node, const char* op) {
  if (!is_native_node(node) && !py::isinstance(node, graph_module().attr("Node")))
    throw TypeError(std::string(op) + "(): node must be an autograd graph node, not " +
                    type_name(node));
}

// The LimbTensor inside a Tensor object, or null for anything else.
LimbTensor* tensor_in(py::handle h) {
  if (!h || !py::isinstance<LimbTensor>(h)) return nullptr;
  return &h.cast<LimbTensor&>();
}

bool tracked(py::handle h) {
  const LimbTensor* t = tensor_in(h);
  return t && requires_grad(*t);
}

// Whether h, or a Tensor in the list or tuple h, requires grad.
bool has_tracked(py::handle h) {
  if (tracked(h)) return true;
  if (PyTuple_Check(h.ptr()) || PyList_Check(h.ptr()))
    for (py::handle item : py::reinterpret_borrow<py::sequence>(h))
      if (tracked(item)) return true;
  return false;
}

// A result that needs a node: a Tensor without history, or a tuple of them.
bool needs_node(py::handle r) {
  if (const LimbTensor* t = tensor_in(r)) return !t->grad.meta;
  if (PyTuple_Check(r.ptr()) || PyList_Check(r.ptr())) {
    for (py::handle item : py::reinterpret_borrow<py::sequence>(r))
      if (const LimbTensor* t = tensor_in(item))
        if (!t->grad.meta) return true;
  }
  return false;
}

std::shared_ptr<GradMeta>& meta_of(LimbTensor& t) {
  if (!t.grad.meta) t.grad.meta = std::make_shared<GradMeta>();
  return t.grad.meta;
}

void record(py::detail::function_call& call, py::handle result) {
  const std::string name = call.func.name;
  auto it = declared().find(name);
  if (it != declared().end() && it->second.pairs.is_none()) return;
  if (it != declared().end() && record_native(call, result, it->second.node, it->second.pairs))
    return;
  py::dict env;
  for (size_t i = 0; i < call.args.size(); ++i) {
    const char* param = i < call.func.args.size() ? call.func.args[i].name : nullptr;
    std::string key;
    if (param)
      key = param;
    else if (call.func.has_args && i == call.func.nargs_pos)
      key = "args";  // the *args tuple
    else if (call.func.has_kwargs && i + 1 == call.args.size())
      key = "kwargs";  // the **kwargs dict
    else
      key = i == 0 ? "self" : i == 1 ? "other" : "arg" + std::to_string(i);
    env[py::str(key)] = call.args[i];
  }
  // The first two operands are self and other to the formulas, whatever their names.
  for (size_t i = 0; i < call.args.size() && i < 2; ++i) {
    const char* alias = i == 0 ? "self" : "other";
    if (!env.contains(alias)) env[alias] = call.args[i];
  }
  py::object pairs = py::none();
  std::string node = "NotImplemented";
  if (it != declared().end()) {
    pairs = it->second.pairs;
    node = it->second.node;
  }
  formulas_module().attr("record")(name, node, env, pairs, result, py::none());
}

}  // namespace

bool grad_enabled() { return grad_mode; }
void set_grad_enabled(bool on) { grad_mode = on; }

void honour_requires_grad(LimbTensor& result, py::handle requires_grad) {
  if (requires_grad.is_none() || !truth(requires_grad)) return;
  meta_of(result)->requires_grad = true;
}

void after_call(py::detail::function_call& call, py::handle result) {
  // Newer pybind11 runs the hook after arguments that did not convert too,
  // with its try-the-next-overload marker in place of a result.
  if (!may_record() || !result || result.ptr() == PYBIND11_TRY_NEXT_OVERLOAD) return;
  try {
    // A complex operand's forms (varnel.zel._complex) record through the real
    // views; _view_as_real is where their history starts.
    if (std::strcmp(call.func.name, "_view_as_real") != 0)
      for (size_t i = 0; i < call.args.size(); ++i)
        if (const LimbTensor* t = tensor_in(call.args[i]); t && t->complex) return;
    bool any = false;
    for (size_t i = 0; i < call.args.size() && !any; ++i) any = has_tracked(call.args[i]);
    if (any && needs_node(result)) record(call, result);
  } catch (...) {
    result.dec_ref();
    throw;
  }
}

py::object before_write(py::handle self, py::handle result, const char* op) {
  LimbTensor* t = tensor_in(self);
  if (!t || !may_record()) return py::none();
  if (requires_grad(*t) && t->grad.meta->grad_fn.is_none())
    throw std::runtime_error(std::string(op) +
                             "(): a leaf Variable that requires grad is being used in an in-place "
                             "operation.");
  const LimbTensor* r = tensor_in(result);
  if (!r || !requires_grad(*r)) return py::none();
  // The node of the out-of-place value read self before the write: it keeps a
  // copy of that value under self's old identity instead.
  if (!native_before_write(r->grad.meta->grad_fn, self))
    formulas_module().attr("before_write")(self, result);
  return py::reinterpret_borrow<py::object>(result);
}

void after_write(py::handle self, py::handle result) {
  LimbTensor* t = tensor_in(self);
  if (!t) return;
  if (t->data.defined() && !t->data.is_inference()) t->data.unsafeGetTensorImpl()->bump_version();
  LimbTensor* r = tensor_in(result);
  if (r && r->grad.meta && requires_grad(*r)) {
    auto fresh = std::make_shared<GradMeta>();
    fresh->requires_grad = true;
    fresh->grad_fn = r->grad.meta->grad_fn;
    fresh->output_nr = r->grad.meta->output_nr;
    t->grad.meta = std::move(fresh);
  }
}

void after_indexed_write(py::handle self, py::handle idx, py::handle value) {
  after_write(self, py::none());
  if (!may_record() || !(tracked(self) || has_tracked(value))) return;
  py::dict env;
  env["self"] = self;
  env["idx"] = idx;
  env["value"] = value;
  const Declared& d = declared().at("__setitem__");
  formulas_module().attr("record")("__setitem__", d.node, env, d.pairs, self, py::none());
}

namespace {

// The modes, the declarations, and the state a tensor shows.
void bind_grad_state(Module& m, TensorClass& cls) {
  m.def(
      "_set_grad_enabled", [](bool on) { grad_mode = on; }, py::arg("mode"));
  m.def("_is_grad_enabled", [] { return grad_mode; });
  m.def(
      "_set_inference_mode", [](bool on) { inference_mode = on; }, py::arg("mode"));
  m.def("_is_inference_mode_enabled", [] { return inference_mode; });
  m.def("_derivatives", [] {
    py::dict out;
    for (const auto& [name, d] : declared()) out[py::str(name)] = py::make_tuple(d.node, d.pairs);
    return out;
  });

  py::class_<GradMeta, std::shared_ptr<GradMeta>>(m, "_GradMeta",
                                                  "The autograd state of a tensor identity.")
      .def_readwrite("grad", &GradMeta::grad)
      .def_readonly("requires_grad", &GradMeta::requires_grad)
      .def_readwrite("retains_grad", &GradMeta::retains_grad)
      // Most tensors never get a hook: a list each would also feed the cyclic collector.
      .def_property(
          "hooks",
          [](GradMeta& m) {
            if (!m.hooks) m.hooks = py::list();
            return m.hooks;
          },
          [](GradMeta& m, py::object v) { m.hooks = std::move(v); })
      .def_readwrite("accumulator", &GradMeta::accumulator);

  cls.def_property(
      "requires_grad", [](const LimbTensor& t) { return requires_grad(t); },
      [](py::handle self, py::handle flag) { self.attr("requires_grad_")(flag); },
      "Whether operations on this tensor are recorded for gradients.");
  cls.def_property(
      "grad",
      [](const LimbTensor& t) -> py::object {
        return t.grad.meta ? t.grad.meta->grad : py::none();
      },
      [](LimbTensor& t, py::handle g) {
        if (!g.is_none()) {
          const LimbTensor* v = tensor_in(g);
          if (!v)
            throw TypeError("assigned grad expected to be a Tensor or None but got grad of type " +
                            type_name(g));
          check_tensor_limbs(*v, "grad");
          if (v->shape != t.shape || v->complex != t.complex)
            throw std::runtime_error("assigned grad has data of a different size");
        } else if (!t.grad.meta) {
          return;
        }
        meta_of(t)->grad = py::reinterpret_borrow<py::object>(g);
      },
      "The gradient accumulated by backward(), or None.");
  cls.def_property_readonly(
      "grad_fn",
      [](const LimbTensor& t) -> py::object {
        return t.grad.meta ? t.grad.meta->grad_fn : py::none();
      },
      "The node that computed this tensor, None for a leaf.");
  cls.def_property_readonly(
      "is_leaf", [](const LimbTensor& t) { return !t.grad.meta || t.grad.meta->grad_fn.is_none(); },
      "True for tensors not computed by a recorded operation.");
  cls.def_property_readonly(
      "retains_grad", [](const LimbTensor& t) { return t.grad.meta && t.grad.meta->retains_grad; },
      "Whether a non-leaf keeps its gradient in .grad.");
  cls.def_property_readonly(
      "output_nr", [](const LimbTensor& t) { return t.grad.meta ? t.grad.meta->output_nr : 0; },
      "Which output of its node this tensor is.");
  cls.def_property_readonly(
      "_version", [](const LimbTensor& t) { return t.data.defined() ? t.data._version() : 0; },
      "How many in-place changes the limb array has seen.");
  cls.def_property_readonly("_grad_meta", [](LimbTensor& t) { return meta_of(t); });
}

// The members that change a tensor's state or run the graph.
void bind_grad_methods(TensorClass& cls) {
  cls.def(
      "requires_grad_",
      [](py::handle self, py::handle flag) {
        LimbTensor& t = self.cast<LimbTensor&>();
        check_tensor_limbs(t, "requires_grad_");
        const bool on = truth(flag);
        if (t.grad.meta && !t.grad.meta->grad_fn.is_none()) {
          if (!on)
            throw std::runtime_error(
                "you can only change requires_grad flags of leaf variables. If you want to use a "
                "computed variable in a subgraph that doesn't require differentiation use "
                "var_no_grad = var.detach().");
          return py::reinterpret_borrow<py::object>(self);
        }
        if (on || t.grad.meta) meta_of(t)->requires_grad = on;
        return py::reinterpret_borrow<py::object>(self);
      },
      py::arg("requires_grad") = true, "Sets requires_grad in place; returns self.");
  cls.def(
      "detach_",
      [](py::handle self) {
        LimbTensor& t = self.cast<LimbTensor&>();
        if (t.grad.meta) {
          t.grad.meta->requires_grad = false;
          t.grad.meta->grad_fn = py::none();
        }
        return py::reinterpret_borrow<py::object>(self);
      },
      "Takes this tensor out of the graph, in place.");
  cls.def(
      "_set_grad_fn",
      [](LimbTensor& t, py::object node, int output_nr) {
        check_node(node, "_set_grad_fn");
        auto meta = std::make_shared<GradMeta>();
        meta->requires_grad = true;
        meta->grad_fn = std::move(node);
        meta->output_nr = output_nr;
        t.grad.meta = std::move(meta);
      },
      py::arg("node"), py::arg("output_nr") = 0);
  cls.def(
      "_alias_with_grad_fn",
      [](const LimbTensor& t, py::object node, int output_nr) {
        check_tensor_limbs(t, "_alias_with_grad_fn");
        check_node(node, "_alias_with_grad_fn");
        LimbTensor alias{t.data, t.shape, {}};
        alias.complex = t.complex;
        auto meta = std::make_shared<GradMeta>();
        meta->requires_grad = true;
        meta->grad_fn = std::move(node);
        meta->output_nr = output_nr;
        alias.grad.meta = std::move(meta);
        return alias;
      },
      py::arg("node"), py::arg("output_nr") = 0);
  cls.def(
      "_snapshot",
      [](LimbTensor& t) {
        check_tensor_limbs(t, "_snapshot");
        LimbTensor copy{t.data.clone(), t.shape, {}};
        copy.complex = t.complex;
        copy.grad.meta = t.grad.meta;
        return copy;
      },
      "A copy of the limbs under this tensor's autograd identity (for a value an "
      "in-place operation is about to overwrite).");
  cls.def(
      "retain_grad", [](py::handle self) { graph_module().attr("retain_grad")(self); },
      "Keeps this non-leaf's gradient in .grad after backward().");
  cls.def(
      "register_hook",
      [](py::handle self, py::handle hook) {
        return graph_module().attr("register_tensor_hook")(self, hook);
      },
      py::arg("hook"), "hook(grad) runs when this tensor's gradient is computed.");
  cls.def(
      "backward",
      [](py::handle self, py::handle gradient, py::handle retain_graph, py::handle create_graph,
         py::handle inputs) {
        graph_module().attr("backward")(self, gradient, retain_graph, create_graph, inputs);
      },
      py::arg("gradient") = py::none(), py::arg("retain_graph") = py::none(),
      py::arg("create_graph") = false, py::arg("inputs") = py::none(),
      "Adds the gradient of this tensor into the .grad of the leaves of its graph.");
}

}  // namespace

bool record_operator(const char* op, PyObject* self, PyObject* other, py::handle result) {
  auto it = declared().find(op);
  if (it == declared().end()) return false;
  return record_operator_as(op, it->second.node, it->second.pairs, self, other, result);
}

void bind_autograd(Module& m, TensorClass& cls) {
  declare_all();
  bind_native_graph(m);
  bind_grad_state(m, cls);
  bind_grad_methods(cls);
}

}  // namespace zel
