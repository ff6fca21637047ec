"""Interleaved micro-benchmarks: candidates run in alternating order, round after round,
so drift in the machine's speed falls on all of them alike; ratios are what count."""
import statistics
import time

ROUNDS = 21
BATCH_SECONDS = 0.01


def _calibrate(fn):
    loops = 1
    while True:
        start = time.perf_counter_ns()
        for _ in range(loops):
            fn()
        if time.perf_counter_ns() - start >= BATCH_SECONDS * 1e9 or loops >= 1 << 24:
            return loops
        loops *= 2


def _batch(fn, loops):
    start = time.perf_counter_ns()
    for _ in range(loops):
        fn()
    return (time.perf_counter_ns() - start) / loops


def measure(candidates, rounds=ROUNDS):
    """Median nanoseconds per call of each candidate (a dict of name -> callable)."""
    loops = {name: _calibrate(fn) for name, fn in candidates.items()}
    samples = {name: [] for name in candidates}
    order = list(candidates)
    for round_number in range(rounds):
        for name in order if round_number % 2 == 0 else reversed(order):
            samples[name].append(_batch(candidates[name], loops[name]))
    return {name: statistics.median(values) for name, values in samples.items()}


def report(title, medians, anchor):
    """Prints a table of medians and ratios to `anchor`; returns the ratios."""
    base = medians[anchor]
    print(f"\n{title}")
    width = max(len(name) for name in medians)
    ratios = {}
    for name, ns in medians.items():
        ratios[name] = ns / base
        print(f"  {name:<{width}}  {ns / 1000:9.2f} µs  {ratios[name]:6.2f}x")
    return ratios
