"""The zel.special functions (_special.py): their internal products and kernels,
accuracy against mpmath on inputs with genuine lower limbs, agreement with
PyTorch's float64 values and special values, gradients and argument errors.
The full accuracy table comes from bench/accuracy_special.py."""
import math
import random

import mpmath as mp
import numpy as np
import pytest
import torch

from varnel.zel import _special, zel

inf, nan = math.inf, math.nan
mp.mp.prec = 300
BITS = 100
TINY = mp.mpf(2) ** -970  # below this a result cannot hold 100 bits in float64 limbs


def values(t):
    return [mp.fsum(mp.mpf(v) for v in row) for row in t._data.tolist()]


def with_lower(xs, rng):
    """Elements with genuine second and third limbs."""
    rows = []
    for v in xs:
        lo = v * 2.0 ** -53 * rng.uniform(-1, 1)
        rows.append([v, lo, lo * 2.0 ** -53 * rng.uniform(-1, 1)] + [0.0] * 5)
    return zel.from_limbs(torch.tensor(rows, dtype=torch.float64))


def worst_bits(got, exact):
    worst = 400.0
    for g, e in zip(got, exact):
        if abs(e) < TINY:
            continue
        err = abs(g - e) / abs(e)
        worst = min(worst, 400.0 if err == 0 else float(-mp.log(err, 2)))
    return worst


def uniform(lo, hi, n, rng):
    return [rng.uniform(lo, hi) for _ in range(n)]


def logscale(lo, hi, n, rng, signed=False):
    out = [math.exp(rng.uniform(math.log(lo), math.log(hi))) for _ in range(n)]
    return [v * rng.choice([-1, 1]) for v in out] if signed else out


def lgamma_ref(v):
    return mp.log(abs(mp.gamma(v)))


def ndtri_ref(p):
    with mp.workprec(400):
        return mp.findroot(lambda x: mp.ncdf(x) - p, float(torch.special.ndtri(torch.tensor(float(p), dtype=torch.float64))))


def log_ndtr_ref(v):
    return mp.log(mp.ncdf(v)) if v < 0 else mp.log1p(-mp.ncdf(-v))


def erfcx_ref(v):
    with mp.workprec(300 + 2 * max(0, int(mp.log(abs(v) + 1, 2)))):  # exp(x^2) needs the bits of x^2
        return +(mp.exp(v * v) * mp.erfc(v))


def zeta_ref(s, q):
    with mp.workprec(700):  # mpmath's Hurwitz zeta loses bits at 300 for large s and q
        return +mp.zeta(s, q)


X0 = 1.4616321449683623
# name: (function, reference, input sets)
UNARY = {
    "lgamma": (zel.lgamma, lgamma_ref,
               lambda r: uniform(-30, 30, 150, r) + uniform(0.9, 2.1, 60, r) + [1 + d for d in logscale(1e-25, 1e-3, 30, r, True)]
               + [2 + d for d in logscale(1e-25, 1e-3, 30, r, True)] + logscale(1e-300, 1e300, 60, r)),
    "digamma": (zel.digamma, mp.digamma,
                lambda r: uniform(-30, 30, 150, r) + [X0 + d for d in logscale(1e-12, 0.1, 40, r, True)]
                + logscale(1e-300, 1e300, 60, r)),
    "erfinv": (zel.erfinv, mp.erfinv,
               lambda r: uniform(-1, 1, 150, r) + [1 - d for d in logscale(1e-16, 0.5, 40, r)]
               + logscale(1e-300, 0.5, 40, r, True)),
    "ndtr": (zel.special.ndtr, mp.ncdf, lambda r: uniform(-10, 10, 150, r) + uniform(-38, 8, 60, r)),
    "ndtri": (zel.special.ndtri, ndtri_ref, lambda r: uniform(0, 1, 120, r) + logscale(1e-290, 0.5, 60, r)
              + [1 - d for d in logscale(1e-16, 0.2, 30, r)]),
    "log_ndtr": (zel.special.log_ndtr, log_ndtr_ref, lambda r: uniform(-10, 10, 150, r) + uniform(-1e4, 30, 60, r)),
    "erfcx": (zel.special.erfcx, lambda v: erfcx_ref(v),
              lambda r: uniform(-5, 30, 150, r) + logscale(10, 1e150, 40, r) + uniform(-26, -5, 20, r)),
    "i0": (zel.i0, lambda v: mp.besseli(0, v), lambda r: uniform(-80, 80, 150, r) + uniform(-700, 700, 40, r)
           + logscale(1e-300, 1, 20, r, True)),
    "i0e": (zel.special.i0e, lambda v: mp.besseli(0, v) * mp.exp(-abs(v)),
            lambda r: uniform(-80, 80, 150, r) + logscale(1, 1e300, 40, r, True)),
    "i1": (zel.special.i1, lambda v: mp.besseli(1, v), lambda r: uniform(-80, 80, 150, r) + uniform(-700, 700, 40, r)
           + logscale(1e-300, 1, 20, r, True)),
    "i1e": (zel.special.i1e, lambda v: mp.besseli(1, v) * mp.exp(-abs(v)),
            lambda r: uniform(-80, 80, 150, r) + logscale(1, 1e300, 40, r, True)),
    "entr": (zel.special.entr, lambda v: -v * mp.log(v), lambda r: logscale(1e-300, 1e300, 150, r)
             + [1 + d for d in logscale(1e-20, 1e-3, 20, r, True)]),
    "polygamma1": (lambda x: zel.polygamma(1, x), lambda v: mp.polygamma(1, v),
                   lambda r: uniform(-20, 30, 120, r) + logscale(1e-5, 1e5, 60, r)),
    "polygamma4": (lambda x: zel.polygamma(4, x), lambda v: mp.polygamma(4, v),
                   lambda r: uniform(0, 30, 120, r) + logscale(1e-5, 1e5, 60, r)),
    "mvlgamma3": (lambda x: zel.mvlgamma(x, 3), lambda v: 1.5 * mp.log(mp.pi) + sum(lgamma_ref(v - j / mp.mpf(2)) for j in range(3)),
                  lambda r: uniform(1.01, 40, 150, r)),
}


