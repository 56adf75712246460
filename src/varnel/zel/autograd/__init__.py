"""zel.autograd: reverse-mode differentiation with PyTorch's contract.

Operations on tensors that require grad record a graph (graph.py); the
derivative of each operation is the formula declared beside it
(formulas.py reads them). Gradients are computed with the library's own
arithmetic in an order fixed by the graph, so they are the same bytes on
every run.
"""
from . import formulas, function, functional, graph, grad_mode, gradcheck as _gradcheck
from .function import Function, FunctionCtx, InplaceFunction, once_differentiable
from .grad_mode import (enable_grad, inference_mode, is_grad_enabled, is_inference_mode_enabled, no_grad,
                        set_grad_enabled)
from .gradcheck import GradcheckError, gradcheck, gradgradcheck
from .graph import Node, backward, grad

__all__ = ["Function", "backward", "grad", "functional", "gradcheck", "gradgradcheck", "no_grad",
           "enable_grad", "set_grad_enabled", "inference_mode", "is_grad_enabled", "is_inference_mode_enabled"]


def install(zel):
    """Makes the graph live in varnel.zel.zel: the switches and the namespace."""
    import sys
    grad_mode.install(zel)
    graph.install(zel, formulas)
    formulas.install(zel)
    function.install(zel)
    functional.install(zel)
    _gradcheck.install(zel)
    for name in ("no_grad", "enable_grad", "set_grad_enabled", "inference_mode", "is_grad_enabled",
                 "is_inference_mode_enabled"):
        setattr(zel, name, globals()[name])
    zel.autograd = sys.modules[__name__]
