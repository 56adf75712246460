"""zel.distributed and DistributedDataParallel on 2 and 3 gloo processes.

Each scenario runs as separate Python processes on 127.0.0.1 with a
bounded process-group timeout; the harness kills every process it started
if the scenario overruns, so a hang shows up as a failed test.
"""
import json
import os
import socket
import subprocess
import sys
import textwrap
import time

import pytest
import torch

from varnel.zel import zel

dist = zel.distributed

# The ranks import the library this process imported (the source tree or an installed copy).
SRC = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(zel.__file__))))

PRELUDE = """
import datetime, json, os, sys, traceback
import torch
from varnel.zel import zel
dist = zel.distributed
rank, world, port, outpath = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
results = {}

def out(key, value):
    results[key] = value._data.numpy().tobytes().hex() if isinstance(value, zel.Tensor) else value

def data(r, shape, k=0):
    n = 1
    for d in shape:
        n *= d
    # Values with all eight limbs in use, different on every rank.
    return ((zel.arange(n) + 1 + 0.37 * r + k) / 7 - 0.5 * (r % 2)).reshape(shape)

def raised(key, fn):
    try:
        fn()
        out(key, None)
    except Exception as e:
        out(key, [type(e).__name__, str(e)])

dist.init_process_group("gloo", init_method="tcp://127.0.0.1:%s" % port, rank=rank, world_size=world,
                        timeout=datetime.timedelta(seconds=20))
try:
"""

EPILOGUE = """
except BaseException:
    results["__error__"] = traceback.format_exc()
    raise
finally:
    with open(outpath, "w") as f:
        json.dump(results, f)
dist.destroy_process_group()
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_ranks(world, body, tmp_path, timeout=50, expect_exit=None):
    """Runs body on `world` processes; returns each rank's results and exit code."""
    script = tmp_path / "rank.py"
    script.write_text(PRELUDE + textwrap.indent(textwrap.dedent(body), "    ") + EPILOGUE)
    port = free_port()
    env = dict(os.environ, PYTHONPATH=SRC + os.pathsep + os.environ.get("PYTHONPATH", ""), OMP_NUM_THREADS="1")
    procs = [subprocess.Popen([sys.executable, str(script), str(r), str(world), str(port),
                               str(tmp_path / ("rank%d.json" % r))], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True) for r in range(world)]
    deadline = time.monotonic() + timeout
    logs = []
    try:
        for p in procs:
            try:
                logs.append(p.communicate(timeout=max(deadline - time.monotonic(), 0.1))[0])
            except subprocess.TimeoutExpired:
                pytest.fail("a rank was still running after %d s" % timeout)
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
    results = []
    for r, p in enumerate(procs):
        path = tmp_path / ("rank%d.json" % r)
        res = json.loads(path.read_text()) if path.exists() else {}
        if expect_exit is None or r not in expect_exit:
            assert p.returncode == 0 and "__error__" not in res, "rank %d:\n%s" % (r, logs[r][-4000:])
        results.append(res)
    return results


def data(r, shape, k=0):
    n = 1
    for d in shape:
        n *= d
    return ((zel.arange(n) + 1 + 0.37 * r + k) / 7 - 0.5 * (r % 2)).reshape(shape)


def hexed(t):
    return t._data.numpy().tobytes().hex()


def reduced(op, parts):
    """The reduction in rank order, as every rank must compute it."""
    acc = parts[0]
    for x in parts[1:]:
        acc = {"SUM": acc + x, "AVG": acc + x, "PRODUCT": acc * x, "MAX": zel.maximum(acc, x),
               "MIN": zel.minimum(acc, x)}[op]
    return acc / len(parts) if op == "AVG" else acc


def test_a_sum_across_three_ranks_is_exact_where_float64_loses_everything(tmp_path):
    res = run_ranks(3, """
        t = zel.tensor([1e16, 1.0, -1e16][rank])
        dist.all_reduce(t)
        out("sum", t)
        out("value", t.item())
        f = torch.tensor([1e16, 1.0, -1e16][rank], dtype=torch.float64)
        torch.distributed.all_reduce(f)
        out("float64", f.item())
    """, tmp_path)
    assert [r["value"] for r in res] == [1.0, 1.0, 1.0]
    # The library's own sum in rank order, limb for limb, on every rank.
    local = zel.tensor(1e16) + zel.tensor(1.0) + zel.tensor(-1e16)
    assert res[0]["sum"] == res[1]["sum"] == res[2]["sum"] == hexed(local)
    assert (local == 1).item() and local.item() == 1.0
    assert res[0]["float64"] == 0.0  # what a float64 reduction gives


