"""gradcheck and gradgradcheck: analytical gradients against central
differences, both computed in the library's arithmetic. With 8-limb
elements the differences are exact to far below float64, so the default
tolerances of PyTorch are loose here."""
import math

from . import graph

_zel = None


class GradcheckError(RuntimeError):
    """A gradient differs from its finite-difference estimate."""


def _as_tuple(x):
    return tuple(x) if isinstance(x, (tuple, list)) else (x,)


def _outputs(func, inputs):
    return _as_tuple(func(*inputs))


def _numerical(func, inputs, k, eps):
    """Central differences of every output with respect to inputs[k], one
    input element at a time: a list of (output index -> flat derivative)."""
    x = inputs[k]
    flat = x.detach().reshape(-1)
    # A power-of-two step, added as a tensor (the tensor sum keeps every limb;
    # a number added to a tensor is rounded to about 2^-110 of it), and the
    # difference scaled by a power of two: both exact.
    eps = 2.0 ** math.floor(math.log2(eps))
    step = _zel.tensor(eps)
    cols = []
    for i in range(flat.shape[0]):
        vals = []
        for sign in (1.0, -1.0):
            moved = flat.clone()
            moved[i] = flat[i] + step if sign > 0 else flat[i] - step
            args = list(inputs)
            args[k] = moved.reshape(tuple(x.shape))
            with _zel.no_grad():
                vals.append([o.detach().reshape(-1) for o in _outputs(func, args) if isinstance(o, _zel.Tensor)])
        cols.append([(p - m) * (0.5 / eps) for p, m in zip(*vals)])
    return cols


def _check(func, inputs, eps, atol, rtol, raise_exception, what):
    inputs = _as_tuple(inputs)
    tracked = [i for i, t in enumerate(inputs) if isinstance(t, _zel.Tensor) and t.requires_grad]
    if not tracked:
        raise ValueError("%s expects at least one input tensor to require gradient, but none of the them have "
                         "requires_grad=True." % what)
    with _zel.enable_grad():
        outs = [o for o in _outputs(func, inputs) if isinstance(o, _zel.Tensor)]
    for k in tracked:
        x = inputs[k]
        numeric = _numerical(func, inputs, k, eps)
        for j, o in enumerate(outs):
            flat = o.reshape(-1)
            for r in range(flat.shape[0]):
                if o.requires_grad:
                    g, = graph.grad(flat[r], x, retain_graph=True, allow_unused=True)
                else:
                    g = None
                analytic = _zel.zeros_like(x).reshape(-1) if g is None else g.detach().reshape(-1)
                for i in range(analytic.shape[0]):
                    # The difference is taken in limb arithmetic before rounding.
                    a, n = analytic[i], numeric[i][j][r]
                    diff, a, n = (a - n).item(), a.item(), n.item()
                    if not abs(diff) <= atol + rtol * abs(n):
                        if raise_exception:
                            raise GradcheckError(
                                "Jacobian mismatch for output %d with respect to input %d,\nnumerical:%r\n"
                                "analytical:%r\n(element %d of the output, %d of the input)" % (j, k, n, a, r, i))
                        return False
    return True


def gradcheck(func, inputs, *, eps=1e-6, atol=1e-5, rtol=1e-3, raise_exception=True, nondet_tol=0.0,
              check_undefined_grad=True, check_grad_dtypes=False, check_batched_grad=False,
              check_batched_forward_grad=False, check_forward_ad=False, check_backward_ad=True,
              fast_mode=False, masked=None):
    """Whether the gradients of func at inputs match finite differences."""
    return _check(func, inputs, eps, atol, rtol, raise_exception, "gradcheck")


def gradgradcheck(func, inputs, grad_outputs=None, *, eps=1e-6, atol=1e-5, rtol=1e-3, gen_non_contig_grad_outputs=False,
                  raise_exception=True, nondet_tol=0.0, check_undefined_grad=True, check_grad_dtypes=False,
                  check_batched_grad=False, check_fwd_over_rev=False, check_rev_over_rev=True, fast_mode=False,
                  masked=False):
    """Whether the second derivatives of func match finite differences of its
    first derivatives."""
    inputs = _as_tuple(inputs)
    with _zel.enable_grad():
        outs = [o for o in _outputs(func, inputs) if isinstance(o, _zel.Tensor) and o.requires_grad]
    if grad_outputs is None:
        grad_outputs = tuple(_zel.randn(tuple(o.shape)).requires_grad_() for o in outs)
    else:
        grad_outputs = _as_tuple(grad_outputs)
    n = len(inputs)
    tracked = [i for i, t in enumerate(inputs) if isinstance(t, _zel.Tensor) and t.requires_grad]

    def first_derivatives(*args):
        # Also called without recording, on perturbed copies: the inputs are made
        # differentiable again here.
        xs = [x if i not in tracked or x.requires_grad else x.detach().requires_grad_()
              for i, x in enumerate(args[:n])]
        gs = args[n:]
        with _zel.enable_grad():
            os = [o for o in _outputs(func, xs) if isinstance(o, _zel.Tensor) and o.requires_grad]
            wanted = [xs[i] for i in tracked]
            res = graph.grad(os, wanted, gs, create_graph=True, allow_unused=True)
        return tuple(r for r in res if r is not None)

    return _check(first_derivatives, tuple(inputs) + tuple(grad_outputs), eps, atol, rtol, raise_exception,
                  "gradgradcheck")


def install(zel):
    global _zel
    _zel = zel
