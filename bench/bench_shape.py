"""Layout operations on a large tensor: varnel.zel against PyTorch float64.

Each row times our operation, PyTorch doing the same on a float64 tensor of
the logical shape (one value per element) and PyTorch doing it on the limb
array seen as (*shape, 8) (8 values per element, what we move), and prints
the ratios ours / PyTorch.
"""
import statistics
import time

import torch

from varnel.zel import zel


def best_of(f, repeats=7):
    f()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        f()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    torch.manual_seed(0)
    shape2 = (2048, 1024)  # 2M elements, 128 MiB of limbs
    shape3 = (64, 128, 256)
    limbs2 = torch.randn(*shape2, 8, dtype=torch.float64)
    limbs3 = torch.randn(*shape3, 8, dtype=torch.float64)
    t2, t3 = zel.from_limbs(limbs2.clone()), zel.from_limbs(limbs3.clone())
    x2, x3 = limbs2[..., 0].contiguous(), limbs3[..., 0].contiguous()
    half = zel.from_limbs(limbs2[:, :512].contiguous())
    lhalf, xhalf = limbs2[:, :512].contiguous(), x2[:, :512].contiguous()

    cases = [
        ("transpose (2048, 1024)", lambda: t2.transpose(0, 1),
         lambda: x2.transpose(0, 1).contiguous(), lambda: limbs2.transpose(0, 1).contiguous()),
        ("T (2048, 1024)", lambda: t2.T, lambda: x2.T.contiguous(), lambda: limbs2.transpose(0, 1).contiguous()),
        ("permute (64, 128, 256) -> (2, 0, 1)", lambda: zel.permute(t3, (2, 0, 1)),
         lambda: x3.permute(2, 0, 1).contiguous(), lambda: limbs3.permute(2, 0, 1, 3).contiguous()),
        ("cat 2 x (2048, 512) dim 0", lambda: zel.cat([half, half]),
         lambda: torch.cat([xhalf, xhalf]), lambda: torch.cat([lhalf, lhalf])),
        ("cat 2 x (2048, 512) dim 1", lambda: zel.cat([half, half], 1),
         lambda: torch.cat([xhalf, xhalf], 1), lambda: torch.cat([lhalf, lhalf], 1)),
        ("getitem [::2, 1:]", lambda: t2[::2, 1:],
         lambda: x2[::2, 1:].contiguous(), lambda: limbs2[::2, 1:].contiguous()),
        ("getitem [:, 3]", lambda: t2[:, 3], lambda: x2[:, 3].contiguous(), lambda: limbs2[:, 3].contiguous()),
        ("getitem [100:1900]", lambda: t2[100:1900],
         lambda: x2[100:1900].clone(), lambda: limbs2[100:1900].clone()),
        ("getitem [7] (one row)", lambda: t2[7], lambda: x2[7].clone(), lambda: limbs2[7].clone()),
        ("setitem [::2, 1:] = 1.0", lambda: t2.__setitem__((slice(None, None, 2), slice(1, None)), 1.0),
         lambda: x2[::2, 1:].fill_(1.0), lambda: limbs2[::2, 1:].copy_(torch.tensor([1.0] + [0.0] * 7))),
    ]
    print(f"threads: {torch.get_num_threads()}")
    print(f"{'operation':40s} {'zel ms':>9s} {'torch (N,) ms':>14s} {'torch (N,8) ms':>15s} "
          f"{'zel/(N,)':>9s} {'zel/(N,8)':>10s}")
    for name, ours, flat, limbwise in cases:
        a, b, c = best_of(ours), best_of(flat), best_of(limbwise)
        print(f"{name:40s} {a * 1e3:9.3f} {b * 1e3:14.3f} {c * 1e3:15.3f} {a / b:9.2f} {a / c:10.2f}")


if __name__ == "__main__":
    main()
