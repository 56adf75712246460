"""zel.nn.functional against torch.nn.functional in float64: forward values and
the gradient with respect to every differentiable input, on the same values."""
import math
import warnings
from fractions import Fraction

import mpmath
import pytest
import torch

from varnel.zel import zel

F = zel.nn.functional
TF = torch.nn.functional
RTOL = ATOL = 1e-12


def values(t):
    return torch.as_tensor(t.numpy(), dtype=torch.float64).reshape(t.shape)


def exact(t):
    """The exact value of a 0-d Tensor (the sum of its limbs)."""
    return sum((Fraction(v) for v in t.torch_limbs().reshape(-1).tolist()), Fraction(0))


def close(got, want, rtol=RTOL, atol=ATOL, what=""):
    assert tuple(got.shape) == tuple(want.shape), (what, got.shape, want.shape)
    g = values(got) if isinstance(got, zel.Tensor) else got
    assert torch.allclose(g, want, rtol=rtol, atol=atol, equal_nan=True), (what, g, want)


def rand(*shape, seed=0, lo=-2.0, hi=2.0):
    g = torch.Generator().manual_seed(seed + 7 * len(shape) + sum(shape))
    return torch.rand(tuple(shape), generator=g, dtype=torch.float64) * (hi - lo) + lo


def against_torch(fn, ref, inputs, grads=None, rtol=RTOL, atol=ATOL, grad_rtol=RTOL, **kwargs):
    """fn(zel inputs) against ref(torch inputs); then the gradients of both with respect
    to the inputs listed in grads (all by default), under one random cotangent."""
    if grads is None:
        grads = [i for i, t in enumerate(inputs) if isinstance(t, torch.Tensor) and t.is_floating_point()]
    tz, tt = [], []
    for i, t in enumerate(inputs):
        if isinstance(t, torch.Tensor) and t.is_floating_point():
            z = zel.tensor(t)
            c = t.clone()
            if i in grads:
                z.requires_grad_()
                c.requires_grad_()
            tz.append(z)
            tt.append(c)
        else:
            tz.append(t)
            tt.append(t)
    got = fn(*tz, **kwargs)
    want = ref(*tt, **kwargs)
    if isinstance(want, tuple):
        close(got[0], want[0], rtol, atol, "forward")
        assert torch.equal(got[1], want[1]), "indices"
        got, want = got[0], want[0]
    else:
        close(got, want, rtol, atol, "forward")
    if not list(grads) or not want.requires_grad:
        return got
    cot = rand(*want.shape, seed=99)
    want.backward(cot)
    (got * zel.tensor(cot)).sum().backward()
    for i in grads:
        assert tz[i].grad is not None, "no gradient for input %d" % i
        close(tz[i].grad, tt[i].grad, grad_rtol, atol, "gradient of input %d" % i)
    return got


# ---------------------------------------------------------------- activations

ACTIVATIONS = [
    ("leaky_relu", {}), ("leaky_relu", {"negative_slope": 0.2}), ("leaky_relu", {"negative_slope": -1.5}),
    ("elu", {}), ("elu", {"alpha": 0.5}), ("selu", {}), ("celu", {}), ("celu", {"alpha": 2.5}),
    ("celu", {"alpha": -0.75}), ("mish", {}), ("softplus", {}), ("softplus", {"beta": 2, "threshold": 3}),
    ("softplus", {"beta": 0.5, "threshold": 1.0}), ("softplus", {"beta": -1.0}), ("tanh", {}), ("hardtanh", {}),
    ("hardtanh", {"min_val": -0.5, "max_val": 2.0}), ("relu6", {}), ("logsigmoid", {}), ("softsign", {}),
    ("tanhshrink", {}), ("hardsigmoid", {}), ("hardswish", {}), ("softmin", {"dim": 1}), ("softmin", {"dim": 0}),
    ("glu", {}), ("glu", {"dim": 0}),
]


