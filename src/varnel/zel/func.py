"""zel.func: PyTorch's function transforms (grad, vjp, jvp, jacrev, jacfwd,
hessian, vmap, functional_call) on the recorded graph.

The transforms nest: inside an outer transform the inputs already require
grad, and the inner one records its own derivatives (create_graph) so that
the outer one differentiates them. vmap runs the function once per batch
element and stacks the results, which gives PyTorch's values; jacfwd is
computed in reverse mode, with the same values.

zel.compile accepts PyTorch's arguments and runs the function eagerly, as
PyTorch's backend="eager" does.
"""
import functools

_zel = None


def _argnums(argnums, n):
    single = isinstance(argnums, int)
    nums = (argnums,) if single else tuple(argnums)
    if not nums:
        raise RuntimeError("argnums must be non-empty")
    for a in nums:
        if not isinstance(a, int):
            raise RuntimeError("argnums must be int or Tuple[int, ...], got %s" % type(a).__name__)
        if not -n <= a < n:
            raise RuntimeError("Got argnums=%d but only %d positional inputs" % (a, n))
    return tuple(a % n for a in nums), single


def _flat(x):
    """The tensors of a (nested) tuple or list, and a function rebuilding it."""
    if isinstance(x, _zel.Tensor):
        return [x], lambda ts: ts[0]
    if isinstance(x, (tuple, list)):
        parts = [_flat(v) for v in x]
        sizes = [len(p[0]) for p in parts]

        def rebuild(ts):
            out, i = [], 0
            for (_, f), n in zip(parts, sizes):
                out.append(f(ts[i:i + n]))
                i += n
            return type(x)(out)
        return [t for p in parts for t in p[0]], rebuild
    if isinstance(x, dict):
        keys = list(x)
        flat, rebuild = _flat([x[k] for k in keys])
        return flat, lambda ts: dict(zip(keys, rebuild(ts)))
    raise TypeError("expected Tensors (or tuples, lists and dicts of them), got %s" % type(x).__name__)


def _enter(x, outer):
    """A fresh tensor to differentiate with respect to: linked to x when an
    outer transform differentiates x too."""
    if outer and x.requires_grad:
        return x * 1.0
    return x.detach().requires_grad_()


def grad_and_value(func, argnums=0, has_aux=False):
    """A function returning (gradient of func with respect to the argnums
    arguments, func's value)."""
    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        nums, single = _argnums(argnums, len(args))
        outer = _zel.is_grad_enabled() and any(t.requires_grad for a in args for t in _tensors(a))
        args = list(args)
        leaves = []
        with _zel.enable_grad():
            for a in nums:
                flat, rebuild = _flat(args[a])
                fresh = [_enter(t, outer) for t in flat]
                leaves.append((fresh, rebuild))
                args[a] = rebuild(fresh)
            out = func(*args, **kwargs)
            aux = None
            if has_aux:
                if not (isinstance(out, tuple) and len(out) == 2):
                    raise RuntimeError("grad_and_value(f)(*args): output of function f should be a tuple: "
                                       "(output, aux) if has_aux is True")
                out, aux = out
            if not isinstance(out, _zel.Tensor) or out.numel != 1:
                raise RuntimeError("grad_and_value(f)(*args): Expected f(*args) to return a scalar Tensor, got "
                                   "%s" % (type(out).__name__ if not isinstance(out, _zel.Tensor)
                                           else "shape %s" % (tuple(out.shape),)))
            everything = [t for fresh, _ in leaves for t in fresh]
            if out.requires_grad:
                gs = _zel.autograd.grad(out, everything, create_graph=outer, allow_unused=True)
            else:
                gs = (None,) * len(everything)
        gs = [_zel.zeros_like(t) if g is None else g for g, t in zip(gs, everything)]
        results, i = [], 0
        for fresh, rebuild in leaves:
            results.append(rebuild(gs[i:i + len(fresh)]))
            i += len(fresh)
        g = results[0] if single else tuple(results)
        value = out if outer else out.detach()
        return (g, (value, aux)) if has_aux else (g, value)
    return wrapper


def _tensors(a):
    try:
        return _flat(a)[0]
    except TypeError:
        return []


def grad(func, argnums=0, has_aux=False):
    """A function returning the gradient of func (which returns a one-element
    tensor) with respect to its argnums arguments."""
    gv = grad_and_value(func, argnums, has_aux)

    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        g, value = gv(*args, **kwargs)
        return (g, value[1]) if has_aux else g
    return wrapper


