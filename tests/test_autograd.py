"""Gradients: every declared derivative against mpmath, double backward,
PyTorch's errors, the modes, hooks and in-place rules."""
import math

import numpy as np
import random
import threading

import mpmath as mp
import pytest
import torch

from conftest import limbs_of, same_bits
from ops_db import OPS, function_of
from varnel.zel import zel

DECLARED = {row[0]: row for row in zel._pointwise_ops}

# The operations whose derivative formulas this module's tests evaluated.
DIFFERENTIATED = set()
_evaluate = zel.autograd.formulas.evaluate


def _counting_evaluate(code, env, op):
    DIFFERENTIATED.add(op)
    return _evaluate(code, env, op)


zel.autograd.formulas.evaluate = _counting_evaluate
KIND = {}
for line in open(__file__.replace("tests/test_autograd.py", "csrc/ops/pointwise.def")):
    if line.startswith(("ZEL_UNARY(", "ZEL_BINARY(")):
        name, kind = [f.strip() for f in line.split("(", 1)[1].split(",")[:2]]
        KIND[name] = kind


@pytest.fixture(autouse=True)
def high_precision():
    """Every mpmath computation of this module at 400 bits."""
    with mp.workprec(400):
        yield


def value(t):
    """The exact values of a tensor's elements, as mpmath numbers."""
    return [mp.fsum(mp.mpf(v) for v in row) for row in limbs_of(t)]


def close(got, want, bits=100):
    return len(got) == len(want) and all(abs(g - w) <= mp.mpf(2) ** -bits * max(1, abs(w)) for g, w in zip(got, want))


def deep(values, requires_grad=True, shape=None):
    """A leaf with a lower limb in use, so that every limb takes part."""
    rows = [[v, v * 2.0 ** -60, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0] for v in values]
    t = zel.Tensor(_raw=torch.tensor(rows, dtype=torch.float64), _shape=(len(values),) if shape is None else shape)
    return t.requires_grad_(requires_grad)


# Gradients where the forward is accurate to 2^-100 are accurate to 2^-90;
# the defined series limit their own derivatives (tan's result is float64-grade).
def bound_bits(name):
    return 45 if KIND[name] in ("rows", "rows_or_full") else 90


@pytest.mark.parametrize("name", sorted(DECLARED))
def test_gradient_of_every_declared_operation(name):
    arity = DECLARED[name][1]
    f = function_of(name)
    # A domain of moderate values, where the derivative stays in range.
    domain = next((d for d in OPS[name].domains
                   if all(max(abs(lo), abs(hi)) <= 1e3 and hi - lo > 1e-6 for lo, hi in d)), OPS[name].domains[0])
    rng = random.Random("grad " + name)
    points = [[rng.uniform(lo + (hi - lo) / 8, hi - (hi - lo) / 8) for _ in range(4)] for lo, hi in domain]
    args = [deep(p) for p in points]
    out = getattr(args[0], name)(*args[1:])
    assert out.requires_grad and out.grad_fn is not None
    out.sum().backward()
    with mp.workprec(400):
        xs = [value(a.detach()) for a in args]
        for i, a in enumerate(args):
            got = value(a.grad)
            for k in range(4):
                p = [x[k] for x in xs]
                want = mp.diff(lambda t: f(*(p[:i] + [t] + p[i + 1:])), p[i], h=abs(p[i]) * mp.mpf(10) ** -40)
                err = abs(got[k] - want)
                assert err <= max(abs(want), 1) * mp.mpf(2) ** -bound_bits(name), (name, i, p, got[k], want)


def test_forward_bytes_do_not_depend_on_requires_grad():
    rng = random.Random(7)
    vals = [rng.uniform(0.1, 3) for _ in range(5)]
    for name, row in DECLARED.items():
        plain = [deep(vals, False) for _ in range(row[1])]
        tracked = [deep(vals, True) for _ in range(row[1])]
        a = getattr(plain[0], name)(*plain[1:])
        b = getattr(tracked[0], name)(*tracked[1:])
        assert same_bits(sum(limbs_of(a), []), sum(limbs_of(b), [])), name


def test_bit_exact_reference_tests_with_inputs_that_require_grad():
    """The reference tests of the defined operations, rerun with their exact
    inputs requiring grad: the same bytes come out."""
    import os
    import subprocess
    import sys
    here = os.path.dirname(os.path.abspath(__file__))
    files = ["test_elementwise.py", "test_reductions.py", "test_matmul.py", "test_arithmetic.py"]
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider"] + files,
                          cwd=here, capture_output=True, text=True, timeout=900,
                          env=dict(os.environ, ZEL_TEST_REQUIRES_GRAD="1"))
    assert proc.returncode == 0, proc.stdout[-3000:]


class TestOperatorsAndReductions:
    def test_arithmetic_with_broadcasting_and_numbers(self):
        x = deep([0.5, -1.25, 2.0])
        y = deep([3.0], shape=(1, 1))
        z = ((x * y - x / y + 2.0 - x) ** 2 / (1.0 + y) + 3.0 / (x + 4.0) - (-x)).sum()
        z.backward()
        X, Y = value(x.detach()), value(y.detach())[0]
        for k in range(3):
            xk = X[k]
            want = 2 * (xk * Y - xk / Y + 2 - xk) * (Y - 1 / Y - 1) / (1 + Y) - 3 / (xk + 4) ** 2 + 1
            assert abs(value(x.grad)[k] - want) < mp.mpf(2) ** -100 * max(1, abs(want))
        dy = sum(2 * (xk * Y - xk / Y + 2 - xk) * (xk + xk / Y ** 2) / (1 + Y)
                 - (xk * Y - xk / Y + 2 - xk) ** 2 / (1 + Y) ** 2 for xk in X)
        assert tuple(y.grad.shape) == (1, 1)
        assert abs(value(y.grad)[0] - dy) < mp.mpf(2) ** -95 * abs(dy)

    def test_mean_sum_over_axes_softmax_and_matmul(self):
        a = deep([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], shape=(2, 3))
        b = deep([0.5, -1.0, 2.0])
        v = a @ b
        loss = (v * v).mean() + a.sum(dim=1, keepdim=True).mean() + a.softmax(dim=1)[0, 0]
        loss.backward()
        A = [value(a.detach().reshape(6))[i * 3:(i + 1) * 3] for i in range(2)]
        B = value(b.detach())
        V = [sum(A[i][j] * B[j] for j in range(3)) for i in range(2)]
        s0 = [mp.exp(x) for x in A[0]]
        p = [x / sum(s0) for x in s0]
        ga = value(a.grad.reshape(6))
        for i in range(2):
            for j in range(3):
                want = V[i] * B[j] + mp.mpf(1) / 2
                if i == 0:
                    want += p[0] * ((1 if j == 0 else 0) - p[j])
                # softmax runs the defined exp: about 22 digits
                assert abs(ga[i * 3 + j] - want) < mp.mpf(10) ** -20, (i, j)
        gb = value(b.grad)
        for j in range(3):
            want = sum(V[i] * A[i][j] for i in range(2))
            assert abs(gb[j] - want) < mp.mpf(2) ** -100 * abs(want)

    def test_shape_functions_route_gradients_back(self):
        x = deep([1.0, 2.0, 3.0, 4.0, 5.0, 6.0])
        y = x.reshape(2, 3).t().unsqueeze(0).squeeze(0).transpose(0, 1).flatten()
        (y * deep([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], False)).sum().backward()
        assert [float(v) for v in value(x.grad)] == [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]

    def test_where_and_clamp_pass_the_selected_gradients(self):
        x = deep([-2.0, 0.5, 3.0])
        mask = torch.tensor([True, False, True])
        (zel.where(mask, x * 2.0, x * 3.0) + x.clamp(-1.0, 1.0)).sum().backward()
        assert [float(v) for v in value(x.grad)] == [2.0, 4.0, 2.0]


