"""Native nodes and the native engine against the Python ones.

Operations whose declared derivatives are arithmetic record their nodes in
C++, and backward() without hooks runs in C++. Both must give the bytes,
node names, errors and graph shapes of the Python nodes and engine, which
zel._native_graph(False) switches back to.
"""
import sys
import threading

import pytest

from conftest import limbs_of
from varnel.zel import zel


class python_graph:
    """Within: every node, and the engine, are the Python ones."""

    def __enter__(self):
        self.was = zel._native_graph(False)

    def __exit__(self, *exc):
        zel._native_graph(self.was)


def leaves(values, shape=None):
    out = []
    for v in values:
        t = zel.tensor(v)
        if shape is not None:
            t = t.reshape(shape)
        out.append(t.requires_grad_())
    return out


def lorenz(x, y, z, steps):
    for _ in range(steps):
        dx = (y - x) * 10.0
        dy = x * (28 - z) - y
        dz = x * y - z * (8.0 / 3.0)
        x, y, z = x + dx * 0.01, y + dy * 0.01, z + dz * 0.01
    return x, y, z


def mixed(a, b, c):
    """Every operator form, reflected and unary ones, rows with arithmetic
    derivatives, and broadcasting (the sum back to each operand's shape)."""
    r = (a * b - c / b) / (1.5 - a) + 2 / b - (-c) * 3
    r = r * a.exp() + b.reciprocal() - (c * c + 1).sqrt() + a.tanh() * 2.5
    return (r * r).sum()


PROGRAMS = {
    "lorenz": (lambda: leaves([1.0, 1.0, 1.0]), lambda x, y, z: lorenz(x, y, z, 30)[0]),
    "0-d": (lambda: leaves([0.3, -1.25, 2.0]), mixed),
    "broadcast": (lambda: [zel.tensor([[0.5], [0.25]]).requires_grad_(), zel.tensor([1.25, -2.0, 3.0]).requires_grad_(),
                           zel.tensor(0.75).requires_grad_()], mixed),
    "large": (lambda: [zel.linspace(0.1, 0.9, 200).requires_grad_(), zel.linspace(1.0, 3.0, 200).requires_grad_(),
                       zel.tensor(0.5).requires_grad_()], mixed),
}


def gradients(program, create_graph=False):
    make, f = PROGRAMS[program]
    xs = make()
    y = f(*xs)
    if create_graph:
        gs = zel.autograd.grad(y, xs, create_graph=True)
        sum((g * g).sum() for g in gs).backward()
    else:
        y.backward()
    return [limbs_of(x.grad) for x in xs], type(y.grad_fn).__name__


@pytest.mark.parametrize("program", sorted(PROGRAMS))
@pytest.mark.parametrize("create_graph", [False, True])
def test_native_nodes_and_engine_give_the_python_bytes(program, create_graph):
    native = gradients(program, create_graph)
    with python_graph():
        python = gradients(program, create_graph)
    assert repr(native) == repr(python) and "nan" not in repr(native)


def test_native_nodes_answer_as_python_nodes():
    a, b = leaves([1.5, 2.5])
    y = (a * b - a) / 3.0
    with python_graph():
        p, q = leaves([1.5, 2.5])
        z = (p * q - p) / 3.0

    def shape(node):
        if node is None:
            return None
        return (node.name(), tuple((shape(n), nr) for n, nr in node.next_functions))

    assert shape(y.grad_fn) == shape(z.grad_fn)
    assert type(y.grad_fn).__name__ == "DivBackward0" and repr(y.grad_fn).startswith("<DivBackward0 object at")
    assert type(y.grad_fn).__module__ == type(z.grad_fn).__module__
    assert y.grad_fn.metadata == {} and y.grad_fn(zel.tensor(1.0))[1] is None
    with pytest.raises(TypeError):
        type(y.grad_fn)()


def test_second_backward_and_in_place_changes_raise_as_in_python():
    def errors():
        out = []
        a, b = leaves([1.5, 2.5])
        y = a * b
        y.backward()
        try:
            y.backward()
        except RuntimeError as e:
            out.append(str(e))
        a, b = leaves([1.5, 2.5])
        c = a * 1.0
        c.mul_(b)  # its node read c before the change: it keeps the old value
        c.backward()
        out.append((limbs_of(a.grad), limbs_of(b.grad)))
        c = a * 1.0
        y = c * b
        with zel.no_grad():
            c.add_(1.0)  # out of the autograd's sight: backward must refuse
        try:
            y.backward()
        except RuntimeError as e:
            out.append(str(e))
        return out

    native = errors()
    with python_graph():
        python = errors()
    assert native == python and len(native) == 3
    assert native[1] == (limbs_of(zel.tensor(2.5)), limbs_of(zel.tensor(1.5)))
    assert "second time" in native[0] and "modified by an inplace operation" in native[2]


def test_hooks_send_the_graph_to_the_python_engine_with_the_same_result():
    def run(hook):
        x, w = leaves([0.75, -1.5])
        h = x * w
        seen = []
        if hook:
            h.register_hook(lambda g: seen.append(limbs_of(g)))
        (h * h - x).backward()
        return limbs_of(x.grad), limbs_of(w.grad), seen

    plain, hooked = run(False), run(True)
    assert plain[:2] == hooked[:2] and len(hooked[2]) == 1


def test_long_chains_are_freed_without_deep_recursion():
    old = sys.getrecursionlimit()
    x = zel.tensor(1.0, requires_grad=True)
    y = x
    for _ in range(200000):
        y = y * 1.0 + 0.0
    y.backward()
    assert x.grad.item() == 1.0
    del y  # 400000 nodes, each the only holder of the one before
    assert sys.getrecursionlimit() == old


def test_backward_from_two_threads_on_one_graph():
    x, w = leaves([0.5, 1.25])
    y = lorenz(x, w, x * w, 50)[0]
    want = zel.autograd.grad(y, [x, w], retain_graph=True)
    got, errors = [], []

    def work():
        try:
            for _ in range(5):
                x.grad = None
                got.append([limbs_of(g) for g in zel.autograd.grad(y, [x, w], retain_graph=True)])
                y.backward(retain_graph=True)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert all(g == [limbs_of(t) for t in want] for g in got)
