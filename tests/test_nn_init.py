"""zel.nn.init and zel.nn.utils against torch.nn.init and torch.nn.utils:
distributions, exact structured fills, errors, reproducibility, clipping."""
import math

import numpy as np
import pytest
import torch

from varnel.zel import zel

init = zel.nn.init
utils = zel.nn.utils


def value(t):
    return np.asarray(t.numpy(), dtype=np.float64).reshape(tuple(t.shape))


def exact_residual(t):
    """max |element| with every limb summed in order of magnitude (below float64's resolution)."""
    return np.abs(t._data.numpy().sum(axis=1)).max()


@pytest.mark.parametrize("nonlinearity, param", [
    ("linear", None), ("conv2d", None), ("sigmoid", None), ("tanh", None), ("relu", None), ("leaky_relu", None),
    ("leaky_relu", 0.2), ("leaky_relu", 3), ("selu", None)])
def test_calculate_gain_matches_torch(nonlinearity, param):
    assert init.calculate_gain(nonlinearity, param) == torch.nn.init.calculate_gain(nonlinearity, param)


@pytest.mark.parametrize("call", [
    lambda m: m.calculate_gain("softsign"),
    lambda m: m.calculate_gain("leaky_relu", True),
    lambda m: m.xavier_uniform_(m_tensor(m, 5)),
    lambda m: m.kaiming_normal_(m_tensor(m, 2, 3), mode="fan_middle"),
    lambda m: m.eye_(m_tensor(m, 2, 3, 4)),
    lambda m: m.dirac_(m_tensor(m, 2, 3)),
    lambda m: m.dirac_(m_tensor(m, 3, 2, 3), groups=2),
    lambda m: m.orthogonal_(m_tensor(m, 3)),
    lambda m: m.sparse_(m_tensor(m, 2, 3, 4), 0.5),
])
def test_errors_match_torch(call):
    with pytest.raises(ValueError) as theirs:
        call(torch.nn.init)
    with pytest.raises(ValueError) as ours:
        call(init)
    assert str(ours.value) == str(theirs.value)


def m_tensor(m, *shape):
    return torch.empty(*shape) if m is torch.nn.init else zel.empty(*shape)


@pytest.mark.parametrize("fn", [init.uniform_, init.normal_, init.constant_, init.kaiming_uniform_])
def test_non_tensors_are_refused(fn):
    with pytest.raises(TypeError, match="must be Tensor"):
        fn([1.0, 2.0], *([1.0] if fn is init.constant_ else []))


def test_bad_numbers_and_generators_are_refused():
    with pytest.raises(TypeError, match="'a' must be a number"):
        init.uniform_(zel.empty(3), a="0")
    with pytest.raises(TypeError, match="generator"):
        init.normal_(zel.empty(3), generator=torch.Generator())
    with pytest.raises(ValueError, match="sparsity"):
        init.sparse_(zel.empty(3, 3), 1.5)


def truncated_moments(a, b):
    """Mean and std of the standard normal truncated to [a, b]."""
    def pdf(x):
        return math.exp(-x * x / 2) / math.sqrt(2 * math.pi)

    z = (math.erf(b / math.sqrt(2)) - math.erf(a / math.sqrt(2))) / 2
    mean = (pdf(a) - pdf(b)) / z
    return mean, math.sqrt(1 + (a * pdf(a) - b * pdf(b)) / z - mean * mean)


N = (200, 300)  # 60000 draws: the sample mean is within 4e-3 * std of the true one with 5 sigma margin


@pytest.mark.parametrize("fn, kwargs, low, high, mean, std", [
    (init.uniform_, dict(a=-2.0, b=3.0), -2.0, 3.0, 0.5, 5 / math.sqrt(12)),
    (init.normal_, dict(mean=1.5, std=0.5), -math.inf, math.inf, 1.5, 0.5),
    (init.trunc_normal_, dict(a=-1.0, b=2.0), -1.0, 2.0, *truncated_moments(-1.0, 2.0)),
    (init.xavier_uniform_, dict(gain=2.0), -2 * math.sqrt(6 / 500), 2 * math.sqrt(6 / 500), 0.0,
     2 * math.sqrt(2 / 500)),
    (init.xavier_normal_, dict(), -math.inf, math.inf, 0.0, math.sqrt(2 / 500)),
    (init.kaiming_uniform_, dict(a=math.sqrt(5)), -1 / math.sqrt(300), 1 / math.sqrt(300), 0.0,
     1 / math.sqrt(900)),
    (init.kaiming_normal_, dict(mode="fan_out", nonlinearity="relu"), -math.inf, math.inf, 0.0,
     math.sqrt(2 / 200)),
])
def test_distributions(fn, kwargs, low, high, mean, std):
    zel.manual_seed(11)
    t = zel.empty(*N)
    assert fn(t, **kwargs) is t
    v = value(t)
    assert v.min() >= low and v.max() <= high
    if math.isfinite(low):
        assert v.min() < low + 1e-3 * (high - low) and v.max() > high - 1e-3 * (high - low)
    assert abs(v.mean() - mean) < 5 * std / math.sqrt(v.size)
    assert abs(v.std() - std) < 0.02 * std
    zel.manual_seed(11)
    again = zel.empty(*N)
    fn(again, **kwargs)
    assert t._data.numpy().tobytes() == again._data.numpy().tobytes()


