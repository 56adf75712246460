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
import string

import torch

from . import graph, index_grads, linalg_grads

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


def _all_dims(dim):
    return dim is None or (isinstance(dim, (tuple, list)) and len(dim) == 0)


def _expand_reduced(grad, self, dim, keepdim):
    """The gradient of a reduction over `dim` spread back over self's shape."""
    shape = tuple(self.shape)
    if _all_dims(dim):
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
    if _all_dims(dim):
        return float(math.prod(shape))
    dims = tuple(dim) if isinstance(dim, (tuple, list)) else (dim,)
    return float(math.prod(shape[d] for d in dims))


def _pow_grad_base(grad, base, exponent):
    """d/dbase of base ** exponent: exponent * base ** (exponent - 1); 0 where
    the exponent is 0."""
    if isinstance(exponent, _zel.Tensor):
        base = _tensor(base)
        return _zel.where(_compare(exponent, 0, lambda s: s == 0), 0, grad * exponent * base.pow(exponent - 1))
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


def _prod_grad(grad, self, result, dim, keepdim):
    """The gradient of a product: each element's factor is the product of
    the others, computed without dividing where an element is zero."""
    g = _expand_reduced(grad, self, dim, keepdim)
    lead = self._data[:, 0]
    if not bool((lead == 0).any()) and not bool(torch.isnan(lead).any()):
        return g * _expand_reduced(result, self, dim, keepdim) / self
    x = self.reshape(-1) if _all_dims(dim) else self
    d = 0 if _all_dims(dim) else dim
    n = x.shape[d]
    if n == 0:
        return g
    ones = _zel.ones(tuple(1 if i == d % x.ndim else s for i, s in enumerate(x.shape)))
    left = _zel.cat([ones, x.narrow(d, 0, n - 1)], d).cumprod(d)
    right = _zel.cat([ones, x.flip(d).narrow(d, 0, n - 1)], d).cumprod(d).flip(d)
    return g * (left * right).reshape(tuple(self.shape))


def _var_grad(grad, self, dim, keepdim, unbiased, correction):
    c = float(correction) if correction is not None else (1.0 if unbiased else 0.0)
    n = _reduced_count(self, dim)
    mean = self.mean() if _all_dims(dim) else self.mean(dim=dim, keepdim=True)
    return _expand_reduced(grad, self, dim, keepdim) * (2.0 / (n - c)) * (self - mean)


def _extremum_grad(grad, self, result, dim, keepdim):
    """The gradient of max, min, amax, amin: shared evenly by the elements
    equal to the extremum."""
    if isinstance(dim, _zel.Tensor):
        raise RuntimeError("the derivative for 'max' of two tensors is not implemented.")
    hit = _zel.where(_compare(self, _expand_reduced(result, self, dim, keepdim), lambda s: s == 0), 1.0, 0.0)
    count = hit.sum() if _all_dims(dim) else hit.sum(dim=dim, keepdim=True)
    return _expand_reduced(grad, self, dim, keepdim) * hit / count


def _cat_grad(grad, tensors, dim):
    out, start = [], 0
    for t in tensors:
        if tuple(t.shape) == (0,) and grad.ndim != 1:
            out.append(_zel.zeros_like(t))  # the empty tensors cat skips
            continue
        n = t.shape[dim]
        out.append(grad.narrow(dim, start, n))
        start += n
    return out


def _flat_ints(args):
    if len(args) == 1 and isinstance(args[0], (tuple, list)):
        args = tuple(args[0])
    return tuple(int(a) for a in args)


def _inverse_permutation(args, ndim):
    perm = [p % ndim for p in _flat_ints(args)]
    inv = [0] * len(perm)
    for i, p in enumerate(perm):
        inv[p] = i
    return inv


def _negated(shifts):
    return tuple(-s for s in shifts) if isinstance(shifts, (tuple, list)) else -shifts


def _repeat_grad(grad, self, args):
    sizes = _flat_ints(args)
    shape = (1,) * (len(sizes) - self.ndim) + tuple(self.shape)
    split = []
    for r, s in zip(sizes, shape):
        split += [r, s]
    g = grad.reshape(tuple(split))
    if sizes:
        g = g.sum(dim=tuple(range(0, 2 * len(sizes), 2)))
    return g.reshape(tuple(self.shape))


