"""Interleaved micro-benchmarks: candidates run in alternating order, round after round,
so drift in the machine's speed falls on all of them alike; ratios are what count.

Each candidate's figure is its fastest batch. On a shared virtual machine other guests
take the processor in bursts (steal time), and a burst only ever adds time to whichever
batch it lands on; the fastest batch is the one it disturbed least, for every candidate
alike, where a median still moves with how many bursts each happened to catch."""
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
    """Nanoseconds per call of each candidate (a dict of name -> callable), fastest batch."""
    loops = {name: _calibrate(fn) for name, fn in candidates.items()}
    samples = {name: [] for name in candidates}
    order = list(candidates)
    for round_number in range(rounds):
        for name in order if round_number % 2 == 0 else reversed(order):
            samples[name].append(_batch(candidates[name], loops[name]))
    return {name: min(values) for name, values in samples.items()}


UNROLL = 20


def unrolled(statement, namespace):
    """A callable that runs `statement` UNROLL times per call, so the loop's own cost is
    spread thin; time it with measure(..., calls_per_run=UNROLL)."""
    body = "".join(f"    {statement}\n" for _ in range(UNROLL))
    code = f"def run():\n{body}"
    scope = dict(namespace)
    exec(code, scope)  # noqa: S102 - benchmark code generated from literals in this folder
    return scope["run"]


def measure_calls(statements, namespace, rounds=ROUNDS):
    """Nanoseconds per execution of each statement (a dict of name -> source)."""
    timings = measure({name: unrolled(s, namespace) for name, s in statements.items()}, rounds)
    return {name: ns / UNROLL for name, ns in timings.items()}


def check(what, value, unit, goal=None):
    """One headline figure for the results file: `value` in `unit` ("x" for a ratio, or
    "ms"), and the most it may be, if it has a goal."""
    return {"what": what, "value": value, "unit": unit, "goal": goal}


def report(title, timings, anchor):
    """Prints a table of timings and ratios to `anchor`; returns the ratios."""
    base = timings[anchor]
    print(f"\n{title}")
    width = max(len(name) for name in timings)
    ratios = {}
    for name, ns in timings.items():
        ratios[name] = ns / base
        shown = f"{ns:9.1f} ns" if ns < 10_000 else f"{ns / 1000:9.2f} µs"
        print(f"  {name:<{width}}  {shown}  {ratios[name]:6.2f}x")
    return ratios
