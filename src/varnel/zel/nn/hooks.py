"""Module backward hooks: identity autograd Functions around a module's
inputs and outputs see the gradients flowing through them, as PyTorch's
BackwardHook does."""
from . import module as _module


def hook_function(name, backward):
    """An identity autograd.Function of the library whose backward is backward(ctx, grads)."""
    def forward(ctx, hook, *tensors):
        ctx.hook = hook
        ctx.requires = tuple(t.requires_grad for t in tensors)
        ctx.mark_non_differentiable(*[t for t in tensors if not t.requires_grad])
        return tensors

    return type(name, (_module._zel.autograd.Function,), {
        "forward": staticmethod(forward),
        "backward": staticmethod(lambda ctx, *grads: (None,) + tuple(backward(ctx, grads))),
    })


class BackwardHook:
    """Runs a module's full backward pre-hooks and hooks for one call."""

    def __init__(self, module, hooks, pre_hooks):
        self.module, self.hooks, self.pre_hooks = module, hooks, pre_hooks
        self.grad_outputs = None
        self.n_inputs = 0
        self.input_positions = None

    def _apply(self, fn, values):
        Tensor = _module._zel.Tensor
        single = isinstance(values, Tensor)
        items = (values,) if single else values
        if not isinstance(items, tuple):
            return values, None
        positions = [i for i, v in enumerate(items) if isinstance(v, Tensor)]
        if not any(items[i].requires_grad for i in positions):
            return values, None
        wrapped = fn.apply(self, *[items[i] for i in positions])
        out = list(items)
        for i, w in zip(positions, wrapped):
            out[i] = w
        return (out[0] if single else tuple(out)), positions

    def setup_input_hook(self, args):
        """The positional arguments, their Tensors passed through the input identity."""
        self.n_inputs = len(args)
        if not self.hooks:
            return args
        args, self.input_positions = self._apply(function("input"), args)
        return args

    def setup_output_hook(self, result):
        """The forward result, its Tensors passed through the output identity."""
        result, _ = self._apply(function("output"), result)
        return result

    def packed(self, grads, positions, requires, size):
        out = [None] * size
        for i, g, r in zip(positions, grads, requires):
            out[i] = g if r else None
        return tuple(out)

    def on_output_grads(self, ctx, grads):
        grads = tuple(g if r else None for g, r in zip(grads, ctx.requires))
        for hook in list(self.pre_hooks.values()):
            result = hook(self.module, grads)
            if result is not None:
                result = tuple(result) if isinstance(result, (tuple, list)) else (result,)
                if len(result) != len(grads):
                    raise RuntimeError("Backward pre hook returned an invalid number of grad_output, got {}, but "
                                       "expected {}".format(len(result), len(grads)))
                grads = result
        self.grad_outputs = grads
        if self.input_positions is None and self.hooks:
            # No input requires grad: the hooks see None for every input now.
            nothing = (None,) * self.n_inputs
            for hook in list(self.hooks.values()):
                result = hook(self.module, nothing, grads)
                if result is not None and not (isinstance(result, tuple) and all(r is None for r in result)):
                    raise RuntimeError("Backward hook for Modules where no input requires gradient should always "
                                       "return None or None for all gradients.")
            self.grad_outputs = None
        return grads

    def on_input_grads(self, ctx, grads):
        grad_input = self.packed(grads, self.input_positions, ctx.requires, self.n_inputs)
        for hook in list(self.hooks.values()):
            result = hook(self.module, grad_input, self.grad_outputs)
            if result is None:
                continue
            result = tuple(result) if isinstance(result, (tuple, list)) else (result,)
            if len(result) != len(grad_input):
                raise RuntimeError("Backward hook returned an invalid number of grad_input, got {}, but expected {}"
                                   .format(len(result), len(grad_input)))
            grad_input = result
        self.grad_outputs = None
        return tuple(grad_input[i] for i in self.input_positions)


_FUNCTIONS = {}


def function(kind):
    """The input or output identity Function, built on first use (the library's autograd must be there)."""
    if kind not in _FUNCTIONS:
        on = "on_%s_grads" % kind
        _FUNCTIONS[kind] = hook_function("BackwardHook" + kind.title(),
                                         lambda ctx, grads: getattr(ctx.hook, on)(ctx, grads))
    return _FUNCTIONS[kind]
