"""The gradient-mode switches of PyTorch (no_grad, enable_grad, inference_mode,
set_grad_enabled, is_grad_enabled) and the autograd namespace. Tensors of
this library do not track gradients: the switches change nothing and the
autograd functions raise.
"""
import functools
import sys
import types

_NO_GRAD = "varnel.zel tensors do not track gradients"


class _GradMode:
    """A gradient switch that does nothing, as context manager and decorator."""

    def __init__(self, mode=False):
        self.mode = mode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def __call__(self, fn):
        @functools.wraps(fn)
        def run(*args, **kwargs):
            with self:
                return fn(*args, **kwargs)
        return run

    def clone(self):
        return type(self)(self.mode)


class no_grad(_GradMode):
    """Context manager and decorator; nothing is tracked anyway."""

    def __init__(self):
        super().__init__(False)


class enable_grad(_GradMode):
    """Context manager and decorator; it cannot enable what does not exist."""

    def __init__(self):
        super().__init__(False)


class inference_mode(_GradMode):
    """Context manager and decorator; every tensor is an inference tensor."""

    def __init__(self, mode=True):
        super().__init__(mode)


class set_grad_enabled(_GradMode):
    """Gradient mode switch: as function, context manager or decorator, a no-op."""

    def __init__(self, mode):
        if not isinstance(mode, bool):
            raise TypeError("set_grad_enabled(): argument 'mode' must be bool, not %s" % type(mode).__name__)
        super().__init__(mode)


def is_grad_enabled():
    """Always False: no gradients are tracked."""
    return False


def install(zel):
    """Adds the switches and zel.autograd to varnel.zel.zel."""
    is_grad_enabled.__module__ = zel.__name__
    zel.is_grad_enabled = is_grad_enabled
    for cls in (no_grad, enable_grad, inference_mode, set_grad_enabled):
        setattr(zel, cls.__name__, cls)
    autograd = types.ModuleType(zel.__name__ + ".autograd", "No autograd: " + _NO_GRAD + ".")

    def grad(*args, **kwargs):
        raise RuntimeError("autograd.grad(): " + _NO_GRAD)

    def backward(*args, **kwargs):
        raise RuntimeError("autograd.backward(): " + _NO_GRAD)

    autograd.grad, autograd.backward = grad, backward
    zel.autograd = autograd
    sys.modules[autograd.__name__] = autograd
