"""Element kernels against the QD library's qd_real, MPFR at 106 bits and
this library's previous release (the commit before the early exit and the
AVX2 lanes), one thread, ns per element, all measured in one run of
bench/speed_bench.cpp; and matmul ns per multiply-add term against QD
dd_real's triple loop; and the tree reductions (sum, prod, norms, var,
dot) against the previous release's. The program also counts rows where
the new kernels differ in any byte from the previous release's (must be 0).

Targets (ours / qd_real): / <= 0.4, sqrt <= 0.8, exp <= 0.1, log <= 0.2,
sin <= 0.1, tanh <= 0.1; matmul ours / dd_real <= 0.5; dot of 10^6
elements ours / dd_real <= 1.2.

Needs g++, git, libqd-dev and libmpfr-dev.
Run: .venv/bin/python bench/bench_speed.py [--quick]
"""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "buildsys"))
from kernel_flags import KERNEL_FLAGS  # noqa: E402
PREVIOUS_RELEASE = "78ce6ca"
PREVIOUS_HEADERS = ["eft.h", "row.h", "elementary.h", "reduce.h", "matmul.h"]
FLAGS = ["-std=c++17", "-O3", *KERNEL_FLAGS]
# The previous release as it was built: -O3 with the arithmetic flags only.
PREVIOUS_FLAGS = ["-std=c++17", "-O3", "-ffp-contract=off", "-fno-fast-math"]
TARGETS = {"div": 0.4, "sqrt": 0.8, "exp": 0.1, "log": 0.2, "sin": 0.1, "tanh": 0.1}
FUNCS = ["div", "reciprocal", "sqrt", "exp", "log", "sin", "cos", "tanh"]
REDUCTIONS = ["sum", "prod", "norm1", "norm2", "var", "dot"]


def build():
    build_dir = os.path.join(ROOT, "build", "speed_bench")
    old = os.path.join(build_dir, "previous", "limbs")
    os.makedirs(old, exist_ok=True)
    for name in PREVIOUS_HEADERS:
        text = subprocess.run(["git", "-C", ROOT, "show", f"{PREVIOUS_RELEASE}:csrc/limbs/{name}"],
                              check=True, capture_output=True, text=True).stdout
        with open(os.path.join(old, name), "w") as f:
            f.write(text)
    previous_obj = os.path.join(build_dir, "previous_release.o")
    subprocess.run(["g++", *PREVIOUS_FLAGS, "-I", os.path.join(build_dir, "previous"), "-c",
                    os.path.join(HERE, "previous_release.cpp"), "-o", previous_obj], check=True)
    exe = os.path.join(build_dir, "speed_bench")
    # The element kernels are the library's own: its archive, from make build.
    archive = os.path.join(ROOT, "build", "kernels", "release", "libzel_kernels.a")
    if not os.path.exists(archive):
        sys.exit("bench_speed: build the library first (make build): " + archive + " is missing")
    subprocess.run(["g++", *FLAGS, "-I", os.path.join(ROOT, "csrc"), os.path.join(HERE, "speed_bench.cpp"),
                    previous_obj, archive, "-o", exe, "-lqd", "-lmpfr", "-lgmp"], check=True)
    return exe


def main():
    quick = "--quick" in sys.argv
    n, matmul_n, dot_n = (10**4, 128, 10**5) if quick else (10**5, 256, 10**6)
    exe = build()
    out = subprocess.run([exe, str(n), str(matmul_n), str(dot_n)], check=True, capture_output=True,
                         text=True).stdout
    table, lanes = {}, "?"
    for line in out.split("\n"):
        parts = line.split()
        if len(parts) == 3:
            table[(parts[0], parts[1])] = float(parts[2])
        elif len(parts) == 2 and parts[0] == "lanes":
            lanes = parts[1]
    print(f"{n} elements, one thread, ns per element (lanes: {lanes}; load average {os.getloadavg()[0]:.2f})")
    print(f"{'op':<11}{'ours':>9}{'previous':>10}{'qd_real':>9}{'mpfr106':>9}"
          f"{'prev/ours':>10}{'ours/qd':>9}{'target':>8}{'ours/mpfr':>10}{'bytes differ':>13}  met")
    for name in FUNCS:
        ours, prev = table[("ours", name)], table[("previous", name)]
        qd, mp = table[("qd_real", name)], table[("mpfr106", name)]
        target = TARGETS.get(name)
        met = "-" if target is None else ("yes" if ours / qd <= target else "NO")
        print(f"{name:<11}{ours:9.1f}{prev:10.1f}{qd:9.1f}{mp:9.1f}{prev / ours:10.2f}{ours / qd:9.3f}"
              f"{target if target else '-':>8}{ours / mp:10.2f}{int(table[('differing', name)]):>13}  {met}")
    for name in ("sigmoid", "gelu", "add", "mul"):
        ours, prev = table[("ours", name)], table[("previous", name)]
        print(f"{name:<11}{ours:9.1f}{prev:10.1f}{'-':>9}{'-':>9}{prev / ours:10.2f}{'-':>9}{'-':>8}{'-':>10}"
              f"{int(table[('differing', name)]):>13}")
    print(f"\nreductions of all {n} elements, one thread, ns per element")
    print(f"{'op':<11}{'ours':>9}{'previous':>10}{'prev/ours':>10}{'bytes differ':>13}")
    for name in REDUCTIONS:
        ours, prev = table[("ours", name)], table[("previous", name)]
        print(f"{name:<11}{ours:9.2f}{prev:10.2f}{prev / ours:10.2f}{int(table[('differing', name)]):>13}")
    ours, dd = table[("ours", "dot_large")], table[("dd_real", "dot_large")]
    print(f"\ndot of {dot_n} elements, one thread, ns per element: ours {ours:.2f}, dd_real {dd:.2f}, "
          f"ours/dd_real {ours / dd:.2f} (target <= 1.2: {'yes' if ours / dd <= 1.2 else 'NO'})")
    ours, dd = table[("ours", "matmul")], table[("dd_real", "matmul")]
    print(f"\nmatmul {matmul_n}x{matmul_n}, one thread, ns per multiply-add term: ours {ours:.2f}, "
          f"dd_real triple loop {dd:.2f}, ours/dd_real {ours / dd:.2f} (target <= 0.5: {'yes' if ours / dd <= 0.5 else 'NO'})")
    if any(v for (kind, _), v in table.items() if kind == "differing"):
        raise SystemExit("the new kernels changed bytes of the previous release")


if __name__ == "__main__":
    main()
