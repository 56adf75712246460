"""zel.nn modules against torch.nn in float64: the Module contract, Parameter,
layers and losses (forward and gradients on the same parameters)."""
import copy
import math
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


# ---------------------------------------------------------------- containers


def both(build):
    """The same construction over zel.nn and torch.nn."""
    return build(zel.nn), build(torch.nn)


def names(m):
    return [n for n, _ in m.named_parameters()], [n for n, _ in m.named_modules()]


@pytest.mark.parametrize("edit", [
    lambda s, nn: s.append(nn.Tanh()),
    lambda s, nn: s.__delitem__(1),
    lambda s, nn: s.__delitem__(slice(0, 2)),
    lambda s, nn: s.__setitem__(-1, nn.Linear(3, 1)),
    lambda s, nn: s.insert(1, nn.Linear(3, 3)) if hasattr(torch.nn.Sequential, "insert") else None,
])
def test_sequential_edits_match_torch(edit):
    ours, theirs = both(lambda nn: nn.Sequential(nn.Linear(2, 3), nn.ReLU(), nn.Linear(3, 2)))
    edit(ours, zel.nn)
    edit(theirs, torch.nn)
    assert names(ours) == names(theirs) and repr(ours) == repr(theirs) and len(ours) == len(theirs)


def test_sequential_indexing_and_forward():
    zel.manual_seed(0)
    seq = nn.Sequential(OrderedDict([("fc", nn.Linear(2, 3)), ("act", nn.ReLU()), ("out", nn.Linear(3, 1))]))
    assert seq[0] is seq.fc and seq[-1] is seq.out and list(seq) == [seq.fc, seq.act, seq.out]
    assert isinstance(seq[1:], nn.Sequential) and list(seq[1:]._modules) == ["act", "out"]
    x = zel.randn(4, 2)
    assert np.array_equal(value(seq(x)), value(seq.out(seq.act(seq.fc(x)))))
    with pytest.raises(IndexError, match="index 3 is out of range"):
        seq[3]
    with pytest.raises(TypeError, match="indices must be integers"):
        seq["fc"]
    assert "fc" in dir(seq) and "0" not in dir(nn.Sequential(nn.ReLU()))


def test_module_list_and_dict_match_torch():
    ours, theirs = both(lambda nn: nn.ModuleList([nn.Linear(2, 2), nn.ReLU()]))
    for m, lib in ((ours, zel.nn), (theirs, torch.nn)):
        m.append(lib.Linear(2, 1))
        m.extend([lib.Tanh()])
        m.insert(1, lib.Sigmoid())
        del m[0]
        m += [lib.ReLU()]
    assert names(ours) == names(theirs) and repr(ours) == repr(theirs)
    assert isinstance(ours[1:3], nn.ModuleList) and len(ours[1:3]) == 2
    with pytest.raises(TypeError, match="ModuleList.extend should be called with an iterable"):
        ours.extend(3)
    md, tmd = both(lambda nn: nn.ModuleDict({"b": nn.ReLU(), "a": nn.Linear(1, 1)}))
    assert names(md) == names(tmd) and list(md.keys()) == ["b", "a"] and "a" in md
    assert md.pop("b") is not None and len(md) == 1
    with pytest.raises(ValueError, match="has length 3; 2 is required"):
        md.update([("x", nn.ReLU(), 1)])
    with pytest.raises(TypeError, match="ModuleDict.update should be called with an iterable"):
        md.update(5)


def test_parameter_containers_match_torch():
    def build(nn):
        lib_tensor = zel.ones if nn is zel.nn else torch.ones
        m = nn.Module()
        m.plist = nn.ParameterList([lib_tensor(2, 3), nn.Parameter(lib_tensor(1)), "text"])
        m.pdict = nn.ParameterDict({"z": lib_tensor(2), "a": lib_tensor(3)})
        m.pdict["m"] = nn.Parameter(lib_tensor(1), requires_grad=False)
        return m

    ours, theirs = both(build)
    assert names(ours) == names(theirs) and repr(ours) == repr(theirs)
    assert all(isinstance(p, nn.Parameter) for p in ours.plist[:2])
    assert isinstance(ours.plist[1:], nn.ParameterList) and ours.plist[-1] == "text"
    assert list(ours.pdict) == list(theirs.pdict) and ours.pdict.get("q", 7) == 7
    assert ours.pdict.pop("z").shape == (2,) and "z" not in ours.pdict
    with pytest.raises(TypeError, match="not a string"):
        ours.pdict[3] = zel.ones(1)
    with pytest.raises(RuntimeError, match="ParameterList should not be called"):
        ours.plist(1)