@pytest.mark.parametrize("shape, gain", [((6, 6), 1), ((5, 9), 1), ((9, 5), 2.5), ((4, 2, 3), 1)])
def test_orthogonal_to_limb_precision(shape, gain):
    zel.manual_seed(2)
    t = init.orthogonal_(zel.empty(*shape), gain=gain)
    q = t.reshape(shape[0], -1)
    gram = q @ q.T if q.shape[0] <= q.shape[1] else q.T @ q
    assert exact_residual(gram - zel.eye(min(q.shape)) * (gain * gain)) < 1e-28


def test_structured_fills_equal_torch():
    for shape, groups in (((4, 3, 3), 1), ((6, 2, 3, 3), 2), ((2, 2, 3, 2, 3), 1)):
        assert np.array_equal(value(init.dirac_(zel.empty(*shape), groups)),
                              torch.nn.init.dirac_(torch.empty(*shape), groups).numpy())
    assert np.array_equal(value(init.eye_(zel.empty(3, 5))), np.eye(3, 5))
    assert not value(init.zeros_(zel.ones(4))).any()
    assert np.array_equal(value(init.ones_(zel.zeros(2))), [1, 1])
    assert np.array_equal(value(init.constant_(zel.zeros(2), 0.25)), [0.25, 0.25])


def test_sparse_zeroes_the_asked_rows_of_every_column():
    zel.manual_seed(4)
    v = value(init.sparse_(zel.empty(10, 7), 0.25, std=0.5))
    assert ((v == 0).sum(axis=0) == 3).all()
    zel.manual_seed(4)
    assert np.array_equal(value(init.sparse_(zel.empty(10, 7), 0.25, std=0.5)), v)


def test_parameters_stay_leaves_and_zero_element_tensors_warn():
    p = zel.nn.Parameter(zel.zeros(3, 4))
    init.kaiming_normal_(p)
    assert p.is_leaf and p.grad_fn is None and p.requires_grad
    with pytest.warns(UserWarning, match="zero-element"):
        init.kaiming_uniform_(zel.empty(0, 3))
    with pytest.warns(UserWarning, match="more than 2 std"):
        init.trunc_normal_(zel.empty(3), mean=5.0)


# ---------------------------------------------------------------- nn.utils


def grads_pair(seed=0):
    rng = np.random.default_rng(seed)
    shapes = [(3, 4), (4,), (2, 2, 2)]
    values = [rng.standard_normal(s) for s in shapes]
    grads = [rng.standard_normal(s) * 3 for s in shapes]
    ours = [zel.tensor(v, requires_grad=True) for v in values]
    theirs = [torch.tensor(v, requires_grad=True) for v in values]
    for po, pt, g in zip(ours, theirs, grads):
        (po * zel.tensor(g)).sum().backward()
        pt.grad = torch.tensor(g)
    ours.append(zel.tensor([1.0], requires_grad=True))  # a parameter without a gradient
    theirs.append(torch.tensor([1.0], requires_grad=True))
    return ours, theirs


@pytest.mark.parametrize("norm_type", [1, 2.0, 3.5, math.inf])
@pytest.mark.parametrize("max_norm", [0.5, 1e6])
def test_clip_grad_norm_matches_torch(norm_type, max_norm):
    ours, theirs = grads_pair()
    total_ours = utils.clip_grad_norm_(ours, max_norm, norm_type)
    total_theirs = torch.nn.utils.clip_grad_norm_(theirs, max_norm, norm_type)
    assert isinstance(total_ours, zel.Tensor) and total_ours.shape == ()
    np.testing.assert_allclose(float(total_ours), float(total_theirs), rtol=1e-13)
    for po, pt in zip(ours, theirs):
        if pt.grad is None:
            assert po.grad is None
        else:
            np.testing.assert_allclose(value(po.grad), pt.grad.numpy(), rtol=1e-13, atol=1e-15)


def test_clip_grad_norm_edge_cases():
    assert float(utils.clip_grad_norm_([zel.ones(2, requires_grad=True)], 1.0)) == 0.0
    p = zel.tensor([1.0, 2.0], requires_grad=True)
    (p * zel.tensor([math.inf, 1.0])).sum().backward()
    with pytest.raises(RuntimeError, match="non-finite"):
        utils.clip_grad_norm_(p, 1.0, error_if_nonfinite=True)
    with pytest.raises(TypeError, match="max_norm"):
        utils.clip_grad_norm_(p, "1")
    with pytest.raises(TypeError, match="iterable of Tensors"):
        utils.clip_grad_norm_([p, 3], 1.0)


def test_clip_grad_value_matches_torch():
    ours, theirs = grads_pair(1)
    utils.clip_grad_value_(ours, 1.25)
    torch.nn.utils.clip_grad_value_(theirs, 1.25)
    for po, pt in zip(ours[:-1], theirs[:-1]):
        assert np.array_equal(value(po.grad), pt.grad.numpy())


def test_vector_round_trip_is_exact():
    ours, theirs = grads_pair(2)
    np.testing.assert_array_equal(value(utils.parameters_to_vector(ours)),
                                  torch.nn.utils.parameters_to_vector(theirs).detach().numpy())
    with zel.no_grad():
        ours[0].copy_(ours[0] / 3)  # several limbs per element
    vec = utils.parameters_to_vector(ours)
    targets = [zel.zeros(*p.shape) for p in ours]
    utils.vector_to_parameters(vec, targets)
    for p, t in zip(ours, targets):
        assert p._data.numpy().tobytes() == t._data.numpy().tobytes()
    with pytest.raises(TypeError, match="expected torch.Tensor, but got: list"):
        utils.vector_to_parameters([1.0], targets)
    with pytest.raises(RuntimeError, match="elements"):
        utils.vector_to_parameters(vec[:-1], targets)