COLLECTIVES = """
shape = (2, 3)
mine = data(rank, shape)
for name in ("SUM", "AVG", "PRODUCT", "MAX", "MIN"):
    t = mine.clone()
    assert dist.all_reduce(t, op=getattr(dist.ReduceOp, name)) is None
    out("all_reduce_" + name, t)
t = mine.clone()
dist.all_reduce(t, op=torch.distributed.ReduceOp.MAX)
out("all_reduce_torch_MAX", t)
t = mine.clone()
work = dist.all_reduce(t, async_op=True)
out("async_before", t)
work.wait()
out("async_after", t)
out("async_done", work.is_completed())

t = mine.clone()
dist.reduce(t, dst=world - 1, op=dist.ReduceOp.SUM)
out("reduce", t)
t = mine.clone()
dist.broadcast(t, src=1)
out("broadcast", t)
v = zel.tensor(float(rank)).requires_grad_()
dist.broadcast(v, src=0)
out("broadcast_leaf", [v.item(), v.requires_grad])

outs = [zel.zeros(shape) for _ in range(world)]
dist.all_gather(outs, mine)
out("all_gather", [hexed(o) for o in outs])
cat = zel.zeros(2 * world, 3)
dist.all_gather_into_tensor(cat, mine)
out("all_gather_cat", cat)
stack = zel.zeros(world, 2, 3)
dist.all_gather_into_tensor(stack, mine)
out("all_gather_stack", stack)

t = zel.zeros(shape)
dist.reduce_scatter(t, [data(rank, shape, k) for k in range(world)])
out("reduce_scatter", t)
t = zel.zeros(shape)
dist.reduce_scatter(t, [data(rank, shape, k) for k in range(world)], op=dist.ReduceOp.MIN)
out("reduce_scatter_min", t)
t = zel.zeros(shape)
dist.reduce_scatter_tensor(t, zel.cat([data(rank, shape, k) for k in range(world)]))
out("reduce_scatter_tensor", t)

gl = [zel.zeros(shape) for _ in range(world)] if rank == 0 else None
dist.gather(mine, gl, dst=0)
out("gather", [hexed(o) for o in gl] if gl else None)
t = zel.zeros(shape)
dist.scatter(t, [data(k, shape, 10) for k in range(world)] if rank == world - 1 else None, src=world - 1)
out("scatter", t)

# a ring: each rank sends to the next and receives from the previous
t = zel.zeros(shape)
if rank % 2 == 0:
    dist.send(mine, (rank + 1) % world)
    sender = dist.recv(t, (rank - 1) % world)
else:
    sender = dist.recv(t)
    dist.send(mine, (rank + 1) % world)
out("ring", t)
out("ring_sender", sender)
a, b = zel.zeros(shape), zel.zeros(3)
works = [dist.irecv(a, (rank - 1) % world, tag=3), dist.irecv(b, (rank - 1) % world, tag=3),
         dist.isend(mine, (rank + 1) % world, tag=3), dist.isend(zel.tensor([1.0, 2.0, 3.0]) / (rank + 3),
                                                                   (rank + 1) % world, tag=3)]
for w in reversed(works):  # the second receive waited first still gets the second message
    w.wait()
out("irecv", [hexed(a), hexed(b)])
empty = zel.zeros(0, 3)
dist.all_reduce(empty)
dist.reduce_scatter_tensor(empty, zel.zeros(0, 3))
dist.broadcast(empty, 0)
out("empty", [empty.shape, hexed(empty)])
s = zel.tensor(rank + 0.5)
dist.all_reduce(s, op=dist.ReduceOp.MIN)
out("scalar", [s.shape, s.item()])
dist.barrier()
"""