# ---------------------------------------------------------------- layers against torch


def label_smoothing_works():
    try:
        zel.nn.functional.cross_entropy(zel.zeros(1, 2), torch.tensor([0]), label_smoothing=0.1)
        return True
    except NotImplementedError:
        return False


def needs(*names):
    """Skips where the functional namespace does not provide a function (or an option) yet."""
    missing = [n for n in names if not (hasattr(zel.nn.functional, n) if " " not in n else label_smoothing_works())]
    return pytest.mark.skipif(bool(missing), reason="nn.functional lacks %s" % ", ".join(missing))


# (class name, constructor args, kwargs, input shapes, functional names it needs, integer inputs)
LAYERS = [
    ("Linear", (4, 3), {}, [(5, 4)], ()),
    ("Identity", (1, 2), {"x": 3}, [(2, 3)], ()),
    ("Flatten", (), {}, [(2, 3, 4)], ()),
    ("Flatten", (0, 1), {}, [(2, 3, 4)], ()),
    ("Unflatten", (1, (2, 3)), {}, [(4, 6)], ()),
    ("Bilinear", (3, 2, 4), {}, [(5, 3), (5, 2)], ("bilinear",)),
    ("Conv1d", (2, 4, 3), {"stride": 2, "padding": 1}, [(2, 2, 9)], ("conv1d",)),
    ("Conv1d", (4, 2, 3), {"groups": 2, "bias": False, "padding_mode": "circular", "padding": 2}, [(1, 4, 7)],
     ("conv1d",)),
    ("Conv2d", (2, 3, (3, 2)), {"dilation": (1, 2), "padding": "same", "padding_mode": "reflect"}, [(2, 2, 6, 7)],
     ("conv2d",)),
    ("Conv2d", (2, 2, 3), {"padding": 1, "padding_mode": "replicate"}, [(1, 2, 5, 5)], ("conv2d",)),
    ("Conv2d", (2, 2, 2), {"padding": "valid"}, [(2, 4, 4)], ("conv2d",)),
    ("LayerNorm", (4,), {}, [(3, 4)], ("layer_norm",)),
    ("LayerNorm", ((2, 3),), {"elementwise_affine": False, "eps": 1e-3}, [(4, 2, 3)], ("layer_norm",)),
    ("BatchNorm1d", (3,), {}, [(5, 3)], ("batch_norm",)),
    ("BatchNorm1d", (3,), {"momentum": None, "affine": False}, [(4, 3, 2)], ("batch_norm",)),
    ("BatchNorm1d", (3,), {"track_running_stats": False}, [(4, 3)], ("batch_norm",)),
    ("Dropout", (0.0,), {}, [(3, 4)], ("dropout",)),
    ("ReLU", (), {}, [(3, 4)], ()),
    ("LeakyReLU", (0.2,), {}, [(3, 4)], ("leaky_relu",)),
    ("ELU", (0.7,), {}, [(3, 4)], ("elu",)),
    ("SELU", (), {}, [(3, 4)], ("selu",)),
    ("CELU", (1.5,), {}, [(3, 4)], ("celu",)),
    ("GELU", (), {}, [(3, 4)], ()),
    ("GELU", (), {"approximate": "tanh"}, [(3, 4)], ()),
    ("SiLU", (), {}, [(3, 4)], ()),
    ("Mish", (), {}, [(3, 4)], ("mish",)),
    ("Softplus", (2, 1.5), {}, [(3, 4)], ("softplus",)),
    ("Tanh", (), {}, [(3, 4)], ()),
    ("Sigmoid", (), {}, [(3, 4)], ()),
    ("Hardtanh", (-0.5, 0.75), {}, [(3, 4)], ("hardtanh",)),
    ("Softmax", (1,), {}, [(3, 4)], ()),
    ("LogSoftmax", (0,), {}, [(3, 4)], ()),
]


