"""zel.nn modules against torch.nn in float64: the Module contract, Parameter,
layers and losses (forward and gradients on the same parameters)."""
import copy
import pickle
from collections import OrderedDict

import numpy as np
import pytest
import torch

from varnel.zel import zel

nn = zel.nn


def value(t):
    """float64 values of a library tensor."""
    return np.asarray(t.numpy(), dtype=np.float64).reshape(tuple(t.shape))


def close(ours, theirs, tol=1e-12):
    theirs = theirs.detach().numpy() if isinstance(theirs, torch.Tensor) else np.asarray(theirs)
    assert tuple(ours.shape) == tuple(theirs.shape)
    np.testing.assert_allclose(value(ours), theirs, rtol=tol, atol=tol)


def copy_params(ours, theirs):
    """Loads torch's float64 parameters and buffers into our module."""
    result = ours.load_state_dict(OrderedDict((k, zel.tensor(v.detach().double()))
                                              for k, v in theirs.state_dict().items()))
    assert not result.missing_keys and not result.unexpected_keys


def make_net(lib):
    """The same small network over either library."""
    def t(v):
        return zel.tensor(v) if lib is zel else torch.tensor(v, dtype=torch.float64)

    class Net(lib.nn.Module):
        def __init__(self):
            super().__init__()
            self.fc1 = lib.nn.Linear(3, 4)
            self.seq = None
            self.fc2 = lib.nn.Linear(4, 2, bias=False)
            self.scale = lib.nn.Parameter(t([2.0]))
            self.register_buffer("mean", t([0.0, 0.0]))
            self.register_buffer("scratch", t([1.0]), persistent=False)

        def forward(self, x):
            return self.fc2(self.fc1(x).relu()) * self.scale - self.mean

    return Net


Net, TorchNet = make_net(zel), make_net(torch)
Net.__qualname__ = "Net"  # picklable


def pair():
    theirs = TorchNet().double()
    ours = Net()
    copy_params(ours, theirs)
    return ours, theirs


# ---------------------------------------------------------------- the Module contract


def test_names_order_and_repr_follow_torch():
    ours, theirs = pair()
    for method in ("named_parameters", "named_buffers", "named_modules", "named_children"):
        assert [n for n, _ in getattr(ours, method)()] == [n for n, _ in getattr(theirs, method)()], method
    assert list(ours.state_dict()) == list(theirs.state_dict())
    assert ours.state_dict()._metadata == theirs.state_dict()._metadata
    assert repr(ours).replace("Net", "Net") == repr(theirs)
    assert [n for n, _ in ours.named_parameters(prefix="m", recurse=False)] == ["m.scale"]
    assert len(list(ours.parameters())) == 4 and len(list(ours.modules())) == 3


def test_forward_and_gradients_match_torch():
    ours, theirs = pair()
    x = np.random.default_rng(0).standard_normal((5, 3))
    xo, xt = zel.tensor(x, requires_grad=True), torch.tensor(x, requires_grad=True)
    yo, yt = ours(xo), theirs(xt)
    close(yo, yt)
    (yo * yo).sum().backward()
    (yt * yt).sum().backward()
    close(xo.grad, xt.grad)
    for (n, po), (_, pt) in zip(ours.named_parameters(), theirs.named_parameters()):
        close(po.grad, pt.grad)


def test_shared_submodules_and_parameters_are_named_once():
    lin = nn.Linear(2, 2)
    seq = nn.Module()
    seq.a, seq.b = lin, lin
    seq.w = lin.weight
    assert [n for n, _ in seq.named_modules()] == ["", "a"]
    assert [n for n, _ in seq.named_parameters()] == ["w", "a.bias"]
    assert len(list(seq.named_parameters(remove_duplicate=False))) == 5


