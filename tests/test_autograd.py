"""Gradients: every declared derivative against mpmath, double backward,
PyTorch's errors, the modes, hooks and in-place rules."""
import math
import random
import threading

import mpmath as mp
import pytest
import torch

from conftest import limbs_of, same_bits
from ops_db import OPS, function_of
from varnel.zel import zel

DECLARED = {row[0]: row for row in zel._pointwise_ops}
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


def deep(values, requires_grad=True, shape=None):
    """A leaf with a lower limb in use, so that every limb takes part."""
    rows = [[v, v * 2.0 ** -60, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0] for v in values]
    t = zel.Tensor(_raw=torch.tensor(rows, dtype=torch.float64), _shape=shape or (len(values),))
    return t.requires_grad_(requires_grad)


# Gradients where the forward is accurate to 2^-100 are accurate to 2^-90;
# the defined series limit their own derivatives (tan's result is float64-grade).
def bound_bits(name):
    return 45 if KIND[name] == "rows" else 90


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

    def test_third_derivative_through_saved_results(self):
        w = deep([0.75])
        y = w.expm1()  # its derivative reads the result: double backward goes through it
        g1, = zel.autograd.grad(y.sum(), w, create_graph=True)
        g2, = zel.autograd.grad(g1.sum(), w, create_graph=True)
        g3, = zel.autograd.grad(g2.sum(), w)
        e = mp.exp(value(w.detach())[0])
        for g in (g1, g2, g3):
            assert abs(value(g)[0] - e) < mp.mpf(2) ** -95 * e

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
        y = x.cumsum(0) if hasattr(x, "cumsum") else None
        assert y is not None and y.requires_grad and y.grad_fn.name() == "NotImplemented"
        with pytest.raises(RuntimeError, match="derivative for 'cumsum' is not implemented"):
            y.sum().backward()
        assert zel.zeros_like(x).requires_grad is False

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