class TestAccuracy:
    @pytest.mark.parametrize("name", sorted(UNARY))
    def test_unary_against_mpmath(self, name):
        fn, ref, gen = UNARY[name]
        rng = random.Random(name)
        x = with_lower(gen(rng), rng)
        got = values(fn(x))
        assert len(got) == x.shape[0]
        assert worst_bits(got, [ref(v) for v in values(x)]) >= BITS, name

    def test_zeta_and_xlog1py_against_mpmath(self):
        rng = random.Random(7)
        s = with_lower(uniform(1.1, 40, 120, rng) + [float(rng.randrange(2, 12)) for _ in range(40)], rng)
        q = with_lower(uniform(0.05, 60, 120, rng) + uniform(-15.5, -0.1, 40, rng), rng)
        got = values(zel.special.zeta(s, q))
        assert worst_bits(got, [zeta_ref(a, b) for a, b in zip(values(s), values(q))]) >= BITS
        x = with_lower(logscale(1e-5, 1e5, 150, rng, True), rng)
        y = with_lower(logscale(1e-30, 1e5, 150, rng, True), rng)
        got = values(zel.special.xlog1py(x, y))
        assert worst_bits(got, [a * mp.log1p(b) for a, b in zip(values(x), values(y))]) >= BITS

    def test_kernels_keep_150_bits_where_the_library_keeps_106(self):
        # The library's tensor product and quotient carry ~106 bits; the series need more. exp and log
        # come from the accurate exp2 and log2 (lane cores of about 115 bits), sinpi from sinc.
        rng = random.Random(3)
        a = with_lower(logscale(1e-100, 1e100, 200, rng, True), rng)
        b = with_lower(logscale(1e-100, 1e100, 200, rng, True), rng)
        h = _special.helpers
        A, B = values(a), values(b)
        assert worst_bits(values(h["mul"](a, b)), [x * y for x, y in zip(A, B)]) >= 150
        assert worst_bits(values(h["div"](a, b)), [x / y for x, y in zip(A, B)]) >= 150
        assert worst_bits(values(h["add"](a, b)), [x + y for x, y in zip(A, B)]) >= 150
        assert worst_bits(values(h["sqrt"](zel.abs(a))), [mp.sqrt(abs(x)) for x in A]) >= 150
        assert worst_bits(values(h["mul"](a, 3.0)), [x * 3 for x in A]) >= 150
        assert worst_bits(values(a * b), [x * y for x, y in zip(A, B)]) < 120  # why the kernels exist
        s = with_lower(uniform(-600, 700, 200, rng), rng)
        S = values(s)
        assert worst_bits(values(h["exp"](s)), [mp.exp(x) for x in S]) >= 110
        assert worst_bits(values(h["log"](zel.abs(a))), [mp.log(abs(x)) for x in A]) >= 110
        assert worst_bits(values(h["sinpi"](s)), [mp.sinpi(x) for x in S]) >= 140
        assert worst_bits(values(h["cospi"](s)), [mp.cospi(x) for x in S]) >= 140

    def test_a_cancelled_row_multiplies_correctly(self):
        # [0, v, ...] rows (left by a cancellation) are renormalised before the partial products.
        rows = torch.zeros(2, 8, dtype=torch.float64)
        rows[0, 1], rows[0, 2] = 1.0 / 3.0, 1e-40
        rows[1, 0], rows[1, 1], rows[1, 2] = 1e16, 1.0, -1e16
        a = zel.from_limbs(rows)
        b = zel.tensor([3.0 / 7.0, 5.0 / 11.0])
        got = values(_special.helpers["mul"](a, b))
        assert worst_bits(got, [x * y for x, y in zip(values(a), values(b))]) >= 150


def torch_ref(name, *args):
    fn = {"lgamma": torch.lgamma, "digamma": torch.digamma, "erfinv": torch.erfinv, "i0": torch.i0}.get(name)
    return (fn or getattr(torch.special, name))(*args)


ORDINARY = [0.0, -0.0, 0.25, 0.5, 1.0, 1.5, 2.0, 3.5, 10.0, 171.5, 1e10, -0.5, -1.0, -2.0, -2.5, -10.3,
            inf, -inf, nan, 1e-300, 40.0, -40.0, 700.0, 1e300]
PROBABILITIES = [0.0, 1.0, 0.5, 0.25, 0.9, 1e-10, 1 - 1e-10, 1e-300, -0.5, 1.5, 0.999, -1.0, nan, 0.1]