def _narrow_grad(grad, self, dim, start, length):
    g = _zel.zeros_like(self)
    d = dim % self.ndim
    start = start % self.shape[d] if start < 0 else start
    g[(slice(None),) * d + (slice(start, start + length),)] = grad
    return g


def _solve_grad(grad, a, b, x, left, which):
    """The gradients of X = A^-1 B (left) or X = B A^-1 with respect to A
    (which 0) or B (which 1)."""
    vector = b.ndim == 1
    if vector:
        b, x, grad = b.unsqueeze(-1), x.unsqueeze(-1), grad.unsqueeze(-1)
    if left:
        gb = _zel.linalg.solve(a.mT, grad)
        ga = -(gb @ x.mT)
    else:
        gb = _zel.linalg.solve(a, grad.mT).mT
        ga = -(x.mT @ gb)
    if which == 0:
        return ga
    return gb.squeeze(-1) if vector else gb


def _take_grad(grad, self, indices, dim, keepdim):
    """The gradient of values picked along `dim` at `indices` (sort, topk,
    kthvalue, median): each goes back to the place it was taken from."""
    if self.ndim == 0:
        return grad
    d = dim % self.ndim
    idx = indices if keepdim else indices.unsqueeze(d)
    g_values = grad if keepdim else grad.unsqueeze(d)
    grids = []
    for ax in range(self.ndim):
        if ax == d:
            grids.append(idx)
        else:
            shape = [1] * idx.dim()
            shape[ax] = idx.shape[ax]
            grids.append(torch.arange(idx.shape[ax]).reshape(shape).expand(idx.shape))
    g = _zel.zeros_like(self)
    g[tuple(grids)] = g_values
    return g


def _median_grad(grad, self, result, dim, keepdim):
    if isinstance(result, tuple):
        return _take_grad(grad, self, result[1], dim, keepdim)
    # The median of all elements: PyTorch gives the gradient to one element
    # holding the value.
    flat = self.reshape(-1)
    hit = _compare(flat, result, lambda s: s == 0)
    k = int(torch.nonzero(hit)[0, 0])
    return _take_grad(grad.reshape(1), flat, torch.tensor([k]), 0, True).reshape(tuple(self.shape))


def _norm_grad(grad, x, result, p, dim, keepdim):
    """The gradient of the p-norm: sign(x) |x|^(p-1) / norm^(p-1)."""
    if p is None or p == "fro":
        p = 2.0
    if isinstance(p, str):
        raise RuntimeError("the derivative of the %r norm is not implemented." % p)
    g = _expand_reduced(grad, x, dim, keepdim)
    n = _expand_reduced(result, x, dim, keepdim)
    if p == 0:
        return g * 0.0
    if p == 1:
        return g * x.sign()
    if math.isinf(p):
        hit = _zel.where(_compare(x.abs(), n, lambda s: s == 0), 1.0, 0.0)
        count = hit.sum() if _all_dims(dim) else hit.sum(dim=dim, keepdim=True)
        return g * x.sign() * hit / count
    zero = _compare(n, 0, lambda s: s == 0)
    if p == 2:
        return _zel.where(zero, 0.0, g * x / n)
    q = int(p - 1) if float(p - 1).is_integer() else p - 1
    return _zel.where(zero, 0.0, g * x.sign() * x.abs() ** q / n ** q)


def _phi(x):
    """The lower triangle with the diagonal halved."""
    return x.tril(-1) + x.tril(0).triu(0) * 0.5


def _cholesky_grad(grad, result, upper):
    """A = L L^T: the gradient L^-T phi(L^T gL) L^-1, made symmetric."""
    L = result.mT if upper else result
    gL = grad.mT if upper else grad
    inv = _zel.linalg.inv(L)
    s = inv.mT @ _phi(L.mT @ gL) @ inv
    return (s + s.mT) * 0.5