def run_pair(name, args, kwargs, shapes, integer=None):
    """Forward and backward of the same module in both libraries; returns both and the inputs."""
    theirs = getattr(torch.nn, name)(*args, **kwargs).double()
    ours = getattr(nn, name)(*args, **kwargs)
    copy_params(ours, theirs)
    rng = np.random.default_rng(3)
    xs = [rng.standard_normal(s) for s in shapes]
    xo = [zel.tensor(x, requires_grad=True) for x in xs]
    xt = [torch.tensor(x, requires_grad=True) for x in xs]
    yo, yt = ours(*xo), theirs(*xt)
    close(yo, yt)
    w = rng.standard_normal(tuple(yt.shape))
    (yo * zel.tensor(w)).sum().backward()
    (yt * torch.tensor(w)).sum().backward()
    for a, b in zip(xo, xt):
        close(a.grad, b.grad)
    for (n, po), (_, pt) in zip(ours.named_parameters(), theirs.named_parameters()):
        close(po.grad, pt.grad)
    return ours, theirs


@pytest.mark.parametrize("name, args, kwargs, shapes, fns", [
    pytest.param(*case, marks=needs(*case[4]), id="%s%s%s" % (case[0], case[1], case[2] or "")) for case in LAYERS])
def test_layers_match_torch(name, args, kwargs, shapes, fns):
    ours, theirs = run_pair(name, args, kwargs, shapes)
    assert repr(ours) == repr(theirs)
    assert list(ours.state_dict()) == list(theirs.state_dict())
    for k, v in ours.state_dict().items():
        close(v, theirs.state_dict()[k].double())


@pytest.mark.parametrize("name, args, kwargs", [
    ("Conv1d", (3, 6, 5), {}), ("Conv2d", (2, 4, (3, 2)), {"groups": 2, "stride": 2}),
    ("Bilinear", (5, 3, 2), {}), ("Linear", (10, 3), {"bias": False}), ("Embedding", (5, 3), {"padding_idx": -2}),
    ("LayerNorm", (3,), {}), ("BatchNorm1d", (4,), {})])
def test_default_initialisation_has_torch_bounds(name, args, kwargs):
    zel.manual_seed(0)
    ours = getattr(nn, name)(*args, **kwargs)
    torch.manual_seed(0)
    theirs = getattr(torch.nn, name)(*args, **kwargs)
    assert repr(ours) == repr(theirs)
    for (n, po), (_, pt) in zip(ours.named_parameters(), theirs.named_parameters()):
        assert po.shape == tuple(pt.shape), n
        vo, vt = value(po), pt.detach().double().numpy()
        if name == "Embedding":  # N(0, 1) apart from the zero padding row
            assert not vo[3].any() and vo.std() > 0.3
        elif (vt == vt.flat[0]).all():  # constant initialisations are exact
            assert np.array_equal(vo, vt)
        else:
            # 1/sqrt(fan_in) for weight and bias (Bilinear: in1_features), kaiming's a=sqrt(5) included.
            fan_in = theirs.weight.shape[1] if name == "Bilinear" else np.prod(theirs.weight.shape[1:])
            bound = 1 / math.sqrt(fan_in)
            assert np.abs(vt).max() <= bound
            assert 0.5 * bound < np.abs(vo).max() <= bound


