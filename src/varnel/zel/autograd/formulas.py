"""The derivative formulas and what records them.

Each operation declares its derivatives once, beside it: the rows of
csrc/ops/pointwise.def, and csrc/ops/derivatives.def for the operations
without a table row. A formula is a Python expression in `grad` (the
gradient of the result), `result`, the operation's own parameter names
(self, other, dim, ...), the library's functions and the names below; it is
compiled once and evaluated with the library's operations, so a gradient
computed with create_graph=True is itself recorded and differentiable.

The elementary functions a formula names are the accurate ones: exp, log,
sin and cos below are built from the 2^-100 kernels, not from the defined
series.
"""
import math

import torch

from . import graph

_zel = None
_NS = {}
_compiled = {}


def _constant(hex_limbs):
    limbs = torch.tensor([float.fromhex(h) for h in hex_limbs], dtype=torch.float64)
    return _zel.from_limbs(limbs)


# 8-limb expansions of the constants, rounded from mpmath at 600 bits.
_CONSTANTS = {
    "PI": ["0x1.921fb54442d18p+1", "0x1.1a62633145c07p-53", "-0x1.f1976b7ed8fbcp-109", "0x1.4cf98e804177dp-163",
           "0x1.31d89cd9128a5p-217", "0x1.0f31c6809bbdfp-275", "0x1.519b3cd3a431bp-330", "0x1.8158536f92f8ap-385"],
    "LN2": ["0x1.62e42fefa39efp-1", "0x1.abc9e3b39803fp-56", "0x1.7b57a079a1934p-111", "-0x1.ace93a4ebe5d1p-165",
            "-0x1.23a2a82ea0c24p-219", "0x1.d881b7aeb2615p-274", "0x1.9552fb4afa1b1p-328", "0x1.da5d5c6b82704p-385"],
    "LN10": ["0x1.26bb1bbb55516p+1", "-0x1.f48ad494ea3e9p-53", "-0x1.9ebae3ae0260cp-107", "-0x1.2d10378be1cf1p-161",
             "0x1.0403e05ae52c6p-215", "-0x1.fa509cafdf466p-271", "-0x1.c79a1fe9d0795p-325",
             "0x1.058c448308218p-379"],
    "INV_LN2": ["0x1.71547652b82fep+0", "0x1.777d0ffda0d24p-56", "-0x1.60bb8a5442ab9p-110", "-0x1.4b52d3ba6d74dp-166",
                "0x1.9a342648fbc39p-220", "-0x1.e0455744994eep-274", "0x1.b25eeb82d7c16p-328",
                "0x1.f5485cf306255p-382"],
    "INV_PI": ["0x1.45f306dc9c883p-2", "-0x1.6b01ec5417056p-56", "-0x1.6447e493ad4cep-110", "0x1.e21c820ff28b2p-164",
               "-0x1.508510ea79237p-219", "0x1.b8e909374b802p-275", "-0x1.b6d115f62e6dep-329",
               "-0x1.80f10a71a76b3p-384"],
}


def _tensor(x):
    return x if isinstance(x, _zel.Tensor) else _zel.tensor(float(x))


# --- the accurate elementary functions, from the 2^-100 kernels -------------------------------

def _exp(x):
    return (_tensor(x) * _NS["INV_LN2"]).exp2()


def _log(x):
    return _tensor(x).log2() * _NS["LN2"]


def _sin(x):
    # sin(x) = x sinc(x / pi)
    x = _tensor(x)
    return x * (x * _NS["INV_PI"]).sinc()


def _cospi(x):
    # cos(pi y) = -pi (y - 1/2) sinc(y - 1/2)
    y = _tensor(x) - 0.5
    return -(_NS["PI"] * y) * y.sinc()


def _cos(x):
    return _cospi(_tensor(x) * _NS["INV_PI"])


def _sigmoid(x):
    return 1.0 / (1.0 + _exp(-_tensor(x)))


def _tanh(x):
    x = _tensor(x)
    return x.sinh() / x.cosh()


# --- masks: exact comparisons, shaped as their operands broadcast ---------------------------

def _compare(a, b, test):
    d = _tensor(a) - b
    s = d.sign()._data[:, 0]
    return test(s).reshape(tuple(d.shape))


def _isnan(t):
    t = _tensor(t)
    return torch.isnan(t._data[:, 0]).reshape(tuple(t.shape))


def _where(cond, a, b):
    return _zel.where(cond, a, b)