def _eigh_grad(g_values, g_vectors, result):
    """A = V diag(w) V^T: V (diag(gw) + sym part of F * (V^T gV)) V^T, with
    F[i, j] = 1 / (w[j] - w[i]) off the diagonal."""
    w, v = result[0], result[1]
    inner = _zel.zeros_like(v)
    if g_values is not None:
        inner = inner + _zel.diag_embed(g_values) if hasattr(_zel, "diag_embed") else inner + g_values.diag()
    if g_vectors is not None:
        diff = w.unsqueeze(-2) - w.unsqueeze(-1)
        same = _compare(diff, 0, lambda s: s == 0)
        f = _zel.where(same, 0.0, 1.0 / _zel.where(same, 1.0, diff))
        vg = v.mT @ g_vectors
        inner = inner + f * (vg - vg.mT) * 0.5
    out = v @ inner @ v.mT
    return (out + out.mT) * 0.5


def _one_hot(index, n):
    """A 0/1 tensor of shape index.shape + (n,): 1 where the last position
    equals the index. Exact, so products with it select without rounding."""
    idx = index if isinstance(index, torch.Tensor) else torch.as_tensor(index)
    hot = (idx.long().unsqueeze(-1) == torch.arange(n)).to(torch.float64)
    return _zel.Tensor(hot)


def _index_select_grad(grad, self, dim, index):
    """Each selected slice's gradient added back where it came from
    (repeated indices add, in index order). index_add reads each slice once:
    a one-hot product would cost len(index) * size, quadratic for the
    strided views (as_strided, unfold) that take through here."""
    d = dim % self.ndim if self.ndim else 0
    idx = index if isinstance(index, torch.Tensor) else torch.as_tensor(index)
    idx = idx.long().reshape(-1)
    if not self.ndim:
        return _zel.zeros(1).index_add(0, idx, grad.reshape(-1)).reshape(())
    return _zel.zeros(tuple(self.shape)).index_add(d, idx, grad)


def _gather_grad(grad, self, dim, index):
    """out[..., j, ...] = self[..., index[..., j, ...], ...]: the gradient
    is added back at the index along dim (scatter_add, in index order)."""
    d = dim % self.ndim if self.ndim else 0
    idx = index if isinstance(index, torch.Tensor) else torch.as_tensor(index)
    idx = idx.long()
    if not self.ndim:
        return _zel.zeros(1).scatter_add(0, idx.reshape(-1), grad.reshape(-1)).reshape(())
    return _zel.zeros(tuple(self.shape)).scatter_add(d, idx, grad)


def _cumprod_grad(grad, self, result, dim):
    """d out_j / d x_i is the product of x_k, k <= j, k != i: with no zero
    it is out_j / x_i; otherwise each i is taken by itself."""
    d = dim % self.ndim if self.ndim else 0
    lead = self._data[:, 0]
    if not bool((lead == 0).any()) and not bool(torch.isnan(lead).any()):
        return (grad * result).flip(d).cumsum(d).flip(d) / self
    n = self.shape[d]
    parts = []
    for i in range(n):
        ones = _zel.ones_like(self.narrow(d, i, 1))
        pieces = [self.narrow(d, 0, i), ones, self.narrow(d, i + 1, n - i - 1)]
        replaced = _zel.cat([p for p in pieces if p.shape[d] > 0], d)
        others = replaced.cumprod(d).narrow(d, i, n - i)
        parts.append((grad.narrow(d, i, n - i) * others).sum(dim=d, keepdim=True))
    return _zel.cat(parts, d)


def _masked(mask, like):
    m = mask if isinstance(mask, torch.Tensor) else torch.as_tensor(mask)
    if m.dim() == 1 and like.ndim != 1 and m.numel() == like.numel:
        m = m.reshape(tuple(like.shape))  # a flat mask, as comparisons return
    return m


def _clamp_bound_grad(grad, self, bound, lower):
    """The gradient reaching a tensor bound: where the bound was taken."""
    if bound is None:
        return None
    taken = _compare(self, bound, (lambda s: s < 0) if lower else (lambda s: s > 0))
    return _zel.where(taken, grad, 0.0)


def _masked_select_grad(grad, self, mask):
    g = _zel.zeros_like(self)
    g[_masked(mask, self)] = grad
    return g


def _diagonal_positions(shape, offset, dim1, dim2):
    """Index arrays of the diagonal `offset` of axes dim1, dim2 (the others
    kept whole): what diagonal() reads."""
    nd = len(shape)
    d1, d2 = dim1 % nd, dim2 % nd
    rows = torch.arange(max(0, -offset), shape[d1])
    cols = rows + offset
    keep = (cols >= 0) & (cols < shape[d2])
    return d1, d2, rows[keep], cols[keep]