class TestAgainstPyTorch:
    @pytest.mark.parametrize("name,inputs", [
        ("lgamma", ORDINARY), ("digamma", ORDINARY), ("i0", ORDINARY), ("i0e", ORDINARY), ("i1", ORDINARY),
        ("i1e", ORDINARY), ("ndtr", ORDINARY), ("log_ndtr", ORDINARY), ("erfcx", ORDINARY), ("entr", ORDINARY),
        ("erfinv", PROBABILITIES), ("ndtri", PROBABILITIES), ("gammaln", ORDINARY), ("psi", ORDINARY)])
    def test_values_and_special_values(self, name, inputs):
        ref = torch_ref({"gammaln": "lgamma", "psi": "digamma"}.get(name, name), torch.tensor(inputs, dtype=torch.float64))
        fn = getattr(zel.special, name, None) or getattr(zel, name)
        out = fn(zel.tensor(inputs))
        got = torch.from_numpy(np.asarray(out.numpy()))
        # PyTorch's own float64 erfinv is 1e-8 off near +-1; its ndtr below -8 is 1 + erf, absolute.
        rtol, atol = {"erfinv": (1e-8, 0), "ndtr": (1e-12, 1e-16)}.get(name, (1e-12, 0))
        assert torch.allclose(got, ref, rtol=rtol, atol=atol, equal_nan=True), (name, got, ref)
        # the signs of zeros too (limb 0 holds it: the float64 approximation sums to +0.0)
        zeros = ref == 0
        assert torch.equal(torch.signbit(out._data[:, 0][zeros]), torch.signbit(ref[zeros])), name

    @pytest.mark.parametrize("n", [1, 2, 3, 6])
    def test_polygamma(self, n):
        xs = [0.0, -0.0, 0.3, 1.0, 2.5, 17.0, 1e5, -2.5, -0.7, inf, nan] + ([-inf] if n > 1 else [])
        ref = torch.polygamma(n, torch.tensor(xs, dtype=torch.float64))
        got = torch.from_numpy(np.asarray(zel.polygamma(n, zel.tensor(xs)).numpy()))
        # PyTorch's own trigamma and negative-argument zeta are good to about 1e-10 only.
        assert torch.allclose(got, ref, rtol=1e-9, atol=0, equal_nan=True), (n, got, ref)
        assert zel.isclose(zel.special.polygamma(n, zel.tensor(xs)), zel.polygamma(n, zel.tensor(xs)),
                           rtol=0, atol=0, equal_nan=True).all()

    def test_poles_of_polygamma_and_large_orders(self):
        # PyTorch's trigamma rounds its pole at -1 to a large finite value; the pole is inf here.
        assert np.isinf(zel.polygamma(1, zel.tensor([-1.0, -3.0])).numpy()).all()
        xs = [0.5, 300.0, -1.5]
        ref = torch.polygamma(171, torch.tensor(xs, dtype=torch.float64))
        got = torch.from_numpy(np.asarray(zel.polygamma(171, zel.tensor(xs)).numpy()))
        assert torch.equal(torch.isnan(got), torch.isnan(ref)) and torch.equal(got[~torch.isnan(ref)], ref[~torch.isnan(ref)])

    def test_zeta_special_values_and_broadcasting(self):
        s = [1.0, 0.5, 2.0, 2.0, 2.5, 3.0, 2.0, nan, 2.0, 4.0]
        q = [1.0, 1.0, 0.0, -1.0, -1.5, -1.5, -0.5, 1.0, 1e9, 3.25]
        ref = torch.special.zeta(torch.tensor(s, dtype=torch.float64), torch.tensor(q, dtype=torch.float64))
        got = torch.from_numpy(np.asarray(zel.special.zeta(zel.tensor(s), zel.tensor(q)).numpy()))
        assert torch.allclose(got, ref, rtol=1e-12, atol=0, equal_nan=True), (got, ref)
        out = zel.special.zeta(zel.tensor([[2.0], [3.0]]), zel.tensor([1.0, 2.0, 3.0]))
        assert out.shape == (2, 3)
        assert torch.allclose(torch.from_numpy(np.asarray(out.numpy())),
                              torch.special.zeta(torch.tensor([[2.0], [3.0]], dtype=torch.float64),
                                                 torch.tensor([1.0, 2.0, 3.0], dtype=torch.float64)), rtol=1e-12)
        assert zel.special.zeta(2.0, zel.tensor([1.0])).shape == (1,)
        assert math.isclose(float(zel.special.zeta(zel.tensor(2.0), 1.0)), math.pi ** 2 / 6, rel_tol=1e-15)

    def test_xlog1py_and_mvlgamma(self):
        x = [0.0, 0.0, 1.0, 2.0, -3.0, 0.5]
        y = [nan, -1.0, -1.0, inf, 0.5, 1e-20]
        ref = torch.special.xlog1py(torch.tensor(x, dtype=torch.float64), torch.tensor(y, dtype=torch.float64))
        got = torch.from_numpy(np.asarray(zel.special.xlog1py(zel.tensor(x), zel.tensor(y)).numpy()))
        assert torch.allclose(got, ref, rtol=1e-12, atol=0, equal_nan=True), (got, ref)
        assert float(zel.special.xlog1py(0.0, zel.tensor(3.0))) == 0.0
        v = [3.0, 2.0, 7.5, 1.25]
        for p in (1, 2, 3):
            ref = torch.mvlgamma(torch.tensor(v, dtype=torch.float64), p)
            got = torch.from_numpy(np.asarray(zel.mvlgamma(zel.tensor(v), p).numpy()))
            assert torch.allclose(got, ref, rtol=1e-12), (p, got, ref)
            assert torch.equal(got, torch.from_numpy(np.asarray(zel.special.multigammaln(zel.tensor(v), p).numpy())))

    def test_shapes_methods_and_aliases(self):
        x = zel.tensor([[0.5, 1.5, 2.5], [3.0, 4.0, 5.0]])
        for name in ("lgamma", "digamma", "erfinv", "i0"):
            assert getattr(x, name)().shape == (2, 3)
        assert x.polygamma(2).shape == (2, 3) and x.mvlgamma(1).shape == (2, 3)
        assert zel.special.gammaln(zel.empty((0,))).shape == (0,)
        assert zel.lgamma(zel.tensor(3.0)).shape == ()
        assert zel.isclose(zel.special.psi(x), zel.digamma(x), rtol=0, atol=0).all()
        assert zel.isclose(x.polygamma(0), zel.digamma(x), rtol=0, atol=0).all()
        assert math.isclose(float(zel.lgamma(zel.tensor(3.0))), math.log(2.0), rel_tol=1e-15)