@pytest.mark.parametrize("name,kwargs", ACTIVATIONS, ids=lambda v: str(v))
def test_activation_against_torch(name, kwargs):
    x = rand(4, 6, lo=-8.0, hi=8.0)
    x[0, :3] = torch.tensor([1e-3, -2.5e-2, 0.05])  # the series side of tanhshrink
    against_torch(getattr(F, name), getattr(TF, name), [x], grad_rtol=SLOPPY.get(name, RTOL), **kwargs)


# PyTorch 1.13's hardsigmoid gradient is 1/6 rounded to float32.
SLOPPY = {"hardsigmoid": 1e-7}


@pytest.mark.parametrize("name", ["leaky_relu", "elu", "hardtanh", "relu6", "hardsigmoid", "hardswish", "relu6"])
def test_gradient_at_the_kinks_is_pytorchs(name):
    x = torch.tensor([-3.0, -1.0, 0.0, 1.0, 3.0, 6.0, -0.0], dtype=torch.float64)
    against_torch(getattr(F, name), getattr(TF, name), [x], grad_rtol=SLOPPY.get(name, RTOL))


INPLACE = {"leaky_relu", "elu", "selu", "celu", "mish", "hardtanh", "relu6", "hardsigmoid", "hardswish"}


@pytest.mark.parametrize("name,kwargs", [(n, k) for n, k in ACTIVATIONS if n in INPLACE], ids=str)
def test_inplace_writes_the_input(name, kwargs):
    x = zel.tensor(rand(3, 4, lo=-5, hi=5))
    want = getattr(F, name)(x, **kwargs)
    y = x.clone()
    assert getattr(F, name)(y, inplace=True, **kwargs) is y
    assert torch.equal(y.torch_limbs(), want.torch_limbs())


def test_activations_far_out_keep_their_digits():
    mpmath.mp.prec = 300
    xs = [-500.0, -60.0, -37.5, 40.0, 500.0]
    sp, ls = F.softplus(zel.tensor(xs)), F.logsigmoid(zel.tensor(xs))
    for i, x in enumerate(xs):
        m = mpmath.mpf(x)
        want_sp = mpmath.log1p(mpmath.exp(m)) if x < 20 else m
        want_ls = -mpmath.log1p(mpmath.exp(-m))
        for got, want in ((sp[i], want_sp), (ls[i], want_ls)):
            err = abs(mpmath.mpf(exact(got).numerator) / exact(got).denominator - want) / abs(want)
            assert err < mpmath.mpf(2) ** -90, (x, err)
    # float64's logsigmoid(40) is -4.2e-18 to a few digits; tanhshrink near 0 is x^3/3 - ...
    small = zel.tensor([1e-5, -3e-3])
    got = F.tanhshrink(small)
    for i, x in enumerate([1e-5, -3e-3]):
        m = mpmath.mpf(x)
        want = m - mpmath.tanh(m)
        err = abs(mpmath.mpf(exact(got[i]).numerator) / exact(got[i]).denominator - want) / abs(want)
        assert err < mpmath.mpf(2) ** -95, (x, err)


def test_activation_errors():
    x = zel.tensor(rand(2, 3))
    with pytest.raises(RuntimeError, match="alpha cannot be 0"):
        F.celu(x, 0.0)
    with pytest.raises(RuntimeError, match="Halving dimension must be even"):
        F.glu(x)
    with pytest.raises(RuntimeError, match="does not support scalars"):
        F.glu(zel.tensor(1.0))
    with pytest.raises(IndexError):
        F.glu(x, 5)
    with pytest.raises(TypeError, match="negative_slope"):
        F.leaky_relu(x, "x")
    with pytest.raises(TypeError, match="must be Tensor"):
        F.mish([1.0])


# ---------------------------------------------------------------- layers

CONV2D = [
    {}, {"stride": 2}, {"padding": 1}, {"padding": (2, 0)}, {"dilation": 2, "padding": 1},
    {"stride": (2, 1), "dilation": (1, 2)}, {"groups": 2}, {"groups": 4, "padding": 1},
    {"padding": "same", "dilation": (1, 2)}, {"padding": "same"}, {"padding": "valid", "stride": 3},
]