def _diagonal_grad(grad, self, offset, dim1, dim2):
    shape = tuple(self.shape)
    d1, d2, rows, cols = _diagonal_positions(shape, offset, dim1, dim2)
    g = _zel.zeros_like(self)
    if rows.numel() == 0:
        return g
    # the diagonal's axis is last in grad: move the two axes to the end of g
    moved = g.movedim((d1, d2), (-2, -1))
    moved[..., rows, cols] = grad
    return moved.movedim((-2, -1), (d1, d2))


def _diag_grad(grad, self, diagonal):
    if self.ndim == 1:
        return grad.diagonal(diagonal)
    return _diagonal_grad(grad, self, diagonal, 0, 1)


def _diff_grads(grad, self, n, dim, prepend, append):
    """diff is linear: its gradient applies the transposed difference n
    times, then splits among prepend, self and append."""
    d = dim % self.ndim
    g = grad
    for _ in range(n):
        zero = _zel.zeros_like(g.narrow(d, 0, 1))
        g = _zel.cat([zero, g], d) - _zel.cat([g, zero], d)
    k0 = 0 if prepend is None else (prepend.shape[d] if prepend.ndim == self.ndim else 1)
    k1 = 0 if append is None else (append.shape[d] if append.ndim == self.ndim else 1)
    m = self.shape[d]
    parts = [g.narrow(d, 0, k0) if k0 else None, g.narrow(d, k0, m),
             g.narrow(d, k0 + m, k1) if k1 else None]
    if prepend is not None and prepend.ndim != self.ndim:
        parts[0] = parts[0].sum()
    if append is not None and append.ndim != self.ndim:
        parts[2] = parts[2].sum()
    return parts


def _kron_grad(grad, a, b, which):
    """kron of two matrices (or vectors): grad as (m, p, n, q) blocks."""
    if a.ndim > 2 or b.ndim > 2 or a.ndim != b.ndim:
        raise RuntimeError("the derivative for 'kron' of these shapes is not implemented.")
    A = a.reshape(1, -1) if a.ndim == 1 else a
    B = b.reshape(1, -1) if b.ndim == 1 else b
    (m, n), (p, q) = tuple(A.shape), tuple(B.shape)
    blocks = grad.reshape(m, p, n, q).permute(0, 2, 1, 3)  # (m, n, p, q)
    if which == 0:
        return (blocks * B).sum(dim=(2, 3)).reshape(tuple(a.shape))
    return (blocks * A.reshape(m, n, 1, 1)).sum(dim=(0, 1)).reshape(tuple(b.shape))


def _einsum_letters(eq, ops):
    """The equation with '...' spelled out in letters it does not use, and
    its output made explicit (PyTorch's order: the broadcast axes, then the
    letters found once, sorted)."""
    lhs, out = eq.split("->") if "->" in eq else (eq, None)
    subs = lhs.split(",")
    spare = [c for c in string.ascii_letters if c not in eq]
    counts = [op.ndim - (len(sub) - 3) for sub, op in zip(subs, ops) if "..." in sub]
    n = max(counts, default=0)
    ell = "".join(spare[:n])
    subs = [sub.replace("...", ell[n - (op.ndim - (len(sub) - 3)):]) if "..." in sub else sub
            for sub, op in zip(subs, ops)]
    if out is None:
        letters = "".join(subs)
        out = ell + "".join(sorted(c for c in set(letters) if letters.count(c) == 1 and c not in ell))
    else:
        out = out.replace("...", ell)
    return subs, out


