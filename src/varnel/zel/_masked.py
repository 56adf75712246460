"""torch.masked's reductions and normalisations on this library's tensors.

As in PyTorch, the masked-out elements (mask False; the mask broadcasts to
the input) take the identity of the operation (0 for sum, 1 for prod, -inf
for amax, argmax, logsumexp and softmax, +inf for amin and argmin) and the
library's own operation runs on the result, so values and gradients are the
library's. mean, var and std count the elements kept. varnel.zel.zel
reaches this as zel.masked.
"""
import math
import types

import torch

_IDENTITY = {"sum": 0.0, "cumsum": 0.0, "prod": 1.0, "cumprod": 1.0, "amax": -math.inf, "argmax": -math.inf,
             "logsumexp": -math.inf, "softmax": -math.inf, "log_softmax": -math.inf, "amin": math.inf,
             "argmin": math.inf, "softmin": math.inf, "median": math.nan}


def install(zel):
    Tensor = zel.Tensor
    ns = types.ModuleType(zel.__name__ + ".masked", "torch.masked's reductions for varnel.zel tensors.")

    def check(op, input, mask):
        if not isinstance(input, Tensor):
            raise TypeError("masked.%s(): argument 'input' must be Tensor, not %s" % (op, type(input).__name__))
        if mask is None:
            return None
        if not isinstance(mask, torch.Tensor) or mask.dtype != torch.bool:
            raise TypeError("masked.%s(): mask must be a torch bool tensor, not %r" % (op, type(mask).__name__))
        return mask.expand(tuple(input.shape))

    def filled(op, input, mask, fill=None):
        m = check(op, input, mask)
        if m is None:
            return input, None
        return zel.where(m, input, _IDENTITY[op] if fill is None else fill), m

    def dims(input, dim):
        if dim is None or (isinstance(dim, (tuple, list)) and len(dim) == 0):
            return tuple(range(input.ndim))
        dims = tuple(dim) if isinstance(dim, (tuple, list)) else (dim,)
        for d in dims:
            # PyTorch's dims are ints (a tensor, even of one element, is refused).
            if isinstance(d, bool) or not isinstance(d, int):
                raise TypeError("argument 'dim' must be tuple of ints, but found element of type %s"
                                % type(d).__name__)
        return dims

    def over(t, name, dim, keepdim):
        if t.ndim == 0:
            return getattr(t, name)()
        return getattr(t, name)(dim=dims(t, dim), keepdim=bool(keepdim))

    def count(input, m, dim, keepdim):
        ones = torch.ones(tuple(input.shape), dtype=torch.float64) if m is None else m.to(torch.float64)
        c = ones.sum(dim=dims(input, dim), keepdim=bool(keepdim)) if input.ndim else ones
        return zel.tensor(c)

    def reduction(op, method):
        def reduce(input, dim=None, *, keepdim=False, dtype=None, mask=None):
            t, _ = filled(op, input, mask)
            return over(t, method, dim, keepdim)
        reduce.__name__ = op
        reduce.__doc__ = "torch.masked.%s: the masked-out elements count as %r." % (op, _IDENTITY[op])
        return reduce

    def arg_reduction(op):
        def reduce(input, dim=None, *, keepdim=False, dtype=None, mask=None):
            t, _ = filled(op, input, mask)
            # PyTorch gives the index in the input's (floating) dtype.
            return zel.tensor(getattr(t, op)(dim, keepdim=bool(keepdim)).to(torch.float64))
        reduce.__name__ = op
        reduce.__doc__ = "torch.masked.%s: the index over the elements kept, as a float." % op
        return reduce

    def mean(input, dim=None, *, keepdim=False, dtype=None, mask=None):
        """torch.masked.mean: the sum of the elements kept over their count (NaN where none is kept)."""
        t, m = filled("sum", input, mask)
        return over(t, "sum", dim, keepdim) / count(input, m, dim, keepdim)

    def spread(op, take_sqrt):
        # unbiased=None is PyTorch 2's default: the sample statistic (PyTorch 1.13 took the population's).
        def stat(input, dim=None, unbiased=None, *, correction=None, keepdim=False, dtype=None, mask=None):
            t, m = filled("sum", input, mask)
            n = count(input, m, dim, True)
            centred = input - over(t, "sum", dim, True) / n
            if m is not None:
                centred = zel.where(m, centred, 0.0)
            total = over(centred * centred, "sum", dim, keepdim)
            n = n.reshape(tuple(total.shape))
            c = float(correction) if correction is not None else (1.0 if unbiased is None or unbiased else 0.0)
            if c:
                n = (n - c).clamp(0.0)
            r = total / n
            return r.sqrt() if take_sqrt else r
        stat.__name__ = op
        stat.__doc__ = "torch.masked.%s over the elements kept (NaN where none is kept)." % op
        return stat

    def norm(input, ord=2.0, dim=None, *, keepdim=False, dtype=None, mask=None):
        """torch.masked.norm: the vector norm of the elements kept."""
        t, _ = filled("sum", input, mask, math.inf if ord == -math.inf else 0.0)
        return zel.linalg.vector_norm(t, ord, None if dim is None else dims(input, dim), bool(keepdim))

    def logsumexp(input, dim=None, *, keepdim=False, dtype=None, mask=None):
        """torch.masked.logsumexp: the masked-out elements count as -inf."""
        t, _ = filled("logsumexp", input, mask)
        return t.logsumexp(dims(input, dim), keepdim=bool(keepdim)) if t.ndim else t.logsumexp(0)

    def softmax_like(op, method, negate):
        def apply(input, dim, *, dtype=None, mask=None):
            t, _ = filled(op, input, mask)
            return getattr(-t if negate else t, method)(dim)
        apply.__name__ = op
        apply.__doc__ = "torch.masked.%s: the masked-out elements take no share." % op
        return apply

    def scan(op):
        def apply(input, dim, *, dtype=None, mask=None):
            t, _ = filled(op, input, mask)
            return getattr(t, op)(dim)
        apply.__name__ = op
        apply.__doc__ = "torch.masked.%s: the masked-out elements count as %r." % (op, _IDENTITY[op])
        return apply

    def normalize(input, ord, dim, *, eps=1e-12, dtype=None, mask=None):
        """torch.masked.normalize: the elements kept over their norm (at least eps)."""
        n = norm(input, ord, dim, keepdim=True, mask=mask)
        t, _ = filled("sum", input, mask)
        return t / zel.maximum(n, zel.tensor(float(eps)))

    def logaddexp(input, other, *, dtype=None, input_mask=None, other_mask=None):
        """torch.masked.logaddexp: each masked-out element counts as -inf."""
        a, _ = filled("logsumexp", input, input_mask)
        b, _ = filled("logsumexp", other, other_mask)
        return zel.logaddexp(a, b)

    def median(input, dim=-1, *, keepdim=False, dtype=None, mask=None):
        """torch.masked.median: the median of the elements kept (NaN where none is kept)."""
        t, _ = filled("median", input, mask)
        r = zel.nanmedian(t, dim, keepdim=bool(keepdim)) if hasattr(zel, "nanmedian") else None
        if r is None:
            raise NotImplementedError("masked.median needs nanmedian")
        return r[0] if isinstance(r, tuple) else r

    functions = [reduction("sum", "sum"), reduction("prod", "prod"), reduction("amax", "amax"),
                 reduction("amin", "amin"), arg_reduction("argmax"), arg_reduction("argmin"), mean,
                 spread("var", False), spread("std", True), norm, logsumexp,
                 softmax_like("softmax", "softmax", False), softmax_like("log_softmax", "log_softmax", False),
                 softmax_like("softmin", "softmax", True), scan("cumsum"), scan("cumprod"), normalize,
                 logaddexp, median]
    for fn in functions:
        fn.__module__ = ns.__name__
        setattr(ns, fn.__name__, fn)
    zel.masked = ns
