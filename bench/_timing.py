"""Shared timing helper for the benchmarks: best of several repeats."""
import time


def best_of(fn, repeat=5, min_time=0.05):
    """Seconds per call: the best mean over `repeat` batches of calls."""
    fn()
    calls = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        if time.perf_counter() - t0 >= min_time or calls >= 1 << 20:
            break
        calls *= 2
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - t0) / calls)
    return best


def row(label, ours, others):
    parts = [f"{label:<34} zel {ours * 1e3:10.3f} ms"]
    for name, t in others:
        parts.append(f"{name} {t * 1e3:10.3f} ms (zel/{name} = {ours / t:8.2f})")
    print("  ".join(parts))