def _m(rows, cols, seed, requires_grad=True):
    rng = random.Random(seed)
    vals = [rng.uniform(-2, 2) for _ in range(rows * cols)]
    return deep(vals, requires_grad, shape=(rows, cols))


def _spd(n, seed):
    a = _m(n, n, seed, False)
    return (a @ a.t() + zel.eye(n) * float(n)).detach().requires_grad_()


# Gradients of the operations without a table row, each against central
# differences carried out in limb arithmetic (autograd.gradcheck). The
# products round at about 2^-110 of the values: with a step of 2^-40 the
# differences are good to about 1e-21, far below float64.
GRADCHECK_CASES = {
    "sum over an axis": (lambda x: x.sum(dim=1), lambda: [_m(2, 3, 1)]),
    "mean keepdim": (lambda x: x.mean(dim=0, keepdim=True), lambda: [_m(2, 3, 2)]),
    "prod": (lambda x: x.prod(), lambda: [_m(2, 3, 3)]),
    "prod with a zero": (lambda x: (x * deep([1.0, 0.0, 1.0, 1.0], False, (2, 2))).prod(dim=1),
                         lambda: [_m(2, 2, 4)]),
    "var": (lambda x: x.var(dim=1), lambda: [_m(2, 3, 5)]),
    "amax": (lambda x: x.amax(dim=1), lambda: [_m(2, 3, 7)]),
    "max": (lambda x: x.max(), lambda: [_m(2, 3, 8)]),
    "cumsum": (lambda x: x.cumsum(1), lambda: [_m(2, 3, 9)]),
    "trace": (lambda x: x.trace(), lambda: [_m(3, 3, 10)]),
    "outer": (lambda a, b: a.outer(b), lambda: [_m(1, 3, 11).reshape(3).detach().requires_grad_(),
                                                 _m(1, 2, 12).reshape(2).detach().requires_grad_()]),
    "permute, flip, roll": (lambda x: x.permute(1, 0).flip(0).roll(1, 1) * x.t(), lambda: [_m(2, 3, 13)]),
    "repeat, tril, narrow": (lambda x: x.repeat(2, 1).tril(0).narrow(1, 1, 2), lambda: [_m(2, 3, 14)]),
    "cat and stack": (lambda a, b: zel.cat([a, b * b], 0).sum(dim=0) + zel.stack([a[0], b.reshape(3)], 1).sum(),
                      lambda: [_m(2, 3, 15), _m(1, 3, 16)]),
    "split, chunk, unbind": (lambda x: tuple(zel.split(x, 1, 1)) + tuple(zel.chunk(x, 2, 0)) + tuple(x.unbind(1)),
                             lambda: [_m(2, 3, 17)]),
    "indexing and assignment": (lambda x, v: _assign(x, v), lambda: [_m(3, 3, 18), _m(1, 3, 19)]),
    "where, clamp, expand_as": (lambda x: zel.where(torch.tensor([[True, False, True]]), x, x * 3.0).clamp(-1.0, 1.5)
                                + x.expand_as(x), lambda: [_m(2, 3, 20)]),
    "matmul batched": (lambda a, b: a.reshape(2, 1, 3) @ b, lambda: [_m(2, 3, 21), _m(3, 2, 22)]),
    "mv, dot": (lambda a, v: zel.dot(zel.mv(a, v), v[:2]), lambda: [_m(2, 3, 23), _m(1, 3, 24).reshape(3).detach()
                                                           .requires_grad_()]),
    # det comes from an LU factorisation good to about 28 digits
    "det, logdet, slogdet": (lambda a: zel.linalg.det(a) + zel.logdet(a) + zel.linalg.slogdet(a)[1],
                             lambda: [_spd(3, 25)], 1e-14),
    "inv, inverse": (lambda a: zel.linalg.inv(a) + zel.inverse(a) * 2.0, lambda: [_spd(3, 26)]),
    "solve": (lambda a, b: zel.linalg.solve(a, b), lambda: [_spd(3, 27), _m(3, 2, 28)]),
    "solve, vector": (lambda a, b: zel.linalg.solve(a, b), lambda: [_spd(3, 29), _m(1, 3, 30).reshape(3).detach()
                                                                   .requires_grad_()]),
    "sort, topk, kthvalue, median": (lambda x: x.sort(dim=1)[0] * 2.0 + x.topk(2, dim=0)[0].sum()
                                     + x.kthvalue(2, dim=1)[0].sum() + x.median(dim=0)[0].sum() + x.median(),
                                     lambda: [_m(3, 3, 33)]),
    "norms": (lambda x: x.norm() + zel.linalg.vector_norm(x, 1)
              + zel.linalg.vector_norm(x, float("inf"), dim=0).sum(), lambda: [_m(2, 3, 34)]),
    "cholesky": (lambda b: zel.linalg.cholesky(b @ b.mT + zel.eye(3) * 3.0), lambda: [_m(3, 3, 35)]),
    "eigh": (lambda b: _eigh_parts(b + b.mT), lambda: [_m(3, 3, 36)]),
    "clamp with tensor bounds": (lambda x, lo, hi: x.clamp(lo, hi), lambda: [_m(2, 3, 37), deep([-0.3]),
                                                                        deep([0.8])]),
    "masked_fill": (lambda x, v: x.masked_fill(torch.tensor([[True, False, True], [False, False, True]]), v),
                    lambda: [_m(2, 3, 38), deep([0.7], shape=())]),
    "index_select, gather": (lambda x: x.index_select(1, torch.tensor([2, 0, 2]))
                             + x.gather(1, torch.tensor([[0, 0, 1], [2, 1, 2]])), lambda: [_m(2, 3, 39)]),
    "cumprod": (lambda x: x.cumprod(1), lambda: [_m(2, 3, 41)]),
    "cumprod with a zero": (lambda x: (x * deep([1.0, 0.0, 1.0, 1.0, 1.0, 0.0], False, (2, 3))).cumprod(1),
                            lambda: [_m(2, 3, 42)]),
    "einsum": (lambda a, b: zel.einsum("ij,jk->ik", a, b) + zel.einsum("ij,kj->i", a, b.t()).sum()
               + zel.einsum("ij->", a), lambda: [_m(2, 3, 43), _m(3, 2, 44)]),
    "kron": (lambda a, b: zel.kron(a, b), lambda: [_m(2, 2, 45), _m(2, 3, 46)]),
    "einsum with '...' and repeated subscripts": (
        lambda a, b, c: zel.einsum("...j,jk->...k", a, b).sum(dim=0) + zel.einsum("ii->i", b @ c)
        + zel.einsum("ii", c) + zel.einsum("iij,jk->ik", c.unsqueeze(2) * 1.0, b[:1]).sum()
        + zel.einsum("...,...", c, c.t()).sum() + zel.einsum("bij,b...", a, c[0, :2]),
        lambda: [_m(4, 3, 74).reshape(2, 2, 3).detach().requires_grad_(), _m(3, 3, 75), _m(3, 3, 76)]),
    "fliplr, flipud, rot90, swapdims, moveaxis, unflatten, tile": (
        lambda x: zel.fliplr(x) * zel.flipud(x) + zel.rot90(x.reshape(3, 2), 1, (0, 1)) * x.rot90(-2)
        + zel.swapdims(x.unsqueeze(0), 0, 1).sum(dim=1) + zel.moveaxis(x.unsqueeze(2), 2, 0)[0]
        + x.reshape(6).unflatten(0, (2, 3)) + zel.tile(x, (2,)).narrow(1, 1, 3) + zel.tile(x[0], (2, 1)),
        lambda: [_m(2, 3, 63)]),
    "hstack, vstack, column_stack, broadcast_tensors, meshgrid": (
        lambda a, v: zel.hstack([a, a * a]).sum(dim=1) + zel.hstack([v, v * 2.0]).sum()
        + zel.vstack([v, a[0]]).sum(dim=0).sum() + zel.column_stack([v, a[1], a.t()]).sum(dim=1).sum()
        + sum(t.sum() for t in zel.broadcast_tensors(a, v.reshape(3, 1)))
        + sum((t * t).sum() for t in zel.meshgrid(v, a[0, :2], indexing="xy"))
        + sum((t * 3.0).sum() for t in zel.meshgrid(v, a[1], indexing="ij")),
        lambda: [_m(3, 3, 64), _m(1, 3, 65).reshape(3).detach().requires_grad_()], 1e-18),
    "clamp_min, clamp_max, clip, logit, nan_to_num": (
        lambda x, lo: zel.clamp_min(x, 0.1) + zel.clamp_max(x, lo) + zel.clip(x, -0.5, 0.6) + zel.clamp_min(x, lo)
        + ((x * 0.2).sigmoid()).logit() + (x * 0.2 + 0.5).logit(eps=0.4) + zel.nan_to_num(x / 2.0),
        lambda: [_m(2, 3, 66), deep([0.25], shape=())]),
    "nansum, nanmean, var_mean, std_mean, aminmax": (
        lambda x: zel.nansum(x, dim=1) + zel.nanmean(x, dim=1) + zel.nansum(x) + zel.nanmean(x)
        + zel.var_mean(x, dim=1)[0] * zel.var_mean(x, dim=1)[1] + zel.var_mean(x, dim=0)[0].sum() + zel.std_mean(x)[1]
        + zel.aminmax(x, dim=1).min * 2.0 + zel.aminmax(x).max,
        lambda: [_m(2, 3, 67)]),
    "cummax, cummin": (lambda x: zel.cummax(x, 1)[0] * 2.0 + zel.cummin(x, 0)[0].sum() + x.cummax(0).values,
                       lambda: [_m(3, 3, 68)]),
    # sums of many terms: the differences carry about 1e-19 of rounding each
    "ger, cdist": (lambda a, b, v: zel.ger(v, a[0]) + zel.cdist(a, b).sum() + zel.cdist(a, b, p=1.0)[0, 1],
                   lambda: [_m(2, 3, 69), _m(2, 3, 70), _m(1, 2, 71).reshape(2).detach().requires_grad_()], 1e-18),
    "trapezoid, cumulative_trapezoid, vander": (
        lambda y, x, v: zel.trapezoid(y) + zel.trapezoid(y, x) + zel.trapezoid(y, dx=0.5, dim=0).sum()
        + zel.cumulative_trapezoid(y, x).sum(dim=1) + zel.cumulative_trapezoid(y, dim=0).sum()
        + zel.vander(v).sum() + zel.vander(v, 4, True)[1].sum(),
        lambda: [_m(2, 4, 72), deep([0.0, 0.5, 1.25, 2.0]), _m(1, 3, 73).reshape(3).detach().requires_grad_()]),
    "diag, diagonal, diag_embed": (lambda x, v: x.diag(1).sum() + x.diagonal(0, 0, 1) + v.diag_embed().sum()
                                   + v.diag(), lambda: [_m(2, 3, 47), _m(1, 2, 48).reshape(2).detach()
                                                       .requires_grad_()]),
    "diff": (lambda x, p: x.diff(n=2, dim=1, prepend=p), lambda: [_m(2, 3, 49), _m(2, 1, 50)]),
    "take, masked_select": (lambda x: x.take(torch.tensor([0, 5, 5])).sum() * x.masked_select(
        torch.tensor([[True, False, True], [False, True, False]])), lambda: [_m(2, 3, 51)]),
    "lerp, addcmul, addcdiv": (lambda a, b, w: a.lerp(b, w) + a.addcmul(b, w, value=0.5) + a.addcdiv(b, w + 3.0),
                               lambda: [_m(2, 3, 52), _m(2, 3, 53), _m(2, 3, 54)]),
    "pow with a tensor exponent, dist": (lambda a, e: (a * a + 1.0).pow(e) + zel.dist(a, e) + zel.pow(a * a + 0.5, e)
                                         + zel.max(a, e) * 2.0 + a.min(e * 0.5),
                                         lambda: [_m(2, 2, 55), _m(2, 2, 56)]),
    "movedim, swapaxes, view_as": (lambda x: x.movedim(0, 2).swapaxes(0, 1).reshape_as(x.reshape(3, 2, 2)),
                                   lambda: [_m(4, 3, 57).reshape(2, 2, 3).detach().requires_grad_()]),
    "views and copies": (lambda x: (+x).T.clone().contiguous().double().float().half().bfloat16().view(3, 2)
                         .view_as(x.t()).expand(2, 3, 2)
                         .sum(dim=0).broadcast_to((2, 3, 2)).sum(dim=0).triu(-1) * x.t(), lambda: [_m(2, 3, 58)]),
    "products by name": (lambda a, b: a.matmul(b) + zel.matmul(a, b) + zel.mm(a, b)
                         + zel.bmm(a.unsqueeze(0), b.unsqueeze(0)).squeeze(0) + [[1.5, -2.0], [0.25, 3.0]] @ b,
                         lambda: [_m(2, 2, 59), _m(2, 2, 60)]),
    "min, amin, powers": (lambda a, e: a.min() + a.amin(dim=0).sum() + (2.0 ** a) + (a * a + 1.0).float_power(e),
                          lambda: [_m(2, 2, 61), _m(2, 2, 62)]),
    "solve from the right": (lambda a, b: zel.linalg.solve(a, b, left=False), lambda: [_spd(2, 31), _m(3, 2, 32)]),
    # linear algebra, part 2
    # Householder QR and Jacobi SVD are good to about 2^-101, which the step
    # of 2^-40 turns into about 3e-19 in the differences: 1e-18 for them and
    # for what goes through the SVD (lstsq, pinv, the spectral norms, cond).
    "qr: square, tall, wide, complete": (lambda a, b, c, d: zel.linalg.qr(a) + zel.linalg.qr(b) + zel.linalg.qr(c)
                                         + zel.linalg.qr(d, mode="complete"),
                                         lambda: [_m(3, 3, 63), _m(4, 3, 64), _m(2, 4, 65), _m(3, 3, 66)], 1e-18),
    "svd: square, tall, wide": (lambda a, b, c: _svd_parts(a) + _svd_parts(b) + _svd_parts(c),
                                lambda: [_m(3, 3, 67), _m(4, 3, 68), _m(2, 4, 69)], 1e-18),
    "svd with full matrices, svdvals": (lambda a, b: _svd_parts(a, True) + _svd_parts(b, True)[:3]
                                        + (zel.linalg.svdvals(b),), lambda: [_m(3, 3, 70), _m(4, 3, 71)], 1e-18),
    "lstsq: tall, square with a vector": (lambda a, b, c, v: (zel.linalg.lstsq(a, b).solution,
                                                             zel.linalg.lstsq(c, v).solution),
                                          lambda: [_m(4, 3, 72), _m(4, 2, 73), _spd(3, 74), _vector(3, 75)], 1e-18),
    "lstsq residuals": (lambda a, b: zel.linalg.lstsq(a, b, driver="gelsd")[:2], lambda: [_m(4, 2, 76), _m(4, 2, 77)],
                        1e-18),
    "pinv: tall, wide, hermitian": (lambda a, b, c: (zel.linalg.pinv(a), zel.linalg.pinv(b),
                                                     zel.linalg.pinv(c @ c.mT + zel.eye(3), hermitian=True)),
                                    lambda: [_m(4, 3, 78), _m(2, 3, 79), _m(3, 3, 80)], 1e-18),
    # the squarings of scaling and squaring carry their rounding forward: about
    # 1e-18 in the differences
    "matrix_exp": (lambda a: zel.linalg.matrix_exp(a), lambda: [_m(3, 3, 81)], 3e-18),
    "matrix_power: positive, zero, negative": (lambda a: (zel.linalg.matrix_power(a, 3),
                                                          zel.linalg.matrix_power(a, 0),
                                                          zel.linalg.matrix_power(a, -2)), lambda: [_m(3, 3, 82)]),
    "matrix norms: fro, nuc, 2, -2": (lambda a: (zel.linalg.matrix_norm(a), zel.linalg.matrix_norm(a, "nuc"),
                                                 zel.linalg.matrix_norm(a, 2), zel.linalg.matrix_norm(a, -2)),
                                      lambda: [_m(4, 3, 83)], 1e-18),
    "matrix norms: 1, -1, inf, -inf, over other axes": (
        lambda a, b: (zel.linalg.matrix_norm(a, 1), zel.linalg.matrix_norm(a, -1),
                      zel.linalg.matrix_norm(a, float("inf")), zel.linalg.matrix_norm(a, -float("inf")),
                      zel.linalg.matrix_norm(b, 1, dim=(0, 2), keepdim=True),
                      zel.linalg.matrix_norm(b, "nuc", dim=(2, 0))),
        lambda: [_m(4, 3, 84), _m(4, 6, 85).reshape(2, 3, 4).detach().requires_grad_()], 1e-18),
    "linalg.norm of vectors and matrices": (lambda a: (zel.linalg.norm(a), zel.linalg.norm(a, 2),
                                                       zel.linalg.norm(a, float("inf"), dim=1),
                                                       zel.linalg.norm(a, "nuc"), zel.linalg.norm(a.reshape(-1), 1),
                                                       zel.linalg.norm(a, 1, dim=(1, 0), keepdim=True)),
                                            lambda: [_m(3, 3, 86)], 1e-18),
    "cond: 2, -2, fro, nuc, 1, -inf": (lambda a: tuple(zel.linalg.cond(a, p) for p in
                                                       (None, -2, "fro", "nuc", 1, -float("inf"))),
                                       lambda: [_m(3, 3, 87)], 1e-18),
    "solve_triangular: upper, lower from the right, unit": (
        lambda a, b, c: (zel.linalg.solve_triangular(a.triu() + zel.eye(3) * 3.0, b, upper=True),
                         zel.linalg.solve_triangular(a, c, upper=False, left=False),
                         zel.linalg.solve_triangular(a, b, upper=False, unitriangular=True)),
        lambda: [_m(3, 3, 88), _m(3, 2, 89), _m(2, 3, 90)]),
    "cholesky_solve: lower, upper": (lambda b, l, u: zel.cholesky_solve(b, l) + zel.cholesky_solve(b, u, upper=True),
                                     lambda: [_m(3, 2, 91), _cholesky_factor(3, 92),
                                              _cholesky_factor(3, 93).mT.contiguous().detach().requires_grad_()]),
    # its pivots (2, 3, 3) are a 3-cycle, which tells P from P^T
    "lu_solve: left, right, adjoint": (lambda lu, pivots, b, c: (zel.linalg.lu_solve(lu, pivots, b),
                                                                 zel.linalg.lu_solve(lu, pivots, c, left=False),
                                                                 zel.linalg.lu_solve(lu, pivots, b, adjoint=True)),
                                       lambda: _lu_inputs(101) + [_m(3, 2, 95), _m(2, 3, 96)]),
    "multi_dot: matrices, end vectors": (lambda a, b, c, v: (zel.linalg.multi_dot([a, b, c]),
                                                             zel.linalg.multi_dot([v, b, v])),
                                         lambda: [_m(2, 3, 97), _m(3, 3, 98), _m(3, 2, 99), _vector(3, 100)]),
    "vecdot, tensordot": (lambda a, b, c: (zel.linalg.vecdot(a, b), zel.linalg.vecdot(a, c, dim=0),
                                           zel.tensordot(a, c.t(), dims=1),
                                           # pairs of axes out of order on both sides
                                           zel.tensordot(c.reshape(2, 3, 1) * b, a.t().reshape(2, 1, 3),
                                                         dims=([1, 0], [2, 0]))),
                          lambda: [_m(2, 3, 101), _m(1, 3, 102), _m(2, 3, 103)]),
    # matrix_exp's rounding sets the tolerance, as above
    "a batch of two: qr, svd, pinv, matrix_exp, lu_solve, cond": (
        lambda a, w, lu, pivots, b: (zel.linalg.qr(a) + _svd_parts(w)[::3] + (zel.linalg.pinv(a),)
                                     + (zel.linalg.matrix_exp(lu), zel.linalg.lu_solve(lu, pivots, b),
                                        zel.linalg.cond(lu))),
        lambda: [_batch(3, 2, 131), _batch(2, 3, 132)] + _lu_inputs(133, batch=2) + [_batch(3, 2, 134)], 3e-18),
    # index tools
    "index_add (repeated index, alpha), index_copy, index_fill": (
        lambda x, s, v: (x.index_add(1, torch.tensor([2, 0, 2]), s, alpha=-1.5),
                         x.index_copy(0, torch.tensor([1]), s[:1] * 1.0),
                         x.index_fill(1, torch.tensor([-1]), v)),
        lambda: [_m(2, 3, 141), _m(2, 3, 142), _m(1, 1, 143).reshape(()).detach().requires_grad_()]),
    "index_put (accumulate or not), put": (
        lambda x, v: (x.index_put((torch.tensor([0, 0, 1]), torch.tensor([2, 2, 0])), v, accumulate=True),
                      x.index_put((torch.tensor([1]),), v[:1] * 1.0),
                      x.put(torch.tensor([5, -6, 5]), v, accumulate=True), x.put(torch.tensor([1, 4, 2]), v)),
        lambda: [_m(2, 3, 144), _vector(3, 145)]),
    "scatter (src, value, reduce='add'), scatter_add, a larger src": (
        lambda x, s: (x.scatter(1, torch.tensor([[2, 0], [1, 0]]), s), x.scatter(0, torch.tensor([[1, 0, 1]]), 2.5),
                      x.scatter(1, torch.tensor([[0, 0]]), s, reduce="add"),
                      x.scatter_add(0, torch.tensor([[1, 1], [1, 0]]), s)),
        lambda: [_m(2, 3, 146), _m(2, 3, 147)]),
    "scatter_reduce: sum, mean, amax, amin, with and without self": (
        lambda x, s: tuple(x.scatter_reduce(1, torch.tensor([[0, 2, 0], [1, 1, 1]]), s, r, include_self=inc)
                           for r in ("sum", "mean", "amax", "amin") for inc in (True, False)),
        lambda: [_m(2, 3, 148), _m(2, 3, 149)]),
    "take_along_dim (broadcast, flat), masked_scatter": (
        lambda x, s: (zel.take_along_dim(x, torch.tensor([[2, 0, 2]]), dim=1),
                      x.take_along_dim(torch.tensor([[1], [0]]), 0),
                      zel.take_along_dim(x, torch.tensor([5, 0, 5])),
                      x.masked_scatter(torch.tensor([[True, False, True], [False, True, False]]), s)),
        lambda: [_m(2, 3, 150), _m(2, 3, 151)]),
    "combinations, cartesian_prod": (
        lambda a, b: (zel.combinations(a), zel.combinations(a, r=3, with_replacement=True),
                      zel.cartesian_prod(a, b)),
        lambda: [_vector(3, 152), _vector(2, 153)]),
}