class TestErrors:
    def test_non_tensor_inputs(self):
        for fn in (zel.lgamma, zel.digamma, zel.erfinv, zel.i0, zel.special.i1e, zel.special.ndtri,
                   zel.special.entr, zel.special.erfcx):
            with pytest.raises(TypeError):
                fn(2.0)
        with pytest.raises(TypeError):
            zel.special.zeta(2.0, 3.0)
        with pytest.raises(TypeError):
            zel.special.xlog1py(2.0, 3.0)
        with pytest.raises(TypeError):
            zel.special.zeta("x", zel.tensor(1.0))

    def test_orders(self):
        x = zel.tensor([1.0, 2.0])
        with pytest.raises(RuntimeError, match="negative n"):
            zel.polygamma(-1, x)
        for bad in (1.5, True, None, x):
            with pytest.raises(TypeError):
                zel.polygamma(bad, x)
            with pytest.raises(TypeError):
                zel.mvlgamma(x, bad)
        with pytest.raises(RuntimeError, match="p has to be greater than or equal to 1"):
            zel.mvlgamma(x, 0)
        # A huge p is refused before any term, with or without gradients (once a loop over p).
        for requires_grad in (False, True):
            with pytest.raises(RuntimeError, match="more than 2"):
                zel.mvlgamma(zel.tensor([3.0, 4.0], requires_grad=requires_grad), 2 ** 63)

    def test_mvlgamma_gradients_are_pytorchs_to_second_order(self):
        x = zel.tensor([3.5, 4.25, 9.0], requires_grad=True)
        t = torch.tensor([3.5, 4.25, 9.0], dtype=torch.float64, requires_grad=True)
        g, = zel.autograd.grad(zel.mvlgamma(x, 3).sum(), x, create_graph=True)
        h, = torch.autograd.grad(torch.mvlgamma(t, 3).sum(), t, create_graph=True)
        g2, = zel.autograd.grad(g.sum(), x)
        h2, = torch.autograd.grad(h.sum(), t)
        for ours, theirs in ((g, h), (g2, h2)):
            assert np.allclose(np.asarray(ours.detach().numpy()), theirs.detach().numpy(), rtol=1e-13)

    def test_far_negative_zeta_argument_is_bounded(self):
        # The direct terms are capped: an answer or NaN, never a loop over 10^5 terms.
        out = zel.special.zeta(zel.tensor([2.0]), zel.tensor([-1e5 + 0.5]))
        assert math.isnan(float(out))


class TestGradients:
    @pytest.mark.parametrize("name,xs", [("lgamma", [0.3, 2.5, -1.5, 7.0]), ("digamma", [0.3, 2.5, -1.5, 7.0]),
                                         ("erfinv", [-0.9, -0.2, 0.4, 0.99]), ("i0", [-3.0, 0.5, 2.0, 45.0]),
                                         ("i1", [-3.0, 0.5, 2.0, 45.0]), ("i0e", [-3.0, 0.5, 2.0]),
                                         ("ndtri", [0.1, 0.5, 0.9]), ("log_ndtr", [-5.0, 0.0, 3.0]),
                                         ("erfcx", [-1.0, 0.5, 12.0])])
    def test_gradcheck(self, name, xs):
        fn = getattr(zel, name, None) or getattr(zel.special, name)
        x = zel.tensor(xs).requires_grad_()
        assert zel.autograd.gradcheck(fn, (x,), eps=1e-6, atol=1e-7, rtol=1e-6)

    def test_derivatives_are_the_next_functions(self):
        x = zel.tensor([0.7, 3.0, -2.5]).requires_grad_()
        zel.lgamma(x).sum().backward()
        assert zel.isclose(x.grad, zel.digamma(x.detach()), rtol=0, atol=0).all()
        x.grad = None
        zel.polygamma(2, x).sum().backward()
        assert zel.isclose(x.grad, zel.polygamma(3, x.detach()), rtol=0, atol=0).all()


POLYNOMIALS = ["chebyshev_polynomial_t", "chebyshev_polynomial_u", "chebyshev_polynomial_v", "chebyshev_polynomial_w",
               "hermite_polynomial_h", "hermite_polynomial_he", "laguerre_polynomial_l", "legendre_polynomial_p"]


