"""autograd.Function: operations whose forward and backward the user writes.

    class Cube(zel.autograd.Function):
        @staticmethod
        def forward(ctx, x):
            ctx.save_for_backward(x)
            return x * x * x

        @staticmethod
        def backward(ctx, grad):
            x, = ctx.saved_tensors
            return grad * 3.0 * x * x

    y = Cube.apply(x)

The forward runs without recording; apply() records one node whose backward
calls the class's backward (recorded itself under create_graph=True).
"""
from . import graph

_zel = None


class FunctionCtx:
    """What forward() hands to backward(): saved tensors and flags."""

    def save_for_backward(self, *tensors):
        for t in tensors:
            if t is not None and not isinstance(t, _zel.Tensor):
                raise TypeError("save_for_backward can only save variables, but argument %d is of type %s"
                                % (tensors.index(t), type(t).__name__))
        self._to_save = tensors

    def mark_non_differentiable(self, *tensors):
        self._non_differentiable = {id(t) for t in tensors}

    def mark_dirty(self, *tensors):
        self._dirty = {id(t) for t in tensors}

    def set_materialize_grads(self, value):
        self.materialize_grads = bool(value)


class BackwardCFunction(graph.Node, FunctionCtx):
    """The node of one apply(): it is also the ctx its forward saw."""

    __slots__ = ("_cls", "_saved", "_freed", "_n_outputs", "_output_shapes", "needs_input_grad",
                 "_to_save", "_non_differentiable", "_dirty", "materialize_grads")

    def __init__(self, cls, edges, needs_input_grad):
        graph.Node.__init__(self, edges)
        self._cls = cls
        self._saved = None
        self._freed = False
        self._to_save = ()
        self._non_differentiable = set()
        self._dirty = set()
        self.materialize_grads = True
        self.needs_input_grad = needs_input_grad

    @property
    def saved_tensors(self):
        if self._freed:
            raise RuntimeError(graph._FREED)
        out = []
        for t, version in self._saved or ():
            if t is not None and t._version != version:
                raise RuntimeError("one of the variables needed for gradient computation has been modified by an "
                                   "inplace operation: [varnel.zel.Tensor %s] (saved by %s), is at version %d; "
                                   "expected version %d instead." % (list(t.shape), self.name(), t._version,
                                                                      version))
            out.append(t)
        return tuple(out)

    def apply(self, grads, create_graph):
        if self._freed:
            raise RuntimeError(graph._FREED)
        grads = list(grads) + [None] * (self._n_outputs - len(grads))
        if self.materialize_grads:
            grads = [_zel.zeros(shape) if g is None else g for g, shape in zip(grads, self._output_shapes)]
        result = self._cls.backward(self, *grads)
        if not isinstance(result, tuple):
            result = (result,)
        n = len(self.needs_input_grad)
        if len(result) < n:
            raise RuntimeError("function %s returned an incorrect number of gradients (expected %d, got %d)"
                               % (self.name(), n, len(result)))
        result = result[:n] if all(r is None for r in result[n:]) else result
        if len(result) != n:
            raise RuntimeError("function %s returned an incorrect number of gradients (expected %d, got %d)"
                               % (self.name(), n, len(result)))
        out = []
        for (node, _), g, shape in zip(self.next_functions, result, self._input_shapes):
            if node is None or g is None:
                out.append(None)
                continue
            if not isinstance(g, _zel.Tensor):
                raise TypeError("function %s returned a gradient of type %s, not a Tensor or None"
                                % (self.name(), type(g).__name__))
            if tuple(g.shape) != shape:
                g = graph_formulas().sum_to(g, shape)
            out.append(g)
        return tuple(out)

    def _release(self):
        self._freed = True
        self._saved = None


def graph_formulas():
    return graph._formulas


class _FunctionMeta(type):
    def __init__(cls, name, bases, attrs):
        super().__init__(name, bases, attrs)
        cls._backward_cls = type(name + "Backward", (BackwardCFunction,), {"__slots__": ()})


class Function(metaclass=_FunctionMeta):
    """Base class of user-defined differentiable operations."""

    def __init__(self, *args, **kwargs):
        raise RuntimeError("Legacy autograd function with non-static forward method is deprecated. "
                           "Please use new-style autograd function with static forward method.")

    @staticmethod
    def forward(ctx, *args, **kwargs):
        raise NotImplementedError("You must implement the forward function for custom autograd.Function.")

    @staticmethod
    def setup_context(ctx, inputs, output):
        raise NotImplementedError("setup_context is not implemented.")

    @staticmethod
    def backward(ctx, *grad_outputs):
        raise NotImplementedError("You must implement either the backward or vjp method for your custom "
                                  "autograd.Function to use it with backward mode AD.")

    vjp = backward

    @classmethod
    def apply(cls, *args, **kwargs):
        Tensor = _zel.Tensor
        record = _zel.is_grad_enabled() and any(isinstance(a, Tensor) and a.requires_grad for a in args)
        edges = [graph.edge_of(a) if isinstance(a, Tensor) and record else (None, 0) for a in args]
        needs = tuple(isinstance(a, Tensor) and a.requires_grad and record for a in args)
        node = cls._backward_cls(cls, edges, needs)
        node._input_shapes = tuple(tuple(a.shape) if isinstance(a, Tensor) else () for a in args)
        overridden = cls.setup_context is not Function.setup_context
        with _zel.no_grad():
            if overridden:
                output = cls.forward(*args, **kwargs)
                cls.setup_context(node, args, output)
            else:
                output = cls.forward(node, *args, **kwargs)
        single = not isinstance(output, tuple)
        outputs = (output,) if single else output
        node._saved = tuple((t, t._version) if t is not None else (None, 0) for t in node._to_save)
        node._to_save = ()
        if not record:
            return output
        node._n_outputs = len(outputs)
        node._output_shapes = tuple(tuple(o.shape) if isinstance(o, Tensor) else () for o in outputs)
        given = {id(a) for a in args if isinstance(a, Tensor)}
        marked = []
        for i, o in enumerate(outputs):
            if not isinstance(o, Tensor) or id(o) in node._non_differentiable:
                marked.append(o)
                continue
            if id(o) in given and id(o) not in node._dirty:
                o = o._alias_with_grad_fn(node)  # an input handed back: a new tensor with this history
                marked.append(o)
                continue
            o._set_grad_fn(node, i)
            marked.append(o)
        return marked[0] if single else tuple(marked)


class InplaceFunction(Function):
    def __init__(self, inplace=False):
        self.inplace = inplace


def once_differentiable(fn):
    """Accepted for PyTorch's sake: backward functions here may be
    differentiated again or not, as their operations allow."""
    return fn


def install(zel):
    global _zel
    _zel = zel