def _expand_reduced(grad, self, dim, keepdim):
    """The gradient of a reduction over `dim` spread back over self's shape."""
    shape = tuple(self.shape)
    if dim is None:
        dims = tuple(range(len(shape)))
    else:
        dims = tuple(dim) if isinstance(dim, (tuple, list)) else (dim,)
        dims = tuple(d % len(shape) if shape else 0 for d in dims)
    if not keepdim and shape:
        kept = tuple(1 if i in dims else n for i, n in enumerate(shape))
        grad = grad.reshape(kept)
    return grad.expand(*shape) if shape else grad.reshape(())


def _reduced_count(self, dim):
    shape = tuple(self.shape)
    if dim is None:
        return float(math.prod(shape))
    dims = tuple(dim) if isinstance(dim, (tuple, list)) else (dim,)
    return float(math.prod(shape[d] for d in dims))


def _pow_grad_base(grad, base, exponent):
    """d/dbase of base ** exponent: exponent * base ** (exponent - 1); 0 where
    the exponent is 0."""
    if isinstance(exponent, _zel.Tensor):
        return _zel.where(_compare(exponent, 0, lambda s: s == 0), 0, grad * exponent * base ** (exponent - 1))
    if exponent == 0:
        return _zel.zeros_like(_tensor(base)) * grad
    lower = exponent - 1
    if isinstance(lower, float) and lower.is_integer() and abs(lower) < 2.0 ** 53:
        lower = int(lower)  # an integer power is exact; a float one runs log and exp
    return grad * exponent * base ** lower


def _pow_grad_exponent(grad, base, result):
    """d/dexponent of base ** exponent: result * log(base); 0 where the result
    is 0 (a zero base)."""
    if not isinstance(base, _zel.Tensor):
        if base == 0:
            return grad * 0.0
        return grad * result * _log(abs(base)) if base > 0 else grad * result * float("nan")
    return _zel.where(_compare(result, 0, lambda s: s == 0), 0, grad * result * _log(base))


def _matmul_grad(grad, a, b, which):
    """The gradient of a @ b with respect to a (which 0) or b (which 1),
    with PyTorch's rules for one-dimensional operands."""
    a_vec, b_vec = a.ndim == 1, b.ndim == 1
    if a_vec and b_vec:
        return grad * (b if which == 0 else a)
    A = a.unsqueeze(0) if a_vec else a
    B = b.unsqueeze(-1) if b_vec else b
    G = grad
    if a_vec:
        G = G.unsqueeze(-2)
    if b_vec:
        G = G.unsqueeze(-1)
    if which == 0:
        g = G @ B.mT
        if a_vec:
            g = g.squeeze(-2)
        return sum_to(g, tuple(a.shape))
    g = A.mT @ G
    if b_vec:
        g = g.squeeze(-1)
    return sum_to(g, tuple(b.shape))


def _index_grad(grad, self, idx):
    """The gradient of self[idx]: grad in the selected places, zeros elsewhere."""
    g = _zel.zeros_like(self)
    g[idx] = grad
    return g


def _setitem_grad_self(grad, idx):
    """The gradient of self[idx] = value with respect to self: the places
    value overwrote get none."""
    g = grad.clone()
    g[idx] = 0.0
    return g


def _clamp_mask(self, lo, hi):
    ok = None
    if lo is not None:
        ok = _compare(self, lo, lambda s: s >= 0)
    if hi is not None:
        upper = _compare(self, hi, lambda s: s <= 0)
        ok = upper if ok is None else torch.logical_and(ok, upper)
    if ok is None:
        ok = torch.ones(tuple(self.shape), dtype=torch.bool)
    return ok


def before_write(self, result):
    """An in-place operation is about to overwrite self with `result`: the
    node of `result` keeps a copy of self's old value, under self's old
    history, wherever it saved self."""
    node = result.grad_fn
    if not isinstance(node, graph.FormulaNode) or node._env is None:
        return
    if not any(t is self for _, t, _ in node._saved):
        return
    old = self._snapshot()
    node._saved = tuple((n, old if t is self else t, old._version if t is self else v)
                        for n, t, v in node._saved)
    node._env = {k: (old if v is self else v) for k, v in node._env.items()}


def sum_to(g, shape):
    """g summed over the axes it was broadcast along, to `shape`."""
    shape = tuple(shape)
    if not isinstance(g, _zel.Tensor):
        return _zel.full(shape, float(g)) if shape else _zel.tensor(float(g))
    gshape = tuple(g.shape)
    if gshape == shape:
        return g
    lead = len(gshape) - len(shape)
    axes = tuple(range(lead)) + tuple(lead + i for i, n in enumerate(shape) if n == 1 and gshape[lead + i] != 1)
    if axes:
        g = g.sum(dim=axes, keepdim=True)
    return g.reshape(shape)