def polynomial_ref(name, n, x):
    """The three-term recurrences at 300 bits, V and W from their own; the others from mpmath's closed forms."""
    if name == "chebyshev_polynomial_t":
        return mp.chebyt(n, x)
    if name == "chebyshev_polynomial_u":
        return mp.chebyu(n, x)
    if name == "hermite_polynomial_h":
        return mp.hermite(n, x)
    if name == "hermite_polynomial_he":
        return mp.hermite(n, x / mp.sqrt(2)) * mp.mpf(2) ** (-mp.mpf(n) / 2)
    if name == "laguerre_polynomial_l":
        return mp.laguerre(n, 0, x)
    if name == "legendre_polynomial_p":
        return mp.legendre(n, x)
    p, q = mp.mpf(1), 2 * x - (1 if name == "chebyshev_polynomial_v" else -1)
    if n == 0:
        return p
    for _ in range(n - 1):
        p, q = q, 2 * x * q - p
    return q


class TestIncompleteGamma:
    def test_against_mpmath(self):
        rng = random.Random(11)
        a = with_lower(uniform(0.01, 5, 30, rng) + uniform(5, 80, 30, rng), rng)
        x = with_lower([v * rng.choice([0.3, 0.9, 1.1, 3.0]) for v in uniform(0.01, 5, 30, rng) + uniform(5, 80, 30, rng)], rng)
        A, X = values(a), values(x)
        p = values(zel.special.gammainc(a, x))
        q = values(zel.special.gammaincc(a, x))
        assert worst_bits(p, [mp.gammainc(u, 0, v, regularized=True) for u, v in zip(A, X)]) >= BITS
        assert worst_bits(q, [mp.gammainc(u, v, mp.inf, regularized=True) for u, v in zip(A, X)]) >= BITS

    def test_large_shapes_near_the_mean(self):
        # Near x = a the series needs about 12 sqrt(a) terms and x^a e^-x / Gamma(a) cancels unless
        # it is formed from a phi(x / a); P(1e6, 1e6) once came out 0.477. The reference is the
        # same series at 400 bits, which mpmath's gammainc does not converge for.
        def lower(a, x):
            with mp.workprec(400):
                a, x = mp.mpf(a), mp.mpf(x)
                term = total = 1 / a
                n = 0
                while term > total * mp.mpf(2) ** -300:
                    n += 1
                    term *= x / (a + n)
                    total += term
                return total * mp.exp(a * mp.log(x) - x - mp.loggamma(a))
        cases = [(1e6, 1e6), (1e6, 1e6 - 3000.0), (1e6, 1e6 + 3999.0), (1e6, 1e6 + 4001.0), (4e4, 4e4 + 500.0),
                 (9999.5, 10000.0), (35.5, 36.0)]
        a = zel.tensor([c[0] for c in cases])
        x = zel.tensor([c[1] for c in cases])
        want = [lower(u, v) for u, v in cases]
        assert worst_bits(values(zel.special.gammainc(a, x)), want) >= BITS
        assert worst_bits(values(zel.special.gammaincc(a, x)), [1 - w for w in want]) >= BITS
        # Beyond the term budget: PyTorch's float64 value, said so.
        with pytest.warns(UserWarning, match="float64 values"):
            far = zel.special.gammainc(zel.tensor([1e9, 2.0]), zel.tensor([1e9 + 1e5, 1.0]))
        ref = torch.special.gammainc(torch.tensor([1e9, 2.0], dtype=torch.float64),
                                     torch.tensor([1e9 + 1e5, 1.0], dtype=torch.float64))
        assert np.allclose(np.asarray(far.numpy()), ref.numpy(), rtol=1e-9, equal_nan=True)

    def test_edges_against_pytorch(self):
        a = [0.0, 1.0, 1.0, -1.0, 2.0, inf, 2.0, nan, 1.0, 0.5, 1.0, 0.0, 3.0, 30.0]
        x = [1.0, 0.0, inf, 1.0, -1.0, 2.0, inf, 1.0, nan, 0.5, -0.0, 0.0, 2.5, 45.0]
        for name in ("gammainc", "gammaincc"):
            ref = getattr(torch.special, name)(torch.tensor(a, dtype=torch.float64), torch.tensor(x, dtype=torch.float64))
            got = torch.from_numpy(np.asarray(getattr(zel.special, name)(zel.tensor(a), zel.tensor(x)).numpy()))
            assert torch.allclose(got, ref, rtol=1e-12, atol=0, equal_nan=True), (name, got, ref)
        assert zel.special.gammainc(2.0, zel.tensor([[1.0], [2.0]])).shape == (2, 1)
        with pytest.raises(TypeError):
            zel.special.gammaincc(1.0, 2.0)