def _eigh_parts(a):
    w, v = zel.linalg.eigh(a)
    # eigenvectors are defined up to sign: a sign-free function of them
    return w, (v * v).sum(dim=0) + (v[0] * v[1]) * (v[0] * v[1]), zel.linalg.eigvalsh(a) * 2.0


def _vector(n, seed):
    return _m(1, n, seed).reshape(n).detach().requires_grad_()


def _svd_parts(a, full_matrices=False):
    u, s, vh = zel.linalg.svd(a, full_matrices=full_matrices)
    k = s.shape[0]
    u, vh = u[:, :k], vh[:k]
    # a singular pair is defined up to a common sign: functions free of it
    return s, u * u, vh * vh, u @ vh


def _cholesky_factor(n, seed):
    return zel.linalg.cholesky(_spd(n, seed)).detach().requires_grad_()


def _batch(rows, cols, seed):
    return _m(2 * rows, cols, seed).reshape(2, rows, cols).detach().requires_grad_()


def _lu_inputs(seed, batch=None):
    a = _m(3, 3, seed, False) if batch is None else _batch(3, 3, seed).detach()
    lu, pivots = zel.linalg.lu_factor(a)
    return [lu.requires_grad_(), pivots]


def _assign(x, v):
    y = x * 1.0
    y[1] = v.reshape(3) * 2.0
    return y[:, 1:] * x[0, 1:]


