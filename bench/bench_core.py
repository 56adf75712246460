"""Core arithmetic speed: `+` and `*` on 0-d tensors (the per-call cost) and
on 10^6 elements, against PyTorch float64 doing the corresponding work and
against the same limb algorithms composed from whole-array PyTorch ops.

0-d: zel against PyTorch's own 0-d float64 `+`/`*` (targets: ratio <= 1.0,
and >= 10x faster than the composed form). 10^6 elements: zel against
PyTorch adding (multiplying) the two (10^6, 8) float64 limb arrays, the same
memory traffic with one flop per limb (target for `+`: within 2x).

Run: .venv/bin/python bench/bench_core.py [--quick]
"""
import sys

import torch

from _timing import best_of
from bench_elementwise import operands, t_add, t_mul, t_mul_scalar
from varnel.zel import zel


def paired(fns, repeat):
    """Best time per call of each function, measured in alternation so that
    the machine's load and memory state hit all of them alike."""
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for i, fn in enumerate(fns):
            best[i] = min(best[i], best_of(fn, repeat=1))
    return best


def check_same(name, ours, composed):
    if not torch.equal(ours()._data, composed()):
        raise SystemExit(f"{name}: zel and the composed form differ")


def zero_d(repeat):
    xa, xb, a, b = operands(0)
    da, db = a._data.clone(), b._data.clone()
    c = 0.7853981633974483
    cases = [
        ("0-d a + b", lambda: a + b, lambda: xa + xb, lambda: t_add(da, db)),
        ("0-d a * b", lambda: a * b, lambda: xa * xb, lambda: t_mul(da, db)),
        ("0-d a * float", lambda: a * c, lambda: xa * c, lambda: t_mul_scalar(da, c)),
    ]
    print("\n0-d tensors, time per call (us); targets: zel/torch <= 1.0, composed/zel >= 10")
    print(f"{'op':<16}{'zel':>9}{'torch 0-d':>11}{'composed':>11}{'zel/torch':>11}{'composed/zel':>14}  met")
    for name, ours, plain, composed in cases:
        check_same(name, ours, composed)
        t_ours, t_plain = paired([ours, plain], repeat)
        t_comp = best_of(composed, repeat=max(2, repeat // 2))
        met = t_ours / t_plain <= 1.0 and t_comp / t_ours >= 10
        print(f"{name:<16}{t_ours * 1e6:9.2f}{t_plain * 1e6:11.2f}{t_comp * 1e6:11.1f}"
              f"{t_ours / t_plain:11.2f}{t_comp / t_ours:14.1f}  {'yes' if met else 'NO'}")


def million(n, repeat):
    xa, xb, a, b = operands(n)
    da, db = a._data.clone(), b._data.clone()
    c = 0.7853981633974483
    out = torch.empty_like(da)
    cases = [
        ("a + b", lambda: a + b, lambda: da + db, lambda: xa + xb, lambda: t_add(da, db), 2.0),
        ("a * b", lambda: a * b, lambda: da * db, lambda: xa * xb, lambda: t_mul(da, db), None),
        ("a * float", lambda: a * c, lambda: da * c, lambda: xa * c, lambda: t_mul_scalar(da, c), None),
    ]
    print(f"\n{n} elements, {torch.get_num_threads()} thread(s), time per call (ms); "
          "torch (N,8): the same op on the two (N, 8) float64 limb arrays")
    print("  (N,8) out=: the same into a preallocated array, i.e. without the page faults of a fresh result")
    print(f"{'op':<12}{'zel':>9}{'torch (N,8)':>13}{'(N,8) out=':>12}{'torch (N)':>11}{'composed':>10}"
          f"{'zel/(N,8)':>11}{'composed/zel':>14}  target")
    for name, ours, limb_arrays, plain, composed, target in cases:
        check_same(name, ours, composed)
        op = torch.add if "+" in name else torch.mul
        other = db if name == "a * b" or name == "a + b" else c
        t_ours, t_arr, t_out, t_plain = paired(
            [ours, limb_arrays, lambda: op(da, other, out=out), plain], repeat)
        t_comp = best_of(composed, repeat=max(2, repeat // 2))
        verdict = "" if target is None else (
            f"<= {target:.0f}x: {'met' if t_ours / t_arr <= target else 'MISSED'}")
        print(f"{name:<12}{t_ours * 1e3:9.2f}{t_arr * 1e3:13.2f}{t_out * 1e3:12.2f}{t_plain * 1e3:11.2f}{t_comp * 1e3:10.1f}"
              f"{t_ours / t_arr:11.2f}{t_comp / t_ours:14.1f}  {verdict}")


def main():
    quick = "--quick" in sys.argv
    threads = torch.get_num_threads()
    print(f"torch {torch.__version__}, {threads} threads; best of several runs")
    zero_d(3 if quick else 7)
    n = 10 ** 5 if quick else 10 ** 6
    million(n, 3 if quick else 7)
    if threads > 1:
        torch.set_num_threads(1)
        million(n, 3 if quick else 5)
        torch.set_num_threads(threads)


if __name__ == "__main__":
    main()