class TestPolynomials:
    @pytest.mark.parametrize("name", POLYNOMIALS)
    def test_against_pytorch(self, name):
        xs = [0.5, -0.5, 1.0, -1.0, 1.5, -2.0, 0.0, nan, 0.3, -0.7, 3.25]
        ref_fn, fn = getattr(torch.special, name), getattr(zel.special, name)
        for n in [-1, 0, 1, 2, 3, 7, 12, 25]:
            ref = ref_fn(torch.tensor(xs, dtype=torch.float64), n)
            got = torch.from_numpy(np.asarray(fn(zel.tensor(xs), n).numpy()))
            assert torch.allclose(got, ref, rtol=1e-12, atol=1e-12, equal_nan=True), (name, n, got, ref)
        # n as a tensor, truncated; broadcasting; a number input
        ns = torch.tensor([0.0, 2.5, 4.0, -3.0], dtype=torch.float64)
        ref = ref_fn(torch.tensor([[0.25], [1.75]], dtype=torch.float64), ns)
        got = fn(zel.tensor([[0.25], [1.75]]), zel.tensor(ns))
        assert got.shape == (2, 4)
        assert torch.allclose(torch.from_numpy(np.asarray(got.numpy())), ref, rtol=1e-12)
        assert math.isclose(float(fn(0.5, zel.tensor(3.0))), float(ref_fn(0.5, torch.tensor(3.0, dtype=torch.float64))),
                            rel_tol=1e-12, abs_tol=1e-15)

    @pytest.mark.parametrize("name", POLYNOMIALS)
    def test_against_mpmath(self, name):
        rng = random.Random(name)
        fn = getattr(zel.special, name)
        # Outside [-1, 1] (no zeros there for most; the recurrence keeps its relative accuracy) ...
        x = with_lower([rng.choice([-1, 1]) * rng.uniform(1.01, 30) for _ in range(60)], rng)
        if name == "laguerre_polynomial_l":
            x = with_lower([-rng.uniform(0.01, 30) for _ in range(60)], rng)  # all terms positive
        if name.startswith("hermite"):
            x = with_lower([rng.choice([-1, 1]) * rng.uniform(13, 40) for _ in range(60)], rng)  # past the zeros
        for n in (5, 17, 40):
            got = values(fn(x, n))
            assert worst_bits(got, [polynomial_ref(name, n, v) for v in values(x)]) >= BITS, (name, n)
        # ... and inside, where the error is absolute against the size of the terms.
        x = with_lower(uniform(-1, 1, 60, rng), rng)
        for n in (6, 31):
            got = values(fn(x, n))
            for g, v in zip(got, values(x)):
                e = polynomial_ref(name, n, v)
                scale = max(abs(polynomial_ref(name, n, mp.mpf(1))), abs(e), 1)
                assert abs(g - e) <= scale * mp.mpf(2) ** -130, (name, n, v)

    def test_errors(self):
        with pytest.raises(TypeError):
            zel.special.chebyshev_polynomial_t(0.5, 3)
        with pytest.raises(TypeError):
            zel.special.legendre_polynomial_p("x", zel.tensor(2.0))
        with pytest.raises(RuntimeError, match="recurrence steps"):
            zel.special.hermite_polynomial_h(zel.tensor([0.5]), 10 ** 9)

    def test_gradients_through_the_recurrence(self):
        x = zel.tensor([0.3, -1.7, 2.2]).requires_grad_()
        n = zel.tensor([3.0, 5.0, 0.0])
        for name in POLYNOMIALS:
            assert zel.autograd.gradcheck(lambda t: getattr(zel.special, name)(t, n), (x,), eps=1e-6, atol=1e-6, rtol=1e-6)
        x.grad = None
        zel.special.chebyshev_polynomial_t(x, 4).sum().backward()  # T_4' = 4 U_3
        assert zel.allclose(x.grad, zel.special.chebyshev_polynomial_u(x.detach(), 3) * 4.0, rtol=1e-25, atol=0)


def test_special_aliases_are_the_library_operations():
    x = zel.tensor([[0.5, -1.25, 3.0], [2.0, 0.0, -7.5]])
    for name, args in (("softmax", (1,)), ("log_softmax", (0,)), ("logsumexp", (1,)), ("round", ())):
        assert zel.isclose(getattr(zel.special, name)(x, *args), getattr(zel, name)(x, *args), rtol=0, atol=0).all()


def test_gradients_of_the_two_argument_functions_are_in_the_second_only():
    q = zel.tensor([1.5, 2.5]).requires_grad_()
    assert zel.autograd.gradcheck(lambda t: zel.special.zeta(zel.tensor([2.0, 3.5]), t), (q,), eps=1e-6, atol=1e-6, rtol=1e-6)
    x = zel.tensor([0.7, 3.0]).requires_grad_()
    for name in ("gammainc", "gammaincc"):
        assert zel.autograd.gradcheck(lambda t: getattr(zel.special, name)(zel.tensor([1.5, 2.0]), t), (x,),
                                      eps=1e-6, atol=1e-6, rtol=1e-6)
    a = zel.tensor([[1.5], [2.0]]).requires_grad_()
    x.grad = None
    out = zel.special.gammainc(a, x)  # broadcast (2, 1) with (2,): the gradient is summed back to x's shape
    assert out.requires_grad and out.shape == (2, 2)
    out.sum().backward()
    assert x.grad.shape == (2,) and a.grad is None
    n = zel.tensor([2.0, 3.0]).requires_grad_()
    y = zel.special.legendre_polynomial_p(zel.tensor([0.5, 0.3]), n)
    assert y.requires_grad


# ------------------------------------------------------------------ Bessel and Airy functions

def modulus(order):
    """sqrt(J^2 + Y^2): the scale of J and Y near their zeros, where the error is absolute."""
    return lambda v: mp.sqrt(mp.besselj(order, abs(v)) ** 2 + mp.bessely(order, abs(v)) ** 2)


def airy_modulus(v):
    return mp.sqrt(mp.airyai(v) ** 2 + mp.airybi(v) ** 2) if v < 0 else mp.mpf(0)


def worst_scaled_bits(got, exact, scales):
    worst = 400.0
    for g, e, s in zip(got, exact, scales):
        if abs(e) < TINY:
            continue
        err = abs(g - e) / max(abs(e), s)
        worst = min(worst, 400.0 if err == 0 else float(-mp.log(err, 2)))
    return worst


