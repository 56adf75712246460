"""zel.save / zel.load: lossless round trips, paths and file objects, a restricted unpickler."""
import io
import os
import pathlib
import pickle
from collections import OrderedDict

import pytest
import torch

from varnel.zel import zel
from varnel.zel import _serialization


def limbs_tensor(shape):
    """A tensor whose 8 limbs all carry bits, with signed zeros, infinities and a NaN among the leads."""
    n = 1
    for s in shape:
        n *= s
    raw = torch.randn(n, 8, dtype=torch.float64, generator=torch.Generator().manual_seed(n + 7))
    raw *= torch.tensor([2.0 ** (-53 * k) for k in range(8)], dtype=torch.float64)
    specials = [-0.0, float("inf"), float("nan"), 5e-324]
    for i, v in enumerate(specials[:n]):
        raw[i] = 0.0
        raw[i, 0] = v
    return zel.Tensor(_raw=raw, _shape=shape)


def same_bits(a, b):
    return (isinstance(b, zel.Tensor) and a._shape == b._shape and a.requires_grad == b.requires_grad
            and a._data.numpy().tobytes() == b._data.numpy().tobytes())


SHAPES = [(), (0,), (5,), (2, 3), (2, 0, 4), (1, 2, 1, 3)]


@pytest.mark.parametrize("shape", SHAPES)
def test_tensors_round_trip_every_bit(shape, tmp_path):
    t = limbs_tensor(shape)
    g = (zel.tensor([1.0, 2.0]) / 3).requires_grad_(True)
    for target in (str(tmp_path / "a.zel"), tmp_path / "b.zel"):
        zel.save([t, g], target)
        u, h = zel.load(target)
        assert same_bits(t, u) and same_bits(g, h) and h.requires_grad and not u.requires_grad
        assert h.is_leaf and h.grad is None


def test_containers_numbers_and_strings_round_trip(tmp_path):
    t = limbs_tensor((2, 3))
    obj = {"a": [1, 2.5, -0.0, True, None, "text", 2 ** 100, 3 + 4j],
           "od": OrderedDict([("z", t), ("y", (t, [t]))]), 7: (None, "x", b"bytes"), "empty": ([], {}, ())}
    buf = io.BytesIO()
    zel.save(obj, buf)
    buf.seek(0)
    back = zel.load(buf)
    assert type(back["od"]) is OrderedDict and list(back["od"]) == ["z", "y"]
    assert back["a"] == obj["a"] and str(back["a"][2]) == "-0.0" and back[7] == obj[7] and back["empty"] == ([], {}, ())
    assert same_bits(t, back["od"]["z"]) and same_bits(t, back["od"]["y"][1][0])
    # Real files opened by the caller, written and read at an offset.
    with open(tmp_path / "f.zel", "wb") as f:
        f.write(b"xx")
        zel.save(obj["od"], f)
    with open(tmp_path / "f.zel", "rb") as f:
        assert f.read(2) == b"xx"
        assert same_bits(t, zel.load(f)["z"])


def test_optimizer_state_saves_and_resumes_bit_exactly(tmp_path):
    def run(opt, p, n):
        for _ in range(n):
            opt.zero_grad()
            ((p * p * p).sum() - p.sum()).backward()
            opt.step()
    p = zel.tensor([0.3, -0.7, 1.1], requires_grad=True)
    opt = zel.optim.Adam([p], lr=0.05, amsgrad=True)
    run(opt, p, 4)
    zel.save({"param": p, "optim": opt.state_dict()}, tmp_path / "ckpt")
    ckpt = zel.load(tmp_path / "ckpt")
    q = ckpt["param"]
    opt2 = zel.optim.Adam([q], lr=0.05, amsgrad=True)
    opt2.load_state_dict(ckpt["optim"])
    for key, v in opt.state_dict()["state"][0].items():
        assert same_bits(v, opt2.state_dict()["state"][0][key]), key
    run(opt, p, 3)
    run(opt2, q, 3)
    assert same_bits(p, q)


class _RunsCode:
    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return os.system, (f"touch {self.marker}",)


class _CallsEval:
    def __reduce__(self):
        return eval, ("1 + 1",)


class _BadRebuild:
    def __init__(self, *args):
        self.args = args

    def __reduce__(self):
        return _serialization._rebuild_tensor, self.args


def framed(obj):
    return pickle.dumps(("varnel.zel", 1, obj), protocol=4)


def test_load_refuses_code_and_foreign_globals(tmp_path):
    marker = tmp_path / "ran"
    for payload, name in ((framed(_RunsCode(marker)), "system"), (framed(_CallsEval()), "builtins.eval"),
                          (pickle.dumps(_RunsCode(marker)), "system"),
                          (pickle.dumps(torch.ones(2)), "torch."),
                          (framed(pathlib.Path("x")), "pathlib")):
        with pytest.raises(pickle.UnpicklingError, match="refused the global .*" + name):
            zel.load(io.BytesIO(payload))
    assert not marker.exists()
    # A file that torch.save wrote is not ours.
    torch.save(torch.ones(2), tmp_path / "t.pt")
    with pytest.raises(pickle.UnpicklingError):
        zel.load(tmp_path / "t.pt")