@pytest.mark.parametrize("name", sorted(GRADCHECK_CASES))
def test_gradients_against_differences_in_limb_arithmetic(name):
    fn, inputs, *tol = GRADCHECK_CASES[name] + (1e-19,)
    assert zel.autograd.gradcheck(fn, inputs(), eps=2.0 ** -40, atol=tol[0], rtol=tol[0])


def test_gradients_of_the_defined_series_against_differences():
    # softmax, log_softmax and logsumexp run the defined exp (about 22 digits),
    # std the defined square root of the variance (float64 digits), the
    # 3-norm the defined power 1/3
    x = _m(2, 3, 40)
    for fn in (lambda t: t.softmax(dim=1), lambda t: t.log_softmax(dim=0), lambda t: t.logsumexp(dim=1),
               lambda t: t.std(), lambda t: t.std(dim=0), lambda t: zel.norm(t, 3, dim=1),
               lambda t: zel.std_mean(t, dim=1)[0] * zel.std_mean(t)[1], lambda t: zel.cdist(t, t * 0.5, p=3.0)):
        assert zel.autograd.gradcheck(fn, [x], eps=1e-7, atol=1e-12, rtol=1e-10)


class TestHigherOrder:
    def test_hessian_of_rosenbrock_to_28_digits(self):
        x = deep([-1.2, 1.0])
        f = (1.0 - x[0]) ** 2 + 100.0 * (x[1] - x[0] * x[0]) ** 2
        g, = zel.autograd.grad(f, x, create_graph=True)
        rows = [zel.autograd.grad(g[i], x, retain_graph=True)[0] for i in range(2)]
        X0, X1 = value(x.detach())
        want = [[1200 * X0 ** 2 - 400 * X1 + 2, -400 * X0], [-400 * X0, mp.mpf(200)]]
        for i in range(2):
            for j in range(2):
                assert abs(value(rows[i])[j] - want[i][j]) < mp.mpf(10) ** -28 * abs(want[i][j])

    def test_hessians_of_det_and_of_a_small_network_to_28_digits(self):
        F = zel.autograd.functional
        rng = random.Random(5)
        a = deep([rng.uniform(-1, 1) + (3.0 if i % 7 == 0 else 0.0) for i in range(36)], False, (6, 6))
        H = F.hessian(lambda m: zel.linalg.det(m), a).reshape(36, 36)
        A = mp.matrix(6, 6)
        vals = value(a.reshape(36))
        for i in range(36):
            A[i // 6, i % 6] = vals[i]
        hv = value(H.reshape(36 * 36))
        for i, j in [(0, 7), (1, 8), (3, 20), (5, 30), (14, 21), (35, 0)]:
            def det_of(s, t):
                B = A.copy()
                B[i // 6, i % 6] += s
                B[j // 6, j % 6] += t
                return mp.det(B)
            want = mp.diff(det_of, (0, 0), (1, 1))
            assert abs(hv[i * 36 + j] - want) <= mp.mpf(10) ** -28 * max(1, abs(want)), (i, j)
        # A two-layer network with an accurate activation and a squared loss.
        w1 = deep([0.3, -0.7, 0.5, 0.9, -0.2, 0.4], False, (3, 2))
        x = deep([0.25, -1.5], False)

        def loss(w):
            h = (w @ x).atan()
            return (h * h).sum() + h.sum()
        Hn = value(F.hessian(loss, w1).reshape(36))
        W = value(w1.reshape(6))
        X = value(x)

        def loss_mp(*ws):
            total = mp.mpf(0)
            for r in range(3):
                h = mp.atan(ws[2 * r] * X[0] + ws[2 * r + 1] * X[1])
                total += h * h + h
            return total
        for i, j in [(0, 0), (0, 1), (2, 3), (4, 5), (1, 4)]:
            order = [0] * 6
            order[i] += 1
            order[j] += 1
            want = mp.diff(loss_mp, W, tuple(order))
            assert abs(Hn[i * 6 + j] - want) <= mp.mpf(10) ** -28 * max(1, abs(want)), (i, j)

    def test_newton_with_an_autograd_jacobian_to_30_digits(self):
        def F(v):
            return zel.stack([v[0] * v[0] + v[1] * v[1] - 4.0, v[0] * v[1] - 1.0])
        v = zel.tensor([2.0, 0.5])
        for _ in range(8):
            v = v - zel.linalg.solve(zel.autograd.functional.jacobian(F, v), F(v))
        want = mp.findroot(lambda x, y: [x * x + y * y - 4, x * y - 1], (2, 0.5))
        assert close(value(v), [want[0], want[1]], bits=100)

    def test_third_derivative_through_saved_results(self):
        w = deep([0.75])
        y = w.expm1()  # its derivative reads the result: double backward goes through it
        g1, = zel.autograd.grad(y.sum(), w, create_graph=True)
        g2, = zel.autograd.grad(g1.sum(), w, create_graph=True)
        g3, = zel.autograd.grad(g2.sum(), w)
        e = mp.exp(value(w.detach())[0])
        for g in (g1, g2, g3):
            assert abs(value(g)[0] - e) < mp.mpf(2) ** -95 * e

    def test_second_derivatives_through_qr_svd_and_matrix_exp(self):
        # The gradients of these are built from qr, svd, solve_triangular and
        # matrix_exp themselves: double backward runs their formulas again.
        # The differences of first derivatives carry the rounding of the
        # decompositions and of the squarings: up to 2e-18 here.
        cases = [(lambda a: zel.linalg.qr(a), _m(3, 2, 104)),
                 (lambda a: zel.linalg.qr(a), _m(2, 3, 130)),
                 (lambda a: _svd_parts(a)[::3], _m(3, 2, 106)),
                 (lambda a: (zel.linalg.matrix_exp(a),), _m(2, 2, 107))]
        for k, (fn, a) in enumerate(cases):
            grad_outputs = [_m(*o.shape, 110 + 2 * k + j) if o.ndim == 2 else _vector(o.shape[0], 120 + k)
                            for j, o in enumerate(fn(a))]
            assert zel.autograd.gradgradcheck(fn, [a], grad_outputs, eps=2.0 ** -40, atol=1e-17, rtol=1e-17), k

    def test_gradients_are_the_same_bytes_on_every_run_and_thread_count(self):
        n = torch.get_num_threads()
        try:
            grads = []
            for threads in (1, 2, 1):
                torch.set_num_threads(threads)
                x = deep([0.1 * k for k in range(1, 3000)])
                ((x.sin() * x.exp()).sum() + (x @ x)).backward()
                grads.append(sum(limbs_of(x.grad), []))
            assert same_bits(grads[0], grads[1]) and same_bits(grads[0], grads[2])
        finally:
            torch.set_num_threads(n)


class TestPyTorchErrors:
    def test_second_backward_through_freed_graph(self):
        x = deep([1.0, 2.0])
        y = (x.exp() * x).sum()
        y.backward(retain_graph=True)
        y.backward()
        with pytest.raises(RuntimeError, match="backward through the graph a second time"):
            y.backward()
        assert [float(v) for v in value(x.grad)] == pytest.approx([2 * 2 * math.e, 2 * 3 * math.e ** 2])

    def test_implicit_gradient_needs_a_scalar_and_grad_needs_a_graph(self):
        x = deep([1.0, 2.0])
        with pytest.raises(RuntimeError, match="implicitly created only for scalar outputs"):
            (x * 2.0).backward()
        with pytest.raises(RuntimeError, match="does not require grad"):
            deep([1.0], False).sum().backward()
        with pytest.raises(RuntimeError, match="Mismatch in shape"):
            (x * 2.0).backward(zel.ones(3))
        with pytest.raises(RuntimeError, match="appears to not have been used"):
            zel.autograd.grad((x * 2.0).sum(), [x, deep([1.0])])
        unused = deep([1.0])
        assert zel.autograd.grad((x * 2.0).sum(), [x, unused], allow_unused=True)[1] is None

    def test_in_place_rules(self):
        x = deep([1.0, 2.0])
        with pytest.raises(RuntimeError, match="leaf Variable that requires grad"):
            x.add_(1.0)
        with pytest.raises(RuntimeError, match="leaf Variable that requires grad"):
            x[0] = 3.0
        assert [float(v) for v in value(x.detach())] == [1.0, 2.0]
        with zel.no_grad():
            x.mul_(2.0)  # allowed: nothing is recorded
        x2 = x.detach()
        w = deep([0.5, 0.5])
        p = w * x2
        x2.add_(1.0)  # x2 was saved by p's node
        with pytest.raises(RuntimeError, match="modified by an inplace operation"):
            p.sum().backward()
        # An in-place change of a non-leaf is recorded and its gradient flows.
        a = x * 1.0
        a.mul_(a.detach() + 1.0)
        a.sum().backward()
        X = value(x.detach())
        assert [float(v) for v in value(x.grad)] == [float(X[0] + 1), float(X[1] + 1)]
        # A saved operand overwritten in place keeps its old value for the gradient.
        b = x * 1.0
        c = b * x
        b.mul_(x)  # b (read by c's node) changes after c is recorded: that is an error...
        with pytest.raises(RuntimeError, match="modified by an inplace operation"):
            c.sum().backward()

    def test_operations_without_a_derivative_raise_at_backward(self):
        x = deep([3.0, 1.0, 2.0])
        y = x.unique()  # as in PyTorch
        assert y.requires_grad and y.grad_fn.name() == "NotImplemented"
        with pytest.raises(RuntimeError, match="derivative for 'unique' is not implemented"):
            y.sum().backward()
        # A tensor argument without a formula of its own raises too, instead of
        # losing its gradient.
        z = zel.tensor([0.5, 2.0]).requires_grad_()
        lo = deep([1.0], shape=())
        out = z * 1.0
        zel.autograd.formulas.record("op", "OpBackward0", {"self": z, "lo": lo}, (("self", "grad"),), out, None)
        with pytest.raises(RuntimeError, match="derivative for 'op' with respect to 'lo' is not implemented"):
            out.sum().backward()
        assert not zel.ones(2).expand_as(deep([1.0, 2.0])).requires_grad
        assert zel.zeros_like(x).requires_grad is False

    def test_qr_gradients_pytorch_refuses(self):
        a = _m(4, 3, 108)
        _, r = zel.linalg.qr(a, mode="r")
        with pytest.raises(RuntimeError, match="not computed when mode='r'"):
            r.sum().backward()
        q, r = zel.linalg.qr(a, mode="complete")
        with pytest.raises(RuntimeError, match="mode='complete' and nrows > ncols"):
            (q.sum() + r.sum()).backward()
        assert a.grad is None

    def test_requires_grad_flags(self):
        for t in (zel.zeros(2, requires_grad=True), zel.tensor([1.0], requires_grad=True),
                  zel.Tensor([1.0], requires_grad=True), zel.full((1,), 2.0, requires_grad=True),
                  zel.ones_like(deep([1.0]), requires_grad=True), zel.arange(3, requires_grad=True)):
            assert t.requires_grad and t.is_leaf and t.grad is None
        y = deep([1.0]) * 2.0
        assert not y.is_leaf and y.requires_grad_(True) is y
        with pytest.raises(RuntimeError, match="only change requires_grad flags of leaf"):
            y.requires_grad_(False)
        with pytest.raises(RuntimeError, match="different size"):
            deep([1.0]).grad = zel.ones(2)


class TestModesAndHooks:
    def test_switches_are_thread_local_context_managers_and_decorators(self):
        x = deep([1.0])
        with zel.no_grad():
            assert not (x * 2.0).requires_grad and not zel.is_grad_enabled()
            with zel.enable_grad():
                assert (x * 2.0).requires_grad
            seen = []
            t = threading.Thread(target=lambda: seen.append(zel.is_grad_enabled()))
            t.start()
            t.join()
            assert seen == [True]
        with zel.inference_mode():
            assert zel.is_inference_mode_enabled() and not (x * 2.0).requires_grad
        assert not zel.is_inference_mode_enabled()

        @zel.no_grad()
        def twice(t):
            return t + t
        assert not twice(x).requires_grad and twice.__name__ == "twice"
        zel.set_grad_enabled(False)
        assert not zel.is_grad_enabled()
        zel.set_grad_enabled(True)
        with zel.set_grad_enabled(False):
            assert not (x * 2.0).requires_grad
        assert zel.is_grad_enabled()
        with pytest.raises(TypeError):
            zel.set_grad_enabled("yes")

    def test_hooks_and_retained_gradients(self):
        x = deep([1.0, 2.0])
        y = x * 3.0
        y.retain_grad()
        h = y.register_hook(lambda g: g * 2.0)
        seen = []
        x.register_hook(lambda g: seen.append(g))
        y.sum().backward()
        assert [float(v) for v in value(y.grad)] == [2.0, 2.0]
        assert [float(v) for v in value(x.grad)] == [6.0, 6.0] and len(seen) == 1
        h.remove()
        x.grad = None
        (x * 3.0).sum().backward()
        assert [float(v) for v in value(x.grad)] == [3.0, 3.0]


class Cube(zel.autograd.Function):
    @staticmethod
    def forward(ctx, x, scale):
        ctx.save_for_backward(x)
        ctx.scale = scale
        return x * x * x * scale

    @staticmethod
    def backward(ctx, grad):
        x, = ctx.saved_tensors
        return grad * 3.0 * ctx.scale * x * x, None


class TestFunctionsAndTransforms:
    def test_custom_function_first_and_second_derivatives(self):
        x = deep([1.5, -2.0])
        y = Cube.apply(x, 2.0)
        assert y.grad_fn.name() == "CubeBackward" and y.grad_fn.needs_input_grad == (True, False)
        g, = zel.autograd.grad(y.sum(), x, create_graph=True)
        h, = zel.autograd.grad(g.sum(), x)
        X = value(x.detach())
        assert close(value(g), [6 * X[0] ** 2, 6 * X[1] ** 2])
        assert close(value(h), [12 * X[0], 12 * X[1]])
        assert not Cube.apply(deep([1.0], False), 2.0).requires_grad

    def test_functional_jacobian_hessian_and_products(self):
        F = zel.autograd.functional
        x = deep([0.5, 1.25], False)
        J = F.jacobian(lambda v: v * v.sum(), x)
        X = value(x)
        s = X[0] + X[1]
        assert tuple(J.shape) == (2, 2)
        assert close(value(J.reshape(4)), [s + X[0], X[0], X[1], s + X[1]])
        H = F.hessian(lambda v: (v[0] * v[0] * v[1]), x)
        assert close(value(H.reshape(4)), [2 * X[1], 2 * X[0], 2 * X[0], 0])
        u = deep([1.0, 0.0], False)
        U = value(u)[0]
        _, hv = F.hvp(lambda v: (v[0] * v[0] * v[1]), x, u)
        assert close(value(hv), [2 * X[1] * U, 2 * X[0] * U])
        _, jv = F.jvp(lambda v: v * v, x, u)
        _, vj = F.vjp(lambda v: v * v, x, u)
        assert close(value(jv), [2 * X[0] * U, 0]) and close(value(vj), [2 * X[0] * U, 0])

    def test_func_transforms_nest(self):
        f = lambda v: (v ** 3).sum()  # noqa: E731
        x = deep([2.0], False)
        X = value(x)[0]
        assert close(value(zel.func.grad(f)(x)), [3 * X ** 2])
        assert close(value(zel.func.grad(lambda v: zel.func.grad(f)(v).sum())(x)), [6 * X])
        Y = value(deep([1.0, 2.0], False))
        assert close(value(zel.func.hessian(f)(deep([1.0, 2.0], False)).reshape(4)), [6 * Y[0], 0, 0, 6 * Y[1]])
        out, tangent = zel.func.jvp(lambda v: v * v, (x,), (deep([3.0], False),))
        assert close(value(tangent), [2 * X * value(deep([3.0], False))[0]])
        batched = zel.func.vmap(lambda v: (v * v).sum())(zel.ones(3, 2))
        assert tuple(batched.shape) == (3,) and value(batched) == [2, 2, 2]
        assert zel.compile(f) is f and zel.compile()(f) is f

    def test_gradcheck_catches_a_wrong_derivative(self):
        class Wrong(zel.autograd.Function):
            @staticmethod
            def forward(ctx, x):
                ctx.save_for_backward(x)
                return x * x

            @staticmethod
            def backward(ctx, grad):
                x, = ctx.saved_tensors
                return grad * x * 2.0000001

        x = deep([0.5, 1.5])
        with pytest.raises(zel.autograd.GradcheckError, match="Jacobian mismatch"):
            zel.autograd.gradcheck(Wrong.apply, [x], atol=1e-12, rtol=1e-12)
        assert not zel.autograd.gradcheck(Wrong.apply, [x], atol=1e-12, rtol=1e-12, raise_exception=False)
        assert zel.autograd.gradcheck(Wrong.apply, [x])  # PyTorch's default tolerances let 1e-7 pass
        assert zel.autograd.gradgradcheck(lambda v: v.sin() * v, [x])


# --- complex tensors

GRAD_CASES = {
    "product and abs": lambda m, z, w: (z * w).abs().sum(),
    "quotient, real part": lambda m, z, w: (z / (w + 2j)).real.sum(),
    "element functions": lambda m, z, w: (z.exp() + z.log() * w.sqrt() + z.sin().tanh()).imag.sum(),
    "inverse functions": lambda m, z, w: (z.asin() + z.acos() * w.atanh() + z.asinh() - z.acosh()).abs().sum(),
    "reciprocal, rsqrt, sigmoid": lambda m, z, w: (z.reciprocal() + w.rsqrt() * z.sigmoid()).real.sum(),
    # torch 1.13 has no complex log1p and expm1: log(1 + w) and exp(z) - 1 stand in there
    "logs and expm1": lambda m, z, w: (z.log2() + z.log10() - ((w + 1).log() if m is torch else w.log1p())
                                       + (z.exp() - 1 if m is torch else z.expm1())).abs().sum(),
    "powers": lambda m, z, w: (z ** w).real.sum() + (z ** 2.5).imag.sum(),
    "sgn and angle": lambda m, z, w: z.sgn().imag.sum() + w.angle().sum(),
    "conj, matmul, sum": lambda m, z, w: (m.outer(z, w.conj()) @ z).abs().sum(),
    "indexing and joins": lambda m, z, w: m.cat([z[1:], w.flip(0)]).reshape(4, 1).mean().abs(),
    "polar": lambda m, z, w: m.polar(z.abs(), w.angle()).real.sum(),
}


@pytest.mark.parametrize("case", GRAD_CASES, ids=list(GRAD_CASES))
def test_gradients_follow_torchs_convention(case):
    # PyTorch's gradient of a real loss of complex z: dL/dRe z + i dL/dIm z.
    a = np.array([0.6 + 0.8j, -0.3 + 0.2j, 1.5 - 0.7j])
    b = np.array([0.4 - 0.9j, 1.1 + 0.3j])
    z, w = zel.tensor(a).requires_grad_(), zel.tensor(b).requires_grad_()
    tz, tw = torch.tensor(a, requires_grad=True), torch.tensor(b, requires_grad=True)
    f = GRAD_CASES[case]
    if case in ("product and abs", "quotient, real part", "element functions", "inverse functions",
                "reciprocal, rsqrt, sigmoid", "logs and expm1", "powers", "conj, matmul, sum", "polar"):
        w, tw = w[:1].expand(3), tw[:1].expand(3)
    loss, tloss = f(zel, z, w), f(torch, tz, tw)
    assert abs(loss.item() - tloss.item()) < 1e-12 * max(1.0, abs(tloss.item()))
    loss.backward()
    tloss.backward()
    assert z.grad.is_complex() and z.grad.shape == (3,)
    assert np.allclose(z.grad.numpy(), tz.grad.numpy(), rtol=1e-12, atol=1e-13)
    leaf_w = w if w.is_leaf else None
    if leaf_w is not None:
        assert np.allclose(w.grad.numpy(), tw.grad.numpy(), rtol=1e-12, atol=1e-13)


def test_gradients_of_a_transform_and_to_full_precision():
    import mpmath
    x = zel.tensor([1 + 1j, 2 - 1j, 0.5j, -1.0]).requires_grad_()
    y = zel.view_as_complex(zel._fft(zel.view_as_real(x).contiguous()))
    (y.abs() ** 2).sum().backward()
    # Parseval: sum |F x|^2 = n |x|^2, so the gradient is 2 n x exactly.
    assert x.grad.tolist() == [8 * v for v in [1 + 1j, 2 - 1j, 0.5j, -1.0]]
    # d/dz of |exp(z)|^2 = 2 exp(2 Re z): the conjugate Wirtinger form carries every digit.
    z = zel.tensor(0.3 + 0.4j).requires_grad_()
    (z.exp().abs() ** 2).backward()
    with mpmath.workdps(50):
        re = mpmath.fsum(mpmath.mpf(v) for v in zel.view_as_real(z.grad)._data[0].tolist())
        want = 2 * mpmath.exp(2 * mpmath.mpf(0.3))
        assert abs(re - want) < 1e-30 * want



def test_zz_every_declared_derivative_was_evaluated():
    """Runs last: every operation with a declared derivative had it evaluated
    by a test above (the element-wise rows by the generic test)."""
    if len(DIFFERENTIATED) < 50:
        pytest.skip("only part of the module ran")
    declared = {name for name, (node, pairs) in zel._derivatives().items() if pairs is not None}
    native = {name for name, n in zel._native_evaluations().items() if n}
    missing = sorted(declared - DIFFERENTIATED - native)
    assert not missing, "declared derivatives no test evaluated: %s" % missing