def test_attribute_routing_and_deletion():
    m = nn.Module()
    m.p = nn.Parameter(zel.ones(2))
    m.register_buffer("b", zel.zeros(1))
    m.c = nn.Linear(1, 1)
    assert list(m._parameters) == ["p"] and list(m._buffers) == ["b"] and list(m._modules) == ["c"]
    assert "p" not in m.__dict__ and {"p", "b", "c"} <= set(dir(m))
    m.b = zel.ones(3)  # a Tensor assigned to a buffer name replaces the buffer
    assert m.b.shape == (3,)
    m.p = None
    assert m._parameters["p"] is None and m.p is None
    m.c = nn.Parameter(zel.ones(1))  # a parameter replaces the submodule of that name
    assert "c" not in m._modules and "c" in m._parameters
    del m.c, m.b
    assert not hasattr(m, "c") and not hasattr(m, "b")
    with pytest.raises(AttributeError, match="'Module' object has no attribute 'zzz'"):
        m.zzz


@pytest.mark.parametrize("action, error, message", [
    (lambda m: setattr(m, "weight", zel.ones(2)), TypeError, r"cannot assign 'varnel.zel.zel.Tensor' as parameter 'weight'"),
    (lambda m: setattr(m, "sub", 3), TypeError, r"cannot assign 'int' as child module 'sub'"),
    (lambda m: (m.register_buffer("buf", None), setattr(m, "buf", [1])), TypeError, r"cannot assign 'list' as buffer 'buf'"),
    (lambda m: m.register_buffer("a.b", zel.ones(1)), KeyError, r"buffer name can.*contain"),
    (lambda m: m.register_buffer("", None), KeyError, r"buffer name can.*be empty"),
    (lambda m: m.register_buffer(3, None), TypeError, r"buffer name should be a string. Got int"),
    (lambda m: m.register_buffer("weight", zel.ones(1)), KeyError, r"attribute 'weight' already exists"),
    (lambda m: m.register_buffer("x", torch.ones(1)), TypeError, r"cannot assign 'torch.FloatTensor' object to buffer"),
    (lambda m: m.register_parameter("x", zel.ones(1)), TypeError, r"\(torch.nn.Parameter or None required\)"),
    (lambda m: m.register_parameter("x", nn.Parameter(zel.ones(1)) * 2), TypeError, r"or None required"),
    (lambda m: m.add_module("x", 3), TypeError, r"int is not a Module subclass"),
    (lambda m: m.add_module("a.b", None), KeyError, r"module name can.*contain .*, got: a.b"),
    (lambda m: m.get_submodule("sub.nothing"), AttributeError, r"Module has no attribute `nothing`"),
    (lambda m: m.get_submodule("weight"), AttributeError, r"`weight` is not an nn.Module"),
    (lambda m: m.get_parameter("sub.weight"), AttributeError, r"`weight` is not an nn.Parameter"),
    (lambda m: m.get_buffer("weight"), AttributeError, r"`weight` is not a buffer"),
    (lambda m: m.train("yes"), ValueError, r"training mode is expected to be boolean"),
    (lambda m: m(1), NotImplementedError, r'missing the required "forward" function'),
    (lambda m: m.to(torch.int64), TypeError, r"only accepts floating point or complex dtypes"),
    (lambda m: m.register_forward_hook(3), TypeError, r"must be callable"),
])
def test_registration_errors_follow_torch(action, error, message):
    m = nn.Module()
    m.weight = nn.Parameter(zel.ones(2))
    m.sub = nn.Module()
    m.sub.weight = zel.ones(1)
    with pytest.raises(error, match=message):
        action(m)


def test_assignment_before_init_is_refused():
    class Early(nn.Module):
        def __init__(self):
            self.w = nn.Parameter(zel.ones(1))

    with pytest.raises(AttributeError, match="cannot assign parameters before Module.__init__"):
        Early()


def test_get_submodule_parameter_buffer():
    ours, _ = pair()
    assert ours.get_submodule("fc1") is ours.fc1 and ours.get_submodule("") is ours
    assert ours.get_parameter("fc1.weight") is ours.fc1.weight
    assert ours.get_buffer("mean") is ours.mean