def expected_collectives(world):
    shape = (2, 3)
    parts = [data(r, shape) for r in range(world)]
    e = {}
    for name in ("SUM", "AVG", "PRODUCT", "MAX", "MIN"):
        e["all_reduce_" + name] = [hexed(reduced(name, parts))] * world
    e["all_reduce_torch_MAX"] = e["all_reduce_MAX"]
    e["async_before"] = [hexed(p) for p in parts]
    e["async_after"] = e["all_reduce_SUM"]
    e["async_done"] = [True] * world
    e["reduce"] = [hexed(p) for p in parts[:-1]] + [hexed(reduced("SUM", parts))]
    e["broadcast"] = [hexed(parts[1])] * world
    e["broadcast_leaf"] = [[0.0, True]] * world
    e["all_gather"] = [[hexed(p) for p in parts]] * world
    e["all_gather_cat"] = [hexed(zel.cat(parts))] * world
    e["all_gather_stack"] = e["all_gather_cat"]  # the same rows in the same order
    e["reduce_scatter"] = [hexed(reduced("SUM", [data(r, shape, k) for r in range(world)])) for k in range(world)]
    e["reduce_scatter_min"] = [hexed(reduced("MIN", [data(r, shape, k) for r in range(world)]))
                               for k in range(world)]
    e["reduce_scatter_tensor"] = e["reduce_scatter"]
    e["gather"] = [[hexed(p) for p in parts]] + [None] * (world - 1)
    e["scatter"] = [hexed(data(k, shape, 10)) for k in range(world)]
    e["ring"] = [hexed(parts[(r - 1) % world]) for r in range(world)]
    e["ring_sender"] = [(r - 1) % world for r in range(world)]
    e["irecv"] = [[hexed(parts[(r - 1) % world]), hexed(zel.tensor([1.0, 2.0, 3.0]) / ((r - 1) % world + 3))]
                  for r in range(world)]
    e["empty"] = [[[0, 3], ""]] * world
    e["scalar"] = [[[], 0.5]] * world
    return e


@pytest.mark.parametrize("world", [2, 3])
def test_every_collective_gives_the_rank_ordered_results_on_every_rank(world, tmp_path):
    res = run_ranks(world, "hexed = lambda t: t._data.numpy().tobytes().hex()\n" + COLLECTIVES, tmp_path)
    for key, want in expected_collectives(world).items():
        assert [r[key] for r in res] == want, key
    # PRODUCT and AVG round: the bytes still agree because every rank ran the same operations.
    assert len({r["all_reduce_AVG"] for r in res}) == 1


def test_mismatched_calls_raise_on_every_rank_and_leave_the_group_usable(tmp_path):
    res = run_ranks(2, """
        raised("shapes", lambda: dist.all_reduce(zel.ones(2 + rank)))
        raised("ops", lambda: dist.all_reduce(zel.ones(2), op=[dist.ReduceOp.SUM, dist.ReduceOp.MAX][rank]))
        raised("collectives", lambda: dist.all_reduce(zel.ones(2)) if rank else dist.broadcast(zel.ones(2), 0))
        raised("roots", lambda: dist.broadcast(zel.ones(2), src=rank))
        raised("not_ours", lambda: dist.all_reduce(zel.ones(2) if rank else torch.ones(2)))
        raised("list", lambda: dist.all_gather([zel.ones(2)] * (1 + rank), zel.ones(2)))
        raised("bitwise", lambda: dist.all_reduce(zel.ones(2), op=torch.distributed.ReduceOp.BAND))
        raised("gather_list", lambda: dist.gather(zel.ones(2), None, dst=0))
        raised("recv_shape", lambda: dist.send(zel.ones(3), 1) if rank == 0 else dist.recv(zel.ones(2, 2), 0))
        raised("send_not_ours", lambda: dist.send([1.0], 1) if rank == 0 else dist.recv(zel.ones(2), 0))
        raised("recv_not_ours", lambda: dist.send(zel.ones(2), 1) if rank == 0 else dist.recv(torch.ones(2), 0))
        t = zel.tensor(float(rank + 1))
        dist.all_reduce(t)
        out("after", t.item())
    """, tmp_path)
    for key, kinds in {"shapes": ("ValueError", "ValueError"), "ops": ("RuntimeError", "RuntimeError"),
                       "collectives": ("RuntimeError", "RuntimeError"), "roots": ("RuntimeError", "RuntimeError"),
                       "not_ours": ("TypeError", "RuntimeError"), "list": ("ValueError", "RuntimeError"),
                       "bitwise": ("ValueError", "ValueError"), "gather_list": ("ValueError", "RuntimeError"),
                       "recv_shape": ("ValueError", "ValueError"), "send_not_ours": ("TypeError", "RuntimeError"),
                       "recv_not_ours": ("RuntimeError", "TypeError")
                       }.items():
        assert tuple(r[key][0] if r[key] else None for r in res) == kinds, (key, res[0][key], res[1][key])
    assert "shape" in res[0]["shapes"][1] and "(2,)" in res[0]["shapes"][1] and "(3,)" in res[0]["shapes"][1]
    assert "rank 0" in res[1]["not_ours"][1] and "Tensor of varnel.zel" in res[0]["not_ours"][1]
    assert "(3,)" in res[1]["recv_shape"][1] and "(2, 2)" in res[0]["recv_shape"][1]
    assert [r["after"] for r in res] == [3.0, 3.0]