def near(points, rng, spread=1e-6):
    return [float(p) * (1 + rng.uniform(-spread, spread)) for p in points]


# Each set crosses every branch: the series (4 components, up to 44), the Hankel expansions and the
# trapezoidal rule above, the exact reduction by pi/2 beyond 2^240, tiny arguments.
WIDE = [0.3, 1.7, 7.9, 8.1, 19.9, 20.1, 43.9, 44.1, 99.5, 100.5, 999.0, 1001.0, 3e5, 1e20, 2.0 ** 250, 1e300]
BESSEL = {
    "bessel_j0": (lambda v: mp.besselj(0, v), modulus(0),
                  lambda r: WIDE + [-v for v in WIDE[::3]] + [1e-300, 1e-10] + uniform(-50, 50, 20, r)),
    "bessel_j1": (lambda v: mp.besselj(1, v), modulus(1),
                  lambda r: WIDE + [-v for v in WIDE[::3]] + [1e-300, -1e-10] + uniform(-50, 50, 20, r)),
    "bessel_y0": (lambda v: mp.bessely(0, v), modulus(0), lambda r: WIDE + [1e-300, 1e-10] + uniform(0.01, 50, 20, r)),
    "bessel_y1": (lambda v: mp.bessely(1, v), modulus(1), lambda r: WIDE + [1e-300, 1e-10] + uniform(0.01, 50, 20, r)),
    "modified_bessel_k0": (lambda v: mp.besselk(0, v), None,
                           lambda r: [1e-300, 1e-20, 0.2, 1.49, 1.51, 7.99, 8.01, 43.9, 44.1, 300.0, 700.0]
                           + uniform(0.01, 50, 20, r)),
    "modified_bessel_k1": (lambda v: mp.besselk(1, v), None,
                           lambda r: [1e-300, 1e-20, 0.2, 1.49, 1.51, 7.99, 8.01, 43.9, 44.1, 300.0]
                           + uniform(0.01, 50, 20, r)),
    "scaled_modified_bessel_k0": (lambda v: mp.besselk(0, v) * mp.exp(v), None,
                                  lambda r: [1e-200, 0.7, 1.51, 9.0, 44.1, 1e4, 1e300] + uniform(0.01, 50, 10, r)),
    "scaled_modified_bessel_k1": (lambda v: mp.besselk(1, v) * mp.exp(v), None,
                                  lambda r: [1e-200, 0.7, 1.51, 9.0, 44.1, 1e4, 1e300] + uniform(0.01, 50, 10, r)),
    "modified_bessel_i0": (lambda v: mp.besseli(0, v), None, lambda r: [-3.0, 0.1, 59.0, 61.0, 700.0]),
    "modified_bessel_i1": (lambda v: mp.besseli(1, v), None, lambda r: [-3.0, 0.1, 59.0, -61.0, 700.0]),
    "spherical_bessel_j0": (lambda v: mp.sin(v) / v, None,
                            lambda r: [1e-30, 0.5, -3.0, 1e5, 2.0 ** 250, -1e280, 1e-300] + uniform(-50, 50, 10, r)),
    "airy_ai": (mp.airyai, airy_modulus,
                lambda r: [-1e12, -1e5, -100.0, -16.6, -16.4, -5.0, -1e-20, 0.0, 0.5, 1.9, 2.1, 10.0, 50.0, 100.0]
                + uniform(-30, 30, 20, r)),
}


