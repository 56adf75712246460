"""The Python surface as bound: one binding per name, and in-place operations
that leave their tensor as it was when they raise."""
import itertools

import pytest
import torch

from varnel.zel import zel


def _overloaded(namespace, prefix):
    # pybind11 turns a second binding of a name into an overload of the first.
    found = []
    for name in dir(namespace):
        doc = getattr(getattr(namespace, name), "__doc__", None) or ""
        if "Overloaded function" in doc:
            found.append(prefix + name)
    return found


def test_every_name_has_one_binding():
    found = _overloaded(zel.Tensor, "Tensor.") + _overloaded(zel, "zel.")
    found += _overloaded(zel.linalg, "linalg.")
    assert found == []


def test_reductions_and_norms_take_every_form_in_one_binding():
    x = zel.tensor([[1.0, -2.0], [3.0, 4.0]])
    # The defined form and the several-axes form of the same method.
    assert x.sum(0).tolist() == [4.0, 2.0]
    assert x.sum((0, 1)).item() == 6.0
    assert x.var(correction=0).item() == x.var(unbiased=False).item()
    assert x.norm(float("inf")).item() == 4.0
    assert x.norm(0).item() == 4.0
    assert zel.norm(x, 2, (0, 1)).item() == zel.norm(x).item()
    assert x.dist(x + 1).item() == 2.0
    assert "Tree" in zel.Tensor.sum.__doc__ or "tree" in zel.Tensor.sum.__doc__


def _limbs(t):
    return t.torch_limbs().clone()


def _base():
    return zel.tensor([[1.5, -2.0, 3.0], [0.25, 5.0, -7.0]])


# (call, why it must raise): each is tried on a fresh tensor.
_FAILING = [
    lambda t: t.add_(zel.ones(4)),
    lambda t: t.add_(zel.ones(2, 3), alpha="x"),
    lambda t: t.sub_(zel.ones(3, 2, 3)),
    lambda t: t.mul_("x"),
    lambda t: t.div_(zel.ones(2, 1), rounding_mode="up"),
    lambda t: t.div_(zel.ones(5)),
    lambda t: t.pow_("x"),
    lambda t: t.clamp_("a", 1.0),
    lambda t: t.fill_(zel.ones(2)),
    lambda t: t.copy_(zel.ones(4, 3)),
    lambda t: t.copy_([1.0, 2.0, 3.0]),
    lambda t: t.masked_fill_(torch.ones(3, 2, 3, dtype=torch.bool), 1.0),
    lambda t: t.masked_fill_(torch.ones(2, 3, dtype=torch.bool), zel.ones(2)),
    lambda t: t.__setitem__((0, slice(None)), zel.ones(4)),
    lambda t: t.__setitem__(torch.tensor([0, 5]), 1.0),
    lambda t: t.__setitem__((torch.tensor([0, 1]), torch.tensor([2, 3])), 1.0),
    lambda t: t.__setitem__("x", 1.0),
]


@pytest.mark.parametrize("call", _FAILING, ids=[str(i) for i in range(len(_FAILING))])
def test_in_place_operations_that_raise_leave_the_tensor_unchanged(call):
    t = _base()
    before = _limbs(t)
    with pytest.raises((TypeError, ValueError, IndexError, RuntimeError)):
        call(t)
    assert torch.equal(_limbs(t), before)
    assert t.shape == (2, 3)


def test_in_place_operations_on_views_of_themselves_read_before_writing():
    for op, ref in itertools.product(["add_", "mul_", "copy_"], [0, 1]):
        t = _base()
        src = t[ref]
        expected = {"add_": t + src, "mul_": t * src, "copy_": src.expand(2, 3)}[op].tolist()
        getattr(t, op)(src)
        assert t.tolist() == expected


def test_in_place_calls_with_random_arguments_change_nothing_when_they_raise():
    pool = [1.0, 2, -1, 0, float("nan"), float("inf"), 10**30, -10**400, "x", None, True,
            [1.0, 2.0, 3.0], (0, 1), zel.ones(3), zel.ones(2, 3), zel.ones(2, 1), zel.ones(4),
            zel.ones(3, 2, 3), zel.tensor(2.0), zel.ones(0), torch.ones(2, 3, dtype=torch.bool),
            torch.ones(3, dtype=torch.bool), torch.tensor([0, 1]), torch.tensor([5]),
            torch.tensor([-3]), torch.ones(2, 3), slice(None), slice(0, 1), Ellipsis, 5, "floor"]
    names = ["add_", "sub_", "mul_", "div_", "pow_", "clamp_", "neg_", "zero_", "fill_", "copy_",
             "masked_fill_", "__setitem__", "__iadd__", "__isub__", "__imul__", "__itruediv__"]
    rng = __import__("random").Random(19)
    raised = 0
    for _ in range(3000):
        t = _base()
        if rng.random() < 0.2:
            t = t.T
        before, shape = _limbs(t), t.shape
        name = rng.choice(names)
        args = [rng.choice(pool) for _ in range(rng.randint(0, 3))]
        kwargs = {}
        if rng.random() < 0.2:
            kwargs[rng.choice(["alpha", "rounding_mode", "min", "max", "value"])] = rng.choice(pool)
        try:
            getattr(t, name)(*args, **kwargs)
        except Exception:
            raised += 1
            assert torch.equal(_limbs(t), before) and t.shape == shape, (name, args, kwargs)
    assert raised > 1000  # the sample reaches the error paths