def test_a_subgroup_reduces_its_members_only(tmp_path):
    res = run_ranks(3, """
        sub = dist.new_group([0, 2])
        t = zel.tensor([1e16, 1.0, 1.0][rank]) / 3
        out("work", dist.all_reduce(t, group=sub))
        out("t", t)
        out("size", dist.get_world_size(sub))
        t = zel.tensor(float(rank))
        dist.broadcast(t, src=2, group=sub)
        out("b", t.item())
        gl = [zel.zeros(()) for _ in range(2)] if rank == 2 else None
        dist.gather(zel.tensor(float(rank)), gl, dst=2, group=sub)
        out("g", [x.item() for x in gl] if gl else None)
    """, tmp_path)
    total = hexed(zel.tensor(1e16) / 3 + zel.tensor(1.0) / 3)
    assert [r["t"] for r in res] == [total, hexed(zel.tensor(1.0) / 3), total]
    assert [r["size"] for r in res] == [2, -1, 2]
    assert [r["b"] for r in res] == [2.0, 1.0, 2.0]
    assert res[2]["g"] == [0.0, 2.0] and res[0]["g"] is None


def test_a_rank_that_dies_makes_the_others_raise_instead_of_hanging(tmp_path):
    start = time.monotonic()
    res = run_ranks(3, """
        t = zel.ones(4)
        dist.all_reduce(t)
        out("first", t.tolist())
        if rank == 2:
            os._exit(3)
        t0 = __import__("time").monotonic()
        raised("second", lambda: [dist.all_reduce(t) for _ in range(3)])
        out("seconds", __import__("time").monotonic() - t0)
    """, tmp_path, timeout=50, expect_exit={2})
    assert time.monotonic() - start < 50
    for r in res[:2]:
        assert r["first"] == [3.0] * 4
        assert r["second"] is not None and r["second"][0] == "RuntimeError", r["second"]
        assert r["seconds"] < 25


def test_without_a_process_group_every_call_raises_pytorchs_error():
    assert dist.is_available() and not dist.is_initialized()
    t = zel.ones(2)
    calls = [lambda: dist.get_rank(), lambda: dist.get_world_size(), lambda: dist.barrier(),
             lambda: dist.all_reduce(t), lambda: dist.reduce(t, 0), lambda: dist.broadcast(t, 0),
             lambda: dist.all_gather([t], t), lambda: dist.all_gather_into_tensor(t, t),
             lambda: dist.reduce_scatter(t, [t]), lambda: dist.reduce_scatter_tensor(t, t),
             lambda: dist.gather(t), lambda: dist.scatter(t), lambda: dist.send(t, 1), lambda: dist.recv(t),
             lambda: dist.isend(t, 1), lambda: dist.irecv(t),
             lambda: zel.nn.parallel.DistributedDataParallel(zel.nn.Linear(2, 2))]
    for call in calls:
        with pytest.raises((RuntimeError, ValueError), match="not been initialized"):
            call()
    t2 = t.clone()
    assert t2.sha256() == t.sha256()


def test_reduce_ops_are_this_modules_or_torchs():
    from varnel.zel import distributed as impl
    R = torch.distributed.ReduceOp
    for name in ("SUM", "AVG", "PRODUCT", "MAX", "MIN"):
        assert impl._reduce_op("f", getattr(R, name)) is getattr(dist.ReduceOp, name)
        assert impl._reduce_op("f", getattr(dist.ReduceOp, name)) is getattr(dist.ReduceOp, name)
    with pytest.raises(ValueError, match="BXOR"):
        impl._reduce_op("f", R.BXOR)
    with pytest.raises(TypeError, match="op must be a ReduceOp"):
        impl._reduce_op("f", "sum")