@pytest.mark.parametrize("kwargs", CONV2D, ids=str)
@pytest.mark.parametrize("bias", [True, False])
def test_conv2d(kwargs, bias):
    g = kwargs.get("groups", 1)
    x, w = rand(2, 4, 7, 6, seed=1), rand(6 if g != 4 else 8, 4 // g, 3, 2, seed=2)
    b = rand(w.shape[0], seed=3) if bias else None
    against_torch(F.conv2d, TF.conv2d, [x, w, b], **kwargs)


@pytest.mark.parametrize("kwargs", [{}, {"stride": 3}, {"padding": 2}, {"dilation": 2}, {"groups": 2},
                                    {"padding": "same", "dilation": 2}, {"padding": "same"}], ids=str)
def test_conv1d(kwargs):
    x, w, b = rand(3, 2, 9, seed=4), rand(4, 2 // kwargs.get("groups", 1), 4, seed=5), rand(4, seed=6)
    against_torch(F.conv1d, TF.conv1d, [x, w, b], **kwargs)


def test_strided_view_gradients_read_each_element_once():
    # im2col's backward goes through take/as_strided: a one-hot product there
    # would need 300000 x 200000 entries.
    x = zel.tensor(rand(200000, seed=60)).requires_grad_()
    idx = torch.randint(0, 200000, (300000,), generator=torch.Generator().manual_seed(1))
    x.take(idx).sum().backward()
    assert torch.equal(values(x.grad), torch.bincount(idx, minlength=200000).double())
    y = zel.tensor(rand(4, 8, 30, 30, seed=61)).requires_grad_()
    F.conv2d(y, zel.tensor(rand(8, 8, 3, 3, seed=62)), padding=1).sum().backward()
    assert y.grad.shape == y.shape


def test_conv_of_an_unbatched_input_and_errors():
    x, w = rand(3, 5, 5), rand(2, 3, 2, 2)
    against_torch(F.conv2d, TF.conv2d, [x, w])
    zx, zw = zel.tensor(x), zel.tensor(w)
    with pytest.raises(RuntimeError):
        F.conv2d(zx, zel.tensor(rand(2, 4, 2, 2)))
    with pytest.raises(RuntimeError, match="not supported for strided"):
        F.conv2d(zx, zw, stride=2, padding="same")
    with pytest.raises(RuntimeError):
        F.conv2d(zx, zw, padding=-1)
    with pytest.raises(TypeError, match="must be Tensor"):
        F.conv1d(x, zw)


MAX_POOL = [
    {"kernel_size": 2}, {"kernel_size": 3, "stride": 1}, {"kernel_size": 3, "stride": 2, "padding": 1},
    {"kernel_size": (2, 3), "stride": (1, 2)}, {"kernel_size": 2, "dilation": 2},
    {"kernel_size": 3, "stride": 2, "ceil_mode": True}, {"kernel_size": 2, "stride": 2, "padding": 1, "ceil_mode": True},
    {"kernel_size": 3, "stride": 2, "padding": 1, "dilation": 2, "ceil_mode": True},
]


@pytest.mark.parametrize("kwargs", MAX_POOL, ids=str)
@pytest.mark.parametrize("indices", [False, True])
def test_max_pool2d(kwargs, indices):
    x = rand(2, 3, 7, 8, seed=8)
    against_torch(F.max_pool2d, TF.max_pool2d, [x], return_indices=indices, **kwargs)


@pytest.mark.parametrize("kwargs", [{"kernel_size": 2}, {"kernel_size": 3, "stride": 1, "padding": 1},
                                    {"kernel_size": 2, "dilation": 3, "ceil_mode": True, "stride": 2}], ids=str)
def test_max_pool1d(kwargs):
    against_torch(F.max_pool1d, TF.max_pool1d, [rand(2, 3, 11, seed=9)], return_indices=True, **kwargs)


def test_max_pool_ties_nans_and_infinities_pick_pytorchs_element():
    # Ties go to the first maximum, NaN to the last NaN, all -inf to the first element.
    x = torch.tensor([[[[1.0, 1.0, 0.0, 5.0], [1.0, 0.5, 5.0, 5.0], [math.nan, 2.0, -math.inf, -math.inf],
                        [3.0, math.nan, -math.inf, -math.inf]]]], dtype=torch.float64)
    for kw in ({"kernel_size": 2}, {"kernel_size": 3, "stride": 1, "padding": 1}, {"kernel_size": 2, "stride": 1}):
        against_torch(F.max_pool2d, TF.max_pool2d, [x], return_indices=True, **kw)


AVG_POOL = [
    {"kernel_size": 2}, {"kernel_size": 3, "stride": 2, "padding": 1},
    {"kernel_size": 3, "stride": 2, "padding": 1, "count_include_pad": False},
    {"kernel_size": (2, 3), "stride": 2, "ceil_mode": True},
    {"kernel_size": 3, "stride": 2, "padding": 1, "ceil_mode": True, "count_include_pad": False},
    {"kernel_size": 3, "stride": 2, "padding": 1, "ceil_mode": True},
    {"kernel_size": 2, "divisor_override": 3},
]


@pytest.mark.parametrize("kwargs", AVG_POOL, ids=str)
def test_avg_pool2d(kwargs):
    against_torch(F.avg_pool2d, TF.avg_pool2d, [rand(2, 3, 7, 8, seed=10)], **kwargs)


@pytest.mark.parametrize("kwargs", [{"kernel_size": 3}, {"kernel_size": 3, "stride": 2, "padding": 1,
                                                          "ceil_mode": True, "count_include_pad": False},
                                    {"kernel_size": 4, "stride": 3, "padding": 2, "ceil_mode": True}], ids=str)
def test_avg_pool1d(kwargs):
    against_torch(F.avg_pool1d, TF.avg_pool1d, [rand(2, 11, seed=11)], **kwargs)


def test_pool_errors():
    x = zel.tensor(rand(1, 1, 4, 4))
    with pytest.raises(RuntimeError, match="pad should be"):
        F.max_pool2d(x, 2, padding=2)
    with pytest.raises(RuntimeError):
        F.avg_pool2d(x, 5)
    with pytest.raises(RuntimeError):
        F.max_pool1d(x, 0)


@pytest.mark.parametrize("shape,normalized", [((3, 5), (5,)), ((2, 3, 4), (3, 4)), ((2, 3, 4), [4])])
@pytest.mark.parametrize("affine", [True, False])
def test_layer_norm(shape, normalized, affine):
    x = rand(*shape, seed=12)
    ns = tuple(normalized)
    w, b = (rand(*ns, seed=13), rand(*ns, seed=14)) if affine else (None, None)
    against_torch(F.layer_norm, TF.layer_norm, [x, normalized, w, b], eps=1e-3)


@pytest.mark.parametrize("shape", [(6, 3), (4, 3, 5), (2, 3, 2, 3)])
@pytest.mark.parametrize("training", [True, False])
def test_batch_norm(shape, training):
    x, w, b = rand(*shape, seed=15), rand(3, seed=16), rand(3, seed=17)
    rm, rv = rand(3, seed=18), rand(3, seed=19, lo=0.5, hi=2.0)
    zm, zv = zel.tensor(rm), zel.tensor(rv)
    against_torch(lambda x_, w_, b_: F.batch_norm(x_, zm, zv, w_, b_, training, 0.3, 1e-4),
                  lambda x_, w_, b_: TF.batch_norm(x_, rm, rv, w_, b_, training, 0.3, 1e-4), [x, w, b])
    close(zm, rm)
    close(zv, rv)
    if not training:
        assert torch.equal(values(zm), rand(3, seed=18))


def test_batch_norm_errors():
    x = zel.tensor(rand(1, 3))
    with pytest.raises(ValueError, match="more than 1 value per channel"):
        F.batch_norm(x, None, None, training=True)
    with pytest.raises(RuntimeError, match="running_mean must be defined"):
        F.batch_norm(zel.tensor(rand(4, 3)), None, None)


def test_dropout_scales_keeps_and_reproduces():
    x = zel.tensor(rand(40, 50, lo=1.0, hi=2.0)).requires_grad_()
    zel.manual_seed(5)
    a = F.dropout(x, 0.3)
    zel.manual_seed(5)
    b = F.dropout(x, 0.3)
    assert torch.equal(a.torch_limbs(), b.torch_limbs())
    kept = values(a) != 0
    assert 0.6 < float(kept.double().mean()) < 0.8
    close(values(a)[kept], values(x)[kept] / 0.7, rtol=1e-15, atol=0)
    a.sum().backward()
    close(x.grad, kept.double() / 0.7, rtol=1e-15, atol=0)
    assert F.dropout(x, 0.3, training=False) is x and F.dropout(x, 0.0) is x
    assert float(F.dropout(x, 1.0).abs().sum()) == 0.0
    with pytest.raises(ValueError, match="between 0 and 1"):
        F.dropout(x, -0.1)


@pytest.mark.parametrize("kwargs", [{}, {"padding_idx": 1}, {"padding_idx": -2}, {"scale_grad_by_freq": True},
                                    {"max_norm": 1.5}, {"max_norm": 1.0, "norm_type": 1.0}], ids=str)
def test_embedding(kwargs):
    idx = torch.tensor([[0, 3, 1], [1, 1, 4]])
    w = rand(5, 4, seed=20)
    w_t, w_z = w.clone(), zel.tensor(w)
    against_torch(lambda i, w_: F.embedding(i, w_z if "max_norm" in kwargs else w_, **kwargs),
                  lambda i, w_: TF.embedding(i, w_t if "max_norm" in kwargs else w_, **kwargs), [idx, w],
                  grads=[] if "max_norm" in kwargs else [1])
    close(w_z, w_t)  # max_norm renormalizes the rows it reads, in place


def test_embedding_errors():
    w = zel.tensor(rand(5, 4))
    with pytest.raises(IndexError, match="index out of range"):
        F.embedding(torch.tensor([5]), w)
    with pytest.raises(AssertionError, match="Padding_idx"):
        F.embedding(torch.tensor([1]), w, padding_idx=7)
    with pytest.raises(RuntimeError, match="integers"):
        F.embedding(zel.tensor([0.5]), w)


INTERPOLATE = [
    ((2, 3, 5), {"size": 9, "mode": "nearest"}), ((2, 3, 5), {"scale_factor": 1.7, "mode": "nearest"}),
    ((2, 3, 9), {"size": 4, "mode": "nearest-exact"}), ((2, 3, 5), {"size": 8, "mode": "linear"}),
    ((2, 3, 5), {"size": 8, "mode": "linear", "align_corners": True}),
    ((2, 3, 7), {"scale_factor": 0.6, "mode": "linear"}),
    ((2, 3, 7), {"scale_factor": 2.5, "mode": "linear", "recompute_scale_factor": True}),
    ((1, 2, 4, 5), {"size": (7, 3), "mode": "bilinear"}),
    ((1, 2, 4, 5), {"scale_factor": (1.5, 2.0), "mode": "bilinear", "align_corners": True}),
    ((1, 2, 4, 5), {"scale_factor": 3, "mode": "nearest"}), ((1, 2, 3, 4), {"size": 4, "mode": "bilinear"}),
    ((1, 1, 2, 3, 4), {"size": (3, 3, 5), "mode": "trilinear"}),
    ((1, 1, 2, 3, 4), {"size": (3, 2, 5), "mode": "nearest"}), ((2, 3, 7), {"size": 3, "mode": "area"}),
    ((1, 2, 5, 4), {"scale_factor": 1.6, "mode": "area"}), ((1, 2, 4, 5), {"size": (6, 3), "mode": "bicubic"}),
    ((1, 2, 4, 5), {"scale_factor": 1.5, "mode": "bicubic", "align_corners": True}),
]


@pytest.mark.parametrize("shape,kwargs", INTERPOLATE, ids=str)
def test_interpolate(shape, kwargs):
    against_torch(F.interpolate, TF.interpolate, [rand(*shape, seed=21)], **kwargs)


def test_interpolate_errors():
    x = zel.tensor(rand(1, 2, 4))
    with pytest.raises(ValueError, match="only one of size or scale_factor"):
        F.interpolate(x, size=3, scale_factor=2.0)
    with pytest.raises(NotImplementedError):
        F.interpolate(x, size=3, mode="bilinear")
    with pytest.raises(NotImplementedError, match="not supported"):
        F.interpolate(zel.tensor(rand(1, 2, 4, 4)), size=3, mode="bicubic", antialias=True)


def test_bilinear():
    x1, x2, w, b = rand(5, 3, seed=22), rand(5, 4, seed=23), rand(2, 3, 4, seed=24), rand(2, seed=25)
    against_torch(F.bilinear, TF.bilinear, [x1, x2, w, b])
    against_torch(F.bilinear, TF.bilinear, [rand(2, 3, 3, seed=26), rand(2, 3, 4, seed=27), w])


# ---------------------------------------------------------------- losses

REDUCTIONS = ["mean", "sum", "none"]


@pytest.mark.parametrize("reduction", REDUCTIONS)
@pytest.mark.parametrize("name,kwargs", [("l1_loss", {}), ("smooth_l1_loss", {}), ("smooth_l1_loss", {"beta": 0.4}),
                                         ("smooth_l1_loss", {"beta": 0.0}), ("huber_loss", {}),
                                         ("huber_loss", {"delta": 0.3}), ("mse_loss", {})], ids=str)
def test_regression_losses(name, kwargs, reduction):
    against_torch(getattr(F, name), getattr(TF, name), [rand(4, 5, seed=30), rand(4, 5, seed=31)],
                  reduction=reduction, **kwargs)


def test_legacy_flags_map_to_reductions():
    x, t = rand(3, 4, seed=32), rand(3, 4, seed=33)
    for sa, rd in ((False, None), (None, False), (True, True)):
        for name in ("l1_loss", "smooth_l1_loss", "binary_cross_entropy", "kl_div", "poisson_nll_loss"):
            a, b = (x.sigmoid(), t.sigmoid()) if name == "binary_cross_entropy" else (x, t)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                close(getattr(F, name)(zel.tensor(a), zel.tensor(b), size_average=sa, reduce=rd),
                      getattr(TF, name)(a, b, size_average=sa, reduce=rd))


@pytest.mark.parametrize("reduction", REDUCTIONS)
@pytest.mark.parametrize("weighted", [False, True])
def test_binary_cross_entropy(reduction, weighted):
    x, t = rand(4, 3, seed=34, lo=0.01, hi=0.99), rand(4, 3, seed=35, lo=0, hi=1)
    x[0, 0], t[0, 0] = 1e-60, 0.0  # log(x) clamps to -100 with a zero coefficient
    w = rand(3, seed=36, lo=0.1, hi=2) if weighted else None
    # There the gradients differ: PyTorch's come from unclamped logs and a 1e-12 floor on x(1-x).
    against_torch(F.binary_cross_entropy, TF.binary_cross_entropy, [x, t, w], reduction=reduction, grads=[])
    x[0, 0] = 0.3
    against_torch(F.binary_cross_entropy, TF.binary_cross_entropy, [x, t, w], reduction=reduction, grads=[0, 1])


@pytest.mark.parametrize("reduction", REDUCTIONS)
@pytest.mark.parametrize("weighted", [False, True])
def test_binary_cross_entropy_with_logits(reduction, weighted):
    x, t = rand(4, 3, seed=37, lo=-6, hi=6), rand(4, 3, seed=38, lo=0, hi=1)
    w, pw = (rand(3, seed=39, lo=0.1, hi=2), rand(3, seed=40, lo=0.1, hi=3)) if weighted else (None, None)
    against_torch(lambda a, b, c, d: F.binary_cross_entropy_with_logits(a, b, c, reduction=reduction, pos_weight=d),
                  lambda a, b, c, d: TF.binary_cross_entropy_with_logits(a, b, c, reduction=reduction, pos_weight=d),
                  [x, t, w, pw], grads=[0, 1])


def test_bce_with_logits_keeps_the_small_loss_at_large_logits():
    # loss(x=-50, t=0) = log1p(e^-50): PyTorch's (1 - t) x + ... cancels to it from 50.
    x = zel.tensor([-50.0, 45.0, -500.0])
    t = zel.tensor([0.0, 1.0, 0.0])
    got = F.binary_cross_entropy_with_logits(x, t, reduction="none")
    mpmath.mp.prec = 300
    for i, v in enumerate([-50.0, -45.0, -500.0]):
        want = mpmath.log1p(mpmath.exp(mpmath.mpf(v)))
        e = exact(got[i])
        err = abs(mpmath.mpf(e.numerator) / e.denominator - want) / want
        assert err < mpmath.mpf(2) ** -90, (v, err)


def test_binary_cross_entropy_errors():
    x = zel.tensor(rand(2, 3, lo=0, hi=1))
    with pytest.raises(RuntimeError, match="between 0 and 1"):
        F.binary_cross_entropy(x * 2.0, x)
    with pytest.raises(ValueError, match="different to the input size"):
        F.binary_cross_entropy(x, x[0])
    with pytest.raises(ValueError, match="must be the same as input size"):
        F.binary_cross_entropy_with_logits(x, x[0])


@pytest.mark.parametrize("reduction", REDUCTIONS + ["batchmean"])
@pytest.mark.parametrize("log_target", [False, True])
def test_kl_div(reduction, log_target):
    x = rand(3, 4, seed=41).log_softmax(1)
    t = rand(3, 4, seed=42).softmax(1)
    t[0, 1] = 0.0
    if log_target:
        t = rand(3, 4, seed=43).log_softmax(1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        against_torch(F.kl_div, TF.kl_div, [x, t], grads=[0] if not log_target else None, reduction=reduction,
                      log_target=log_target)


@pytest.mark.parametrize("reduction", REDUCTIONS)
@pytest.mark.parametrize("full", [False, True])
@pytest.mark.parametrize("var_shape", [(4, 3), (4,), (4, 1)])
def test_gaussian_nll_loss(reduction, full, var_shape):
    x, t = rand(4, 3, seed=44), rand(4, 3, seed=45)
    v = rand(*var_shape, seed=46, lo=0.1, hi=2)
    v.reshape(-1)[0] = 1e-9  # clamped to eps, the gradient still flows (as PyTorch)
    against_torch(F.gaussian_nll_loss, TF.gaussian_nll_loss, [x, t, v], full=full, reduction=reduction)
    with pytest.raises(ValueError, match="incorrect size"):
        F.gaussian_nll_loss(zel.tensor(x), zel.tensor(t), zel.tensor(rand(3, 3)))
    with pytest.raises(ValueError, match="negative"):
        F.gaussian_nll_loss(zel.tensor(x), zel.tensor(t), zel.tensor(-v))


@pytest.mark.parametrize("reduction", REDUCTIONS)
@pytest.mark.parametrize("log_input,full", [(True, False), (False, False), (True, True), (False, True)])
def test_poisson_nll_loss(reduction, log_input, full):
    x = rand(4, 3, seed=47, lo=-1, hi=2) if log_input else rand(4, 3, seed=47, lo=0.1, hi=4)
    t = torch.tensor([[0.0, 1.0, 2.0], [3.0, 0.5, 7.0], [1.5, 4.0, 0.0], [9.0, 2.0, 1.0]], dtype=torch.float64)
    against_torch(F.poisson_nll_loss, TF.poisson_nll_loss, [x, t], grads=[0], log_input=log_input, full=full,
                  reduction=reduction)


@pytest.mark.parametrize("reduction", REDUCTIONS)
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("ignore_index", [-100, 2])
def test_cross_entropy_label_smoothing_with_class_indices(reduction, weighted, ignore_index):
    x = rand(5, 4, seed=48)
    target = torch.tensor([0, 2, 3, 2, 1])
    w = rand(4, seed=49, lo=0.2, hi=2) if weighted else None
    against_torch(lambda a, c: F.cross_entropy(a, target, c, ignore_index=ignore_index, reduction=reduction,
                                               label_smoothing=0.15),
                  lambda a, c: TF.cross_entropy(a, target, c, ignore_index=ignore_index, reduction=reduction,
                                                label_smoothing=0.15), [x, w], grads=[0])


@pytest.mark.parametrize("reduction", REDUCTIONS)
@pytest.mark.parametrize("shape", [(5, 4), (2, 4, 3), (4,)])
def test_cross_entropy_label_smoothing_with_probabilities(reduction, shape):
    x = rand(*shape, seed=50)
    cdim = 0 if len(shape) == 1 else 1
    p = rand(*shape, seed=51).softmax(cdim)
    w = rand(4, seed=52, lo=0.2, hi=2)
    against_torch(F.cross_entropy, TF.cross_entropy, [x, p, w], reduction=reduction, label_smoothing=0.3)


def test_loss_errors():
    x = zel.tensor(rand(2, 3))
    with pytest.raises(ValueError, match="not a valid value for reduction"):
        F.l1_loss(x, x, reduction="avg")
    with pytest.raises(ValueError, match="not a valid value for reduction"):
        F.kl_div(x, x, reduction="avg")
    with pytest.raises(ValueError, match="is not valid"):
        F.poisson_nll_loss(x, x, reduction="avg")
    with pytest.raises(RuntimeError, match="negative values for beta"):
        F.smooth_l1_loss(x, x, beta=-1.0)
    with pytest.raises(RuntimeError, match="non-positive values for delta"):
        F.huber_loss(x, x, delta=0.0)
    with pytest.raises(RuntimeError, match="class indices cannot require grad"):
        F.cross_entropy(x, zel.tensor([0.0, 1.0]).requires_grad_(), label_smoothing=0.1)
    with pytest.raises(RuntimeError, match="label_smoothing must be between"):
        F.cross_entropy(x, torch.tensor([0, 1]), label_smoothing=1.5)
    with pytest.warns(UserWarning, match="target size"):
        F.l1_loss(x, x[0])
    with pytest.warns(UserWarning, match="batchmean"):
        F.kl_div(x, x)


# ---------------------------------------------------------------- beyond the first derivative and float64

SECOND = [
    ("softplus", lambda f, x: f.softplus(x, beta=2)), ("mish", lambda f, x: f.mish(x)),
    ("elu", lambda f, x: f.elu(x)), ("logsigmoid", lambda f, x: f.logsigmoid(x)),
    ("max_pool2d", lambda f, x: f.max_pool2d(x * x, 2, 1)),
    ("avg_pool2d", lambda f, x: f.avg_pool2d(x * x, 3, 2, 1, True)),
    ("interpolate", lambda f, x: f.interpolate(x, size=(5, 3), mode="bilinear") ** 2),
    ("layer_norm", lambda f, x: f.layer_norm(x, (4,)) ** 3),
    ("bce_with_logits", lambda f, x: f.binary_cross_entropy_with_logits(x, x.detach().sigmoid() * 0 + 0.25)),
]


@pytest.mark.parametrize("name,fn", SECOND, ids=[n for n, _ in SECOND])
def test_second_derivatives_against_torch(name, fn):
    x = rand(1, 2, 4, 4, seed=70)
    xz, xt = zel.tensor(x).requires_grad_(), x.clone().requires_grad_()
    gz = zel.autograd.grad(fn(F, xz).sum(), xz, create_graph=True)[0]
    gt = torch.autograd.grad(fn(TF, xt).sum(), xt, create_graph=True)[0]
    close(zel.autograd.grad((gz * gz).sum(), xz)[0], torch.autograd.grad((gt * gt).sum(), xt)[0], 1e-10, 1e-12)


def test_conv2d_is_exact_where_float64_rounds():
    g = torch.Generator().manual_seed(71)
    xi, wi = torch.randint(-9, 9, (1, 2, 5, 5), generator=g).double(), torch.randint(-9, 9, (3, 2, 3, 3), generator=g).double()
    got = F.conv2d(zel.tensor(xi) / 3.0, zel.tensor(wi) / 7.0, padding=1)
    pad = TF.pad(xi, (1, 1, 1, 1))
    for o, i, j in [(0, 0, 0), (1, 2, 3), (2, 4, 4)]:
        want = sum(Fraction(int(pad[0, c, i + a, j + b])) * int(wi[o, c, a, b]) for c in range(2) for a in range(3)
                   for b in range(3)) / 21
        assert abs(exact(got[0, o, i, j]) - want) <= abs(want) * Fraction(1, 2 ** 100) + Fraction(1, 2 ** 300)
