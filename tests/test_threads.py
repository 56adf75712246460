"""Work is shared between threads, and the bytes do not depend on how many."""
import os
import select
import signal

import numpy as np
import pytest
import torch

from varnel.zel import tarsk, zel

THREADS = (1, 2, 4)


def _vector(n, seed):
    g = torch.Generator().manual_seed(seed)
    return zel.Tensor(torch.rand(n, generator=g, dtype=torch.float64) + 0.5) / 3.0


def _matrix(n, seed):
    g = torch.Generator().manual_seed(seed)
    a = torch.rand(n, n, generator=g, dtype=torch.float64) + n * torch.eye(n, dtype=torch.float64)
    return zel.Tensor(a) / 7.0


X = _vector(20000, 1)
Y = _vector(20000, 2)
COLUMN = _vector(200, 3).reshape(200, 1)
LONG = _vector(80000, 6)
M = _matrix(96, 4)
SMALL = _matrix(24, 5)

# Every kernel family, each on inputs large enough to be split into chunks.
CASES = {
    "div": (zel, lambda: X / Y),
    "sqrt": (zel, lambda: X.sqrt()),
    "exp": (zel, lambda: X.exp()),
    "sin": (zel, lambda: X.sin()),
    "broadcast add": (zel, lambda: X.reshape(100, 200) + COLUMN.reshape(100, 2)[:, :1]),
    "pow": (zel, lambda: X ** 3),
    "softmax": (zel, lambda: X.reshape(100, 200).softmax(1)),
    "sum along dim": (zel, lambda: LONG.reshape(800, 100).sum(1)),
    "sum of all": (zel, lambda: LONG.sum()),
    "var along dim": (zel, lambda: LONG.reshape(800, 100).var(1)),
    "matmul": (zel, lambda: M @ M),
    "batched matmul": (zel, lambda: zel.matmul(X[:19200].reshape(8, 40, 60), X[:19200].reshape(8, 60, 40))),
    "tarsk inv": (tarsk, lambda: tarsk.inv(M)),
    "tarsk eig": (tarsk, lambda: tarsk.eig(SMALL, 3)[0]),
}


@pytest.fixture
def restore_threads():
    n = torch.get_num_threads()
    yield
    torch.set_num_threads(n)


@pytest.mark.parametrize("name", sorted(CASES))
def test_bytes_equal_for_every_thread_count_and_threads_take_part(name, restore_threads):
    module, call = CASES[name]
    digests = {}
    for k in THREADS:
        torch.set_num_threads(k)
        result = call()
        width = module._parallel_width()
        digests[k] = result.sha256()
        assert 1 <= width <= k
        if k > 1:
            assert width > 1, f"{name}: only one thread ran with {k} allowed"
    assert len(set(digests.values())) == 1, digests


def test_one_thread_runs_serially(restore_threads):
    torch.set_num_threads(1)
    X.sqrt()
    assert zel._parallel_width() == 1


def test_an_error_inside_a_chunk_reaches_python(restore_threads):
    torch.set_num_threads(2)
    singular = zel.zeros(96, 96)
    with pytest.raises(ValueError):
        tarsk.inv(singular)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_computes_on_pools_of_its_own(restore_threads):
    # The parent's pools have run (threads started, small arrays handed
    # out) before the fork; the child must get working pools, on several
    # threads, with the parent's bytes, and must not hang on the parent's
    # locks.
    torch.set_num_threads(2)
    want = (X / Y).sha256(), (zel.Tensor(2.0) * zel.Tensor(3.0)).tolist()
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read)
            got = (X / Y).sha256(), (zel.Tensor(2.0) * zel.Tensor(3.0)).tolist()
            status = 0 if got == want and zel._parallel_width() == 2 else 2
        finally:
            os.write(write, bytes([status]))
            os._exit(0)
    os.close(write)
    try:
        ready, _, _ = select.select([read], [], [], 60)
        assert ready, "the forked child hung"
        assert os.read(read, 1) == b"\x00"
    finally:
        os.close(read)
        if not ready:
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)


def test_large_results_keep_their_bytes(restore_threads):
    # Results above 4 MiB are allocated with huge-page advice; each row
    # must still be the one computed alone.
    torch.set_num_threads(2)
    a = LONG.reshape(80000)
    b = LONG.reshape(80000).flip([0])
    whole = (a / b).numpy_limbs()
    parts = [(a[i:i + 4000] / b[i:i + 4000]).numpy_limbs() for i in range(0, 80000, 4000)]
    assert whole.tobytes() == np.concatenate(parts).tobytes()
    assert whole.nbytes > 4 << 20


@pytest.mark.parametrize("op", ["exp", "abs", "sum", "neg", "add"])
def test_operands_are_read_once_while_another_thread_replaces_them(op):
    # One thread swaps a tensor's limb array and shape between two consistent
    # pairs (with an inconsistent moment between the two assignments) while
    # this one computes on it with the GIL released: every result must have
    # as many rows as its shape has elements, and any error is an ordinary one.
    import threading

    long_rows, short_rows = _vector(6000, 7)._data, _vector(4000, 8)._data
    t = zel.Tensor(_raw=long_rows, _shape=(6000,))
    run = {
        "exp": lambda: t.exp(), "abs": lambda: t.abs(), "sum": lambda: t.sum(dim=-1),
        "neg": lambda: -t, "add": lambda: t + t,
    }[op]
    stop = threading.Event()

    def swap():
        while not stop.is_set():
            t._data, t._shape = short_rows, (2, 2000)
            t._data, t._shape = long_rows, (6000,)

    swapper = threading.Thread(target=swap)
    swapper.start()
    results = errors = 0
    try:
        for _ in range(300):
            try:
                r = run()
            except (ValueError, RuntimeError):
                errors += 1
                continue
            results += 1
            assert r._data.shape[0] == int(np.prod(r.shape)), (op, r.shape, r._data.shape)
    finally:
        stop.set()
        swapper.join()
    assert results > 0
