"""zel.masked against torch.masked: the masked-out elements take the identity
of the operation, and the library's operation runs on the result."""
import math

import pytest
import torch

from varnel.zel import zel

torch_masked = pytest.importorskip("torch.masked")


def values(t):
    return torch.tensor(t.tolist(), dtype=torch.float64).reshape(tuple(t.shape))


def inputs(seed, shape=(4, 5)):
    g = torch.Generator().manual_seed(seed)
    x = torch.randn(shape, generator=g, dtype=torch.float64)
    mask = torch.rand(shape, generator=g) > 0.35
    mask[0] = False  # a fully masked-out row
    return x, mask


REDUCTIONS = ["sum", "prod", "amax", "amin", "mean", "norm", "var", "std", "logsumexp", "argmax", "argmin"]


@pytest.mark.parametrize("name", REDUCTIONS)
@pytest.mark.parametrize("dim", [None, 1, (0, 1)])
def test_reductions_as_torch(name, dim):
    if name in ("argmax", "argmin") and isinstance(dim, tuple):
        return
    x, mask = inputs(len(name))
    kwargs = dict(keepdim=dim == 1, mask=mask)
    if name in ("var", "std"):
        kwargs["unbiased"] = dim == 1  # PyTorch's default changed between versions: both ways, given
    got = getattr(zel.masked, name)(zel.tensor(x.tolist()), dim=dim, **kwargs)
    want = getattr(torch.masked, name)(x, dim=dim, **kwargs)
    assert values(got).shape == want.shape
    assert torch.allclose(values(got), want, rtol=1e-13, atol=1e-300, equal_nan=True), (name, dim)


@pytest.mark.parametrize("name", ["softmax", "log_softmax", "softmin", "cumsum", "cumprod"])
def test_along_a_dim_as_torch(name):
    x, mask = inputs(7)
    got = getattr(zel.masked, name)(zel.tensor(x.tolist()), 1, mask=mask)
    want = getattr(torch.masked, name)(x, 1, mask=mask)
    assert torch.allclose(values(got), want, rtol=1e-13, atol=1e-300, equal_nan=True), name


def test_normalize_logaddexp_and_no_mask():
    x, mask = inputs(9)
    z = zel.tensor(x.tolist())
    assert torch.allclose(values(zel.masked.normalize(z, 2.0, 1, mask=mask)),
                          torch.masked.normalize(x, 2.0, 1, mask=mask), rtol=1e-13, atol=0)
    y, other = inputs(10)
    got = zel.masked.logaddexp(z, zel.tensor(y.tolist()), input_mask=mask, other_mask=other)
    want = torch.masked.logaddexp(x, y, input_mask=mask, other_mask=other)
    assert torch.allclose(values(got), want, rtol=1e-13, atol=0, equal_nan=True)
    assert zel.masked.sum(z).tolist() == z.sum().tolist()
    with pytest.raises(TypeError, match="mask"):
        zel.masked.sum(z, mask=[[True]])


def test_gradients_flow_to_the_elements_kept():
    x, mask = inputs(11, (3, 4))
    z = zel.tensor(x.tolist()).requires_grad_()
    kept = mask.clone()
    kept[0] = True  # every row and column keeps an element: no NaN to differentiate
    assert zel.autograd.gradcheck(lambda t: zel.masked.mean(t, 1, mask=kept) + zel.masked.softmax(t, 0, mask=kept)
                                  .sum(dim=1), [z], eps=2.0 ** -40, atol=1e-18, rtol=1e-18)
    zel.masked.sum(z, mask=mask).backward()
    assert values(z.grad).equal(mask.to(torch.float64))
    assert math.isnan(zel.masked.mean(z, 1, mask=mask)[0].item())  # nothing kept


def test_correction():
    x, mask = inputs(12)
    got = zel.masked.var(zel.tensor(x.tolist()), 1, correction=2, mask=mask)
    kept = mask.sum(1).to(torch.float64)
    want = torch.masked.var(x, 1, unbiased=False, mask=mask) * kept / (kept - 2).clamp(min=0)
    assert torch.allclose(values(got), want, rtol=1e-13, atol=0, equal_nan=True)
