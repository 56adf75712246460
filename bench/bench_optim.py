"""One Adam step on a Linear-like parameter set (weight 256x256, bias 256),
with given gradients: zel.optim.Adam against torch.optim.Adam in float64,
measured in one run.

Run: .venv/bin/python bench/bench_optim.py
"""
import os

import torch

from _timing import best_of, row
from varnel.zel import zel


def adam_step(lib):
    g = torch.Generator().manual_seed(0)
    values = [torch.randn(256, 256, generator=g, dtype=torch.float64), torch.randn(256, generator=g,
                                                                                  dtype=torch.float64)]
    grads = [torch.randn(256, 256, generator=g, dtype=torch.float64), torch.randn(256, generator=g,
                                                                                 dtype=torch.float64)]
    if lib is torch:
        params = [v.clone().requires_grad_(True) for v in values]
        for p, gr in zip(params, grads):
            p.grad = gr.clone()
    else:
        params = [zel.tensor(v.tolist(), requires_grad=True) for v in values]
        for p, gr in zip(params, grads):
            p.grad = zel.tensor(gr.tolist())
    opt = lib.optim.Adam(params, lr=1e-3)
    opt.step()  # the state exists: the timed steps are the steady ones
    return opt.step


def main():
    torch.set_num_threads(1)
    print(f"torch {torch.__version__}, 1 thread; load average {os.getloadavg()[0]:.2f}")
    ours = best_of(adam_step(zel))
    theirs = best_of(adam_step(torch))
    row("Adam step, 256x256 + 256", ours, [("torch", theirs)])


if __name__ == "__main__":
    main()