def test_forward_hooks_order_rewrites_and_removal():
    lin = nn.Linear(2, 2)
    calls = []
    h1 = lin.register_forward_pre_hook(lambda m, args: calls.append("pre1") or (args[0] * 2,))
    lin.register_forward_pre_hook(lambda m, args: calls.append("pre0"), prepend=True)
    h3 = lin.register_forward_hook(lambda m, args, out: out + 1)
    lin.register_forward_pre_hook(lambda m, args, kwargs: (args, kwargs), with_kwargs=True)
    x = zel.tensor([[1.0, -1.0]])
    expected = value(lin.forward(x * 2) + 1)
    np.testing.assert_array_equal(value(lin(x)), expected)
    assert calls == ["pre0", "pre1"]
    h1.remove()
    h3.remove()
    h3.remove()
    np.testing.assert_array_equal(value(lin(x)), value(lin.forward(x)))
    with lin.register_forward_hook(lambda m, args, out: out * 0):
        assert not value(lin(x)).any()
    assert value(lin(x)).any()
    lin.register_forward_pre_hook(lambda m, a, k: 5, with_kwargs=True)
    with pytest.raises(RuntimeError, match="must return None or a tuple of"):
        lin(x)


def test_train_eval_apply_and_requires_grad():
    ours, _ = pair()
    assert ours.eval() is ours and not any(m.training for m in ours.modules())
    ours.train()
    assert all(m.training for m in ours.modules())
    seen = []
    ours.apply(lambda m: seen.append(type(m).__name__))
    assert seen == ["Linear", "Linear", "Net"]
    ours.requires_grad_(False)
    assert not any(p.requires_grad for p in ours.parameters())


@pytest.mark.parametrize("set_to_none", [True, False, None])
def test_zero_grad(set_to_none):
    ours, theirs = pair()
    for m in (ours, theirs):
        m(zel.ones(1, 3) if m is ours else torch.ones(1, 3, dtype=torch.float64)).sum().backward()
        if set_to_none is None:
            m.zero_grad()
        else:
            m.zero_grad(set_to_none=set_to_none)
    for po, pt in zip(ours.parameters(), theirs.parameters()):
        assert (po.grad is None) == (pt.grad is None)
        if po.grad is not None:
            assert not value(po.grad).any()


# ---------------------------------------------------------------- state dicts


def limbs(t):
    return t._data.numpy().tobytes()


def test_state_dict_shares_limbs_and_round_trips_exactly():
    zel.manual_seed(3)
    a, b = Net(), Net()
    with zel.no_grad():
        # Values that need more than one limb.
        a.fc1.weight.copy_(a.fc1.weight / 3)
    sd = a.state_dict()
    assert sd["fc1.weight"]._data.data_ptr() == a.fc1.weight._data.data_ptr()
    assert not sd["fc1.weight"].requires_grad and type(sd["fc1.weight"]) is zel.Tensor
    assert "scratch" not in sd
    assert a.state_dict(keep_vars=True)["fc1.weight"] is a.fc1.weight
    assert b.load_state_dict(sd).missing_keys == []
    for k, v in sd.items():
        assert limbs(b.state_dict()[k]) == limbs(v)
    assert np.count_nonzero(a.fc1.weight._data.numpy()[:, 1:]) > 0
    c = pickle.loads(pickle.dumps(a))
    d = copy.deepcopy(a)
    for m in (c, d):
        assert isinstance(m.fc1.weight, nn.Parameter) and m.fc1.weight.requires_grad
        assert m.fc1.weight is not a.fc1.weight
        assert limbs(m.fc1.weight) == limbs(a.fc1.weight)


