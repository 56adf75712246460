"""PyTorch's special functions (lgamma, digamma, polygamma, zeta, erfinv,
ndtr, ndtri, log_ndtr, erfcx, the Bessel functions J0/J1/Y0/Y1/I0/I1/K0/K1,
Airy's Ai, entr, xlog1py, multigammaln, ...) composed from the library's
accurate operations.

The library's own tensor product and quotient carry about 106 bits, too few
to keep 2^-100 through a series, so products here are formed from exact
float64 partial products (Dekker) summed with the exact limb addition, and
quotients get one correction step: about 200 bits each. exp, log and sin
come from the accurate exp2, log2 and sinc, never from the defined series.
varnel.zel.zel calls install() once; no name already there is replaced.
"""
import math
import warnings
from fractions import Fraction

import numpy as np
import torch

from varnel.zel import _special_constants as K


def _fraction_limbs(f, n=4):
    out, r = [], Fraction(f)
    for _ in range(n):
        v = float(r)
        out.append(v)
        r -= Fraction(v)
    return out


def _bernoulli(count):
    """B_0 .. B_{count-1} exactly (Akiyama-Tanigawa)."""
    out, a = [], []
    for m in range(count):
        a.append(Fraction(1, m + 1))
        for j in range(m, 0, -1):
            a[j - 1] = j * (a[j - 1] - a[j])
        out.append(a[0])
    out[1] = -out[1]
    return out


_B = _bernoulli(52)
# Stirling: lgamma(y) - (y - 1/2) log y + y - log(2 pi)/2 = sum_k B_2k / (2k (2k-1) y^(2k-1)).
_STIRLING = [_B[2 * k] / (2 * k * (2 * k - 1)) for k in range(1, 21)]
# digamma(y) - log y + 1/(2y) = -sum_k B_2k / (2k y^2k).
_PSI_ASYMPTOTIC = [-_B[2 * k] / (2 * k) for k in range(1, 21)]
# Euler-Maclaurin tail of the Hurwitz zeta: B_2j / (2j)!.
_EM = [_B[2 * j] / math.factorial(2 * j) for j in range(1, 25)]
# Power series of I0 and I1: (x^2/4)^k / (k!)^2 and (x^2/4)^k / (k! (k+1)!).
_I0_SERIES = [Fraction(1, math.factorial(k) ** 2) for k in range(112)]
_I1_SERIES = [Fraction(1, math.factorial(k) * math.factorial(k + 1)) for k in range(112)]
# Large x: I_nu(x) e^-x sqrt(2 pi x) = sum_k (-1)^k a_k(nu) / x^k, a_k = prod (4 nu^2 - (2j-1)^2) / (k! 8^k).
def _bessel_asymptotic(nu, count):
    out, a = [], Fraction(1)
    for k in range(count):
        out.append(a * (-1) ** k)
        a = a * (4 * nu * nu - (2 * k + 1) ** 2) / ((k + 1) * 8)
    return out


_I0_ASYMPTOTIC = _bessel_asymptotic(0, 82)
_I1_ASYMPTOTIC = _bessel_asymptotic(1, 82)
# erfcx(x) sqrt(pi) x = sum_k (-1)^k (2k-1)!! / (2x^2)^k for large x.
_ERFCX_ASYMPTOTIC = [Fraction((-1) ** k * math.prod(range(1, 2 * k, 2))) for k in range(60)]


# Bessel functions J, Y and K (orders 0, 1) and the Airy function Ai.
def _harmonic(k):
    return sum((Fraction(1, j) for j in range(1, k + 1)), Fraction(0))


# The log-term series: Y0 and K0 carry sum H_k (-+y)^k / (k!)^2, Y1 and K1 sum (2 H_k + 1/(k+1)) (-+y)^k / (k! (k+1)!).
_HK0_SERIES = [_harmonic(k) / math.factorial(k) ** 2 for k in range(112)]
_HK1_SERIES = [(2 * _harmonic(k) + Fraction(1, k + 1)) / (math.factorial(k) * math.factorial(k + 1)) for k in range(112)]


def _hankel_a(nu, count):
    """a_k(nu) = prod_{j<=k} (4 nu^2 - (2j-1)^2) / (k! 8^k) (DLMF 10.17.1), unsigned by k."""
    out, a = [], Fraction(1)
    for k in range(count):
        out.append(a)
        a = a * (4 * nu * nu - (2 * k + 1) ** 2) / ((k + 1) * 8)
    return out


# J and Y for large x: P = sum (-1)^k a_2k / x^2k, Q = sum (-1)^k a_2k+1 / x^2k+1 (DLMF 10.17.3-4).
_HANKEL = {nu: _hankel_a(nu, 80) for nu in (0, 1)}
_HANKEL_P = {nu: [(-1) ** k * a[2 * k] for k in range(40)] for nu, a in _HANKEL.items()}
_HANKEL_Q = {nu: [(-1) ** k * a[2 * k + 1] for k in range(40)] for nu, a in _HANKEL.items()}
# K_nu(z) e^z sqrt(2z/pi) = sum a_k(nu) / z^k (DLMF 10.40.2); nu = 1/3 gives Ai for x > 0.
_K_ASYMPTOTIC = {nu: _hankel_a(nu, 80) for nu in (0, 1, Fraction(1, 3))}
# Ai(-z) for large z: u_k = (2k+1)(2k+3)...(6k-1) / (216^k k!) = (-1)^k a_k(1/3) (DLMF 9.7.2, 9.7.9).
_AIRY_U = [(-1) ** k * a for k, a in enumerate(_K_ASYMPTOTIC[Fraction(1, 3)])]
_AIRY_U_EVEN = [(-1) ** k * _AIRY_U[2 * k] for k in range(40)]
_AIRY_U_ODD = [(-1) ** k * _AIRY_U[2 * k + 1] for k in range(40)]
# Maclaurin series of Ai (DLMF 9.4.1): Ai = Ai(0) f - (-Ai'(0)) g, f = sum f_k x^3k, g = x sum g_k x^3k.
_AIRY_F = [Fraction(math.prod(range(1, 3 * k, 3)), math.factorial(3 * k)) for k in range(130)]
_AIRY_G = [Fraction(math.prod(range(2, 3 * k + 1, 3)), math.factorial(3 * k + 1)) for k in range(130)]
# Below 44 the Hankel expansions fall short of 2^-110 (their least term is about e^-2x): the power
# series (J, Y; 4 components against their cancellation) and the trapezoidal rule on
# K_nu(z) e^z = int_0^inf exp(-z (cosh t - 1)) cosh(nu t) dt, which converges geometrically in 1/h.
_BESSEL_SERIES_MAX = 44.0
_K_SERIES_MAX = 1.5
_JY_BANDS = ((0.0, 8.0), (8.0, 20.0), (20.0, _BESSEL_SERIES_MAX), (_BESSEL_SERIES_MAX, 100.0), (100.0, 1000.0),
             (1000.0, math.inf))
# Steps: the error is about exp(-2 pi a / h) times the integrand's size on |Im t| = a, at most
# exp(z (1 - cos a)); with a = pi/2, exp(z - pi^2 / h): below e^-90 (2^-129) in each band.
_K_TRAPEZOID_BANDS = ((1.5, 4.0, Fraction(1, 10)), (4.0, 8.0, Fraction(1, 10)), (8.0, 16.0, Fraction(1, 11)),
                      (16.0, 28.0, Fraction(1, 12)), (28.0, 44.0, Fraction(1, 14)))
_AIRY_SERIES = (-16.5, 2.0)  # Ai's Maclaurin series between; zeta = (2/3)|x|^(3/2) > 44 below
_TRIG_REDUCE_MIN = 2.0 ** 240  # the library's accurate sin and cos hold their accuracy below


def _trapezoid_nodes(zlo, h, nus):
    """(cosh(jh) - 1) log2(e) and cosh(nu jh) for j = 1.. until zlo (cosh(jh) - 1) > 92 (e^-92 < 2^-132)."""
    import decimal
    ctx = decimal.Context(prec=90)
    hd = ctx.divide(decimal.Decimal(h.numerator), decimal.Decimal(h.denominator))

    def cosh(t):
        e = ctx.exp(t)
        return ctx.divide(ctx.add(e, ctx.divide(1, e)), 2)
    nodes, weights = [], {nu: [] for nu in nus}
    j = 1
    while True:
        t = ctx.multiply(hd, j)
        c = ctx.subtract(cosh(t), 1)
        nodes.append(Fraction(ctx.divide(c, ctx.ln(2))))
        for nu in nus:
            weights[nu].append(Fraction(cosh(ctx.multiply(t, ctx.divide(decimal.Decimal(nu.numerator), nu.denominator)))
                                        if isinstance(nu, Fraction) else cosh(ctx.multiply(t, nu))))
        if zlo * float(c) > 92:
            return nodes, weights
        j += 1


def _pi_half_fraction(bits=2800):
    """pi/2 within 2^-(bits-10), by Machin's formula in integers: for the reduction of huge arguments."""
    unity = 1 << (bits + 16)

    def arccot(x):
        s = power = unity // x
        n, sign = 3, -1
        while True:
            power //= x * x
            term = power // n
            if not term:
                return s
            s += sign * term
            sign, n = -sign, n + 2
    return Fraction(2 * (4 * arccot(5) - arccot(239)), unity)

helpers = {}
# Direct terms of the Hurwitz zeta before Euler-Maclaurin takes over: the candidates and the cap.
_ZETA_LADDER = [0, 1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024]
_ZETA_CAP = 1024
_POLY_CAP = 1 << 14
# The incomplete gamma functions: continued-fraction steps, series terms per block and in all
# (16 sqrt(a) near x = a: the terms fall off as exp(-n^2 / 2a); a up to about 2.7e8).
_GAMMAINC_STEPS = 2000
_GAMMAINC_BLOCK = 256
_GAMMAINC_TERMS = 1 << 18
# 1 / (2k + 3): the atanh series left after the first term of log1p.
_ATANH_TAIL = [Fraction(1, 2 * k + 3) for k in range(32)]