def _einsum_grads(grad, equation, operands):
    """The gradient of each operand of an einsum is another einsum: the
    result's gradient with the other operands, back to that operand's
    subscripts (letters found nowhere else are spread back by broadcasting;
    a letter repeated within the operand puts the gradient on that diagonal)."""
    ops = list(operands[0]) if len(operands) == 1 and isinstance(operands[0], (list, tuple)) else list(operands)
    subs, out = _einsum_letters(equation.replace(" ", ""), ops)
    grads = []
    for i, (sub, op) in enumerate(zip(subs, ops)):
        if not (isinstance(op, _zel.Tensor) and op.requires_grad):
            grads.append(None)
            continue
        others = [(s_, o) for j, (s_, o) in enumerate(zip(subs, ops)) if j != i]
        seen = set(out) | set("".join(s_ for s_, _ in others))
        unique = "".join(dict.fromkeys(sub))
        size = {c: op.shape[sub.index(c)] for c in unique}
        kept = "".join(c for c in unique if c in seen)
        g = _zel.einsum(",".join([out] + [s_ for s_, _ in others]) + "->" + kept, grad, *[o for _, o in others])
        if kept != unique:
            g = g.reshape(tuple(size[c] if c in kept else 1 for c in unique)).expand(*(size[c] for c in unique))
        if unique != sub:
            grids = torch.meshgrid(*[torch.arange(size[c]) for c in unique], indexing="ij")
            place = tuple(grids[unique.index(c)].reshape(-1) for c in sub)
            full = _zel.zeros_like(op)
            full[place] = g.reshape(-1)
            g = full
        grads.append(g)
    return grads


def _not_implemented(op, param):
    raise RuntimeError("the derivative for '%s' with respect to '%s' is not implemented." % (op, param))


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


def _scatter_sum(grad, self, indices, dim):
    """The gradient of values picked along `dim` at `indices` where places
    repeat (cummax, cummin): the gradients taken from one place add up."""
    if self.ndim == 0:
        return grad
    d = dim % self.ndim
    n = self.shape[d]
    g, idx = grad.movedim(d, -1), indices.movedim(d, -1)
    hits = _zel.where(idx.unsqueeze(-1) == torch.arange(n), 1.0, 0.0)  # [..., j, i]: place j came from i
    return (g.unsqueeze(-2) @ hits).squeeze(-2).movedim(-1, d)


def _stacked_shapes(tensors, kind):
    """The shapes hstack, vstack and column_stack give their tensors before
    joining them, and the axis they join along."""
    shapes = []
    for t in tensors:
        shape = tuple(t.shape)
        if kind == "v":
            shape = (1,) * (2 - len(shape)) + shape if len(shape) < 2 else shape
        elif kind == "column":
            shape = {0: (1, 1), 1: (shape[0], 1) if shape else (1, 1)}.get(len(shape), shape)
        elif not shape:
            shape = (1,)
        shapes.append(shape)
    dim = 0 if kind == "v" or (kind == "h" and len(shapes[0]) == 1) else 1
    return shapes, dim


def _stacked_grad(grad, tensors, kind):
    shapes, dim = _stacked_shapes(tensors, kind)
    out, start = [], 0
    for t, shape in zip(tensors, shapes):
        out.append(grad.narrow(dim, start, shape[dim]).reshape(tuple(t.shape)))
        start += shape[dim]
    return out


def _tile_grad(grad, self, dims):
    dims = _flat_ints((dims,))
    reps = (1,) * (self.ndim - len(dims)) + dims
    return _repeat_grad(grad, self, reps)


def _meshgrid_grads(grads, tensors, indexing):
    """Each grid is one input spread along the others' axes: its gradient is
    the grid's summed over those axes."""
    order = list(range(len(tensors)))
    if indexing == "xy" and len(order) > 1:
        order[0], order[1] = 1, 0
    out = []
    for t, g, axis in zip(tensors, grads, order):
        others = tuple(a for a in range(g.ndim) if a != axis)
        out.append((g.sum(dim=others) if others else g).reshape(tuple(t.shape)))
    return out


def _logit_grad(grad, self, eps):
    g = grad / (self * (1.0 - self))
    if eps is None:
        return g
    inside = torch.logical_and(_compare(self, float(eps), lambda s: s >= 0),
                               _compare(self, 1.0 - float(eps), lambda s: s <= 0))
    return _zel.where(inside, g, 0.0)


def _nanmean_grad(grad, self, dim, keepdim):
    present = _zel.where(_isnan(self), 0.0, 1.0)
    count = present.sum() if _all_dims(dim) else present.sum(dim=dim, keepdim=True)
    return _zel.where(_isnan(self), 0.0, _expand_reduced(grad, self, dim, keepdim) / count)


