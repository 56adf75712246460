"""The recorded graph and the engine that runs it backwards.

An operation on tensors that require grad records a node: one edge per
input (the input's own node, or the AccumulateGrad of a leaf), the
derivative formulas declared with the operation, and the operands they
read. backward() runs the nodes reachable from its roots once each, later
nodes first (a node waits until every node that feeds it has run), and
adds the gradients that meet at a node with the library's addition in the
order they arrive. That order depends on the graph alone, so gradients are
the same bytes on every run and thread count.
"""
import heapq
import weakref

_zel = None  # varnel.zel.zel, set by install()
_formulas = None  # autograd.formulas

_next_sequence = None  # the core module's counter, shared with the nodes it records

_FREED = ("Trying to backward through the graph a second time (or directly access saved tensors after "
          "they have already been freed). Saved intermediate values of the graph are freed when you call "
          ".backward() or autograd.grad(). Specify retain_graph=True if you need to backward through the "
          "graph a second time or if you need to access saved tensors after calling backward.")


class Node:
    """A recorded operation. `next_functions` holds one (node, output_nr) edge
    per input, (None, 0) for an input that does not require grad."""

    __slots__ = ("next_functions", "_seq", "_hooks", "_pre_hooks", "_tensor_hooks", "_metadata", "__weakref__")

    def __init__(self, edges):
        self.next_functions = tuple(edges)
        self._seq = _next_sequence()
        # Hooks are rare: the containers are made when the first one comes.
        self._hooks = ()
        self._pre_hooks = ()
        self._tensor_hooks = None  # output_nr -> hooks registered on that output tensor
        self._metadata = None

    @property
    def metadata(self):
        if self._metadata is None:
            self._metadata = {}
        return self._metadata

    def name(self):
        return type(self).__name__

    def register_hook(self, fn):
        """fn(grad_inputs, grad_outputs) after the node runs; a tuple it returns
        replaces grad_inputs."""
        if not isinstance(self._hooks, list):
            self._hooks = []
        return _Handle(self._hooks, fn)

    def register_prehook(self, fn):
        """fn(grad_outputs) before the node runs; a tuple it returns replaces them."""
        if not isinstance(self._pre_hooks, list):
            self._pre_hooks = []
        return _Handle(self._pre_hooks, fn)

    def __call__(self, *grads):
        return self.apply(grads, False)

    def apply(self, grads, create_graph):
        raise NotImplementedError

    def _release(self):
        pass

    def __repr__(self):
        return "<%s object at %#x>" % (self.name(), id(self))


class _Handle:
    """What register_hook returns: remove() takes the hook out again."""

    __slots__ = ("_list", "_fn")

    def __init__(self, hooks, fn):
        if not callable(fn):
            raise TypeError("hook must be callable, got %s" % type(fn).__name__)
        hooks.append(fn)
        self._list, self._fn = hooks, fn

    def remove(self):
        try:
            self._list.remove(self._fn)
        except ValueError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.remove()


_node_types = {}


def node_type(name, base):
    """The class of the nodes called `name` (MulBackward0, ...): PyTorch's node
    names are their type names."""
    key = (name, base)
    t = _node_types.get(key)
    if t is None:
        t = _node_types[key] = type(name, (base,), {"__slots__": ()})
    return t