def test_batchnorm_running_statistics_follow_torch():
    fns = [n for n in ("batch_norm",) if not hasattr(zel.nn.functional, n)]
    if fns:
        pytest.skip("nn.functional lacks batch_norm")
    for momentum in (0.1, None):
        theirs = torch.nn.BatchNorm1d(3, momentum=momentum).double()
        ours = nn.BatchNorm1d(3, momentum=momentum)
        rng = np.random.default_rng(5)
        for step in range(3):
            x = rng.standard_normal((6, 3)) * (step + 1) + step
            close(ours(zel.tensor(x)), theirs(torch.tensor(x)))
        for k, v in theirs.state_dict().items():
            close(ours.state_dict()[k], v.double())
        ours.eval()
        theirs.eval()
        x = rng.standard_normal((2, 3))
        close(ours(zel.tensor(x)), theirs(torch.tensor(x)))
        assert float(ours.num_batches_tracked) == 3


def test_batchnorm_loads_torch_checkpoints_with_and_without_the_counter():
    theirs = torch.nn.BatchNorm1d(2).double()
    sd = theirs.state_dict()
    ours = nn.BatchNorm1d(2)
    assert ours.load_state_dict(sd).missing_keys == []
    old = OrderedDict((k, v) for k, v in sd.items() if k != "num_batches_tracked")
    assert ours.load_state_dict(old).missing_keys == []  # no metadata: an old checkpoint
    with pytest.raises(ValueError, match=r"expected 2D or 3D input \(got 1D input\)"):
        ours(zel.ones(2))


@needs("dropout")
def test_dropout_acts_only_while_training():
    drop = nn.Dropout(0.5)
    x = zel.ones(50, 40)
    zel.manual_seed(1)
    y = value(drop(x))
    assert set(np.unique(y)) == {0.0, 2.0} and 0.4 < (y == 0).mean() < 0.6
    drop.eval()
    assert np.array_equal(value(drop(x)), value(x))
    assert not value(nn.Dropout(1.0)(x)).any()


def test_embedding_padding_and_pretrained():
    zel.manual_seed(0)
    emb = nn.Embedding(4, 3, padding_idx=1)
    assert not value(emb.weight)[1].any() and value(emb.weight)[0].any()
    assert repr(emb) == repr(torch.nn.Embedding(4, 3, padding_idx=1))
    w = zel.tensor([[1.0, 2.0], [3.0, 4.0]])
    frozen = nn.Embedding.from_pretrained(w)
    assert not frozen.weight.requires_grad and frozen.weight._data.data_ptr() == w._data.data_ptr()
    assert nn.Embedding.from_pretrained(w, freeze=False).weight.requires_grad
    if hasattr(zel.nn.functional, "embedding"):
        idx = torch.tensor([[1, 0], [1, 1]])
        assert np.array_equal(value(frozen(idx)), value(w)[idx.numpy()])


@pytest.mark.parametrize("build, error, message", [
    (lambda nn: nn.Conv2d(3, 4, 3, groups=2), ValueError, "in_channels must be divisible by groups"),
    (lambda nn: nn.Conv2d(4, 3, 3, groups=2), ValueError, "out_channels must be divisible by groups"),
    (lambda nn: nn.Conv2d(4, 4, 3, groups=0), ValueError, "groups must be a positive integer"),
    (lambda nn: nn.Conv1d(1, 1, 3, padding="full"), ValueError, "Invalid padding string 'full'"),
    (lambda nn: nn.Conv1d(1, 1, 3, stride=2, padding="same"), ValueError, "not supported for strided"),
    (lambda nn: nn.Conv1d(1, 1, 3, padding_mode="mirror"), ValueError, "padding_mode must be one of"),
    (lambda nn: nn.Dropout(1.5), ValueError, "dropout probability has to be between 0 and 1, but got 1.5"),
    (lambda nn: nn.Embedding(3, 2, padding_idx=3), AssertionError, "Padding_idx must be within num_embeddings"),
    (lambda nn: nn.Embedding(3, 2, padding_idx=-4), AssertionError, "Padding_idx must be within num_embeddings"),
    (lambda nn: nn.Unflatten(1, [2, "3"]), TypeError, "unflattened_size must be tuple of ints, but found element"),
    (lambda nn: nn.Unflatten(1, 6), TypeError, "unflattened_size must be a tuple of ints, but found type int"),
])
def test_constructor_errors_match_torch(build, error, message):
    for lib in (zel.nn, torch.nn):
        with pytest.raises(error, match=message):
            build(lib)