def _trapezoid_grads(grad, y, x, dx, dim, cumulative):
    """Gradients of the trapezoid rule for y (and x, a tensor of sample
    points): each interval contributes its width times the mean of its ends."""
    d = dim % y.ndim
    n = y.shape[d]
    if n == 0:
        return _zel.zeros_like(y), None if not isinstance(x, _zel.Tensor) else _zel.zeros_like(x)
    g = grad if not cumulative else grad.flip(d).cumsum(d).flip(d)  # what reaches each interval
    if not cumulative:
        g = g.unsqueeze(d).expand(*(tuple(y.shape[:d]) + (max(n - 1, 0),) + tuple(y.shape[d + 1:])))
    if isinstance(x, _zel.Tensor):
        xs = x if x.ndim == 1 else x
        if x.ndim == 1:
            shape = [1] * y.ndim
            shape[d] = n
            xs = x.reshape(tuple(shape))
        width = xs.narrow(d, 1, n - 1) - xs.narrow(d, 0, n - 1)
    else:
        width = 1.0 if x is None and dx is None else float(dx if dx is not None else x)
    half = g * width * 0.5
    zero = _zel.zeros_like(y.narrow(d, 0, 1))
    gy = _zel.cat([half, zero], d) + _zel.cat([zero, half], d)
    gx = None
    if isinstance(x, _zel.Tensor):
        mids = (y.narrow(d, 1, n - 1) + y.narrow(d, 0, n - 1)) * 0.5 * g
        zx = _zel.zeros_like(mids.narrow(d, 0, 1))
        gx = _zel.cat([zx, mids], d) - _zel.cat([mids, zx], d)
        gx = sum_to(gx, tuple(xs.shape)).reshape(tuple(x.shape))
    return gy, gx


def _vander_grad(grad, x, N, increasing):
    n = x.shape[0] if N is None else int(N)
    if n <= 1:
        return _zel.zeros_like(x)
    powers = _zel.vander(x, n - 1, True)  # x^0 ... x^(n-2)
    k = _zel.arange(1, n) * 1.0
    g = grad if increasing else grad.flip(-1)
    return (g.narrow(-1, 1, n - 1) * powers * k).sum(dim=-1)


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
    if len(gshape) < len(shape):
        # a gradient with fewer axes (a sum over all of them): spread it back
        g = g.reshape((1,) * (len(shape) - len(gshape)) + gshape).expand(*shape)
        gshape = shape
        if g.numel == math.prod(shape):
            return g
    lead = len(gshape) - len(shape)
    axes = tuple(range(lead)) + tuple(lead + i for i, n in enumerate(shape) if n == 1 and gshape[lead + i] != 1)
    if axes:
        g = g.sum(dim=axes, keepdim=True)
    return g.reshape(shape)


def saved_result(result, node, output_nr=0):
    """The saved result of `node` as a tensor whose gradient flows into the
    node itself: what double backward differentiates through."""
    if not isinstance(result, _zel.Tensor):
        return result  # indices
    return result._alias_with_grad_fn(node, output_nr)


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


_plans = {}


def _plan(derivatives):
    """(parameter, compiled formula, names it reads) per declared parameter:
    compiled once per declaration."""
    plan = _plans.get(id(derivatives))
    if plan is None or plan[0] is not derivatives:
        # "None": the parameter takes no gradient (it only gives a shape, say).
        steps = tuple((param, None, frozenset()) if formula == "None" else
                      (param, _compile(formula), frozenset(_compile(formula).co_names))
                      for param, formula in derivatives)
        plan = _plans[id(derivatives)] = (derivatives, steps, frozenset(p for p, _ in derivatives))
    return plan[1], plan[2]


def _untracked_node(op, node_name, env, results):
    Tensor = _zel.Tensor
    edges = []
    for v in env.values():
        for t in (v if isinstance(v, (tuple, list)) else (v,)):
            if isinstance(t, Tensor) and t.requires_grad:
                edges.append(graph.edge_of(t))
    node = graph.node_type(node_name, graph.NotImplementedNode)(op, edges)
    for i, r in enumerate(results):
        if isinstance(r, Tensor) and not r.requires_grad:
            r._set_grad_fn(node, i)