def test_load_state_dict_errors_and_non_strict_keys():
    ours, theirs = pair()
    sd = OrderedDict((k, zel.tensor(v.detach())) for k, v in theirs.state_dict().items())
    bad = OrderedDict(sd)
    del bad["fc1.bias"]
    bad["fc1.extra"] = zel.ones(1)
    bad["fc2.weight"] = zel.ones(3, 3)
    their_bad = OrderedDict((k, torch.tensor(v.numpy())) for k, v in bad.items())
    with pytest.raises(RuntimeError) as ours_error:
        ours.load_state_dict(bad)
    with pytest.raises(RuntimeError) as their_error:
        theirs.load_state_dict(their_bad)
    assert str(ours_error.value).replace("Net", "Net") == str(their_error.value)
    del bad["fc2.weight"]
    result = ours.load_state_dict(bad, strict=False)
    assert result == theirs.load_state_dict(OrderedDict((k, torch.tensor(v.numpy())) for k, v in bad.items()),
                                            strict=False)
    assert repr(ours.load_state_dict(sd)) == "<All keys matched successfully>"
    with pytest.raises(TypeError, match="Expected state_dict to be dict-like"):
        ours.load_state_dict([1, 2])
    with pytest.raises(RuntimeError, match='While copying the parameter named "scale", expected torch.Tensor'):
        ours.load_state_dict(dict(sd, scale=[2.0]))


# ---------------------------------------------------------------- Parameter


def test_parameter_shares_data_and_is_a_leaf():
    t = zel.tensor([1.0, 2.0])
    p = nn.Parameter(t)
    assert isinstance(p, zel.Tensor) and p.requires_grad and p.is_leaf
    assert p._data.data_ptr() == t._data.data_ptr()
    assert repr(p) == "Parameter containing:\n" + repr(t)
    assert not nn.Parameter(t, requires_grad=False).requires_grad
    assert nn.Parameter().shape == (0,)
    assert type(p * 2) is zel.Tensor
    assert {p: 1}[p] == 1
    with pytest.raises(TypeError, match="must be Tensor, not list"):
        nn.Parameter([1.0])
    with pytest.raises(TypeError, match="requires_grad' must be bool"):
        nn.Parameter(t, requires_grad="yes")


# ---------------------------------------------------------------- layers


def test_linear_default_init_is_kaiming_and_reproducible():
    zel.manual_seed(5)
    a = nn.Linear(400, 30)
    zel.manual_seed(5)
    b = nn.Linear(400, 30)
    assert limbs(a.weight) == limbs(b.weight)
    w, bias = value(a.weight), value(a.bias)
    bound = 1 / 20
    assert np.abs(w).max() <= bound and np.abs(w).max() > 0.99 * bound
    assert abs(w.std() - bound / np.sqrt(3)) < 0.03 * bound
    assert np.abs(bias).max() <= bound
    assert repr(nn.Linear(3, 1, bias=False)) == repr(torch.nn.Linear(3, 1, bias=False))


@pytest.mark.parametrize("shape", [(5, 3), (3,), (2, 4, 3)])
@pytest.mark.parametrize("bias", [True, False])
def test_linear_matches_torch(shape, bias):
    theirs = torch.nn.Linear(3, 2, bias=bias).double()
    ours = nn.Linear(3, 2, bias=bias)
    copy_params(ours, theirs)
    x = np.random.default_rng(1).standard_normal(shape)
    xo, xt = zel.tensor(x, requires_grad=True), torch.tensor(x, requires_grad=True)
    yo, yt = ours(xo), theirs(xt)
    close(yo, yt)
    yo.sum().backward()
    yt.sum().backward()
    close(xo.grad, xt.grad)
    close(ours.weight.grad, theirs.weight.grad)
    if bias:
        close(ours.bias.grad, theirs.bias.grad)


@pytest.mark.parametrize("args", [(-1, 2), (2.0, 3), (2, True)])
def test_linear_refuses_bad_sizes(args):
    with pytest.raises((TypeError, ValueError)):
        nn.Linear(*args)