NET = """
class Net(zel.nn.Module):
    def __init__(self):
        super().__init__()
        self.a = zel.nn.Linear(4, 6)
        self.b = zel.nn.Linear(6, 1)
        self.extra = zel.nn.Linear(4, 1)  # used by some ranks only, in some tests
        self.register_buffer("scale", zel.tensor(1.0))

    def forward(self, x, extra=False):
        y = self.b(zel.tanh(self.a(x))) * self.scale
        return y + self.extra(x) if extra else y

def batch(r, step):
    x = ((zel.arange(12) + 0.25 * r + 0.5 * step) / 5).reshape(3, 4).sin()
    return x, (x.sum(1, keepdim=True) * 3).cos()
"""

TRAIN = NET + """
zel.manual_seed(100 + rank)  # different on every rank: construction copies rank 0's
net = Net()
ddp = zel.nn.parallel.DistributedDataParallel(net, find_unused_parameters=True)
out("start", [hexed(p) for p in net.parameters()])
opt = zel.optim.SGD(ddp.parameters(), lr=0.1, momentum=0.9)
for step in range(10):
    x, y = batch(rank, step)
    opt.zero_grad()
    loss = ((ddp(x) - y) ** 2).mean()
    loss.backward()
    if step == 0:
        out("grads", [hexed(p.grad) for p in net.parameters() if p.grad is not None])
    opt.step()
out("params", [hexed(p) for p in net.parameters()])
out("keys", list(ddp.state_dict()))
"""


def net_code():
    """Net and batch as the ranks define them."""
    ns = {"zel": zel}
    exec(NET, ns)
    return ns["Net"], ns["batch"]


def train_alone(world):
    """The same ten steps in one process on the ranks' batches concatenated."""
    Net, batch = net_code()
    zel.manual_seed(100)
    net = Net()
    opt = zel.optim.SGD(net.parameters(), lr=0.1, momentum=0.9)
    for step in range(10):
        parts = [batch(r, step) for r in range(world)]
        x, y = zel.cat([p[0] for p in parts]), zel.cat([p[1] for p in parts])
        opt.zero_grad()
        ((net(x) - y) ** 2).mean().backward()
        opt.step()
    return net


@pytest.mark.parametrize("world", [2, 3])
def test_ten_ddp_steps_leave_identical_bytes_everywhere_and_match_one_process(world, tmp_path):
    runs = [run_ranks(world, "hexed = lambda t: t._data.numpy().tobytes().hex()\n" + TRAIN, tmp_path / str(k))
            for k in range(2) if (tmp_path / str(k)).mkdir() is None]
    first = runs[0]
    for key in ("start", "grads", "params"):
        assert all(r[key] == first[0][key] for r in first), key
    assert len(first[0]["grads"]) == 4  # extra is unused: its gradient stays None
    assert [r["params"] for r in runs[1]] == [r["params"] for r in first]  # and the same on a second run
    alone = train_alone(world)
    assert first[0]["keys"] == ["module." + k for k in alone.state_dict()] and "module.a.weight" in first[0]["keys"]
    zel.manual_seed(100)
    assert first[1]["start"] == [hexed(p) for p in net_code()[0]().parameters()]
    worst = 0.0
    for h, p in zip(first[0]["params"], alone.parameters()):
        rows = torch.frombuffer(bytearray.fromhex(h), dtype=torch.float64).clone().reshape(-1, 8)
        got = zel.Tensor(_raw=rows, _shape=tuple(p.shape))
        worst = max(worst, ((got - p).abs().max() / (p.abs().max() + 1e-300)).item())
    assert worst < 1e-25, worst
    assert first[0]["params"] != first[0]["start"]


