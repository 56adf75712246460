"""The accurate element functions against QD's qd_real, one thread each:
ns per element of bench/qd_math.cpp (built here into build/ with g++ -lqd)
for the functions QD has, and the ratio. Target: ours / qd_real <= 1.0 for
every one (qd_real carries 212 bits, we promise 100, so its cost is the
ceiling).

Run: .venv/bin/python bench/bench_math.py [--quick]
"""
import glob
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def main():
    n = 2000 if "--quick" in sys.argv else 20000
    exe = os.path.join(ROOT, "build", "qd_math")
    src = os.path.join(HERE, "qd_math.cpp")
    os.makedirs(os.path.dirname(exe), exist_ok=True)
    headers = glob.glob(os.path.join(ROOT, "csrc", "limbs", "**", "*.h"), recursive=True)
    if not os.path.exists(exe) or os.path.getmtime(exe) < max(os.path.getmtime(p) for p in [src] + headers):
        cmd = ["g++", "-std=c++17", "-O3", "-ffp-contract=off", "-fno-fast-math",
               "-I", os.path.join(ROOT, "csrc"), src, "-o", exe, "-lqd"]
        built = subprocess.run(cmd, capture_output=True, text=True)
        if built.returncode != 0:
            print("QD bench not built (install libqd-dev):", built.stderr.strip().splitlines()[-1:])
            return 1
    out = subprocess.run([exe, str(n)], capture_output=True, text=True, check=True).stdout
    print(f"{n} elements, 1 thread, ns per element; target ours/qd_real <= 1.0")
    print(f"{'function':<10}{'qd_real':>10}{'ours':>10}{'ours/qd':>10}  met")
    all_met = True
    for line in out.splitlines():
        name, qd, ours = line.split()
        ratio = float(ours) / float(qd)
        all_met = all_met and ratio <= 1.0
        print(f"{name:<10}{float(qd):>10.1f}{float(ours):>10.1f}{ratio:>10.3f}  {'yes' if ratio <= 1.0 else 'no'}")
    print("all targets met" if all_met else "some targets missed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