@pytest.mark.parametrize("build", [
    lambda: nn.Conv2d(2, 2, 0), lambda: nn.Conv1d(2, 2, 3, stride=0), lambda: nn.Conv1d(2, 2, (3, 3)),
    lambda: nn.Conv2d(2, 2, 3, padding=-1), lambda: nn.Linear(1 << 40, 1 << 40), lambda: nn.LayerNorm("3"),
    lambda: nn.BatchNorm1d(-2), lambda: nn.LeakyReLU("x"), lambda: nn.Hardtanh(1.0, -1.0),
    lambda: nn.Unflatten(1.0, (2, 3))])
def test_hostile_constructor_arguments_raise_cleanly(build):
    with pytest.raises((TypeError, ValueError, AssertionError, RuntimeError)):
        build()


# ---------------------------------------------------------------- losses against torch

# (class, kwargs, input, target, extra inputs, functional name)
def losses():
    rng = np.random.default_rng(9)
    x, y = rng.standard_normal((4, 3)), rng.standard_normal((4, 3))
    p = 1 / (1 + np.exp(-x))
    logp = np.log(np.exp(x) / np.exp(x).sum(1, keepdims=True))
    classes = torch.tensor([0, 2, 1, 2])
    return [
        ("MSELoss", {}, x, y, "mse_loss"),
        ("MSELoss", {"reduction": "sum"}, x, y, "mse_loss"),
        ("MSELoss", {"size_average": False}, x, y, "mse_loss"),
        ("L1Loss", {"reduction": "none"}, x, y, "l1_loss"),
        ("SmoothL1Loss", {"beta": 0.5}, x, y, "smooth_l1_loss"),
        ("HuberLoss", {"delta": 0.7}, x, y, "huber_loss"),
        ("CrossEntropyLoss", {}, x, classes, "cross_entropy"),
        ("CrossEntropyLoss", {"ignore_index": 1, "reduction": "sum"}, x, classes, "cross_entropy"),
        ("CrossEntropyLoss", {"label_smoothing": 0.1}, x, classes, "cross_entropy label_smoothing"),
        ("CrossEntropyLoss", {"weight": [0.2, 1.0, 3.0]}, x, classes, "cross_entropy"),
        ("NLLLoss", {}, logp, classes, "nll_loss"),
        ("BCELoss", {}, p, rng.uniform(size=(4, 3)), "binary_cross_entropy"),
        ("BCEWithLogitsLoss", {"pos_weight": [1.0, 2.0, 0.5]}, x, rng.uniform(size=(4, 3)),
         "binary_cross_entropy_with_logits"),
        ("KLDivLoss", {"reduction": "batchmean"}, logp, rng.dirichlet(np.ones(3), 4), "kl_div"),
        ("KLDivLoss", {"log_target": True}, logp, logp[::-1].copy(), "kl_div"),
        ("GaussianNLLLoss", {"full": True}, x, y, "gaussian_nll_loss"),
        ("PoissonNLLLoss", {}, x, rng.poisson(2.0, (4, 3)).astype(float), "poisson_nll_loss"),
        ("PoissonNLLLoss", {"log_input": False, "full": True}, p * 3, rng.poisson(2.0, (4, 3)).astype(float),
         "poisson_nll_loss"),
    ]


@pytest.mark.filterwarnings("ignore:size_average and reduce args", "ignore:reduction. 'mean' divides")
@pytest.mark.parametrize("name, kwargs, x, target, fn", [
    pytest.param(*case, marks=needs(case[4]), id="%s%s" % (case[0], case[1] or "")) for case in losses()])
