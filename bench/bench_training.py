"""Training with zel.nn and zel.optim beside PyTorch float64, in one run.

Precision: Rosenbrock by LBFGS (strong Wolfe), a linear least-squares model by
SGD and by Adam, and a small tanh network fitted by LBFGS to targets that a
network of the same shape made, so the least loss is 0. Each runs the same
program under both libraries; the table gives the distance to the exact
minimiser (or the final loss) and the time.

Cost: forward + backward of Linear(256, 256) on a batch of 64, then one Adam
step, against PyTorch float64 on the same work.

Run: .venv/bin/python bench/bench_training.py
"""
import os
import time
from fractions import Fraction

import torch

from _timing import best_of, row
from varnel.zel import zel

A_ROWS = [[1.0, 2.0, 0.5], [0.3, -1.0, 2.0], [2.0, 0.1, -0.7], [-1.5, 0.4, 1.0], [0.2, 0.9, 0.3], [1.1, -0.6, 0.8]]
B_VEC = [1.0, -2.0, 0.5, 3.0, 0.25, -1.0]


def exact(lib, t):
    """Exact element values as Fractions (a float64 tensor's, or the sum of a library tensor's limbs)."""
    t = t.detach()
    if lib is torch:
        return [Fraction(v) for v in t.reshape(-1).tolist()]
    return [sum(Fraction(v) for v in limbs) for limbs in t._data.reshape(-1, 8).tolist()]


def tensor(lib, values, grad=False):
    t = torch.tensor(values, dtype=torch.float64) if lib is torch else zel.tensor(values)
    return t.requires_grad_(True) if grad else t


def minimise(lib, opt, loss_fn, steps):
    def closure():
        opt.zero_grad()
        loss = loss_fn()
        loss.backward()
        return loss
    for _ in range(steps):
        opt.step(closure)


def rosenbrock(lib):
    # (a - x)^2 + 100 (y - x^2)^2 with a = 1/3: the minimiser (1/3, 1/9) is no float64 pair.
    x = tensor(lib, [-1.2, 1.0], grad=True)
    a = tensor(lib, 1.0) / 3
    opt = lib.optim.LBFGS([x], line_search_fn="strong_wolfe", tolerance_grad=1e-60, tolerance_change=1e-90,
                          max_iter=200, max_eval=400)
    minimise(lib, opt, lambda: (a - x[0]) ** 2 + 100 * (x[1] - x[0] ** 2) ** 2, 3)
    return max(abs(v - m) for v, m in zip(exact(lib, x), (Fraction(1, 3), Fraction(1, 9))))


def least_squares_solution():
    A = [[Fraction(v) for v in r] for r in A_ROWS]
    b = [Fraction(v) for v in B_VEC]
    M = [[sum(r[i] * r[j] for r in A) for j in range(3)] + [sum(r[i] * bk for r, bk in zip(A, b))] for i in range(3)]
    for i in range(3):
        for k in range(3):
            if k != i:
                f = M[k][i] / M[i][i]
                M[k] = [a - f * c for a, c in zip(M[k], M[i])]
    return [M[i][3] / M[i][i] for i in range(3)]


def least_squares(lib, name, kwargs, steps):
    model = lib.nn.Linear(3, 1, bias=False)
    with (torch.no_grad() if lib is torch else zel.no_grad()):
        model.weight.zero_()
    opt = getattr(lib.optim, name)(model.parameters(), **kwargs)
    A, b = tensor(lib, A_ROWS), tensor(lib, B_VEC).reshape(-1, 1)
    loss_fn = lib.nn.MSELoss(reduction="sum")
    for _ in range(steps):
        opt.zero_grad()
        loss_fn(model(A), b).backward()
        opt.step()
    return max(abs(v - s) for v, s in zip(exact(lib, model.weight), least_squares_solution()))


def tanh_network(lib):
    g = torch.Generator().manual_seed(1)
    teacher = [torch.randn(2, 2, generator=g, dtype=torch.float64), torch.randn(2, generator=g, dtype=torch.float64) * 0.5,
               torch.randn(1, 2, generator=g, dtype=torch.float64), torch.randn(1, generator=g, dtype=torch.float64)]
    start = [t + 0.1 * torch.randn(t.shape, generator=g, dtype=torch.float64) for t in teacher]
    s = torch.linspace(-2.0, 2.0, 8, dtype=torch.float64)
    x = tensor(lib, torch.cartesian_prod(s, s).tolist())

    def network(values):
        net = lib.nn.Sequential(lib.nn.Linear(2, 2), lib.nn.Tanh(), lib.nn.Linear(2, 1))
        names = ["0.weight", "0.bias", "2.weight", "2.bias"]
        net.load_state_dict({k: tensor(lib, v.tolist()) for k, v in zip(names, values)})
        return net
    with (torch.no_grad() if lib is torch else zel.no_grad()):
        y = network(teacher)(x)
    net = network(start)
    opt = lib.optim.LBFGS(net.parameters(), history_size=20, max_iter=100, max_eval=200, tolerance_grad=1e-80,
                          tolerance_change=1e-120)
    loss_fn = lib.nn.MSELoss()
    minimise(lib, opt, lambda: loss_fn(net(x), y), 3)
    with (torch.no_grad() if lib is torch else zel.no_grad()):
        return Fraction(float(loss_fn(net(x), y)))


def linear_adam_step(lib):
    g = torch.Generator().manual_seed(0)
    layer = lib.nn.Linear(256, 256)
    x = tensor(lib, torch.randn(64, 256, generator=g, dtype=torch.float64).tolist())
    opt = lib.optim.Adam(layer.parameters(), lr=1e-3)

    def step():
        opt.zero_grad()
        (layer(x) ** 2).mean().backward()
        opt.step()
    return step


def main():
    torch.set_num_threads(1)
    torch.set_default_dtype(torch.float64)
    print(f"torch {torch.__version__}, 1 thread; load average {os.getloadavg()[0]:.2f}")
    print(f"{'problem':<48} {'zel':>10} {'torch float64':>14} {'zel s':>7} {'torch s':>8}")
    problems = [
        ("Rosenbrock to (1/3, 1/9), LBFGS: max |x - x*|", rosenbrock),
        ("least squares, SGD: max |w - w*|", lambda lib: least_squares(lib, "SGD", dict(lr=0.06, momentum=0.05), 120)),
        ("least squares, Adam: max |w - w*|", lambda lib: least_squares(lib, "Adam", dict(lr=0.01, eps=0.0), 1500)),
        ("tanh 2-2-1 network, LBFGS: final loss", tanh_network),
    ]
    for label, fn in problems:
        results = []
        for lib in (zel, torch):
            t0 = time.perf_counter()
            err = fn(lib)
            results.append((float(err), time.perf_counter() - t0))
        (ours, ours_s), (theirs, theirs_s) = results
        print(f"{label:<48} {ours:10.2e} {theirs:14.2e} {ours_s:7.2f} {theirs_s:8.2f}")
    ours = best_of(linear_adam_step(zel), repeat=3)
    theirs = best_of(linear_adam_step(torch), repeat=3)
    row("Linear(256,256) fwd+bwd, batch 64, + Adam", ours, [("torch", theirs)])


if __name__ == "__main__":
    main()