def vjp(func, *primals, has_aux=False):
    """(func(*primals), vjp_fn): vjp_fn(cotangents) gives the vector-Jacobian
    products with respect to every primal."""
    outer = _zel.is_grad_enabled() and any(t.requires_grad for a in primals for t in _tensors(a))
    flats = [_flat(p) for p in primals]
    fresh = [[_enter(t, outer) for t in f] for f, _ in flats]
    args = [rebuild(ts) for ts, (_, rebuild) in zip(fresh, flats)]
    with _zel.enable_grad():
        out = func(*args)
    aux = None
    if has_aux:
        out, aux = out
    outs, rebuild_out = _flat(out)
    everything = [t for ts in fresh for t in ts]

    def vjp_fn(*cotangents):
        cts = _flat(cotangents[0] if len(cotangents) == 1 else cotangents)[0]
        if len(cts) != len(outs):
            raise RuntimeError("Expected %d cotangents, got %d" % (len(outs), len(cts)))
        pairs = [(o, c) for o, c in zip(outs, cts) if o.requires_grad]
        if pairs:
            gs = _zel.autograd.grad([o for o, _ in pairs], everything, [c for _, c in pairs], retain_graph=True,
                                    create_graph=outer or _zel.is_grad_enabled() and any(
                                        c.requires_grad for _, c in pairs), allow_unused=True)
        else:
            gs = (None,) * len(everything)
        gs = [_zel.zeros_like(t) if g is None else g for g, t in zip(gs, everything)]
        results, i = [], 0
        for ts, (_, rebuild) in zip(fresh, flats):
            results.append(rebuild(gs[i:i + len(ts)]))
            i += len(ts)
        return tuple(results)

    value = rebuild_out([o if outer else o.detach() for o in outs])
    return (value, vjp_fn, aux) if has_aux else (value, vjp_fn)


def jvp(func, primals, tangents, *, strict=False, has_aux=False):
    """(func(*primals), J tangents), by differentiating a vector-Jacobian
    product with respect to its cotangent."""
    if not isinstance(primals, tuple) or not isinstance(tangents, tuple):
        raise RuntimeError("jvp(f, primals, tangents): Expected primals and tangents to be tuples")
    if len(primals) != len(tangents):
        raise RuntimeError("jvp(f, primals, tangents): Expected primals and tangents to have the same length")
    outer = _zel.is_grad_enabled() and any(t.requires_grad for a in primals for t in _tensors(a))
    with _zel.enable_grad():
        res = vjp(func, *primals, has_aux=has_aux)
        value, fn = res[0], res[1]
        outs, rebuild = _flat(value)
        us = [_zel.zeros_like(o).requires_grad_() for o in outs]
        gs = fn(rebuild(us) if len(us) > 1 or not isinstance(value, _zel.Tensor) else us[0])
        flat_g = [g for item in gs for g in _flat(item)[0]]
        flat_t = [t for item in tangents for t in _flat(item)[0]]
        pairs = [(g, t) for g, t in zip(flat_g, flat_t) if g.requires_grad]
        if pairs:
            out = _zel.autograd.grad([g for g, _ in pairs], us, [t for _, t in pairs], create_graph=outer,
                                     allow_unused=True)
        else:
            out = (None,) * len(us)
    out = [_zel.zeros_like(o) if g is None else g for g, o in zip(out, outs)]
    result = (value if outer else rebuild([o.detach() for o in outs]), rebuild(out))
    return result + (res[2],) if has_aux else result


def jacrev(func, argnums=0, *, has_aux=False, chunk_size=None):
    """A function returning the Jacobian of func with respect to its argnums
    arguments: output.shape + input.shape per pair."""
    @functools.wraps(func)
    def wrapper(*args):
        nums, single = _argnums(argnums, len(args))
        outer = _zel.is_grad_enabled() and any(t.requires_grad for a in args for t in _tensors(a))
        args = list(args)
        fresh = []
        for a in nums:
            if not isinstance(args[a], _zel.Tensor):
                raise RuntimeError("jacrev: expected Tensor arguments at argnums")
            args[a] = _enter(args[a], outer)
            fresh.append(args[a])
        with _zel.enable_grad():
            out = func(*args)
            aux = None
            if has_aux:
                out, aux = out
            outs, rebuild = _flat(out)
            per_output = []
            for o in outs:
                flat = o.reshape(-1)
                rows = [[] for _ in fresh]
                for k in range(flat.shape[0]):
                    if flat.requires_grad:
                        gs = _zel.autograd.grad(flat[k], fresh, retain_graph=True, create_graph=outer,
                                                allow_unused=True)
                    else:
                        gs = (None,) * len(fresh)
                    for j, (g, t) in enumerate(zip(gs, fresh)):
                        rows[j].append(_zel.zeros_like(t) if g is None else g)
                jac = []
                for j, t in enumerate(fresh):
                    shape = tuple(o.shape) + tuple(t.shape)
                    jac.append(_zel.stack(rows[j]).reshape(shape) if rows[j] else _zel.zeros(shape))
                per_output.append(jac[0] if single else tuple(jac))
        result = rebuild(per_output)
        return (result, aux) if has_aux else result
    return wrapper