def test_losses_match_torch(name, kwargs, x, target, fn):
    def build(lib):
        kw = dict(kwargs)
        for k in ("weight", "pos_weight"):
            if k in kw:
                kw[k] = zel.tensor(kw[k]) if lib is zel else torch.tensor(kw[k], dtype=torch.float64)
        return getattr(lib.nn, name)(**kw)

    ours, theirs = build(zel), build(torch)
    assert repr(ours) == repr(theirs) and ours.reduction == theirs.reduction
    xo, xt = zel.tensor(x, requires_grad=True), torch.tensor(x, requires_grad=True)
    to = target if isinstance(target, torch.Tensor) else zel.tensor(target)
    tt = target if isinstance(target, torch.Tensor) else torch.tensor(target)
    extra_o, extra_t = [], []
    if name == "GaussianNLLLoss":
        var = np.random.default_rng(2).uniform(0.5, 2.0, x.shape)
        extra_o, extra_t = [zel.tensor(var, requires_grad=True)], [torch.tensor(var, requires_grad=True)]
    lo, lt = ours(xo, to, *extra_o), theirs(xt, tt, *extra_t)
    close(lo, lt)
    lo.sum().backward()
    lt.sum().backward()
    close(xo.grad, xt.grad)
    for a, b in zip(extra_o, extra_t):
        close(a.grad, b.grad)


def test_weighted_losses_keep_their_weight_as_a_buffer():
    loss = nn.CrossEntropyLoss(weight=zel.tensor([1.0, 2.0]))
    assert list(loss.state_dict()) == list(torch.nn.CrossEntropyLoss(weight=torch.ones(2)).state_dict())
    with pytest.raises(TypeError, match="cannot assign 'list' object to buffer 'weight'"):
        nn.NLLLoss(weight=[1.0, 2.0])


def test_module_to_keeps_parameter_objects():
    lin = nn.Linear(2, 2)
    w = lin.weight
    before = limbs(w)
    assert lin.to(torch.float32) is lin and lin.double() is lin and lin.float() is lin and lin.cpu() is lin
    assert lin.to("cpu", torch.float64) is lin
    assert lin.weight is w and limbs(w) == before
    with pytest.raises(TypeError, match="dst_type"):
        lin.type(torch.int32)


def test_conversions_keep_parameters_and_convert_gradients():
    lin = nn.Linear(2, 2)
    lin(zel.ones(1, 2)).sum().backward()
    w, g = lin.weight, value(lin.weight.grad)
    lin._apply(lambda t: t * 2)  # what a device move does: new limbs for the same Parameter
    assert lin.weight is w and w.requires_grad and w.is_leaf
    np.testing.assert_array_equal(value(w.grad), 2 * g)


@pytest.mark.parametrize("opt", ["SGD", "Adam"])
def test_training_steps_follow_torch(opt):
    zel.manual_seed(0)
    ours = nn.Sequential(nn.Linear(3, 5), nn.Tanh(), nn.Linear(5, 1))
    theirs = torch.nn.Sequential(torch.nn.Linear(3, 5), torch.nn.Tanh(), torch.nn.Linear(5, 1)).double()
    theirs.load_state_dict(OrderedDict((k, torch.tensor(value(v))) for k, v in ours.state_dict().items()))
    oo = getattr(zel.optim, opt)(ours.parameters(), lr=0.05)
    ot = getattr(torch.optim, opt)(theirs.parameters(), lr=0.05)
    rng = np.random.default_rng(4)
    for _ in range(5):
        x, y = rng.standard_normal((8, 3)), rng.standard_normal((8, 1))
        for m, o, lib in ((ours, oo, zel), (theirs, ot, torch)):
            o.zero_grad()
            loss = lib.nn.MSELoss()(m(lib.tensor(x)), lib.tensor(y))
            loss.backward()
            o.step()
    for k, v in theirs.state_dict().items():
        close(ours.state_dict()[k], v)


def test_deepcopy_keeps_shared_parameters_shared():
    lin = nn.Linear(2, 2)
    tied = nn.Module()
    tied.a, tied.b = lin, nn.Linear(2, 2)
    tied.b.weight = lin.weight
    twin = copy.deepcopy(tied)
    assert twin.b.weight is twin.a.weight and twin.a.weight is not lin.weight
    assert len(list(twin.parameters())) == 3