class FormulaNode(Node):
    """A node whose derivatives are declared formulas: one compiled formula
    per differentiable parameter (None where no tensor of it requires grad),
    evaluated on the saved operands with `grad` (the gradient of the result;
    `grads` holds one per result of a several-result operation) and `result`.
    A parameter holding a list of tensors has one edge per tensor and a
    formula giving one gradient each."""

    __slots__ = ("_op", "_formulas", "_env", "_saved", "_slots", "_result", "_outputs", "_freed")

    def __init__(self, op, edges, formulas, env, saved, slots, result, outputs=None):
        super().__init__(edges)
        self._op = op
        self._formulas = formulas
        self._env = env
        self._saved = saved  # (name, tensor, version at recording) of the tensors the formulas read
        self._slots = slots  # per parameter: (is a list, shapes of its tensors)
        self._result = result  # the result's limbs (a tuple of them), without history
        self._outputs = outputs  # the shapes of several results, or None for one
        self._freed = False

    def apply(self, grads, create_graph):
        if self._freed:
            raise RuntimeError(_FREED)
        for name, tensor, version in self._saved:
            if tensor._version != version:
                raise RuntimeError(
                    "one of the variables needed for gradient computation has been modified by an inplace "
                    "operation: [varnel.zel.Tensor %s] (operand %r of %s), is at version %d; expected version %d "
                    "instead." % (list(tensor.shape), name, self.name(), tensor._version, version))
        env = dict(self._env)
        if self._outputs is not None:
            grads = list(grads) + [None] * (len(self._outputs) - len(grads))
            grads = [_zel.zeros(shape) if g is None and shape is not None else g
                     for g, shape in zip(grads, self._outputs)]
            env["grads"] = grads
        env["grad"] = grads[0]
        if self._result is not None:
            if create_graph:
                r = self._result
                env["result"] = (tuple(_formulas.saved_result(x, self, i) for i, x in enumerate(r))
                                 if isinstance(r, tuple) else _formulas.saved_result(r, self, 0))
            else:
                env["result"] = self._result
        out = []
        for formula, (group, shapes) in zip(self._formulas, self._slots):
            if formula is None:
                out.extend([None] * len(shapes))
                continue
            g = _formulas.evaluate(formula, env, self._op)
            parts = tuple(g) if group else (g,)
            if len(parts) != len(shapes):
                raise RuntimeError("the derivative of %s gave %d gradients for %d tensors"
                                   % (self._op, len(parts), len(shapes)))
            out.extend(None if p is None else _formulas.sum_to(p, shape) for p, shape in zip(parts, shapes))
        return tuple(out)

    def _release(self):
        self._freed = True
        self._env = None
        self._saved = ()
        self._result = None


class NotImplementedNode(Node):
    """The node of an operation whose derivative is not declared yet: backward
    through it raises, as PyTorch does for such operations."""

    __slots__ = ("_op",)

    def __init__(self, op, edges):
        super().__init__(edges)
        self._op = op

    def apply(self, grads, create_graph):
        raise RuntimeError("the derivative for '%s' is not implemented." % self._op)


class AccumulateGrad(Node):
    """The end of a leaf's edges: runs the leaf's hooks and adds the gradient
    into its .grad."""

    __slots__ = ("_meta",)

    def __init__(self, meta):
        super().__init__(())
        self._meta = meta

    @property
    def variable(self):
        return self._meta

    def apply(self, grads, create_graph):
        grad = grads[0]
        for hook in list(self._meta.hooks):
            r = hook(grad)
            if r is not None:
                grad = r
        if not create_graph:
            grad = grad.detach()
        old = self._meta.grad
        self._meta.grad = grad if old is None else old + grad
        return ()


def accumulator(meta):
    """The AccumulateGrad of a leaf, one per leaf while any graph holds it."""
    ref = meta.accumulator
    node = ref() if ref is not None else None
    if node is None:
        node = node_type("AccumulateGrad", AccumulateGrad)(meta)
        meta.accumulator = weakref.ref(node)
    return node


def edge_of(t):
    """(node, output_nr) where the gradient of tensor t goes, or (None, 0)."""
    if not t.requires_grad:
        return (None, 0)
    fn = t.grad_fn
    if fn is None:
        return (accumulator(t._grad_meta), 0)
    return (fn, t.output_nr)


def _tensor_hook_list(fn, output_nr):
    if fn._tensor_hooks is None:
        fn._tensor_hooks = {}
    return fn._tensor_hooks.setdefault(output_nr, [])


def register_tensor_hook(t, hook):
    """Tensor.register_hook: on a leaf the hook runs before accumulation, on
    another tensor before its node runs."""
    if not t.requires_grad:
        raise RuntimeError("cannot register a hook on a tensor that doesn't require gradient")
    fn = t.grad_fn
    if fn is None:
        return _Handle(t._grad_meta.hooks, hook)
    return _Handle(_tensor_hook_list(fn, t.output_nr), hook)


class _Retain:
    """The hook retain_grad() puts on a non-leaf: keeps its gradient in .grad."""

    __slots__ = ("_meta",)

    def __init__(self, meta):
        self._meta = meta

    def __call__(self, grad):
        old = self._meta.grad
        self._meta.grad = grad.detach() if old is None else old + grad.detach()


def retain_grad(t):
    if not t.requires_grad:
        raise RuntimeError("can't retain_grad on Tensor that has requires_grad=False")
    fn = t.grad_fn
    if fn is None or t.retains_grad:
        return
    meta = t._grad_meta
    meta.retains_grad = True
    _tensor_hook_list(fn, t.output_nr).append(_Retain(meta))


def _check_grad(g, t, i):
    if not isinstance(g, _zel.Tensor):
        raise TypeError("gradient %d must be a Tensor or None, got %s" % (i, type(g).__name__))
    if tuple(g.shape) != tuple(t.shape):
        raise RuntimeError("Mismatch in shape: grad_output[%d] has a shape of %s and output[%d] has a shape of "
                           "%s." % (i, list(g.shape), i, list(t.shape)))