def record(op, node_name, env, derivatives, result, old_self):
    """Records `op` applied to the arguments `env` (parameter name: value):
    called by the core module after an operation on tensors that require grad
    has computed `result` (a tensor, or a tuple of them). `derivatives` holds
    a (parameter, formula) pair per differentiable parameter, or is None where
    the operation has none declared. A parameter may be a list of tensors
    (cat's); its formula then gives one gradient per tensor. With `old_self`
    (an in-place operation) self's history and value before the change take
    self's place."""
    if old_self is not None:
        env = dict(env, self=old_self)
    Tensor = _zel.Tensor
    multi = isinstance(result, (tuple, list))
    results = tuple(result) if multi else (result,)
    if derivatives is None:
        _untracked_node(op, node_name, env, results)
        return
    edges, formulas, slots, used = [], [], [], set()
    steps, declared = _plan(derivatives)
    covered = set()
    for param, code, names in steps:
        v = env.get(param)
        group = isinstance(v, (tuple, list))
        tensors = tuple(v) if group else (v,)
        live = code is not None and any(isinstance(t, Tensor) and t.requires_grad for t in tensors)
        formulas.append(code if live else None)
        if live:
            used |= names
        shapes = []
        for t in tensors:
            covered.add(id(t))
            edges.append(graph.edge_of(t) if live and isinstance(t, Tensor) else (None, 0))
            shapes.append(tuple(t.shape) if isinstance(t, Tensor) else ())
        slots.append((group, tuple(shapes)))
    # A tensor argument that requires grad but has no formula (clamp's bounds,
    # say) gets an edge whose gradient raises rather than being dropped.
    for name, v in env.items():
        if name in declared:
            continue
        for t in (v if isinstance(v, (tuple, list)) else (v,)):
            if isinstance(t, Tensor) and id(t) not in covered and t.requires_grad:
                covered.add(id(t))
                edges.append(graph.edge_of(t))
                formulas.append(_compile("not_implemented(%r, %r)" % (op, name)))
                slots.append((False, (tuple(t.shape),)))
    if all(node is None for node, _ in edges):
        return  # nothing that requires grad reaches the result
    saved = []
    for name in used:
        v = env.get(name)
        for t in (v if isinstance(v, (tuple, list)) else (v,)):
            if isinstance(t, Tensor):
                saved.append((name, t, t._version))
    kept = {k: v for k, v in env.items() if k in used}
    res = None
    if "result" in used:
        res = tuple(r.detach() for r in results) if multi else result.detach()
    outputs = tuple(tuple(r.shape) if isinstance(r, Tensor) else None for r in results) if multi else None
    node = graph.node_type(node_name, graph.FormulaNode)(op, edges, tuple(formulas), kept, tuple(saved),
                                                         tuple(slots), res, outputs)
    for i, r in enumerate(results):
        if isinstance(r, Tensor):
            r._set_grad_fn(node, i)


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
        "setitem_grad_self": _setitem_grad_self, "prod_grad": _prod_grad, "var_grad": _var_grad,
        "extremum_grad": _extremum_grad, "cat_grad": _cat_grad, "inverse_permutation": _inverse_permutation,
        "negated": _negated, "repeat_grad": _repeat_grad, "narrow_grad": _narrow_grad, "solve_grad": _solve_grad,
        "take_grad": _take_grad, "not_implemented": _not_implemented,
        "index_select_grad": _index_select_grad, "gather_grad": _gather_grad, "cumprod_grad": _cumprod_grad,
        "masked": _masked, "clamp_bound_grad": _clamp_bound_grad, "masked_select_grad": _masked_select_grad,
        "diagonal_grad": _diagonal_grad, "diag_grad": _diag_grad, "diff_grads": _diff_grads,
        "kron_grad": _kron_grad, "einsum_grads": _einsum_grads, "median_grad": _median_grad, "norm_grad": _norm_grad,
        "cholesky_grad": _cholesky_grad, "eigh_grad": _eigh_grad,
        "scatter_sum": _scatter_sum, "stacked_grad": _stacked_grad, "tile_grad": _tile_grad,
        "meshgrid_grads": _meshgrid_grads, "logit_grad": _logit_grad, "nanmean_grad": _nanmean_grad,
        "trapezoid_grads": _trapezoid_grads, "vander_grad": _vander_grad, "isfinite": _zel.isfinite,
    })
    from varnel.zel import _complex
    _NS["complex_function_grad"] = _complex.function_grad
    _NS.update(linalg_grads.namespace(zel))
    _NS.update(index_grads.namespace(zel))
    import builtins
    _NS["__builtins__"] = builtins