@pytest.mark.parametrize("payload,text", [
    (b"", "not a file written by zel.save"),
    (b"\x80\x04garbage", "not a file written by zel.save"),
    (pickle.dumps([1, 2]), "not a file written by zel.save"),
    (pickle.dumps(("varnel.zel", 99, None)), "unsupported file version"),
    (framed(_BadRebuild((3,), b"\0" * 10, False)), "needs 192 bytes"),
    (framed(_BadRebuild((2 ** 61, 2 ** 61), b"", False)), "bytes of limbs"),
    (framed(_BadRebuild((-1,), b"", False)), "invalid tensor shape"),
    (framed(_BadRebuild([2], b"\0" * 128, False)), "invalid tensor shape"),
    (framed(_BadRebuild((1,), "text", False)), "expected bytes"),
    (framed(_BadRebuild((1,), b"\0" * 64, 1)), "requires_grad"),
    (framed(_BadRebuild((1,), b"\0" * 64)), "not a file written by zel.save"),
])
def test_load_rejects_malformed_files(payload, text):
    with pytest.raises(pickle.UnpicklingError, match=text):
        zel.load(io.BytesIO(payload))
    # Truncations of a real file fail the same way, never otherwise.
    buf = io.BytesIO()
    zel.save({"t": limbs_tensor((3,))}, buf)
    data = buf.getvalue()
    for cut in range(0, len(data), 7):
        with pytest.raises(pickle.UnpicklingError):
            zel.load(io.BytesIO(data[:cut]))


def test_save_and_load_check_their_arguments(tmp_path):
    with pytest.raises(TypeError, match="path or a binary file object"):
        zel.save(zel.ones(2), 42)
    with pytest.raises(TypeError, match="path or a binary file object"):
        zel.load(3.5)
    with pytest.raises(ValueError, match="pickle_protocol"):
        zel.save(zel.ones(2), tmp_path / "x", pickle_protocol=99)
    zel.save(zel.ones(2), tmp_path / "x")
    with pytest.raises(ValueError, match="weights_only=True"):
        zel.load(tmp_path / "x", weights_only=False)
    with pytest.raises(ValueError, match="map_location"):
        zel.load(tmp_path / "x", map_location="cuda")
    with pytest.raises(TypeError, match="binary mode"):
        zel.load(io.StringIO("text"))
    assert same_bits(zel.ones(2), zel.load(tmp_path / "x", map_location="cpu"))
    # Objects the restricted loader would refuse are refused when saving is fine but loading is not.
    zel.save({"p": pathlib.Path("x")}, tmp_path / "y")
    with pytest.raises(pickle.UnpicklingError, match="pathlib"):
        zel.load(tmp_path / "y")


def test_scheduler_and_lbfgs_states_save_and_resume(tmp_path):
    p = zel.tensor([-1.2, 1.0], requires_grad=True)
    opt = zel.optim.LBFGS([p], line_search_fn="strong_wolfe", max_iter=3)

    def closure():
        opt.zero_grad()
        loss = (1 - p[0]) * (1 - p[0]) + 100 * (p[1] - p[0] * p[0]) * (p[1] - p[0] * p[0])
        loss.backward()
        return loss
    opt.step(closure)
    scheds = [zel.optim.lr_scheduler.MultiStepLR(opt, [1, 3, 3]), zel.optim.lr_scheduler.ReduceLROnPlateau(opt)]
    for s in scheds[:1]:
        s.step()
    scheds[1].step(2.0)
    zel.save({"opt": opt.state_dict(), "sched": [s.state_dict() for s in scheds], "p": p}, tmp_path / "c")
    ckpt = zel.load(tmp_path / "c")
    q = ckpt["p"]
    opt2 = zel.optim.LBFGS([q], line_search_fn="strong_wolfe", max_iter=3)
    opt2.load_state_dict(ckpt["opt"])
    s2 = [zel.optim.lr_scheduler.MultiStepLR(opt2, [1]), zel.optim.lr_scheduler.ReduceLROnPlateau(opt2)]
    for s, sd in zip(s2, ckpt["sched"]):
        s.load_state_dict(sd)
    assert s2[0].milestones == scheds[0].milestones and s2[1].best == 2.0 and s2[0].last_epoch == 1

    def closure2():
        opt2.zero_grad()
        loss = (1 - q[0]) * (1 - q[0]) + 100 * (q[1] - q[0] * q[0]) * (q[1] - q[0] * q[0])
        loss.backward()
        return loss
    opt.step(closure)
    opt2.step(closure2)
    assert same_bits(p, q)