def saved_result(result, node):
    """The saved result of `node` as a tensor whose gradient flows into the
    node itself: what double backward differentiates through."""
    return result._alias_with_grad_fn(node)


def evaluate(code, env, op):
    return eval(code, _NS, env)


def _compile(formula):
    code = _compiled.get(formula)
    if code is None:
        code = _compiled[formula] = compile(formula, "<derivative>", "eval")
    return code


_node_names = {}


def _uses(formula, name):
    return name in compile(formula, "<derivative>", "eval").co_names


def record(op, node_name, env, derivatives, result, old_self):
    """Records `op` applied to the arguments `env` (parameter name: value):
    called by the core module after an operation on tensors that require grad
    has computed `result`. `derivatives` holds a (parameter, formula) pair per
    differentiable parameter, or is None where the operation has none
    declared. With `old_self` (an in-place operation) self's history and
    value before the change take self's place."""
    if old_self is not None:
        env = dict(env, self=old_self)
    Tensor = _zel.Tensor
    results = result if isinstance(result, (tuple, list)) else (result,)
    if derivatives is None or len(results) != 1:
        edges = []
        for v in env.values():
            for t in (v if isinstance(v, (tuple, list)) else (v,)):
                if isinstance(t, Tensor) and t.requires_grad:
                    edges.append(graph.edge_of(t))
        node = graph.node_type(node_name, graph.NotImplementedNode)(op, edges)
        for i, r in enumerate(results):
            if isinstance(r, Tensor):
                r._set_grad_fn(node, i)
        return
    edges, formulas, shapes, saved, used = [], [], [], [], set()
    for param, formula in derivatives:
        t = env.get(param)
        if isinstance(t, Tensor) and t.requires_grad:
            code = _compile(formula)
            edges.append(graph.edge_of(t))
            formulas.append(code)
            used.update(code.co_names)
        else:
            edges.append((None, 0))
            formulas.append(None)
        shapes.append(tuple(t.shape) if isinstance(t, Tensor) else ())
    for name in used:
        v = env.get(name)
        if isinstance(v, Tensor):
            saved.append((name, v, v._version))
    kept = {k: v for k, v in env.items() if k in used}
    res = result.detach() if "result" in used else None
    node = graph.node_type(node_name, graph.FormulaNode)(op, edges, tuple(formulas), kept, tuple(saved),
                                                         tuple(shapes), res)
    result._set_grad_fn(node, 0)


def install(zel):
    global _zel
    _zel = zel
    for name, limbs in _CONSTANTS.items():
        _NS[name] = _constant(limbs)
    _NS.update({
        "exp": _exp, "log": _log, "sin": _sin, "cos": _cos, "cospi": _cospi, "sigmoid": _sigmoid,
        "tanh": _tanh, "sqrt": lambda x: _tensor(x).sqrt(), "rsqrt": lambda x: _tensor(x).rsqrt(),
        "exp2": lambda x: _tensor(x).exp2(), "sinh": lambda x: _tensor(x).sinh(),
        "cosh": lambda x: _tensor(x).cosh(), "sinc": lambda x: _tensor(x).sinc(),
        "sign": lambda x: _tensor(x).sign(), "trunc": lambda x: _tensor(x).trunc(),
        "floor": lambda x: _tensor(x).floor(), "zeros_like": lambda x: _zel.zeros_like(_tensor(x)),
        "where": _where, "isnan": _isnan,
        "eq": lambda a, b: _compare(a, b, lambda s: s == 0), "gt": lambda a, b: _compare(a, b, lambda s: s > 0),
        "lt": lambda a, b: _compare(a, b, lambda s: s < 0), "ge": lambda a, b: _compare(a, b, lambda s: s >= 0),
        "le": lambda a, b: _compare(a, b, lambda s: s <= 0),
        "logical_or": torch.logical_or, "logical_and": torch.logical_and, "logical_not": torch.logical_not,
        "sum_to": sum_to, "math": math, "zel": zel, "tuple": tuple,
        "expand_reduced": _expand_reduced, "reduced_count": _reduced_count,
        "pow_grad_base": _pow_grad_base, "pow_grad_exponent": _pow_grad_exponent,
        "matmul_grad": _matmul_grad, "clamp_mask": _clamp_mask, "index_grad": _index_grad,
        "setitem_grad_self": _setitem_grad_self,
    })
    import builtins
    _NS["__builtins__"] = builtins