def install(zel):
    Tensor = zel.Tensor

    # ------------------------------------------------------------ limb-level helpers

    def limbs(x):
        return x._data.reshape(tuple(x.shape) + (8,))

    def from_rows(rows):
        return zel.from_limbs(rows.contiguous())

    def const(values):
        row = torch.zeros(8, dtype=torch.float64)
        row[:len(values)] = torch.tensor([float(v) for v in values], dtype=torch.float64)
        return zel.from_limbs(row)

    def fconst(fr):
        return const(_fraction_limbs(fr))

    def approx(x):
        return np.asarray(x.numpy(), dtype=np.float64).reshape(tuple(x.shape))

    def sign_bit(x):
        """The sign of limb 0: approx() of a -0.0 row sums its +0.0 lower limbs to +0.0."""
        return torch.signbit(limbs(x)[..., 0]).numpy()

    def mask(a):
        return torch.tensor(np.asarray(a, dtype=bool))

    def full(shape, v):
        return zel.full(tuple(shape), float(v))

    def where(m, a, b):
        if not isinstance(m, torch.Tensor):
            m = mask(m)
        if not isinstance(a, Tensor):
            a = zel.tensor(float(a))
        if not isinstance(b, Tensor):
            b = zel.tensor(float(b))
        return zel.where(m, a, b)

    def split(a):
        c = a * 134217729.0
        hi = c - (c - a)
        return hi, a - hi

    def two_prod(a, b):
        p = a * b
        ah, al = split(a)
        bh, bl = split(b)
        return p, ((ah * bh - p) + ah * bl + al * bh) + al * bl

    def two_sum(a, b):
        s = a + b
        bb = s - a
        return s, (a - (s - bb)) + (b - bb)

    def distil(comps, n, sweeps=2):
        """The leading n components of the exact sum of comps: sweep i rounds the sum of comps[i:]
        into comps[i] with error-free additions, so the order of comps does not matter."""
        comps = list(comps)
        for i in range(n):
            # Twice: after a cancellation the first sweep can leave the leading part below.
            for _ in range(sweeps):
                for j in range(len(comps) - 1, i, -1):
                    comps[j - 1], comps[j] = two_sum(comps[j - 1], comps[j])
        return comps[:n]

    def normalised(L):
        """Limb rows (..., 8) whose leading limb dominates, as mul's partial products assume."""
        with np.errstate(invalid="ignore"):
            bad = ~(L[..., 1:].abs() <= L[..., :1].abs() * 2.0 ** -50).all(-1) & torch.isfinite(L[..., 0])
        if not bool(bad.any()):
            return L
        fixed = torch.stack(distil(list(L.unbind(-1)), 4), -1)
        return torch.where(bad[..., None], torch.cat([fixed, torch.zeros_like(fixed)], -1), L)

    def pack(comps, lead, x_fallback):
        """An 8-limb tensor from 3 components; where the float64 result `lead` is not finite
        (or the splitting would overflow) the library's own result stands."""
        ok = torch.isfinite(lead)
        z = torch.zeros_like(lead)
        rows = torch.stack([torch.where(ok, c, z) for c in comps] + [z] * (8 - len(comps)), -1)
        out = zel.from_limbs(rows)
        if bool(ok.all()):
            return out
        return zel.where(ok, out, x_fallback())

    def as_t(v):
        return v if isinstance(v, Tensor) else zel.tensor(float(v))

    def add(a, b):
        """a + b to about 160 bits; the library's sum keeps fewer when the rows' limbs do not align."""
        a, b = as_t(a), as_t(b)
        A, B = torch.broadcast_tensors(limbs(a), limbs(b))
        # Rows from these kernels have three limbs: a fourth only where some element has one.
        na = 4 if bool((A[..., 3] != 0).any()) else 3
        nb = 4 if bool((B[..., 3] != 0).any()) else 3
        comps = [A[..., i] for i in range(na)] + [B[..., i] for i in range(nb)]
        lead = A[..., 0] + B[..., 0]
        return pack(distil(comps, 3), lead, lambda: a + b)

    def sub(a, b):
        return add(a, -as_t(b))

    def mul(a, b):
        """a * b to about 160 bits: the partial products of the leading limbs, exactly."""
        if not isinstance(a, Tensor):
            a, b = b, a
        if not isinstance(b, Tensor):
            # The library's scaling by a number is exact for powers of two only.
            v = float(b)
            if v == 0 or not math.isfinite(v) or math.frexp(abs(v))[0] == 0.5:
                return a * v
            b = zel.tensor(v)
        A, B = torch.broadcast_tensors(normalised(limbs(a)), normalised(limbs(b)))
        # Dekker's split overflows above 2^996: large operands are scaled by 2^-128 (exactly) first.
        one = torch.ones_like(A[..., 0])
        sa = torch.where(A[..., 0].abs() > 2.0 ** 900, one * 2.0 ** -128, one)
        sb = torch.where(B[..., 0].abs() > 2.0 ** 900, one * 2.0 ** -128, one)
        A, B = A * sa[..., None], B * sb[..., None]
        p00, e00 = two_prod(A[..., 0], B[..., 0])
        p01, e01 = two_prod(A[..., 0], B[..., 1])
        p10, e10 = two_prod(A[..., 1], B[..., 0])
        rest = A[..., 0] * B[..., 2] + A[..., 1] * B[..., 1] + A[..., 2] * B[..., 0] \
            + A[..., 0] * B[..., 3] + A[..., 3] * B[..., 0]
        comps = distil([p00, p01, p10, e00, e01, e10, rest], 3)
        back = 1.0 / (sa * sb)
        with np.errstate(over="ignore"):
            comps = [c * back for c in comps]
        lead = torch.where(torch.isfinite(e00) & torch.isfinite(comps[0]), comps[0], torch.full_like(p00, math.inf))
        return pack(comps, lead, lambda: a * b)

    def sqrt(a):
        """sqrt to about 160 bits: the library's root and one Newton correction."""
        r = zel.sqrt(a)
        ra = approx(r)
        ok = np.isfinite(ra) & (ra > 0)
        rs = where(ok, r, 1.0)
        better = add(rs, div(sub(where(ok, a, 1.0), mul(rs, rs)), rs * 2.0))
        return better if ok.all() else where(ok, better, r)

    def div(a, b):
        """a / b to about 160 bits: the library's quotient and one correction with the exact residual."""
        a, b = as_t(a), as_t(b)
        q = a / b
        fin = np.isfinite(approx(q)) & (approx(b) != 0)
        r = np.nan_to_num(approx(sub(a, mul(b, q))), nan=0.0, posinf=0.0, neginf=0.0)
        better = add(q, zel.tensor(torch.tensor(np.asarray(r, dtype=np.float64))) / b)
        return better if fin.all() else where(fin, better, q)

    def horner(coeffs, y):
        """sum_k c_k y^k for 0-d limb constants c_k."""
        s = coeffs[-1]
        for c in reversed(coeffs[:-1]):
            s = add(mul(s, y), c)
        return s

    PI, LN2, LOG2E = const(K.PI), const(K.LN2), const(K.LOG2E)
    SQRT2, SQRT1_2 = const(K.SQRT2), const(K.SQRT1_2)
    HALF_LOG_2PI, LOG_PI = const(K.HALF_LOG_2PI), const(K.LOG_PI)
    TWO_OVER_SQRTPI, HALF_SQRTPI, SQRTPI = const(K.TWO_OVER_SQRTPI), const(K.HALF_SQRTPI), const(K.SQRTPI)
    ROOT = const(K.DIGAMMA_ROOT)
    LG1 = [zel.tensor(0.0)] + [const(c) for c in K.LGAMMA1_TAYLOR]
    LG2 = [zel.tensor(0.0)] + [const(c) for c in K.LGAMMA2_TAYLOR]
    PSI_ROOT = [zel.tensor(0.0)] + [const(c) for c in K.DIGAMMA_ROOT_TAYLOR]
    STIRLING = [fconst(c) for c in _STIRLING]
    PSI_ASYM = [fconst(c) for c in _PSI_ASYMPTOTIC]
    EM = [fconst(c) for c in _EM]
    I0S = [fconst(c) for c in _I0_SERIES]
    I1S = [fconst(c) for c in _I1_SERIES]
    I0A = [fconst(c) for c in _I0_ASYMPTOTIC]
    I1A = [fconst(c) for c in _I1_ASYMPTOTIC]
    ERFCXA = [fconst(c) for c in _ERFCX_ASYMPTOTIC]

    def exp(x):
        return zel.exp2(mul(x, LOG2E))

    def log(x):
        return mul(zel.log2(x), LN2)

    def sinpi(x):
        return mul(zel.sinc(x), mul(PI, x))

    def cospi(x):
        return sinpi(add(x, 0.5))

    def counts(n):
        return zel.tensor(torch.tensor(np.asarray(n, dtype=np.float64)))

    def subset(x, m):
        """The elements of x that the boolean array m selects, as a 1-d tensor."""
        return zel.from_limbs(limbs(x)[torch.tensor(np.asarray(m, dtype=bool))].contiguous())

    def put(out, m, part):
        """out with the elements m selects replaced by the 1-d tensor part, in order."""
        rows = limbs(out).clone()
        rows[torch.tensor(np.asarray(m, dtype=bool))] = limbs(part)
        return zel.from_limbs(rows)

    def patch(out, m, fn, *args):
        """out with fn(*args) in the elements m selects, computed on those elements only."""
        if not np.asarray(m).any():
            return out
        return put(out, m, fn(*[subset(a, m) for a in args]))

    def is_integer(x):
        return approx(zel.frac(x)) == 0

    # ------------------------------------------------------------ arguments

    def tensor_arg(op, x, name="input", pos=1):
        if not isinstance(x, Tensor):
            raise TypeError("%s(): argument '%s' (position %d) must be Tensor, not %s"
                            % (op, name, pos, type(x).__name__))
        return x.detach()

    def int_arg(op, v, name, pos):
        if isinstance(v, bool) or not isinstance(v, int):
            raise TypeError("%s(): argument '%s' (position %d) must be int, not %s"
                            % (op, name, pos, type(v).__name__))
        return v

    def tensor_or_number(op, x, name, pos):
        if isinstance(x, Tensor):
            return x.detach()
        if isinstance(x, (int, float)) and not isinstance(x, bool):
            return zel.tensor(float(x))
        raise TypeError("%s(): argument '%s' (position %d) must be Tensor or Number, not %s"
                        % (op, name, pos, type(x).__name__))

    def differentiable(name, forward, backward):
        """An autograd.Function around forward(x) whose backward is grad * backward(x, result)."""
        def fwd(ctx, x):
            out = forward(x)
            ctx.save_for_backward(x, out)
            return out

        def bwd(ctx, grad):
            x, out = ctx.saved_tensors
            return grad * backward(x, out)

        cls = type(name, (zel.autograd.Function,), {"forward": staticmethod(fwd), "backward": staticmethod(bwd)})
        return cls.apply

    def binary(raw, grad_b):
        """f(a, b) = raw(a, b), recorded when an operand requires grad, with the gradient in b only
        (PyTorch implements none in a for these)."""
        def fwd(ctx, a, b):
            out = raw(a.detach(), b.detach())
            ctx.save_for_backward(a, b, out)
            return out

        def bwd(ctx, grad):
            a, b, out = ctx.saved_tensors
            gb = grad * grad_b(a.detach(), b.detach(), out)
            if tuple(gb.shape) != tuple(b.shape):
                gb = gb.sum_to_size(*b.shape)
            return None, gb

        cls = type("BinaryBackward", (zel.autograd.Function,), {"forward": staticmethod(fwd),
                                                                 "backward": staticmethod(bwd)})

        def call(a, b):
            if a.requires_grad or b.requires_grad:
                return cls.apply(a, b)
            return raw(a.detach(), b.detach())
        return call

    # ------------------------------------------------------------ log-gamma

    def shift_up(u, target, count):
        """N = max(0, ceil(target - u)) per element (at most count): u + N and the product u (u+1) ... (u+N-1)."""
        n = np.clip(np.ceil(target - approx(u)), 0, count)
        prod = zel.ones(tuple(u.shape))
        for k in range(count):
            if not (n > k).any():
                break
            prod = where(n > k, mul(prod, add(u, float(k))), prod)
        return add(u, counts(n)), prod, n

    def lgamma_pos(u):
        """lgamma for u >= 1/2 (finite)."""
        ua = approx(u)
        y, prod, _ = shift_up(u, 30.0, 30)
        r = div(1.0, y)
        w = mul(r, r)
        tail = mul(horner(STIRLING, w), r)
        big = add(add(sub(mul(sub(y, 0.5), log(y)), y), HALF_LOG_2PI), tail)
        out = sub(big, log(prod))
        # Near the zeros at 1 and 2 the Taylor series keep the relative accuracy.
        for centre, coeffs in ((1.0, LG1), (2.0, LG2)):
            near = np.abs(ua - centre) < 1.0 / 32
            if near.any():
                out = patch(out, near, lambda v: horner(coeffs, sub(v, centre)), u)
        return out

    def lgamma_raw(x):
        xa = approx(x)
        with np.errstate(invalid="ignore"):
            neg = xa < 0
            small = (xa > 0) & (xa < 0.5)
        u = where(neg, sub(1.0, x), where(small, add(x, 1.0), x))
        u = where(np.isfinite(xa), u, 2.0)
        g = lgamma_pos(u)
        if small.any():
            g = where(small, sub(g, log(where(small, x, 1.0))), g)
        if neg.any():
            s = zel.abs(sinpi(where(neg & np.isfinite(xa), x, 0.5)))
            g = where(neg, sub(sub(LOG_PI, log(s)), g), g)
        pole = (xa <= 0) & np.isfinite(xa)
        if pole.any():
            pole &= is_integer(x)
        special = np.isinf(xa) | pole
        if special.any():
            g = where(special, math.inf, g)
        nan = np.isnan(xa)
        return where(nan, math.nan, g) if nan.any() else g

    # ------------------------------------------------------------ digamma and the Hurwitz zeta

    def digamma_pos(u):
        """digamma for u > 0 (finite)."""
        ua = approx(u)
        n = np.clip(np.ceil(30.0 - ua), 0, 30)
        acc = zel.zeros(tuple(u.shape))
        for k in range(30):
            if not (n > k).any():
                break
            acc = where(n > k, add(acc, div(1.0, add(u, float(k)))), acc)
        y = add(u, counts(n))
        r = div(1.0, y)
        w = mul(r, r)
        out = sub(add(sub(log(y), r * 0.5), mul(horner(PSI_ASYM, w), w)), acc)
        near = np.abs(ua - float(K.DIGAMMA_ROOT[0])) < 1.0 / 32
        if near.any():
            out = patch(out, near, lambda v: horner(PSI_ROOT, sub(v, ROOT)), u)
        return out

    def digamma_raw(x):
        xa = approx(x)
        with np.errstate(invalid="ignore"):
            neg = xa < 0
        fin = np.isfinite(xa)
        u = where(neg & fin, sub(1.0, x), where(fin & (xa > 0), x, 1.0))
        out = digamma_pos(u)
        if neg.any():
            xs = where(neg & fin, x, 0.5)
            out = where(neg, sub(out, mul(PI, div(cospi(xs), sinpi(xs)))), out)
        bad = neg & fin
        if bad.any():
            bad &= is_integer(x)
        zero = xa == 0
        out = where(zero, where(sign_bit(x), math.inf, -math.inf), out) if zero.any() else out
        nan = np.isnan(xa) | bad | (xa == -math.inf)
        out = where(nan, math.nan, out) if nan.any() else out
        return where(xa == math.inf, math.inf, out) if (xa == math.inf).any() else out

    def zeta_terms(sa, qa):
        """How many direct terms before Euler-Maclaurin: the fewest (from a short ladder up to
        _ZETA_CAP) that bring the last Bernoulli term below 2^-170 of the first direct term."""
        n0 = np.maximum(0.0, np.ceil(1.0 - qa))  # past the negative terms
        q1 = qa + n0
        m = 2 * len(_EM)
        # log2 of 2 (s)_(2M-1) / ((2 pi)^2M a^(2M-1) (s-1)) (q1/a)^s: the last tail term over q1^-s.
        lpoch = (torch.lgamma(torch.tensor(np.asarray(sa + m - 1.0))) - torch.lgamma(torch.tensor(np.asarray(sa)))).numpy() / math.log(2)
        choice = np.full(sa.shape, float(_ZETA_CAP))
        for c in reversed(_ZETA_LADDER):
            a = q1 + c
            with np.errstate(divide="ignore", invalid="ignore"):
                lead = 1 + lpoch - m * math.log2(2 * math.pi) - (m - 1) * np.log2(a) - np.log2(sa - 1) \
                    + sa * (np.log2(q1) - np.log2(a))
            choice = np.where((a >= 10) & (lead < -170), c, choice)
        return n0 + choice

    def zeta_raw(s, q):
        """Hurwitz zeta by direct terms up to a = q + N and Euler-Maclaurin from there."""
        shape = tuple(torch.broadcast_shapes(tuple(s.shape), tuple(q.shape)))
        s, q = s.expand(*shape) if tuple(s.shape) != shape else s, q.expand(*shape) if tuple(q.shape) != shape else q
        sa, qa = approx(s), approx(q)
        with np.errstate(invalid="ignore"):
            ok = np.isfinite(sa) & np.isfinite(qa) & (sa > 1)
        s_int = is_integer(s)
        q_pole = (qa <= 0) & is_integer(q) & ok
        with np.errstate(invalid="ignore"):
            ok &= ~q_pole & ((qa > 0) | s_int)
            n = np.where(ok, zeta_terms(np.where(ok, sa, 2.0), np.where(ok, qa, 1.0)), 0.0)
            # Far below zero the direct terms alone would be too many: NaN, a documented limit.
            ok &= n <= 2 * _ZETA_CAP
            n = np.where(ok, n, 0.0)
        ss = where(ok, s, 2.0)
        qs = where(ok, q, 1.0)
        neg_s = -ss
        acc = zel.zeros(shape)
        for k in range(int(n.max()) if n.size else 0):
            live = n > k
            acc = where(live, add(acc, zel.pow(where(live, add(qs, float(k)), 1.0), neg_s)), acc)
        a = add(qs, counts(n))
        a_s = zel.pow(a, neg_s)  # a^-s
        ra = div(1.0, a)
        ra2 = mul(ra, ra)
        fac = mul(ss, ra)  # s (s+1) ... (s+2j-2) / a^(2j-1)
        tail = mul(EM[0], fac)
        for j in range(1, len(EM)):
            fac = mul(mul(fac, mul(add(ss, float(2 * j - 1)), add(ss, float(2 * j)))), ra2)
            tail = add(tail, mul(EM[j], fac))
        out = add(acc, mul(a_s, add(add(div(a, sub(ss, 1.0)), 0.5), tail)))
        out = where(ok, out, math.nan)
        inf = (sa == 1) | q_pole
        return where(inf, math.inf, out) if inf.any() else out

    def polygamma_raw(n, x):
        if n == 0:
            return digamma_raw(x)
        xa = approx(x)
        out = zeta_raw(full(x.shape, n + 1), x)
        if n <= 170:
            out = mul(out, const(_fraction_limbs(math.factorial(n), 4)))
        else:
            # As PyTorch: n! is infinite in float64 beyond 170.
            za = approx(out)
            out = where(za == 0, math.nan, where(np.signbit(za), -math.inf, math.inf))
        if n % 2 == 0:
            out = -out
        if n == 1:
            special = {math.inf: 0.0, -math.inf: math.nan}
            for v, r in special.items():
                if (xa == v).any():
                    out = where(xa == v, r, out)
            pole = (xa <= 0) & np.isfinite(xa)
            if pole.any():
                out = where(pole & is_integer(x), math.inf, out)
        else:
            if (xa == -math.inf).any():
                out = where(xa == -math.inf, -math.inf if n % 2 == 0 else math.inf, out)
        return out

    # ------------------------------------------------------------ error function family

    def erf_solve(target, x0, use_erfc, steps=3):
        """Newton on erf(x) = target (or erfc(x) = target), from float64 guesses x0."""
        x = zel.tensor(torch.tensor(np.asarray(x0, dtype=np.float64)))
        for _ in range(steps):
            f = zel.special.erfc(x) if use_erfc else zel.special.erf(x)
            d = mul(TWO_OVER_SQRTPI, exp(-mul(x, x)))
            step = div(sub(f, target), d)
            x = add(x, step) if use_erfc else sub(x, step)
        return x

    def erfinv_raw(y):
        ya = approx(y)
        # 1 - |y| exactly: an element a little below 1 may have the float64 approximation 1.0.
        ra = approx(sub(1.0, zel.abs(where(np.isfinite(ya), y, 0.0))))
        with np.errstate(invalid="ignore"):
            inner = np.abs(ya) <= 0.5
            outer = (np.abs(ya) > 0.5) & (ra > 0)
        out = zel.zeros(tuple(y.shape))
        # Below 2^-82 erf is x 2/sqrt(pi) to 2^-165 (and far below, erf's own lowest limbs would
        # be subnormal).
        tiny = np.abs(ya) < 2.0 ** -82
        inner &= ~tiny
        if tiny.any():
            out = where(tiny, mul(where(tiny, y, 0.0), HALF_SQRTPI), out)
        if inner.any():
            g = torch.special.erfinv(torch.tensor(np.asarray(np.where(inner, ya, 0.0)))).numpy()
            out = where(inner, erf_solve(where(inner, y, 0.0), g, False), out)
        if outer.any():
            w = where(outer, sub(1.0, zel.abs(y)), 0.5)  # exact
            v = erfcinv_small(w)
            out = where(outer, where(ya < 0, -v, v), out)
        one = (ra == 0) & np.isfinite(ya)
        out = where(one, where(ya > 0, math.inf, -math.inf), out) if one.any() else out
        with np.errstate(invalid="ignore"):
            nan = np.isnan(ya) | (ra < 0) | np.isinf(ya)
        return where(nan, math.nan, out) if nan.any() else out

    def erfcinv_small(w):
        """x > 0 with erfc(x) = w, for 0 < w <= 1/2."""
        wa = approx(w)
        g = -torch.special.ndtri(torch.tensor(np.asarray(np.clip(wa, 1e-308, 0.5) / 2))).numpy() / math.sqrt(2)
        tiny = wa < 2.0 ** -800
        x = erf_solve(where(tiny, 0.25, w), np.where(tiny, 0.8, g), True)
        if tiny.any():
            # erfc's lowest limbs would be subnormal: Newton on log erfc(x) = log erfcx(x) - x^2 instead,
            # whose slope is -2 / (sqrt(pi) erfcx(x)).
            lw = log(where(tiny, w, 1e-300))
            t = zel.tensor(torch.tensor(np.asarray(np.where(tiny, g, 26.0), dtype=np.float64)))
            for _ in range(4):
                e = erfcx_raw(t)
                f = sub(sub(log(e), mul(t, t)), lw)
                t = add(t, div(mul(mul(f, e), SQRTPI), 2.0))
            x = where(tiny, t, x)
        return x

    def ndtr_raw(x):
        return zel.special.erfc(mul(-x, SQRT1_2)) * 0.5

    def ndtri_raw(p):
        pa = approx(p)
        qa = approx(sub(1.0, where(np.isfinite(pa), p, 0.0)))  # exact, as in erfinv
        with np.errstate(invalid="ignore"):
            inner = (pa >= 0.25) & (pa <= 0.75)
            low = (pa > 0) & (pa < 0.25)
            high = (pa > 0.75) & (qa > 0)
        out = zel.zeros(tuple(p.shape))
        if inner.any():
            y = where(inner, sub(p * 2.0, 1.0), 0.0)  # exact
            g = torch.special.erfinv(torch.tensor(np.asarray(np.where(inner, 2 * pa - 1, 0.0)))).numpy()
            out = where(inner, mul(erf_solve(y, g, False), SQRT2), out)
        for part, w, sign in ((low, lambda: p * 2.0, -1.0), (high, lambda: sub(1.0, p) * 2.0, 1.0)):
            if part.any():
                out = where(part, mul(erfcinv_small(where(part, w(), 0.5)), SQRT2) * sign, out)
        for m, r in ((pa == 0, -math.inf), ((qa == 0) & np.isfinite(pa), math.inf)):
            if m.any():
                out = where(m, r, out)
        with np.errstate(invalid="ignore"):
            nan = np.isnan(pa) | (pa < 0) | (qa < 0) | np.isinf(pa)
        return where(nan, math.nan, out) if nan.any() else out

    def erfcx_raw(x):
        xa = approx(x)
        with np.errstate(invalid="ignore"):
            large = xa >= 10
            direct = np.isfinite(xa) & ~large
        out = zel.zeros(tuple(x.shape))
        if direct.any():
            xs = where(direct, x, 0.0)
            out = where(direct, mul(exp(mul(xs, xs)), zel.special.erfc(xs)), out)
        if large.any():
            xs = where(large & np.isfinite(xa), x, 10.0)
            t = div(1.0, mul(mul(xs, xs), 2.0))
            out = where(large, div(horner(ERFCXA, t), mul(xs, SQRTPI)), out)
        out = where(xa == math.inf, 0.0, out) if (xa == math.inf).any() else out
        with np.errstate(invalid="ignore"):
            over = xa < -26.7
        out = where(over, math.inf, out) if over.any() else out
        return where(np.isnan(xa), math.nan, out) if np.isnan(xa).any() else out

    def log_ndtr_raw(x):
        xa = approx(x)
        with np.errstate(invalid="ignore"):
            low = xa < -1
        out = zel.zeros(tuple(x.shape))
        hi = ~low
        if hi.any():
            xs = where(hi & np.isfinite(xa), x, 0.0)
            out = where(hi, zel.log1p(-(zel.special.erfc(mul(xs, SQRT1_2)) * 0.5)), out)
        if low.any():
            xs = where(low & np.isfinite(xa), x, -2.0)
            z = mul(-xs, SQRT1_2)
            out = where(low, sub(log(erfcx_raw(z) * 0.5), mul(z, z)), out)
        out = where(xa == -math.inf, -math.inf, out) if (xa == -math.inf).any() else out
        out = where(xa == math.inf, -0.0, out) if (xa == math.inf).any() else out
        return where(np.isnan(xa), math.nan, out) if np.isnan(xa).any() else out

    # ------------------------------------------------------------ modified Bessel functions I0, I1

    def bessel_scaled(x, order):
        """(I_order(|x|) e^-|x|, I_order(|x|)) from the power series (|x| < 60) or the expansion at infinity."""
        xa = approx(x)
        ax = zel.abs(x)
        small = np.abs(xa) < 60
        big = ~small & np.isfinite(xa)
        plain = zel.zeros(tuple(x.shape))
        scaled = zel.zeros(tuple(x.shape))
        # Each branch on its own elements only: the series is 110 terms long.
        if small.any():
            xs = subset(ax, small)
            y = mul(xs, xs) * 0.25
            s = horner(I0S if order == 0 else I1S, y)
            if order == 1:
                s = s * 0.5
                s = mul(s, xs)
            plain = put(plain, small, s)
            scaled = put(scaled, small, mul(s, exp(-xs)))
        if big.any():
            xs = subset(ax, big)
            r = div(1.0, xs)
            s = div(horner(I0A if order == 0 else I1A, r), sqrt(mul(mul(xs, PI), 2.0)))
            scaled = put(scaled, big, s)
            fits = np.abs(xa[big]) < 710
            e = exp(where(fits, xs, 0.0))
            plain = put(plain, big, where(fits, mul(s, e), math.inf))
        return plain, scaled

    def i_raw(x, order, scaled):
        xa = approx(x)
        plain, sc = bessel_scaled(x, order)
        out = sc if scaled else plain
        if order == 1:
            out = where(np.signbit(xa), -out, out)  # i1(-0.0) is +0.0, as PyTorch
        inf = np.isinf(xa)
        if inf.any():
            # As PyTorch: the scaled functions vanish at +-inf, the plain ones are NaN there.
            out = where(inf, where(sign_bit(x) & (order == 1), -0.0, 0.0) if scaled else math.nan, out)
        return where(np.isnan(xa), math.nan, out) if np.isnan(xa).any() else out

    # ------------------------------------------------------------ Bessel functions J, Y, K and Airy's Ai

    # Four components (about 210 bits) where a series cancels: the exact partial products of the
    # leading three limbs and the products of the fourth order, as mul does with three.
    def fold4(x):
        """x (up to 8 limbs) as its leading 4 components."""
        return from_rows(torch.cat([torch.stack(distil(list(limbs(x).unbind(-1)), 4), -1),
                                    torch.zeros(tuple(x.shape) + (4,), dtype=torch.float64)], -1))

    def add4(a, b):
        a, b = as_t(a), as_t(b)
        A, B = torch.broadcast_tensors(limbs(a), limbs(b))
        comps = [A[..., i] for i in range(4)] + [B[..., i] for i in range(4)]
        return pack(distil(comps, 4), A[..., 0] + B[..., 0], lambda: a + b)

    def mul4(a, b):
        """a * b for operands of at most 4 normalised limbs, below 2^900 (the series' range)."""
        A, B = torch.broadcast_tensors(limbs(as_t(a)), limbs(as_t(b)))
        comps = []
        for i in range(3):
            for j in range(3 - i):
                comps += list(two_prod(A[..., i], B[..., j]))
        comps.append(A[..., 0] * B[..., 3] + A[..., 1] * B[..., 2] + A[..., 2] * B[..., 1] + A[..., 3] * B[..., 0])
        # One sweep each: partial products of normalised operands do not cancel.
        return pack(distil(comps, 4, sweeps=1), comps[0], lambda: a * b)

    def sqrt4(a):
        """sqrt of a positive finite a to about 210 bits: one Newton step with the residual in 4 components."""
        r = zel.sqrt(a)
        return add4(r, div(add4(a, -mul4(r, r)), r * 2.0))

    scaled_cache = {}

    def series4(fracs, y, count, four=True):
        """sum_{k<count} fracs[k] y^k in 4 components (3 where four is false: little cancellation), as a
        polynomial in y / 2^e (|y| <= 2^e): the coefficients fracs[k] 2^(ek) stay far above the
        subnormal range, where fracs[k] alone need not."""
        top = float(np.max(np.abs(approx(y)))) if tuple(y.shape) != (0,) else 0.0
        e = math.frexp(top)[1] if top > 0 else 0
        key = (id(fracs), e, count)
        if key not in scaled_cache:
            scale = Fraction(2) ** e
            scaled_cache[key] = [fconst(f * scale ** k) for k, f in enumerate(fracs[:count])]
        coeffs = scaled_cache[key]
        u = y * 2.0 ** -e
        s = coeffs[count - 1]
        plus, times = (add4, mul4) if four else (add, mul)
        for c in reversed(coeffs[:count - 1]):
            s = plus(times(s, u), c)
        return s

    def terms_needed(log2_coeff, log2_y, floor=-140.0):
        """The fewest terms of sum c_k y^k whose last term is below 2^floor (c_k decreasing fast)."""
        for k in range(len(log2_coeff)):
            if log2_coeff[k] + k * log2_y < floor and k > 2:
                return k + 1
        return len(log2_coeff)

    def horner_tail(coeffs, y, lead=2):
        """sum c_k y^k where |c_k y^k| falls fast (asymptotic series, |y| small): the terms past
        `lead` in the library's own ~106-bit product and sum (they are below 2^-14 of the first),
        the leading steps in limb arithmetic."""
        s = coeffs[-1]
        for c in reversed(coeffs[lead:-1]):
            s = s * y + c
        for c in reversed(coeffs[:min(lead, len(coeffs) - 1)]):
            s = add(mul(s, y), c)
        return s

    def asym_terms(l2, log2_y, floor=-135.0):
        """How many terms of sum c_k y^k until |c_k y^k| < 2^floor (log2 |c_k| given)."""
        for k in range(2, len(l2)):
            if l2[k] + k * log2_y < floor:
                return k
        return len(l2)

    def log2_of(fracs):
        return [math.log2(f.numerator) - math.log2(f.denominator) if f else -1e9 for f in map(abs, fracs)]

    L2_I0S, L2_I1S = log2_of(_I0_SERIES), log2_of(_I1_SERIES)
    L2_AIRY_F, L2_AIRY_G = log2_of(_AIRY_F), log2_of(_AIRY_G)
    L2_HANKEL_P = {nu: log2_of(a) for nu, a in _HANKEL_P.items()}
    L2_HANKEL_Q = {nu: log2_of(a) for nu, a in _HANKEL_Q.items()}
    L2_K_ASYM = {nu: log2_of(a) for nu, a in _K_ASYMPTOTIC.items()}
    L2_AIRY_UE, L2_AIRY_UO = log2_of(_AIRY_U_EVEN), log2_of(_AIRY_U_ODD)
    HANKEL_P = {nu: [fconst(c) for c in cs] for nu, cs in _HANKEL_P.items()}
    HANKEL_Q = {nu: [fconst(c) for c in cs] for nu, cs in _HANKEL_Q.items()}
    K_ASYM = {nu: [fconst(c) for c in cs] for nu, cs in _K_ASYMPTOTIC.items()}
    AIRY_UE = [fconst(c) for c in _AIRY_U_EVEN]
    AIRY_UO = [fconst(c) for c in _AIRY_U_ODD]
    EULER, INV_PI, TWO_OVER_PI = const(K.EULER), const(K.INV_PI), const(K.TWO_OVER_PI)
    SQRT_HALF_PI, INV_SQRTPI, INV_PI_SQRT3 = const(K.SQRT_HALF_PI), const(K.INV_SQRTPI), const(K.INV_PI_SQRT3)
    AIRY_AI0, AIRY_AIP0 = const(K.AIRY_AI0), const(K.AIRY_AIP0)
    TWO_THIRDS = fconst(Fraction(2, 3))
    K_NUS = (0, 1, Fraction(1, 3))
    TRAPEZOID = []
    for zlo, zhi, h in _K_TRAPEZOID_BANDS:
        nodes, weights = _trapezoid_nodes(zlo, h, K_NUS)
        TRAPEZOID.append((zlo, zhi, fconst(h), [fconst(c) for c in nodes],
                          {nu: [fconst(w) for w in ws] for nu, ws in weights.items()}))
    PI_HALF_EXACT = _pi_half_fraction()

    def sincos(x):
        """(sin x, cos x) to about 2^-155 relative: the library's accurate kernels, and above 2^240
        (where their reduction runs short) x - k pi/2 formed exactly from the limbs in Python."""
        xa = approx(x)
        huge = np.abs(xa) >= _TRIG_REDUCE_MIN
        if huge.any():
            huge &= np.isfinite(xa)
        with zel.function_precision("full"):
            xs = where(huge, 0.0, x) if huge.any() else x
            s, c = zel.sin(xs), zel.cos(xs)
            if not huge.any():
                return s, c
            rows, quads = [], []
            for row in limbs(subset(x, huge)).tolist():
                v = sum((Fraction(t) for t in row), Fraction(0))
                k = round(v / PI_HALF_EXACT)
                rows.append(_fraction_limbs(v - k * PI_HALF_EXACT, 4) + [0.0] * 4)
                quads.append(k % 4)
            r = zel.from_limbs(torch.tensor(rows, dtype=torch.float64))
            sr, cr = zel.sin(r), zel.cos(r)
        q = np.asarray(quads)
        # sin(r + q pi/2) and cos(r + q pi/2)
        s_h = where(q == 0, sr, where(q == 1, cr, where(q == 2, -sr, -cr)))
        c_h = where(q == 0, cr, where(q == 1, -sr, where(q == 2, -cr, sr)))
        return put(s, huge, s_h), put(c, huge, c_h)

    def log_half_plus_gamma(x):
        """log(x/2) + Euler's gamma for x > 0; below 2^-800 through x 2^512 (the log kernel does not
        see lower limbs that are subnormal)."""
        tiny = approx(x) < 2.0 ** -800
        if not tiny.any():
            return add(log(x * 0.5), EULER)
        return add(sub(log(where(tiny, x * 2.0 ** 511, x * 0.5)), where(tiny, mul(LN2, 512.0), 0.0)), EULER)

    def jy_series(x, order, want_y):
        """(J_order(x), Y_order(x) or None) by the power series, |x| < 44, x != 0 for Y."""
        x4 = fold4(x)
        y = mul4(x4, x4) * 0.25
        ya = float(np.max(np.abs(approx(y)))) if tuple(x.shape) != (0,) else 0.0
        l2y = math.log2(ya) if ya > 0 else -2000.0
        n = terms_needed(L2_I0S if order == 0 else L2_I1S, l2y)
        # Below 8 the terms exceed the result by less than 2^12: three components keep 145 bits.
        four = ya > 16
        s = series4(_I0_SERIES if order == 0 else _I1_SERIES, -y, n, four)
        j = s if order == 0 else mul4(s, x4 * 0.5)
        if not want_y:
            return j, None
        # 2/pi (log(x/2) + gamma) J plus the second series (DLMF 10.8.1)
        lg = log_half_plus_gamma(x)
        if order == 0:
            t = series4(_HK0_SERIES, -y, min(n + 4, len(_HK0_SERIES)), four)
            yv = mul(TWO_OVER_PI, add4(mul(lg, j), -t))
        else:
            t = series4(_HK1_SERIES, -y, min(n + 4, len(_HK1_SERIES)), four)
            yv = add4(mul(TWO_OVER_PI, add4(mul(lg, j), -div(1.0, x))), -mul(mul4(t, x4), INV_PI) * 0.5)
        return j, yv

    def jy_hankel(ax, order, n):
        """(J_order, Y_order) of ax >= 44 by Hankel's expansions, n terms of P and of Q (at most 40: at 44
        the last is below 2^-128)."""
        r = div(1.0, ax)
        w = mul(r, r)
        p = horner_tail(HANKEL_P[order][:n], w)
        q = mul(horner_tail(HANKEL_Q[order][:n], w), r)
        s, c = sincos(ax)
        amp = div(INV_SQRTPI, sqrt(ax))
        pq, qp = add(p, q), sub(p, q)
        # cos and sin of x - pi/4 - order pi/2 expanded in cos x and sin x
        if order == 0:
            j = add(mul(pq, c), mul(qp, s))
            yv = sub(mul(pq, s), mul(qp, c))
        else:
            j = sub(mul(pq, s), mul(qp, c))
            yv = -add(mul(pq, c), mul(qp, s))
        return mul(amp, j), mul(amp, yv)

    def bessel_jy(x, order, want_y):
        """J_order(x) (and Y_order for x > 0) on finite x, by branch: the series below 44, Hankel above;
        each in bands of |x| so that small arguments take fewer terms."""
        xa = approx(x)
        ax = np.abs(xa)
        j = zel.zeros(tuple(x.shape))
        yv = zel.zeros(tuple(x.shape)) if want_y else None
        for lo, hi in _JY_BANDS:
            band = (ax >= lo) & (ax < hi)
            if not band.any():
                continue
            xb = subset(x, band)
            if hi <= _BESSEL_SERIES_MAX:
                jb, yb = jy_series(xb, order, want_y)
            else:
                jb, yb = jy_hankel(zel.abs(xb), order, hankel_terms(order, lo))
                if order == 1:
                    jb = where(xa[band] < 0, -jb, jb)
            j = put(j, band, jb)
            if want_y:
                yv = put(yv, band, yb)
        return j, yv

    def hankel_terms(order, xmin):
        """How many terms of P and Q (in 1/x^2) put the first left out below 2^-135 from xmin on."""
        lw = -2 * math.log2(xmin)
        return max(asym_terms(L2_HANKEL_P[order], lw), asym_terms(L2_HANKEL_Q[order], lw))

    def k_scaled(z, nu):
        """K_nu(z) e^z for finite z > 0: series (orders 0, 1; below 1.5, in 3 components: its terms are
        below 2), trapezoidal rule, asymptotic."""
        za = approx(z)
        out = zel.zeros(tuple(z.shape))
        small = za < _K_SERIES_MAX
        if small.any():
            zs = subset(z, small)
            z4 = fold4(zs)
            y = mul4(z4, z4) * 0.25
            n = terms_needed(L2_I0S, math.log2(max(float(np.max(approx(y))), 2.0 ** -2000)))
            lg = log_half_plus_gamma(zs)
            if nu == 0:
                k = add4(-mul(lg, series4(_I0_SERIES, y, n, False)), series4(_HK0_SERIES, y, n + 4, False))
            else:
                i1 = mul4(series4(_I1_SERIES, y, n, False), z4 * 0.5)
                k = add4(add4(div(1.0, zs), mul(lg, i1)), -mul4(series4(_HK1_SERIES, y, n + 4, False), z4 * 0.25))
            out = put(out, small, mul(k, exp(zs)))
        for zlo, zhi, h, nodes, weights in TRAPEZOID:
            band = (za >= zlo) & (za < zhi)
            if not band.any():
                continue
            zb = subset(z, band)
            acc = full(zb.shape, 0.5)
            for c, w in zip(nodes, weights[nu]):
                e = zel.exp2(-mul(zb, c))
                acc = add(acc, e if nu == 0 else mul(e, w))
            out = put(out, band, mul(acc, h))
        big = za >= _BESSEL_SERIES_MAX
        if big.any():
            zb = subset(z, big)
            r = div(1.0, zb)
            n = asym_terms(L2_K_ASYM[nu], -math.log2(float(np.min(za[big]))))
            out = put(out, big, mul(horner_tail(K_ASYM[nu][:n], r, 3), div(SQRT_HALF_PI, sqrt(zb))))
        return out

    def k_raw(x, nu, scaled):
        xa = approx(x)
        with np.errstate(invalid="ignore"):
            ok = np.isfinite(xa) & (xa > 0)
        out = zel.zeros(tuple(x.shape))
        if ok.any():
            xs = subset(x, ok)
            ks = k_scaled(xs, nu)
            if not scaled:
                # exp(-x) underflows past 745: K is 0 there, as in PyTorch
                ks = mul(ks, exp(-where(approx(xs) < 760, xs, 760.0)))
            out = put(out, ok, ks)
        with np.errstate(invalid="ignore"):
            rules = ((xa == 0, math.inf), (xa == math.inf, 0.0), (np.isnan(xa) | (xa < 0), math.nan))
        return edges(out, rules)

    def edges(out, rules):
        for m, v in rules:
            if m.any():
                out = where(m, v, out)
        return out

    def j_raw(x, order):
        xa = approx(x)
        fin = np.isfinite(xa)
        out = bessel_jy(subset(x, fin), order, False)[0] if fin.any() else None
        out = put(zel.zeros(tuple(x.shape)), fin, out) if out is not None else zel.zeros(tuple(x.shape))
        if order == 1 and (xa == 0).any():
            out = where(xa == 0, x, out)  # the sign of a zero, as PyTorch
        # As PyTorch: NaN at +-inf
        return edges(out, ((~fin, math.nan),))

    def y_raw(x, order):
        xa = approx(x)
        with np.errstate(invalid="ignore"):
            ok = np.isfinite(xa) & (xa > 0)
            rules = ((xa == 0, -math.inf), (~ok & (xa != 0), math.nan))
        out = zel.zeros(tuple(x.shape))
        if ok.any():
            out = put(out, ok, bessel_jy(subset(x, ok), order, True)[1])
        return edges(out, rules)

    def spherical_j0_raw(x):
        xa = approx(x)
        # sin x / x is 1 within 2^-140 below 2^-70 (where x may be subnormal)
        fin = np.isfinite(xa) & (np.abs(xa) >= 2.0 ** -70)
        out = zel.ones(tuple(x.shape))
        if fin.any():
            xs = subset(x, fin)
            out = put(out, fin, div(sincos(xs)[0], xs))
        return edges(out, ((np.isinf(xa), 0.0), (np.isnan(xa), math.nan)))

    def airy_raw(x):
        xa = approx(x)
        lo, hi = _AIRY_SERIES
        with np.errstate(invalid="ignore", over="ignore"):
            series = (xa > lo) & (xa <= hi)
            pos = (xa > hi) & (xa <= 103.892)  # PyTorch's 0 beyond
            # Where 2 |x|^(3/2) overflows PyTorch's zeta is infinite and its result NaN
            neg = (xa <= lo) & np.isfinite(2.0 * np.abs(xa) * np.sqrt(np.abs(xa)))
        out = zel.zeros(tuple(x.shape))
        # Above -8 the terms exceed the result by less than 2^25: three components keep 130 bits.
        for part, four in ((series & (xa <= -8), True), (series & (xa > -8), False)):
            if not part.any():
                continue
            xs = fold4(subset(x, part))
            t = mul4(mul4(xs, xs), xs)
            l2t = math.log2(max(float(np.max(np.abs(approx(t)))), 2.0 ** -2000))
            f = series4(_AIRY_F, t, terms_needed(L2_AIRY_F, l2t), four)
            g = mul4(series4(_AIRY_G, t, terms_needed(L2_AIRY_G, l2t), four), xs)
            out = put(out, part, add4(mul4(AIRY_AI0, f), -mul4(AIRY_AIP0, g)))
        if pos.any():
            xs = subset(x, pos)
            rt = sqrt(xs)
            zeta = mul(mul(xs, rt), TWO_THIRDS)
            # Ai(x) = sqrt(x/3) K_1/3(zeta) / pi (DLMF 9.6.1)
            out = put(out, pos, mul(mul(mul(k_scaled(zeta, Fraction(1, 3)), exp(-zeta)), rt), INV_PI_SQRT3))
        if neg.any():
            z = fold4(-subset(x, neg))
            rt = sqrt4(z)
            # its absolute error is the phase's; scaled by 2^-64 as Dekker's split overflows near 2^1024
            zeta = mul4(mul4(z * 2.0 ** -64, rt), TWO_THIRDS) * 2.0 ** 64
            r = div(1.0, zeta)
            w = mul(r, r)
            lw = math.log2(float(np.max(approx(w))))
            ue = horner_tail(AIRY_UE[:asym_terms(L2_AIRY_UE, lw)], w)
            uo = mul(horner_tail(AIRY_UO[:asym_terms(L2_AIRY_UO, lw)], w), r)
            s, c = sincos(zeta)
            # Ai(-z) = (cos(zeta - pi/4) Ue + sin(zeta - pi/4) Uo) / (sqrt(pi) z^(1/4)) (DLMF 9.7.9)
            v = add(mul(sub(ue, uo), c), mul(add(ue, uo), s))
            out = put(out, neg, div(mul(v, mul(INV_SQRTPI, SQRT1_2)), sqrt(rt)))
        with np.errstate(invalid="ignore"):
            zero = (xa > 103.892) & np.isfinite(xa)
        return edges(out, ((~(series | pos | neg | zero), math.nan),))

    # ------------------------------------------------------------ public functions

    lgamma_fn = differentiable("LgammaBackward", lgamma_raw, lambda x, out: digamma(x))

    def lgamma(input):
        """Natural logarithm of the absolute value of the gamma function, to 2^-100 relative.

        Stirling's series after shifting the argument past 20, Taylor series at
        the zeros 1 and 2, the reflection formula below zero. inf at the poles
        (non-positive integers) and at +-inf, as PyTorch."""
        x = tensor_arg("lgamma", input)
        return lgamma_fn(input) if input.requires_grad else lgamma_raw(x)

    digamma_fn = differentiable("DigammaBackward", digamma_raw, lambda x, out: polygamma(1, x))

    def digamma(input):
        """The logarithmic derivative of the gamma function, to 2^-100 relative.

        The asymptotic series after shifting past 20, a Taylor series at the
        positive zero 1.4616..., the reflection formula below zero. -inf at +0,
        +inf at -0, NaN at the negative integers, as PyTorch."""
        x = tensor_arg("digamma", input)
        return digamma_fn(input) if input.requires_grad else digamma_raw(x)

    def polygamma(n, input):
        """The n-th derivative of digamma: (-1)^(n+1) n! zeta(n + 1, x) for n >= 1."""
        int_arg("polygamma", n, "n", 1)
        x = tensor_arg("polygamma", input, pos=2)
        if n < 0:
            raise RuntimeError("polygamma(n, x) does not support negative n.")
        if n == 0:
            return digamma(input)
        if not input.requires_grad:
            return polygamma_raw(n, x)
        return differentiable("PolygammaBackward", lambda t: polygamma_raw(n, t),
                              lambda t, out: polygamma(n + 1, t))(input)

    def mvlgamma_raw(x, p):
        shape = tuple(x.shape)
        # All p terms at once, in a trailing axis, then summed pairwise with the exact addition.
        halves = zel.tensor(torch.arange(p, dtype=torch.float64) * -0.5)
        terms = limbs(lgamma_raw(add(x.reshape(shape + (1,)), halves)))
        while terms.shape[-2] > 1:
            h = terms.shape[-2] // 2
            pair = add(zel.from_limbs(terms[..., :h, :].contiguous()),
                       zel.from_limbs(terms[..., h:2 * h, :].contiguous()))
            terms = torch.cat([limbs(pair), terms[..., 2 * h:, :]], -2)
        return add(mul(LOG_PI, p * (p - 1) / 4.0), zel.from_limbs(terms[..., 0, :].contiguous()))

    def mvlgamma_slope(x, p):
        """sum_j digamma(x - j/2), recorded, so that second derivatives follow."""
        halves = zel.tensor(torch.arange(p, dtype=torch.float64) * -0.5)
        return zel.digamma(x.reshape(tuple(x.shape) + (1,)) + halves).sum(-1)

    def mvlgamma(input, p):
        """Multivariate log-gamma of dimension p: p(p-1)/4 log(pi) + sum_j lgamma(x - j/2)."""
        tensor_arg("mvlgamma", input)
        int_arg("mvlgamma", p, "p", 2)
        if p < 1:
            raise RuntimeError("p has to be greater than or equal to 1")
        count = max(1, int(np.prod(tuple(input.shape), dtype=np.int64)))
        if count * p > 2 ** 16:
            raise RuntimeError("mvlgamma(): p = %d with %d elements needs %d log-gamma values, more than 2^16"
                               % (p, count, count * p))
        if input.requires_grad:
            return differentiable("MvlgammaBackward", lambda x: mvlgamma_raw(x.detach(), p),
                                  lambda x, out: mvlgamma_slope(x, p))(input)
        return mvlgamma_raw(input.detach(), p)

    def multigammaln(input, p):
        """torch.special.multigammaln: mvlgamma(input, p)."""
        return mvlgamma(input, p)

    # d/dq zeta(s, q) = -s zeta(s + 1, q); PyTorch has no derivative in s.
    zeta_recorded = binary(zeta_raw, lambda s, q, out: -(s * zeta_raw(add(s, 1.0), q)))

    def zeta(input, other):
        """Hurwitz zeta function sum_k (other + k)^-input, to 2^-100 relative away from its zeros.

        Direct terms up to other + N >= max(25, input + 48), then Euler-Maclaurin
        with 24 Bernoulli terms. inf at input == 1 and at non-positive integer
        other, NaN for input < 1 and for a negative other with non-integer
        input, as PyTorch."""
        if not isinstance(input, Tensor) and not isinstance(other, Tensor):
            raise TypeError("special_zeta() received an invalid combination of arguments - got (%s, %s)"
                            % (type(input).__name__, type(other).__name__))
        s = input if isinstance(input, Tensor) else tensor_or_number("special_zeta", input, "input", 1)
        q = other if isinstance(other, Tensor) else tensor_or_number("special_zeta", other, "other", 2)
        return zeta_recorded(s, q)

    erfinv_fn = differentiable("ErfinvBackward", erfinv_raw,
                               lambda x, out: mul(HALF_SQRTPI, exp(mul(out, out))))

    def erfinv(input):
        """Inverse error function, to 2^-100 relative: Newton steps on the accurate erf (|y| <= 1/2)
        or erfc of 1 - |y| (exact) from PyTorch's float64 value. +-inf at +-1, NaN beyond."""
        x = tensor_arg("erfinv", input)
        return erfinv_fn(input) if input.requires_grad else erfinv_raw(x)

    def ndtr(input):
        """Standard normal distribution function: erfc(-x / sqrt 2) / 2."""
        x = tensor_arg("special_ndtr", input)
        if input.requires_grad:
            return zel.special.erfc(-input * SQRT1_2) * 0.5
        return ndtr_raw(x)

    def ndtri(input):
        """Inverse of ndtr: sqrt 2 erfinv(2p - 1), solved on erfc of 2p (or 2(1-p)) in the tails."""
        x = tensor_arg("special_ndtri", input)
        return ndtri_fn(input) if input.requires_grad else ndtri_raw(x)

    ndtri_fn = differentiable("NdtriBackward", ndtri_raw,
                              lambda x, out: mul(mul(SQRTPI, SQRT2), exp(mul(out, out) * 0.5)))

    def log_ndtr(input):
        """log(ndtr(x)): log1p(-erfc(x / sqrt 2) / 2) above -1, log(erfcx(-x / sqrt 2) / 2) - x^2 / 2 below."""
        x = tensor_arg("special_log_ndtr", input)
        return log_ndtr_fn(input) if input.requires_grad else log_ndtr_raw(x)

    log_ndtr_fn = differentiable("LogNdtrBackward", log_ndtr_raw,
                                 lambda x, out: div(const(K.INV_SQRT_2PI), exp(out + mul(x, x) * 0.5)))

    def erfcx(input):
        """Scaled complementary error function exp(x^2) erfc(x); the asymptotic series from x = 10."""
        x = tensor_arg("special_erfcx", input)
        return erfcx_fn(input) if input.requires_grad else erfcx_raw(x)

    erfcx_fn = differentiable("ErfcxBackward", erfcx_raw,
                              lambda x, out: mul(mul(x, out), 2.0) - TWO_OVER_SQRTPI)

    i0_fn = differentiable("I0Backward", lambda x: i_raw(x, 0, False), lambda x, out: i1(x))

    def i0(input):
        """Modified Bessel function of the first kind, order 0: its power series below 60, the
        expansion at infinity above. As PyTorch, NaN at +-inf."""
        x = tensor_arg("i0", input)
        return i0_fn(input) if input.requires_grad else i_raw(x, 0, False)

    i0e_fn = differentiable("I0eBackward", lambda x: i_raw(x, 0, True),
                            lambda x, out: i1e(x) - zel.sign(x) * out)

    def i0e(input):
        """Exponentially scaled I0: exp(-|x|) i0(x)."""
        x = tensor_arg("special_i0e", input)
        return i0e_fn(input) if input.requires_grad else i_raw(x, 0, True)

    i1_fn = differentiable("I1Backward", lambda x: i_raw(x, 1, False),
                           lambda x, out: where(approx(x) == 0, 0.5, i0(x) - div(out, where(approx(x) == 0, 1.0, x))))

    def i1(input):
        """Modified Bessel function of the first kind, order 1."""
        x = tensor_arg("special_i1", input)
        return i1_fn(input) if input.requires_grad else i_raw(x, 1, False)

    i1e_fn = differentiable("I1eBackward", lambda x: i_raw(x, 1, True),
                            lambda x, out: where(approx(x) == 0, 0.5, i0e(x) - mul(zel.sign(x), out)
                                                 - div(out, where(approx(x) == 0, 1.0, x))))

    def i1e(input):
        """Exponentially scaled I1: exp(-|x|) i1(x)."""
        x = tensor_arg("special_i1e", input)
        return i1e_fn(input) if input.requires_grad else i_raw(x, 1, True)

    def entr(input):
        """Elementwise entropy -x log x: 0 at 0, -inf below 0, as PyTorch."""
        x = tensor_arg("special_entr", input)
        xa = approx(x)
        with np.errstate(invalid="ignore"):
            pos = xa > 0
        xs = where(pos, input, 1.0)
        out = -mul(xs, log(xs)) if not input.requires_grad else -(xs * zel.log2(xs) * LN2)
        out = where(pos, out, where(xa == 0, 0.0, -math.inf))
        return where(np.isnan(xa), math.nan, out) if np.isnan(xa).any() else out

    def xlog1py(input, other):
        """x * log1p(y), 0 where x == 0 unless y is NaN."""
        if not isinstance(input, Tensor) and not isinstance(other, Tensor):
            raise TypeError("special_xlog1py() received an invalid combination of arguments - got (%s, %s)"
                            % (type(input).__name__, type(other).__name__))
        x = input if isinstance(input, Tensor) else tensor_or_number("special_xlog1py", input, "input", 1)
        y = other if isinstance(other, Tensor) else tensor_or_number("special_xlog1py", other, "other", 2)
        out = x * zel.log1p(y) if (x.requires_grad or y.requires_grad) else mul(x, zel.log1p(y))
        shape = tuple(out.shape)
        xa = np.broadcast_to(approx(x), shape)
        ya = np.broadcast_to(approx(y), shape)
        zero = (xa == 0) & ~np.isnan(ya)
        return where(zero, 0.0, out) if zero.any() else out

    # ------------------------------------------------------------ regularized incomplete gamma

    ATANH_TAIL = [fconst(c) for c in _ATANH_TAIL]

    def phi(d):
        """d - log(1 + d) for d > -1 without cancellation: d^2 / (2 + d) - 2 (s^3/3 + s^5/5 + ...),
        s = d / (2 + d), for |d| <= 1/2 (at most 2^-116 left out)."""
        da = approx(d)
        near = np.abs(da) <= 0.5
        dn = where(near, d, 0.25)
        two_d = add(dn, 2.0)
        s_ = div(dn, two_d)
        series = sub(div(mul(dn, dn), two_d), mul(mul(mul(s_, mul(s_, s_)), horner(ATANH_TAIL, mul(s_, s_))), 2.0))
        if near.all():
            return series
        far = where(near, 1.0, d)
        return where(near, series, sub(far, zel.log1p(far)))

    def lower_series(a, x, eps):
        """sum_n x^n / (a (a+1) ... (a+n)) (x^a e^-x / Gamma(a) times it is P(a, x)), _GAMMAINC_BLOCK
        terms at a time: the block's ratios x / (a + n + j) in one quotient, their running products by
        doubling (log2 of the block's multiplications deep), the block summed by a tree of exact additions."""
        shape = tuple(a.shape)
        m = max(1, int(np.prod(shape)))
        a2, x2 = a.reshape(m, 1), x.reshape(m, 1)
        offsets = zel.arange(1.0, _GAMMAINC_BLOCK + 1.0).reshape(1, _GAMMAINC_BLOCK)
        term = div(1.0, a2)
        total = term
        n = 0
        while n < _GAMMAINC_TERMS:
            ratios = div(x2, add(a2, add(offsets, float(n))))
            k = 1
            while k < _GAMMAINC_BLOCK:  # Hillis-Steele running products
                ratios = zel.cat([ratios[:, :k], mul(ratios[:, k:], ratios[:, :-k])], dim=1)
                k *= 2
            terms = mul(term, ratios)
            block = terms
            while block.shape[1] > 1:  # a tree of exact additions
                half = block.shape[1] // 2
                block = add(block[:, :half], block[:, half:])
            total = add(total, block)
            term = terms[:, -1:]
            n += _GAMMAINC_BLOCK
            if (np.abs(approx(term)) <= np.abs(approx(total)) * eps).all():
                break
        return total.reshape(*shape) if shape else total.reshape(())

    def incomplete_gamma(op, input, other, upper):
        """P(a, x) by its series where x < a + 1 (a + 4 sqrt(a) from a = 1e4 on), Q(a, x) by Legendre's
        continued fraction (modified Lentz) elsewhere, the other as 1 minus it; both stop when every
        element has converged."""
        if not isinstance(input, Tensor) and not isinstance(other, Tensor):
            raise TypeError("%s() received an invalid combination of arguments - got (%s, %s)"
                            % (op, type(input).__name__, type(other).__name__))
        a = tensor_or_number(op, input, "input", 1)
        x = tensor_or_number(op, other, "other", 2)
        shape = tuple(torch.broadcast_shapes(tuple(a.shape), tuple(x.shape)))
        a = a.expand(*shape) if tuple(a.shape) != shape else a
        x = x.expand(*shape) if tuple(x.shape) != shape else x
        aa, xa = approx(a), approx(x)
        with np.errstate(invalid="ignore"):
            ok = np.isfinite(aa) & np.isfinite(xa) & (aa > 0) & (xa > 0)
            # Past a = 1e4 the series also takes x up to 4 sqrt(a) above a, where the continued
            # fraction would need about sqrt(a) steps: 1 - P then loses at most 15 bits of Q.
            reach = np.where(aa >= 1e4, 4.0 * np.sqrt(np.abs(aa)), 0.0)
            series = ok & (xa < aa + 1 + reach)
            # Beyond the term budget: PyTorch's float64 values, with a warning.
            beyond = ok & ((16.0 * np.sqrt(np.abs(aa)) + np.maximum(xa - aa, 0.0)) > _GAMMAINC_TERMS)
            series &= ~beyond
            frac = ok & ~series & ~beyond
            ok &= ~beyond
        a_s, x_s = where(ok, a, 1.0), where(ok, x, 1.0)
        # x^a e^-x / Gamma(a), through logarithms; from a = 30 on as
        # exp(log(a / 2 pi) / 2 - a phi(x / a) - S(a)), phi(l) = l - 1 - log l and S
        # Stirling's series, so that a log x and lgamma(a) never cancel.
        pre = exp(sub(sub(mul(a_s, log(x_s)), x_s), lgamma_raw(a_s)))
        big = ok & (aa >= 30)
        if big.any():
            ab, xb = where(big, a_s, 30.0), where(big, x_s, 30.0)
            r = div(1.0, ab)
            stirling = mul(horner(STIRLING, mul(r, r)), r)
            log_pre = sub(sub(sub(mul(log(ab), 0.5), HALF_LOG_2PI), mul(ab, phi(div(sub(xb, ab), ab)))), stirling)
            pre = where(big, exp(log_pre), pre)
        p_out = zel.zeros(shape)
        q_out = zel.zeros(shape)
        eps = 2.0 ** -150  # above the ~2^-160 rounding of each step, so the loops do stop
        if series.any():
            p_ser = mul(lower_series(where(series, a_s, 1.0), where(series, x_s, 0.5), eps), pre)
            p_out = where(series, p_ser, p_out)
            q_out = where(series, sub(1.0, p_ser), q_out)
        if frac.any():
            af = where(frac, a_s, 0.5)
            xf = where(frac, x_s, 2.0)
            b = add(sub(xf, af), 1.0)
            c = full(shape, 2.0 ** 600)
            d = div(1.0, b)
            h = d
            for i in range(1, _GAMMAINC_STEPS + 1):
                an = mul(sub(af, float(i)), float(i))  # -i (i - a)
                b = add(b, 2.0)
                d = add(mul(an, d), b)
                c = add(b, div(an, c))
                d = div(1.0, d)
                step = mul(d, c)
                h = mul(h, step)
                if i % 8 == 0 and (np.abs(approx(sub(step, 1.0))) <= eps).all():
                    break
            q_cf = mul(h, pre)
            q_out = where(frac, q_cf, q_out)
            p_out = where(frac, sub(1.0, q_cf), p_out)
        out = q_out if upper else p_out
        if beyond.any():
            warnings.warn("%s: float64 values where a exceeds about 2.7e8 (beyond the series' term budget)" % op,
                          stacklevel=3)
            f64 = (torch.special.gammaincc if upper else torch.special.gammainc)(
                torch.as_tensor(np.where(beyond, aa, 1.0)), torch.as_tensor(np.where(beyond, xa, 1.0)))
            out = where(beyond, zel.tensor(f64), out)
        # PyTorch's edges: P(0, x > 0) = 1, P(a > 0, 0) = 0, P(inf, x) = 0, P(a, inf) = 1, NaN elsewhere.
        with np.errstate(invalid="ignore"):
            one = ((aa == 0) & (xa > 0)) | (np.isinf(xa) & (xa > 0) & np.isfinite(aa) & (aa >= 0))
            zero = ((xa == 0) & (aa > 0)) | (np.isinf(aa) & (aa > 0) & np.isfinite(xa) & (xa >= 0))
            nan = ~(ok | beyond | one | zero)
        for m, v in ((one, 0.0 if upper else 1.0), (zero, 1.0 if upper else 0.0), (nan, math.nan)):
            if m.any():
                out = where(m, v, out)
        return out

    def incomplete_gamma_recorded(op, input, other, upper):
        if not isinstance(input, Tensor) and not isinstance(other, Tensor):
            incomplete_gamma(op, input, other, upper)  # raises PyTorch's TypeError
        a = input if isinstance(input, Tensor) else tensor_or_number(op, input, "input", 1)
        x = other if isinstance(other, Tensor) else tensor_or_number(op, other, "other", 2)
        return (gammaincc_recorded if upper else gammainc_recorded)(a, x)

    def incomplete_gamma_slope(a, x, out):
        # dP/dx = x^(a-1) e^-x / Gamma(a) = -dQ/dx; PyTorch has no derivative in a.
        return exp(sub(sub(mul(sub(a, 1.0), log(x)), x), lgamma_raw(a)))

    gammainc_recorded = binary(lambda a, x: incomplete_gamma("special_gammainc", a, x, False), incomplete_gamma_slope)
    gammaincc_recorded = binary(lambda a, x: incomplete_gamma("special_gammaincc", a, x, True),
                                lambda a, x, out: -incomplete_gamma_slope(a, x, out))

    def gammainc(input, other):
        """Regularized lower incomplete gamma function P(a, x) = gamma(a, x) / Gamma(a)."""
        return incomplete_gamma_recorded("special_gammainc", input, other, False)

    def gammaincc(input, other):
        """Regularized upper incomplete gamma function Q(a, x) = Gamma(a, x) / Gamma(a)."""
        return incomplete_gamma_recorded("special_gammaincc", input, other, True)

    # ------------------------------------------------------------ orthogonal polynomials

    def polynomial(op, kind, input, n):
        """PyTorch's orthogonal polynomials by their three-term recurrences, n truncated to an integer
        per element (negative n gives 0), with PyTorch's values at x = +-1."""
        if not isinstance(input, Tensor) and not isinstance(n, Tensor):
            raise TypeError("%s() received an invalid combination of arguments - got (%s, %s)"
                            % (op, type(input).__name__, type(n).__name__))
        x = tensor_or_number(op, input, "input", 1)
        nt = tensor_or_number(op, n, "n", 2)
        shape = tuple(torch.broadcast_shapes(tuple(x.shape), tuple(nt.shape)))
        x = x.expand(*shape) if tuple(x.shape) != shape else x
        na = np.broadcast_to(approx(nt), shape)
        with np.errstate(invalid="ignore"):
            k = np.where(np.isfinite(na), np.trunc(np.clip(na, -1, 2.0 ** 62)), -1).astype(np.int64)
        if k.size and k.max() > _POLY_CAP:
            raise RuntimeError("%s(): n = %d needs more than %d recurrence steps" % (op, int(k.max()), _POLY_CAP))
        n_tracked = isinstance(n, Tensor) and n.requires_grad
        if (isinstance(input, Tensor) and input.requires_grad) or n_tracked:
            xin = input if isinstance(input, Tensor) else x
            return PolynomialFn.apply(xin if tuple(xin.shape) == shape else xin.expand(*shape), kind, k,
                                      n if n_tracked else None)
        return polynomial_values(kind, x.detach(), k)[0]

    def polynomial_values(kind, x, k, derivative=False):
        """(P_k(x), P_k'(x) or None): the recurrence and, when asked, its derivative alongside."""
        shape = tuple(x.shape)
        xa = approx(x)
        two_x = x * 2.0
        p0 = zel.ones(shape)
        first = {"t": x, "u": two_x, "v": sub(two_x, 1.0), "w": add(two_x, 1.0), "h": two_x, "he": x,
                 "l": sub(1.0, x), "p": x}[kind]
        out = where(k == 0, p0, where(k == 1, first, 0.0))
        p, q = p0, first
        dp, dq = zel.zeros(shape), full(shape, {"t": 1, "u": 2, "v": 2, "w": 2, "h": 2, "he": 1, "l": -1, "p": 1}[kind])
        dout = where(k == 1, dq, 0.0) if derivative else None
        for j in range(1, int(k.max()) if k.size else 0):
            # q = P_j, p = P_(j-1)  ->  P_(j+1), and the same for the derivatives
            if kind in ("t", "u", "v", "w"):
                r = sub(mul(two_x, q), p)
                dr = sub(add(q * 2.0, mul(two_x, dq)), dp) if derivative else None
            elif kind == "h":
                r = sub(mul(two_x, q), mul(p, float(2 * j)))
                dr = sub(add(q * 2.0, mul(two_x, dq)), mul(dp, float(2 * j))) if derivative else None
            elif kind == "he":
                r = sub(mul(x, q), mul(p, float(j)))
                dr = sub(add(q, mul(x, dq)), mul(dp, float(j))) if derivative else None
            elif kind == "l":
                r = div(sub(mul(sub(float(2 * j + 1), x), q), mul(p, float(j))), float(j + 1))
                dr = div(sub(sub(mul(sub(float(2 * j + 1), x), dq), q), mul(dp, float(j))), float(j + 1)) \
                    if derivative else None
            else:
                r = div(sub(mul(mul(x, float(2 * j + 1)), q), mul(p, float(j))), float(j + 1))
                dr = div(sub(mul(add(q, mul(x, dq)), float(2 * j + 1)), mul(dp, float(j))), float(j + 1)) \
                    if derivative else None
            out = where(k == j + 1, r, out)
            p, q = q, r
            if derivative:
                dout = where(k == j + 1, dr, dout)
                dp, dq = dq, dr
        if kind in ("t", "u", "v", "w", "p"):
            # PyTorch's values at x = +-1 (exact integers)
            even = k % 2 == 0
            at_one = {"t": (1.0, np.where(even, 1.0, -1.0)), "p": (1.0, np.where(even, 1.0, -1.0)),
                      "u": (k + 1.0, np.where(even, k + 1.0, -(k + 1.0))),
                      "v": (1.0, np.where(even, 2.0 * k + 1.0, -(2.0 * k + 1.0))),
                      "w": (2.0 * k + 1.0, np.where(even, 1.0, -1.0))}[kind]
            vals = np.where(xa > 0, np.broadcast_to(at_one[0], shape), at_one[1])
            edge = (np.abs(xa) == 1) & (k >= 0)
            if edge.any():
                out = where(edge, counts(np.where(edge, vals, 0.0)), out)
        nan = np.isnan(xa) & (k >= 1)
        return (where(nan, math.nan, out) if nan.any() else out), dout

    class PolynomialFn(zel.autograd.Function):
        @staticmethod
        def forward(ctx, x, kind, k, n):
            out, dout = polynomial_values(kind, x.detach(), k, derivative=True)
            ctx.save_for_backward(dout)
            return out

        @staticmethod
        def backward(ctx, grad):
            # n is an integer degree: no gradient (PyTorch implements none either).
            dout, = ctx.saved_tensors
            return grad * dout, None, None, None

    def make_polynomial(name, kind, what):
        def fn(input, n):
            return polynomial("special_" + name, kind, input, n)
        fn.__name__ = name
        fn.__doc__ = ("%s of degree n (a Tensor or a number, truncated to an integer) at input, by its "
                      "three-term recurrence in limb arithmetic; 0 for negative n, as PyTorch." % what)
        return fn

    polynomials = {name: make_polynomial(name, kind, what) for name, kind, what in (
        ("chebyshev_polynomial_t", "t", "Chebyshev polynomial of the first kind T_n"),
        ("chebyshev_polynomial_u", "u", "Chebyshev polynomial of the second kind U_n"),
        ("chebyshev_polynomial_v", "v", "Chebyshev polynomial of the third kind V_n"),
        ("chebyshev_polynomial_w", "w", "Chebyshev polynomial of the fourth kind W_n"),
        ("hermite_polynomial_h", "h", "Physicists' Hermite polynomial H_n"),
        ("hermite_polynomial_he", "he", "Probabilists' Hermite polynomial He_n"),
        ("laguerre_polynomial_l", "l", "Laguerre polynomial L_n"),
        ("legendre_polynomial_p", "p", "Legendre polynomial P_n"))}


    def canonical(x):
        """x with each row whose limbs overlap or cancel (from_limbs([1e16, 1, -1e16])) renormalised
        exactly: the branches choose by the float64 value, and the kernels read the leading limbs."""
        L = limbs(x)
        with np.errstate(invalid="ignore"):
            bad = ~(L[..., 1:].abs() <= L[..., :1].abs() * 2.0 ** -50).all(-1) & torch.isfinite(L).all(-1)
        if not bool(bad.any()):
            return x
        fixed = torch.stack(distil(list(L.unbind(-1)), 8), -1)
        return from_rows(torch.where(bad[..., None], fixed, L))

    # PyTorch gives these no derivatives: the results are not recorded.
    def unary_nondiff(op, raw, doc):
        def fn(input):
            return raw(canonical(tensor_arg("special_" + op, input)))
        fn.__name__ = op
        fn.__doc__ = doc
        return fn

    bessel = {name: unary_nondiff(name, raw, doc) for name, raw, doc in (
        ("bessel_j0", lambda x: j_raw(x, 0),
         "Bessel function of the first kind, order 0, to 2^-100 (relative; absolute against its envelope "
         "near its zeros): the power series in 4 components below |x| = 44, Hankel's expansion above. "
         "NaN at +-inf, as PyTorch."),
        ("bessel_j1", lambda x: j_raw(x, 1),
         "Bessel function of the first kind, order 1 (odd), as bessel_j0. NaN at +-inf, as PyTorch."),
        ("bessel_y0", lambda x: y_raw(x, 0),
         "Bessel function of the second kind, order 0: the series with its log(x/2) term below 44, Hankel's "
         "expansion above. -inf at 0, NaN below 0 and at +inf, as PyTorch."),
        ("bessel_y1", lambda x: y_raw(x, 1),
         "Bessel function of the second kind, order 1, as bessel_y0. -inf at 0, NaN below 0 and at +inf."),
        ("modified_bessel_i0", lambda x: i_raw(x, 0, False),
         "Modified Bessel function of the first kind, order 0: special.i0's values, without a derivative "
         "(as PyTorch)."),
        ("modified_bessel_i1", lambda x: i_raw(x, 1, False),
         "Modified Bessel function of the first kind, order 1: special.i1's values, without a derivative."),
        ("modified_bessel_k0", lambda x: k_raw(x, 0, False),
         "Modified Bessel function of the second kind, order 0: the series with its log term below 1.5, the "
         "trapezoidal rule on int exp(-x cosh t) dt to 44, the expansion at infinity above. inf at 0, NaN "
         "below 0, 0 where it underflows and at inf."),
        ("modified_bessel_k1", lambda x: k_raw(x, 1, False),
         "Modified Bessel function of the second kind, order 1, as modified_bessel_k0."),
        ("scaled_modified_bessel_k0", lambda x: k_raw(x, 0, True),
         "exp(x) modified_bessel_k0(x), without the underflow: 0 only at inf."),
        ("scaled_modified_bessel_k1", lambda x: k_raw(x, 1, True),
         "exp(x) modified_bessel_k1(x), without the underflow: 0 only at inf."),
        ("spherical_bessel_j0", spherical_j0_raw,
         "Spherical Bessel function of the first kind, order 0: sin(x) / x with the accurate sine (an exact "
         "reduction by pi/2 for huge x). 1 at 0, 0 at +-inf."),
        ("airy_ai", airy_raw,
         "Airy function Ai: its Maclaurin series on (-16.5, 2], sqrt(x/3) K_1/3(2/3 x^(3/2)) / pi above "
         "(0 beyond 103.892, as PyTorch), the expansion at -infinity below (NaN where PyTorch's "
         "2|x|^(3/2) overflows, and at +-inf)."))}

    # The internal accurate kernels, for the tests.
    global helpers
    helpers = {"add": add, "sub": sub, "mul": mul, "div": div, "sqrt": sqrt, "exp": exp, "log": log, "sinpi": sinpi,
               "cospi": cospi, "sincos": sincos}

    top = {"lgamma": lgamma, "digamma": digamma, "polygamma": polygamma, "mvlgamma": mvlgamma,
           "erfinv": erfinv, "i0": i0}
    methods = {"lgamma": lgamma, "digamma": digamma, "mvlgamma": mvlgamma, "erfinv": erfinv, "i0": i0,
               "polygamma": lambda self, n: polygamma(n, self)}
    special = {"gammaln": lgamma, "digamma": digamma, "psi": digamma, "polygamma": polygamma,
               "multigammaln": multigammaln, "erfinv": erfinv, "ndtr": ndtr, "ndtri": ndtri,
               "log_ndtr": log_ndtr, "erfcx": erfcx, "i0": i0, "i0e": i0e, "i1": i1, "i1e": i1e,
               "entr": entr, "xlog1py": xlog1py, "zeta": zeta, "gammainc": gammainc, "gammaincc": gammaincc,
               **polynomials, **bessel}
    methods["polygamma"].__doc__ = "Tensor.polygamma(n): polygamma(n, self)."
    methods["polygamma"].__name__ = "polygamma"
    for table in (top, methods, special):
        for fn in table.values():
            fn.__module__ = zel.__name__
    for name, fn in top.items():
        if not hasattr(zel, name):
            setattr(zel, name, fn)
    for name, fn in methods.items():
        if not hasattr(Tensor, name):
            setattr(Tensor, name, fn)
    for name, fn in special.items():
        if not hasattr(zel.special, name):
            setattr(zel.special, name, fn)
    # The same operations as the library's own: forwarded, as torch.special does.
    for name in ("softmax", "log_softmax", "logsumexp", "round"):
        if not hasattr(zel.special, name) and hasattr(zel, name):
            setattr(zel.special, name, getattr(zel, name))