class TestBessel:
    @pytest.mark.parametrize("name", sorted(BESSEL))
    def test_against_mpmath_on_every_branch(self, name):
        ref, scale, gen = BESSEL[name]
        rng = random.Random(name)
        x = with_lower(gen(rng), rng)
        xs = values(x)
        got = values(getattr(zel.special, name)(x))
        scales = [scale(v) if scale else 0 for v in xs]
        assert worst_scaled_bits(got, [ref(v) for v in xs], scales) >= BITS, name

    @pytest.mark.parametrize("name,zeros,ref,scale", [
        ("bessel_j0", lambda k: mp.besseljzero(0, k), lambda v: mp.besselj(0, v), modulus(0)),
        ("bessel_j1", lambda k: mp.besseljzero(1, k), lambda v: mp.besselj(1, v), modulus(1)),
        ("bessel_y0", lambda k: mp.besselyzero(0, k), lambda v: mp.bessely(0, v), modulus(0)),
        ("bessel_y1", lambda k: mp.besselyzero(1, k), lambda v: mp.bessely(1, v), modulus(1)),
        ("airy_ai", lambda k: mp.airyaizero(k), mp.airyai, airy_modulus)])
    def test_near_zeros_the_error_is_absolute(self, name, zeros, ref, scale):
        # The zeros rounded to 3 limbs (values down to ~1e-48) and points 1e-6 away, below and above 44.
        rng = random.Random(1)
        with mp.workprec(200):
            zs = [zeros(k) for k in (1, 2, 3, 14, 15, 300)]
        rows = []
        for z in zs:
            a = float(z)
            b = float(z - a)
            rows.append([a, b, float(z - a - b)] + [0.0] * 5)
        x = zel.from_limbs(torch.tensor(rows, dtype=torch.float64))
        x = zel.cat([x, with_lower(near(zs, rng), rng)])
        xs = values(x)
        got = values(getattr(zel.special, name)(x))
        exact = [ref(v) for v in xs]
        assert worst_scaled_bits(got, exact, [scale(v) for v in xs]) >= BITS, name
        # at the rounded zeros the values are tiny: the test does reach them
        assert all(abs(e) < 1e-40 * scale(v) for e, v in zip(exact[:len(zs)], xs))

    EDGES = [-inf, -1e300, -800.0, -5.0, -1e-300, -0.0, 0.0, 1e-310, 1e-300, 1e-10, 0.5, 5.0, 30.0, 103.5,
             103.95, 720.0, 800.0, 1e15, 1e300, inf, nan]

    @pytest.mark.parametrize("name", sorted(BESSEL))
    def test_special_values_as_pytorch(self, name):
        xs = self.EDGES
        ref = getattr(torch.special, name)(torch.tensor(xs, dtype=torch.float64))
        out = getattr(zel.special, name)(zel.tensor(xs))
        got = torch.from_numpy(np.asarray(out.numpy()))
        assert torch.equal(torch.isnan(got), torch.isnan(ref)), (name, got, ref)
        assert torch.equal(got[torch.isinf(ref)], ref[torch.isinf(ref)]), (name, got, ref)
        zeros = ref == 0
        assert torch.equal(got[zeros], ref[zeros]), (name, got, ref)
        assert torch.equal(torch.signbit(out._data[:, 0][zeros]), torch.signbit(ref[zeros])), name
        # Finite values: PyTorch's float64 J and Y are good to ~1e-8 at moderate arguments and lose the
        # phase at huge ones; the values themselves are judged against mpmath above.
        fin = torch.isfinite(ref) & (ref != 0) & (torch.tensor(xs, dtype=torch.float64).abs() < 1e6)
        assert torch.allclose(got[fin], ref[fin], rtol=1e-6, atol=0), (name, got, ref)

    def test_symmetries_and_the_names_pytorch_also_has(self):
        rng = random.Random(5)
        x = with_lower(uniform(-60, 60, 30, rng) + [1e5, 1e300], rng)
        sp = zel.special
        assert zel.equal(sp.bessel_j0(-x), sp.bessel_j0(x))
        assert zel.equal(sp.bessel_j1(-x), -sp.bessel_j1(x))
        assert zel.equal(sp.spherical_bessel_j0(-x), sp.spherical_bessel_j0(x))
        assert zel.equal(sp.modified_bessel_i0(x), sp.i0(x)) and zel.equal(sp.modified_bessel_i1(x), sp.i1(x))
        a = zel.abs(x)
        assert zel.allclose(sp.scaled_modified_bessel_k0(a[:20]) * zel.exp(-a[:20]), sp.modified_bessel_k0(a[:20]),
                            rtol=1e-20, atol=0)  # the library's own exp: about 72 bits
        # the Wronskian J1 Y0 - J0 Y1 = 2 / (pi x), across the series and Hankel branches
        w = a[:30] + 0.01
        lhs = sp.bessel_j1(w) * sp.bessel_y0(w) - sp.bessel_j0(w) * sp.bessel_y1(w)
        assert worst_bits(values(lhs * w), [2 / mp.pi] * 30) >= 85  # the library's own product and sum

    def test_shapes_dtypes_and_no_derivative(self):
        for name in BESSEL:
            fn = getattr(zel.special, name)
            for shape in ((), (0, 3), (2, 3)):
                x = zel.full(shape, 1.25)
                assert fn(x).shape == getattr(torch.special, name)(torch.full(shape, 1.25, dtype=torch.float64)).shape
                assert fn(x).dtype == x.dtype
            # PyTorch defines no derivative for these: the result is not recorded.
            x = zel.tensor([0.5, 2.0]).requires_grad_()
            out = fn(x)
            assert not out.requires_grad and zel.equal(out, fn(x.detach())), name
            with pytest.raises(TypeError, match="must be Tensor"):
                fn(2.0)
            with pytest.raises(TypeError):
                fn([1.0])

    @pytest.mark.parametrize("name", sorted(BESSEL))
    def test_rows_whose_limbs_cancel(self, name):
        # from_limbs rows that do not lead with their value: the branch and the kernels see 1.0, 3.5, 60.25, 12.5
        rows = torch.zeros(4, 8, dtype=torch.float64)
        rows[0, :3] = torch.tensor([1e16, 1.0, -1e16])
        rows[1, 1] = 3.5
        rows[2, :3] = torch.tensor([1e17, 60.25, -1e17])
        rows[3, 1:3] = torch.tensor([12.5, 1e-20])
        x = zel.from_limbs(rows)
        ref, scale, _ = BESSEL[name]
        xs = values(x)
        got = values(getattr(zel.special, name)(x))
        assert worst_scaled_bits(got, [ref(v) for v in xs], [scale(v) if scale else 0 for v in xs]) >= BITS, name

    def test_sincos_reduces_huge_arguments_exactly(self):
        # beyond 2^240 the library's own reduction is short: x - k pi/2 is formed from the limbs
        rng = random.Random(9)
        x = with_lower([2.0 ** 241, 1e200, -3e307, 2.0 ** 1000 * 1.7] + logscale(1e75, 1e300, 12, rng, True), rng)
        s, c = _special.helpers["sincos"](x)
        with mp.workprec(4000):
            xs = values(x)
            # the sines of the reduced argument are the lane cores' (about 112 bits)
            assert worst_bits(values(s), [mp.sin(v) for v in xs]) >= 110
            assert worst_bits(values(c), [mp.cos(v) for v in xs]) >= 110