def test_no_sync_accumulates_locally_and_unused_parameters_are_handled(tmp_path):
    res = run_ranks(3, "hexed = lambda t: t._data.numpy().tobytes().hex()\n" + NET + textwrap.dedent("""
        zel.manual_seed(7)
        net = Net()
        ddp = zel.nn.parallel.DistributedDataParallel(net, find_unused_parameters=True)
        with ddp.no_sync():
            x, y = batch(rank, 0)
            ((ddp(x) - y) ** 2).sum().backward()
        out("local", [hexed(p.grad) for p in (net.a.weight, net.b.bias)])
        x, y = batch(rank, 1)
        # extra is used on rank 0 only: every rank gets rank 0's gradient over 3
        ((ddp(x, extra=rank == 0) - y) ** 2).sum().backward()
        out("synced", [hexed(p.grad) for p in (net.a.weight, net.b.bias, net.extra.weight)])
        zel.manual_seed(7)
        strict = zel.nn.parallel.DistributedDataParallel(Net())
        x, y = batch(rank, 2)
        ((strict(x) - y) ** 2).sum().backward()
        raised("unused", lambda: strict(x))
        net.scale.fill_(float(rank + 2))
        ddp(x)
        out("scale", net.scale.item())
        zel.manual_seed(rank)
        raised("shapes", lambda: zel.nn.parallel.DistributedDataParallel(zel.nn.Linear(2, 2 + (rank == 1))))
    """), tmp_path)
    Net, batch = net_code()
    zel.manual_seed(7)
    net = Net()

    def grads(step, rank, extra):
        net.zero_grad(set_to_none=True)
        x, y = batch(rank, step)
        ((net(x, extra=extra) - y) ** 2).sum().backward()
        return [p.grad.clone() if p.grad is not None else zel.zeros(p.shape) for p in (net.a.weight, net.b.bias,
                                                                                net.extra.weight)]
    local = [grads(0, r, False) for r in range(3)]
    now = [grads(1, r, r == 0) for r in range(3)]
    assert [r["local"] for r in res] == [[hexed(g[0]), hexed(g[1])] for g in local]
    want = [hexed(((local[0][k] + now[0][k]) + (local[1][k] + now[1][k]) + (local[2][k] + now[2][k])) / 3)
            for k in range(2)]
    want.append(hexed((now[0][2] + zel.zeros(1, 4) + zel.zeros(1, 4)) / 3))
    assert all(r["synced"] == want for r in res)
    assert all(r["unused"] and r["unused"][0] == "RuntimeError" and "find_unused_parameters" in r["unused"][1]
               for r in res)
    assert [r["scale"] for r in res] == [2.0] * 3  # forward copied rank 0's buffer
    assert all(r["shapes"] and r["shapes"][0] == "RuntimeError" for r in res)


@pytest.fixture
def alone():
    """A process group of this process alone (no sockets between ranks to wait on)."""
    dist.init_process_group("gloo", store=torch.distributed.HashStore(), rank=0, world_size=1)
    try:
        yield
    finally:
        dist.destroy_process_group()


def test_arguments_are_checked_with_pytorchs_types(alone):
    t = zel.tensor([1.0, 2.0]) / 3
    cases = [
        (TypeError, "Tensor of varnel.zel", lambda: dist.all_reduce(torch.ones(2))),
        (TypeError, "async_op", lambda: dist.all_reduce(t, async_op=1)),
        (TypeError, "ProcessGroup", lambda: dist.all_reduce(t, group=3)),
        (ValueError, "not a rank", lambda: dist.broadcast(t, src=1)),
        (ValueError, "one tensor per rank", lambda: dist.all_gather([t, t], t)),
        (ValueError, "concatenated or stacked", lambda: dist.all_gather_into_tensor(zel.zeros(3), t)),
        (ValueError, "expected \\(2,\\)", lambda: dist.reduce_scatter(t, [zel.zeros(3)])),
        (ValueError, "must be specified on source rank", lambda: dist.scatter(t, None, src=0)),
        (ValueError, "own rank", lambda: dist.send(t, 0)),
        (ValueError, "no other rank", lambda: dist.recv(t)),
        (ValueError, "tag must be in", lambda: dist.isend(t, 0, tag=-1)),
        (TypeError, "nn.Module", lambda: zel.nn.parallel.DistributedDataParallel(lambda x: x)),
        (ValueError, "device_ids", lambda: zel.nn.parallel.DistributedDataParallel(zel.nn.Linear(2, 2),
                                                                                     device_ids=[0])),
        (RuntimeError, "doesn't have any parameter",
         lambda: zel.nn.parallel.DistributedDataParallel(zel.nn.Linear(2, 2).requires_grad_(False))),
    ]
    for kind, message, call in cases:
        with pytest.raises(kind, match=message):
            call()
    # a group of one: reductions and copies keep every byte, and the group still works after the errors
    before = hexed(t)
    for op in dist.ReduceOp:
        work = dist.all_reduce(t, op=op, async_op=True)
        assert work.wait() and work.is_completed() and hexed(t) == before
    outs = [zel.zeros(2)]
    dist.all_gather(outs, t)
    assert hexed(outs[0]) == before