def _root_grads(outputs, grad_outputs, create_graph):
    grads = []
    for i, (t, g) in enumerate(zip(outputs, grad_outputs)):
        if not isinstance(t, _zel.Tensor):
            raise TypeError("outputs must be Tensors, got %s" % type(t).__name__)
        if not t.requires_grad:
            raise RuntimeError("element %d of tensors does not require grad and does not have a grad_fn" % i)
        if g is None:
            if t.numel != 1:
                raise RuntimeError("grad can be implicitly created only for scalar outputs")
            g = _zel.ones_like(t)
        else:
            _check_grad(g, t, i)
        grads.append(g)
    return grads


def _as_tuple(x, what):
    if x is None:
        return ()
    if isinstance(x, _zel.Tensor):
        return (x,)
    if isinstance(x, (tuple, list)):
        return tuple(x)
    raise TypeError("%s must be a Tensor or a sequence of Tensors, got %s" % (what, type(x).__name__))


def run_backward(outputs, grad_outputs, retain_graph, create_graph, inputs, accumulate):
    """The engine. With accumulate, leaves (all of them, or those in
    `inputs`) get their gradients added into .grad and nothing is returned;
    otherwise the gradients of `inputs` are returned, None where unreached."""
    if retain_graph is None:
        retain_graph = create_graph
    grads = _root_grads(outputs, grad_outputs, create_graph)
    roots = [edge_of(t) for t in outputs]
    # The common case runs in C++, in this engine's order; it declines graphs with hooks.
    if accumulate and not inputs and not create_graph and _zel._run_graph(roots, grads, bool(retain_graph)):
        return None

    # Where the wanted gradients are caught: a leaf at its AccumulateGrad, any
    # other tensor on its way into its node.
    captures = {}
    for k, t in enumerate(inputs):
        if not isinstance(t, _zel.Tensor):
            raise TypeError("inputs must be Tensors, got %s" % type(t).__name__)
        if not t.requires_grad:
            raise RuntimeError("One of the differentiated Tensors does not require grad")
        node, nr = edge_of(t)
        captures.setdefault((node, nr), []).append(k)

    # Dependencies: how many edges lead into each node from the part of the
    # graph that runs.
    deps = {}
    seen = set()
    stack = [n for n, _ in roots if n is not None]
    order = []
    while stack:
        n = stack.pop()
        if id(n) in seen:
            continue
        seen.add(id(n))
        order.append(n)
        for nxt, _ in n.next_functions:
            if nxt is not None:
                deps[id(nxt)] = deps.get(id(nxt), 0) + 1
                stack.append(nxt)

    # With inputs, only the nodes with a path to one of them run.
    needed = None
    if inputs:
        targets = {id(node) for node, _ in captures}
        needed = set()
        for n in reversed(_topological(order)):
            if id(n) in targets or any(nxt is not None and id(nxt) in needed for nxt, _ in n.next_functions):
                needed.add(id(n))

    results = [None] * len(inputs)
    buffers = {}

    def add_to(node, nr, g):
        buf = buffers.setdefault(id(node), {})
        old = buf.get(nr)
        buf[nr] = g if old is None else old + g

    for (node, nr), g in zip(roots, grads):
        if node is not None:
            add_to(node, nr, g)
    ready = []
    queued = set()
    for node, _ in roots:
        if node is not None and deps.get(id(node), 0) == 0 and id(node) not in queued:
            queued.add(id(node))
            heapq.heappush(ready, (-node._seq, id(node), node))

    mode = _zel._is_grad_enabled()
    _zel._set_grad_enabled(bool(create_graph))
    try:
        while ready:
            _, _, node = heapq.heappop(ready)
            buf = buffers.pop(id(node), {})
            n_out = max(buf) + 1 if buf else 1
            grads_in = [buf.get(i) for i in range(n_out)]
            for nr, hooks in (node._tensor_hooks.items() if node._tensor_hooks else ()):
                if nr < len(grads_in) and grads_in[nr] is not None:
                    # retain_grad keeps what the other hooks leave, as in PyTorch.
                    for hook in sorted(hooks, key=lambda h: isinstance(h, _Retain)):
                        r = hook(grads_in[nr])
                        if r is not None:
                            grads_in[nr] = r
            for hook in list(node._pre_hooks):
                r = hook(tuple(grads_in))
                if r is not None:
                    grads_in = list(r)
            caught = False
            for nr, g in enumerate(grads_in):
                for k in captures.get((node, nr), ()):
                    caught = True
                    if g is not None:
                        results[k] = g if accumulate or create_graph else g.detach()
            run = needed is None or id(node) in needed
            if caught and not accumulate and isinstance(node, AccumulateGrad):
                run = False
            if accumulate and inputs and isinstance(node, AccumulateGrad) and not caught:
                run = False
            out = ()
            if run and any(g is not None for g in grads_in):
                out = node.apply(tuple(grads_in), create_graph)
                for hook in list(node._hooks):
                    r = hook(tuple(out), tuple(grads_in))
                    if r is not None:
                        out = tuple(r)
                if not retain_graph:
                    node._release()
            for (nxt, nr), g in zip(node.next_functions, out):
                if nxt is None:
                    continue
                if g is not None:
                    add_to(nxt, nr, g)
            for nxt, _ in node.next_functions:
                if nxt is None:
                    continue
                deps[id(nxt)] -= 1
                if deps[id(nxt)] == 0 and id(nxt) not in queued:
                    queued.add(id(nxt))
                    heapq.heappush(ready, (-nxt._seq, id(nxt), nxt))
    finally:
        _zel._set_grad_enabled(mode)
    if not accumulate:
        return tuple(results)
    return None


