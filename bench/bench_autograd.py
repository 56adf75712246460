"""What gradients cost, measured side by side in one run:

- the Lorenz loop on 0-d tensors whose initial state requires grad, with
  backward() at the end, against the same program under PyTorch's float64
  autograd (target zel/torch <= 0.5);
- backward of (x.exp() * w).sum() on 10^5 elements against its forward
  (target backward/forward <= 2.5);
- 0-d a + b and a * b with no input requiring grad (compare with the
  previous release through bench_builds.py; shown here against PyTorch).

Run: .venv/bin/python bench/bench_autograd.py [--quick]
"""
import os
import sys

import torch

from _timing import best_of
from bench_core import paired
from bench_zero_d import lorenz
from varnel.zel import zel


def lorenz_backward(lib, steps):
    def run():
        if lib is torch:
            s = [torch.tensor(v, dtype=torch.float64, requires_grad=True) for v in (1.0, 1.0, 1.0)]
        else:
            s = [zel.tensor(v, requires_grad=True) for v in (1.0, 1.0, 1.0)]
        x, _, _ = lorenz(*s, steps)
        x.backward()
        return s[0].grad
    return run


def main():
    quick = "--quick" in sys.argv
    torch.set_num_threads(1)
    print(f"torch {torch.__version__}, 1 thread; load average {os.getloadavg()[0]:.2f}; "
          "Lorenz timings are the best of several runs, measured in alternation")
    for steps in ((200,) if quick else (200, 1000)):
        t_zel, t_torch = paired([lorenz_backward(zel, steps), lorenz_backward(torch, steps)], 3 if quick else 7)
        print(f"Lorenz {steps:>4} steps + backward    zel {t_zel * 1e3:9.2f} ms  torch {t_torch * 1e3:9.2f} ms  "
              f"zel/torch = {t_zel / t_torch:6.2f}  (target <= 0.5)")

    n = 10 ** 4 if quick else 10 ** 5
    x = zel.rand(n).requires_grad_()
    w = zel.rand(n)

    def forward():
        return (x.exp() * w).sum()

    y = forward()

    def backward():
        x.grad = None
        y.backward(retain_graph=True)

    t_f, t_b = best_of(forward, repeat=3), best_of(backward, repeat=3)
    print(f"(x.exp() * w).sum(), n = {n:<8}  forward {t_f * 1e3:9.2f} ms  backward {t_b * 1e3:9.2f} ms  "
          f"backward/forward = {t_b / t_f:6.2f}  (target <= 2.5)")

    a, b = zel.tensor(1.25), zel.tensor(0.75)
    ta, tb = torch.tensor(1.25, dtype=torch.float64), torch.tensor(0.75, dtype=torch.float64)
    for label, f, g in (("0-d a + b", lambda: a + b, lambda: ta + tb), ("0-d a * b", lambda: a * b, lambda: ta * tb)):
        tz, tt = best_of(f), best_of(g)
        print(f"{label:<34} zel {tz * 1e9:9.1f} ns  torch {tt * 1e9:9.1f} ns  zel/torch = {tz / tt:6.2f}")


if __name__ == "__main__":
    main()
