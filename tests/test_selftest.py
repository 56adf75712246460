import re
import subprocess
import sys

from varnel.zel import zel

EXPECTED = """ZEL KALDEN Tests
============================================================

1. Catastrophic Cancellation: [1e8, 1, -1e8].sum()
   Result: 1.0
   Expected: 1.0
   PASS

2. Large Scale: [1e16, 1.0, -1e16].sum()
   Result: 1.0
   Expected: 1.0
   PASS

3. Basic Operations:
   a = 3.141590
   b = 2.718280
   a + b = 5.859870
   a - b = 0.423310
   a * b = 8.539721
   a / b = 1.155727

4. Matrix Operations:
   Matrix:
   [[1.0, 2.0], [3.0, 4.0]]
   Vector: [1.0, 1.0]
   M @ v = [3.0, 7.0]

5. Transcendental Functions:
   exp(1) = 2.7182818285 (expected: 2.7182818285)
   log(e) = 0.9999999998 (expected: 1.0)
   sin(pi/2) = 1.0000000000 (expected: 1.0)
   cos(0) = 1.0000000000 (expected: 1.0)

6. Lorenz System (1000 steps):
   Time: TIME
   Speed: SPEED
   Final: FINAL

============================================================
ALL TESTS PASSED - KALDEN VERIFIED
============================================================
""".splitlines()


def lorenz_final():
    x, y, z = zel.tensor(1.0), zel.tensor(1.0), zel.tensor(1.0)
    for _ in range(1000):
        dx = (y - x) * 10.0
        dy = x * (28.0 - z) - y
        dz = x * y - z * 2.6666666666666665
        x, y, z = x + dx * 0.01, y + dy * 0.01, z + dz * 0.01
    return f"({x.item():.6f}, {y.item():.6f}, {z.item():.6f})"


def test_report_line_by_line():
    proc = subprocess.run([sys.executable, "-m", "varnel.zel"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == len(EXPECTED)
    for got, want in zip(lines, EXPECTED):
        if want.endswith("TIME"):
            assert re.fullmatch(r"   Time: \d+\.\d{3}s", got), got
        elif want.endswith("SPEED"):
            assert re.fullmatch(r"   Speed: \d+\.\d steps/sec", got), got
        elif want.endswith("FINAL"):
            assert got == "   Final: " + lorenz_final()
        else:
            assert got == want


def test_not_exported_and_documented():
    assert "test_kalden" not in zel.__all__
    assert zel.test_kalden.__doc__.strip().endswith("Test KALDEN error property.")


def test_assertion_of_the_sums_is_skipped_under_optimisation():
    proc = subprocess.run([sys.executable, "-O", "-m", "varnel.zel"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.count("   PASS") == 2