def _topological(nodes):
    """The nodes, each before every node it leads to."""
    index = {id(n): n for n in nodes}
    indeg = {id(n): 0 for n in nodes}
    for n in nodes:
        for nxt, _ in n.next_functions:
            if nxt is not None and id(nxt) in indeg:
                indeg[id(nxt)] += 1
    ready = [n for n in nodes if indeg[id(n)] == 0]
    out = []
    while ready:
        n = ready.pop()
        out.append(n)
        for nxt, _ in n.next_functions:
            if nxt is not None and id(nxt) in indeg:
                indeg[id(nxt)] -= 1
                if indeg[id(nxt)] == 0:
                    ready.append(index[id(nxt)])
    return out


def backward(tensors, grad_tensors=None, retain_graph=None, create_graph=False, inputs=None):
    """autograd.backward: adds the gradients of `tensors` into the .grad of the
    leaves (of `inputs` alone when given)."""
    outputs = _as_tuple(tensors, "tensors")
    grads = _as_tuple(grad_tensors, "grad_tensors") if grad_tensors is not None else (None,) * len(outputs)
    if len(grads) != len(outputs):
        raise RuntimeError("got %d tensors and %d gradients" % (len(outputs), len(grads)))
    ins = _as_tuple(inputs, "inputs")
    if inputs is not None and not ins:
        raise RuntimeError("'inputs' argument to backward() cannot be empty.")
    run_backward(outputs, grads, retain_graph, create_graph, ins, True)


def grad(outputs, inputs, grad_outputs=None, retain_graph=None, create_graph=False, only_inputs=True,
         allow_unused=None, is_grads_batched=False, materialize_grads=False):
    """autograd.grad: the gradients of `outputs` with respect to `inputs`,
    without touching any .grad."""
    outs = _as_tuple(outputs, "outputs")
    ins = _as_tuple(inputs, "inputs")
    if not ins:
        raise RuntimeError("grad requires non-empty inputs.")
    if is_grads_batched:
        raise NotImplementedError("autograd.grad(): is_grads_batched=True is not supported")
    gouts = _as_tuple(grad_outputs, "grad_outputs") if grad_outputs is not None else (None,) * len(outs)
    if len(gouts) != len(outs):
        raise RuntimeError("grad requires one grad_output per output: got %d outputs and %d grad_outputs"
                           % (len(outs), len(gouts)))
    if allow_unused is None:
        allow_unused = materialize_grads
    result = run_backward(outs, gouts, retain_graph, create_graph, ins, False)
    out = []
    for i, (t, g) in enumerate(zip(ins, result)):
        if g is None:
            if materialize_grads:
                g = _zel.zeros_like(t)
            elif not allow_unused:
                raise RuntimeError("One of the differentiated Tensors appears to not have been used in the "
                                   "graph. Set allow_unused=True if this is the desired behavior.")
        out.append(g)
    return tuple(out)


def install(zel, formulas):
    global _zel, _formulas, _next_sequence
    _zel, _formulas = zel, formulas
    _next_sequence = zel._next_sequence
    # The nodes recorded in C++ answer as these do.
    native = zel._NativeNode
    for name in ("metadata", "name", "register_hook", "register_prehook", "__call__", "__repr__"):
        setattr(native, name, Node.__dict__[name])
