// Gradients: the autograd state a Tensor carries, the thread-local modes,
// and the hook every binding of the core module runs after its call.
//
// The graph itself (nodes, engine, formulas) is varnel.zel.autograd; this
// side keeps what every operation touches: a pointer test when no tensor
// requires grad. Bindings are registered through TensorClass and Module,
// which add the hook, so no binding records by hand: after a call whose
// operands require grad, the hook hands the arguments, the result and the
// operation's declared derivatives (ops/pointwise.def, ops/derivatives.def)
// to the graph.
#pragma once

#include <atomic>
#include <utility>

#include "python/shared/args.h"

namespace zel {

// The autograd state of one tensor identity. Python objects that alias it
// (a saved result unpacked for double backward) share it.
struct __attribute__((visibility("hidden"))) GradMeta {
  GradMeta() { live.fetch_add(1, std::memory_order_relaxed); }
  ~GradMeta() { live.fetch_sub(1, std::memory_order_relaxed); }
  GradMeta(const GradMeta&) = delete;
  GradMeta& operator=(const GradMeta&) = delete;

  bool requires_grad = false;
  bool retains_grad = false;
  int output_nr = 0;
  py::object grad = py::none();     // None or a Tensor
  py::object grad_fn = py::none();  // None for a leaf
  py::object hooks;  // a leaf's hooks (a list made on first use), run before accumulation
  py::object accumulator = py::none();  // weak reference to the leaf's AccumulateGrad, or None

  // GradMeta objects alive: none means no operation can need recording.
  static std::atomic<int64_t> live;
};

// The thread's modes (no_grad, inference_mode).
bool grad_enabled();
void set_grad_enabled(bool on);

// Whether an operation on this thread may have to record: recording is on
// and some tensor has autograd state.
inline bool may_record() {
  return GradMeta::live.load(std::memory_order_relaxed) != 0 && grad_enabled();
}

// Whether t's operations are recorded.
inline bool requires_grad(const LimbTensor& t) { return t.grad.meta && t.grad.meta->requires_grad; }

// Gives `result` (just computed, without history) requires_grad=True when
// the flag of a factory or constructor is true.
void honour_requires_grad(LimbTensor& result, py::handle requires_grad);
inline LimbTensor with_requires_grad(py::handle requires_grad, LimbTensor result) {
  honour_requires_grad(result, requires_grad);
  return result;
}

// An in-place operation is about to write into `self`: refuses a leaf that
// requires grad (while recording) and returns the object whose history self
// takes over once written (`result`, the out-of-place value), or None.
py::object before_write(py::handle self, py::handle result, const char* op);
// After the write: self takes the history of `result` and its version moves on.
void after_write(py::handle self, py::handle result);
// After self[idx] = value: the version moves on, and where self or value
// requires grad, self's history continues with the assignment.
void after_indexed_write(py::handle self, py::handle idx, py::handle value);

// The hook: records the call when it has operands that require grad.
void after_call(py::detail::function_call& call, py::handle result);

// The binding attribute that runs the hook.
struct Recorded {};

// The Tensor class and the module: their def() adds the hook to every binding.
class __attribute__((visibility("hidden"))) TensorClass : public py::class_<LimbTensor> {
 public:
  using py::class_<LimbTensor>::class_;
  using py::class_<LimbTensor>::def;
  template <typename Func, typename... Extra>
  TensorClass& def(const char* name, Func&& f, const Extra&... extra) {
    py::class_<LimbTensor>::def(name, std::forward<Func>(f), extra..., Recorded{});
    return *this;
  }
};

class __attribute__((visibility("hidden"))) Module : public py::module_ {
 public:
  explicit Module(py::module_ m) : py::module_(std::move(m)) {}
  template <typename Func, typename... Extra>
  Module& def(const char* name, Func&& f, const Extra&... extra) {
    py::module_::def(name, std::forward<Func>(f), extra..., Recorded{});
    return *this;
  }
};

// Defines `name` both as a module function f(input, ...) and as the Tensor
// method of the same name (self in place of input).
template <class F, class... Extra>
void def_both(Module& m, TensorClass& cls, const char* name, const F& f, const char* doc,
              const Extra&... extra) {
  m.def(name, f, py::arg("input"), extra..., doc);
  cls.def(name, f, extra..., doc);
}

// Tensor.requires_grad, grad, grad_fn, is_leaf, backward, ...
void bind_autograd(Module& m, TensorClass& cls);

// Native nodes (autograd_native.cpp): an operation whose declared
// derivatives are arithmetic records in C++. Each returns false, having
// recorded nothing, where the operation or its arguments need the Python path.
bool record_native(py::detail::function_call& call, py::handle result, const std::string& node,
                   py::handle pairs);
// The operator slots' way in: `op` is the dunder name the method would have had.
bool record_operator(const char* op, PyObject* self, PyObject* other, py::handle result);
bool record_operator_as(const char* op, const std::string& node, py::handle pairs, PyObject* self,
                        PyObject* other, py::handle result);
// Before an in-place write into self: a native node that saved self keeps a copy.
bool native_before_write(py::handle node, py::handle self);
bool is_native_node(py::handle h);
void bind_native_graph(Module& m);

}  // namespace zel

namespace pybind11::detail {
template <>
struct process_attribute<zel::Recorded> : process_attribute_default<zel::Recorded> {
  static void postcall(function_call& call, handle result) { zel::after_call(call, result); }
};
}  // namespace pybind11::detail