def test_parameter_data_shares_limbs():
    p = nn.Parameter(zel.tensor([1.0, 2.0]))
    d = p.data
    assert not d.requires_grad and d._data.data_ptr() == p._data.data_ptr()
    p.data = zel.tensor([[5.0]])
    assert p.shape == (1, 1) and p.requires_grad and value(p)[0, 0] == 5.0
    with pytest.raises(TypeError, match="must be a Tensor"):
        p.data = [1.0]


def test_hooks_with_keyword_arguments():
    class Scale(nn.Module):
        def forward(self, x, factor=1.0):
            return x * factor

    m = Scale()
    seen = []
    m.register_forward_pre_hook(lambda mod, args, kwargs: (args, dict(kwargs, factor=3.0)), with_kwargs=True)
    m.register_forward_hook(lambda mod, args, kwargs, out: seen.append(kwargs["factor"]), with_kwargs=True)
    assert value(m(zel.tensor([2.0]), factor=5.0)).tolist() == [6.0]
    assert seen == [3.0]


def test_repeated_modules_print_as_torch():
    ours, theirs = both(lambda nn: nn.ModuleList([nn.ReLU(), nn.ReLU(), nn.ReLU(), nn.Tanh(), nn.ReLU()]))
    assert repr(ours) == repr(theirs)
    assert repr(nn.ModuleList()) == repr(torch.nn.ModuleList())


def test_public_names_are_documented():
    undocumented = []
    for name in nn.__all__:
        cls = getattr(nn, name)
        members = [(name, cls)] + [(name + "." + a, v.__func__ if isinstance(v, classmethod) else v)
                                   for a, v in vars(cls).items() if not a.startswith("_") and
                                   (callable(v) or isinstance(v, (property, classmethod)))]
        undocumented += [n for n, v in members if not (v.__doc__ or "").strip()]
    for space in (nn.init, nn.utils):
        undocumented += [n for n in space.__all__ if not (getattr(space, n).__doc__ or "").strip()]
    assert not undocumented


def grads_of(g):
    return None if g is None else (g.detach().numpy() if isinstance(g, torch.Tensor) else value(g))


@pytest.mark.parametrize("input_requires_grad", [True, False])
def test_full_backward_hooks_match_torch(input_requires_grad):
    def build(lib):
        seen = []
        m = lib.nn.Linear(3, 2)

        def hook(mod, grad_input, grad_output):
            seen.append(([grads_of(g) for g in grad_input], [grads_of(g) for g in grad_output]))
            return None if grad_input[0] is None else (grad_input[0] * 3,)
        m.register_full_backward_hook(hook)
        return m, seen

    (ours, seen_o), (theirs, seen_t) = build(zel), build(torch)
    theirs.double()
    copy_params(ours, theirs)
    x = np.random.default_rng(0).standard_normal((4, 3))
    xo, xt = zel.tensor(x, requires_grad=input_requires_grad), torch.tensor(x, requires_grad=input_requires_grad)
    ours(xo).sum().backward()
    theirs(xt).sum().backward()
    assert len(seen_o) == len(seen_t) == 1
    (gi_o, go_o), (gi_t, go_t) = seen_o[0], seen_t[0]
    np.testing.assert_allclose(go_o[0], go_t[0], rtol=1e-12)
    if input_requires_grad:
        np.testing.assert_allclose(gi_o[0], gi_t[0], rtol=1e-12)
        close(xo.grad, xt.grad)  # the hook's tripled gradient reached the input
    else:
        assert gi_o == gi_t == [None]
    close(ours.weight.grad, theirs.weight.grad)


def test_full_backward_pre_hook_rewrites_grad_output():
    lin = nn.Linear(3, 2)
    x = zel.randn(4, 3, requires_grad=True)
    lin(x).sum().backward()
    plain_x, plain_w = value(x.grad), value(lin.weight.grad)
    x.grad, lin.weight.grad = None, None
    handle = lin.register_full_backward_pre_hook(lambda m, grad_output: (grad_output[0] * 2,))
    lin(x).sum().backward()
    np.testing.assert_array_equal(value(x.grad), 2 * plain_x)
    np.testing.assert_array_equal(value(lin.weight.grad), 2 * plain_w)
    handle.remove()
    lin.register_full_backward_hook(lambda m, gi, go: (gi[0], gi[0]))
    with pytest.raises(RuntimeError, match="invalid number of grad_input, got 2, but expected 1"):
        lin(x).sum().backward()


