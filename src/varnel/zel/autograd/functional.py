"""autograd.functional: Jacobians, Hessians and their products for functions
of tensors, built on autograd.grad. `vectorize` and `strategy` are accepted;
rows are computed one backward pass each, which gives the same values."""
from . import graph

_zel = None


def _tuple(x, what):
    if isinstance(x, _zel.Tensor):
        return (x,), True
    if isinstance(x, (tuple, list)) and all(isinstance(t, _zel.Tensor) for t in x):
        return tuple(x), False
    raise TypeError("The %s given to the function must be either a Tensor or a tuple of Tensors but the given "
                    "argument is of type %s." % (what, type(x).__name__))


def _inputs(inputs, create_graph):
    """Fresh leaves holding the inputs' values (linked to them under create_graph)."""
    out = []
    for t in inputs:
        if create_graph and t.requires_grad:
            out.append(t * 1.0)
        else:
            out.append(t.detach().requires_grad_())
    return tuple(out)


def _grads(outputs, inputs, grad_outputs, create_graph, strict, what):
    used = [o for o, g in zip(outputs, grad_outputs) if o.requires_grad]
    gused = [g for o, g in zip(outputs, grad_outputs) if o.requires_grad]
    if not used:
        res = (None,) * len(inputs)
    else:
        res = graph.grad(used, inputs, gused, retain_graph=True, create_graph=create_graph, allow_unused=True)
    out = []
    for i, (g, t) in enumerate(zip(res, inputs)):
        if g is None:
            if strict:
                raise RuntimeError("The output of the user-provided function is independent of input %d. This is "
                                   "not allowed in strict mode." % i)
            g = _zel.zeros_like(t)
        out.append(g if create_graph else g.detach())
    return tuple(out)


def _call(func, inputs):
    with _zel.enable_grad():
        out = func(*inputs)
    return out


def _vector(v, like, what):
    """v as a tuple of tensors; None stands for 1 when `like` is one
    one-element tensor."""
    if v is not None:
        return _tuple(v, "v")[0]
    if len(like) != 1 or like[0].numel != 1:
        raise RuntimeError("The vector v can only be None if the %s of the user-provided function is a single "
                           "Tensor with a single element." % what)
    return (_zel.ones_like(like[0]),)


def vjp(func, inputs, v=None, create_graph=False, strict=False):
    """(func(inputs), v^T J): the vector-Jacobian product."""
    ins, single_in = _tuple(inputs, "inputs")
    ins = _inputs(ins, create_graph)
    out = _call(func, ins)
    outs, single_out = _tuple(out, "outputs of the user-provided function")
    vs = _vector(v, outs, "output")
    res = _grads(outs, ins, vs, create_graph, strict, "vjp")
    outs = tuple(o if create_graph else o.detach() for o in outs)
    return (outs[0] if single_out else outs), (res[0] if single_in else res)


def jvp(func, inputs, v=None, create_graph=False, strict=False):
    """(func(inputs), J v): the Jacobian-vector product, by differentiating a
    vector-Jacobian product with respect to its vector."""
    ins, single_in = _tuple(inputs, "inputs")
    ins = _inputs(ins, True)
    out = _call(func, ins)
    outs, single_out = _tuple(out, "outputs of the user-provided function")
    vs = _vector(v, ins, "input")
    us = tuple(_zel.zeros_like(o).requires_grad_() for o in outs)
    g = _grads(outs, ins, us, True, strict, "jvp")
    res = _grads(g, us, vs, create_graph, strict, "jvp")
    outs = tuple(o if create_graph else o.detach() for o in outs)
    return (outs[0] if single_out else outs), (res[0] if single_out else res)


def jacobian(func, inputs, create_graph=False, strict=False, vectorize=False, strategy="reverse-mode"):
    """d func(inputs) / d inputs: shape output.shape + input.shape, one
    backward pass per output element."""
    if strategy not in ("reverse-mode", "forward-mode"):
        raise ValueError('Expected strategy to be either "forward-mode" or "reverse-mode".')
    ins, single_in = _tuple(inputs, "inputs")
    ins = _inputs(ins, create_graph)
    out = _call(func, ins)
    outs, single_out = _tuple(out, "outputs of the user-provided function")
    table = []
    for o in outs:
        flat = o.reshape(-1)
        n = flat.shape[0]
        rows = [[] for _ in ins]
        for k in range(n):
            if o.requires_grad:
                gs = graph.grad(flat[k], ins, retain_graph=True, create_graph=create_graph, allow_unused=True)
            else:
                gs = (None,) * len(ins)
            for j, (g, t) in enumerate(zip(gs, ins)):
                if g is None:
                    if strict:
                        raise RuntimeError("Output %d of the user-provided function is independent of input %d. "
                                           "This is not allowed in strict mode." % (outs.index(o), j))
                    g = _zel.zeros_like(t)
                rows[j].append(g if create_graph else g.detach())
        per_input = []
        for j, t in enumerate(ins):
            shape = tuple(o.shape) + tuple(t.shape)
            per_input.append(_zel.stack(rows[j]).reshape(shape) if rows[j] else _zel.zeros(shape))
        table.append(tuple(per_input))
    if single_out:
        return table[0][0] if single_in else table[0]
    return tuple(t[0] for t in table) if single_in else tuple(table)


def hessian(func, inputs, create_graph=False, strict=False, vectorize=False, outer_jacobian_strategy="reverse-mode"):
    """The matrix of second derivatives of a function with one-element output."""
    ins, single_in = _tuple(inputs, "inputs")

    def gradient(*xs):
        out = func(*xs)
        outs, _ = _tuple(out, "outputs of the user-provided function")
        if len(outs) != 1 or outs[0].numel != 1:
            raise RuntimeError("The function given to hessian should return a single Tensor with a single element.")
        g = _grads(outs, xs, (_zel.ones_like(outs[0]),), True, strict, "hessian")
        return g[0] if single_in else g

    return jacobian(gradient, ins[0] if single_in else ins, create_graph=create_graph, strict=strict)


def vhp(func, inputs, v=None, create_graph=False, strict=False):
    """(func(inputs), v^T H)."""
    ins, single_in = _tuple(inputs, "inputs")
    ins = _inputs(ins, True)
    out = _call(func, ins)
    outs, _ = _tuple(out, "outputs of the user-provided function")
    if len(outs) != 1 or outs[0].numel != 1:
        raise RuntimeError("The function given to hvp should return a single Tensor with a single element.")
    vs = _vector(v, ins, "input")
    g = _grads(outs, ins, (_zel.ones_like(outs[0]),), True, strict, "vhp")
    res = _grads(g, ins, vs, create_graph, strict, "vhp")
    o = outs[0] if create_graph else outs[0].detach()
    return o, (res[0] if single_in else res)


def hvp(func, inputs, v=None, create_graph=False, strict=False):
    """(func(inputs), H v): the Hessian is symmetric, so this is vhp."""
    return vhp(func, inputs, v, create_graph, strict)


def install(zel):
    global _zel
    _zel = zel