def jacfwd(func, argnums=0, has_aux=False, *, randomness="error"):
    """The Jacobian, as jacrev computes it (same values)."""
    return jacrev(func, argnums, has_aux=has_aux)


def hessian(func, argnums=0):
    """The Jacobian of the Jacobian."""
    return jacfwd(jacrev(func, argnums), argnums)


def vmap(func, in_dims=0, out_dims=0, randomness="error", *, chunk_size=None):
    """func applied to every slice along in_dims, the results stacked along
    out_dims."""
    @functools.wraps(func)
    def wrapper(*args, **kwargs):
        dims = in_dims if isinstance(in_dims, (tuple, list)) else (in_dims,) * len(args)
        if len(dims) != len(args):
            raise ValueError("vmap: in_dims is not compatible with the structure of inputs: expected %d entries, "
                             "got %d" % (len(args), len(dims)))
        sizes = {a.shape[d] for a, d in zip(args, dims) if d is not None and isinstance(a, _zel.Tensor)}
        if len(sizes) != 1:
            raise ValueError("vmap: Expected all tensors to have the same size in the mapped dimension, got sizes "
                             "%s" % sorted(sizes))
        n = sizes.pop()
        results = []
        for i in range(n):
            sliced = [a[(slice(None),) * (d % a.ndim) + (i,)] if d is not None and isinstance(a, _zel.Tensor) else a
                      for a, d in zip(args, dims)]
            results.append(func(*sliced, **kwargs))
        first = results[0]
        if isinstance(first, _zel.Tensor):
            return _zel.stack(results, dim=out_dims)
        outs = out_dims if isinstance(out_dims, (tuple, list)) else (out_dims,) * len(first)
        return type(first)(_zel.stack([r[k] for r in results], dim=outs[k]) for k in range(len(first)))
    return wrapper


def functional_call(module, parameter_and_buffer_dicts, args=None, kwargs=None, *, tie_weights=True, strict=False):
    """module(*args, **kwargs) with the named parameters and buffers replaced
    by the given tensors for this call only."""
    dicts = parameter_and_buffer_dicts
    if isinstance(dicts, dict):
        dicts = (dicts,)
    merged = {}
    for d in dicts:
        merged.update(d)
    if args is None:
        args = ()
    elif not isinstance(args, tuple):
        args = (args,)
    saved = []
    try:
        for name, value in merged.items():
            owner = module
            *path, leaf = name.split(".")
            for part in path:
                owner = getattr(owner, part)
            saved.append((owner, leaf, owner.__dict__.get(leaf, getattr(owner, leaf, None))))
            _set(owner, leaf, value)
        return module(*args, **(kwargs or {}))
    finally:
        for owner, leaf, value in reversed(saved):
            _set(owner, leaf, value)


def _set(owner, name, value):
    for store in ("_parameters", "_buffers"):
        d = getattr(owner, store, None)
        if isinstance(d, dict) and name in d:
            d[name] = value
            return
    object.__setattr__(owner, name, value)


def compile(model=None, *, fullgraph=False, dynamic=None, backend="inductor", mode=None, options=None,
            disable=False):
    """Returns model unchanged (or, without model, a decorator that does):
    calls run eagerly, as PyTorch's backend="eager"."""
    if model is None:
        return lambda m: m
    if not callable(model):
        raise RuntimeError("compile: model must be callable, got %s" % type(model).__name__)
    return model


def install(zel):
    import sys
    import types
    global _zel
    _zel = zel
    mod = sys.modules[__name__]
    ns = types.ModuleType(zel.__name__ + ".func", __doc__)
    for name in ("grad", "grad_and_value", "vjp", "jvp", "jacrev", "jacfwd", "hessian", "vmap",
                 "functional_call"):
        setattr(ns, name, getattr(mod, name))
    zel.func = ns
    zel.compile = compile