@pytest.mark.parametrize("combine", [
    lambda a, b: a + b, lambda a, b: a * 3, lambda a, b: 2 * a, lambda a, b: a.__iadd__(b), lambda a, b: a.__imul__(2)])
def test_sequential_arithmetic_matches_torch(combine):
    ours = combine(*both(lambda nn: nn.Sequential(nn.Linear(2, 2), nn.ReLU()))[:1],
                   nn.Sequential(nn.Tanh()))
    theirs = combine(torch.nn.Sequential(torch.nn.Linear(2, 2), torch.nn.ReLU()), torch.nn.Sequential(torch.nn.Tanh()))
    assert names(ours) == names(theirs) and repr(ours) == repr(theirs)


@pytest.mark.parametrize("factor, error", [(0, ValueError), (1.5, TypeError), (1 << 40, ValueError)])
def test_sequential_refuses_bad_factors(factor, error):
    with pytest.raises(error):
        nn.Sequential(nn.ReLU()) * factor


def test_load_state_dict_post_hooks_edit_the_keys():
    ours, theirs = pair()
    calls = []

    def hook(module, keys):
        calls.append(type(module).__name__)
        keys.missing_keys.clear()
    for m in (ours, theirs):
        m.fc2.register_load_state_dict_post_hook(hook)  # fc2 loads after fc1
    sd = OrderedDict((k, v) for k, v in theirs.state_dict().items() if k not in ("fc1.bias", "fc2.weight"))
    their_result = theirs.load_state_dict(sd)
    assert ours.load_state_dict(OrderedDict((k, zel.tensor(v)) for k, v in sd.items())) == their_result
    assert calls == ["Linear", "Linear"]
    ours.fc2.register_load_state_dict_post_hook(lambda m, k: 1)
    with pytest.raises(AssertionError, match="not expected to return new values"):
        ours.load_state_dict(ours.state_dict())


def test_to_empty_keeps_shapes_and_parameter_objects():
    lin = nn.Linear(3, 2)
    w = lin.weight
    assert lin.to_empty(device="cpu") is lin and lin.weight is w and w.shape == (2, 3) and w.requires_grad


def test_load_state_dict_assign_takes_the_tensors():
    ours, _ = pair()
    ours.fc1.weight.requires_grad_(False)
    sd = OrderedDict((k, zel.tensor(value(v)) + 1) for k, v in ours.state_dict().items())
    ours.load_state_dict(sd, assign=True)
    assert isinstance(ours.fc1.weight, nn.Parameter) and not ours.fc1.weight.requires_grad
    assert ours.fc2.weight.requires_grad and ours.fc2.weight._data.data_ptr() == sd["fc2.weight"]._data.data_ptr()
    assert ours.mean is sd["mean"]


@pytest.mark.parametrize("build", [
    lambda i: nn.Linear(i(3), i(2)), lambda i: nn.Conv2d(i(2), i(4), i(3), groups=i(2)),
    lambda i: nn.Embedding(i(4), i(2), padding_idx=i(-1)), lambda i: nn.LayerNorm(i(3)),
    lambda i: nn.BatchNorm1d(i(3)), lambda i: nn.Bilinear(i(1), i(2), i(3))])
def test_numpy_integers_are_sizes(build):
    assert repr(build(np.int64)) == repr(build(int))


def test_zero_grad_detaches_a_recorded_gradient():
    lin = nn.Linear(2, 1)
    g, = zel.autograd.grad(lin(zel.randn(3, 2)).pow(2).sum(), [lin.weight], create_graph=True)
    lin.weight.grad = g
    lin.zero_grad(set_to_none=False)
    assert lin.weight.grad.grad_fn is None and not lin.weight.grad.requires_grad
    assert not value(lin.weight.grad).any()
