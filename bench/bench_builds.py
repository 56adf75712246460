"""This build against another build of the library, call by call through
Python, in one run: each case is timed in both builds by turns (fresh
processes, A B A B ...) and the best time of each is kept. For checking that
a change of layout or build (not of algorithm) leaves the speed alone.

Run: .venv/bin/python bench/bench_builds.py OTHER_SRC [--quick]
  OTHER_SRC: the src/ folder of the other build (varnel/zel/*.so built in place).
Prints ns per element (per call for 0-d) and this / other.
"""
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

CASES = {
    "exp": "x.exp()", "log": "p.log()", "sin": "x.sin()", "tanh": "x.tanh()",
    "sqrt": "p.sqrt()", "asin": "u.asin()", "reciprocal": "p.reciprocal()", "x / y": "x / y",
    "x + y": "x + y", "x * y": "x * y", "x * 3.0": "x * 3.0", "x / 3.0": "x / 3.0",
    "broadcast +": "m + row", "broadcast /": "m / row", "sum": "x.sum()", "var": "x.var()",
    "softmax": "m.softmax(-1)", "matmul 64": "a @ b", "0-d a + b": "s + s", "0-d exp": "s.exp()",
}
PER = {"matmul 64": 64 ** 3, "0-d a + b": 1, "0-d exp": 1, "broadcast +": None, "broadcast /": None,
       "softmax": None}

CHILD = r"""
import json, sys, time, torch
from varnel.zel import zel
n = int(sys.argv[1])
g = torch.Generator().manual_seed(0)
x = zel.Tensor(torch.rand(n, generator=g, dtype=torch.float64) * 4 - 2)
y = zel.Tensor(torch.rand(n, generator=g, dtype=torch.float64) + 0.5)
p = y * 3.0
u = x / 2.5
m = x.reshape(n // 100, 100)
row = y[:100]
a = zel.Tensor(torch.rand(64, 64, generator=g, dtype=torch.float64))
b = zel.Tensor(torch.rand(64, 64, generator=g, dtype=torch.float64))
s = zel.Tensor(1.25)
out = {}
for name, expr in json.loads(sys.argv[2]).items():
    f = eval("lambda: " + expr)
    f()
    reps = 3 if not name.startswith("0-d") else 20000
    best = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(reps):
            f()
        best = min(best, (time.perf_counter() - t0) / reps)
    out[name] = best
print(json.dumps(out))
"""


def run(src, n):
    env = dict(os.environ, PYTHONPATH=src, OMP_NUM_THREADS="1")
    code = "import torch; torch.set_num_threads(1)\n" + CHILD
    out = subprocess.run([sys.executable, "-c", code, str(n), json.dumps(CASES)], env=env, check=True,
                         capture_output=True, text=True, cwd="/").stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if not args:
        print("bench_builds.py: nothing to compare with; give the src/ folder of another build")
        return
    other = os.path.abspath(args[0])
    quick = "--quick" in sys.argv
    n = 10 ** 4 if quick else 10 ** 5
    ours_src = os.path.join(ROOT, "src")
    best = {"this": {}, "other": {}}
    for _ in range(2 if quick else 3):
        for label, src in (("this", ours_src), ("other", other)):
            for name, t in run(src, n).items():
                best[label][name] = min(best[label].get(name, float("inf")), t)
    print(f"{'case':<14}{'this':>12}{'other':>12}{'this/other':>12}   (ns per element, per call at 0-d; n = {n})")
    for name in CASES:
        per = PER.get(name, n) or n
        a, b = best["this"][name] * 1e9 / per, best["other"][name] * 1e9 / per
        print(f"{name:<14}{a:>12.2f}{b:>12.2f}{a / b:>12.3f}")


if __name__ == "__main__":
    main()
