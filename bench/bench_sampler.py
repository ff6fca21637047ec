"""BackgroundSampler: CPU beside a plain C++ sampling thread (the floor) and a Python thread
sampling psutil (what memory profilers do); its interval while Python spins; stop latency."""
import os
import resource
import threading
import time

import psutil

import _quillmere_core as qc
from floors.build_floors import load as load_floors
from harness import check

WINDOW_SECONDS = 2.0


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def cpu_share(start, stop):
    before = cpu_seconds()
    start()
    time.sleep(WINDOW_SECONDS)
    peak = stop()
    assert peak > 0, "a sampler that never sampled measures nothing"
    return (cpu_seconds() - before) / WINDOW_SECONDS


def psutil_thread(interval_ms):
    process = psutil.Process()
    stop = threading.Event()
    peak = [0]

    def sample():
        while not stop.is_set():
            peak[0] = max(peak[0], process.memory_info().rss)
            time.sleep(interval_ms / 1000)

    thread = threading.Thread(target=sample)

    def finish():
        stop.set()
        thread.join()
        return peak[0]

    return thread.start, finish


def wakeups(tid):
    with open(f"/proc/self/task/{tid}/status") as status:
        for line in status:
            if line.startswith("voluntary_ctxt_switches:"):
                return int(line.split()[1])
    raise AssertionError("no context switch count")


def interval_while_python_spins(interval_ms=1, seconds=1.0):
    """The sampler's real interval while this thread holds the interpreter lock: each wait
    between samples is one voluntary context switch of the sampling thread."""
    before = set(os.listdir("/proc/self/task"))
    sampler = qc.BackgroundSampler()
    sampler.start(interval_ms)
    (tid,) = set(os.listdir("/proc/self/task")) - before
    first = wakeups(tid)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:  # pure Python: never lets go of the lock
        pass
    count = wakeups(tid) - first
    sampler.stop()
    return seconds * 1000 / max(count, 1)


def stop_latency(interval_ms=5000):
    sampler = qc.BackgroundSampler()
    sampler.start(interval_ms)
    time.sleep(0.1)
    started = time.perf_counter()
    assert sampler.stop() > 0
    return (time.perf_counter() - started) * 1000


def main():
    floors = load_floors()
    print("\nsampler CPU, share of one core while the main thread sleeps (median of 3, interleaved)")
    results, shares_by_interval = {}, {}
    for interval_ms in (1, 10):
        native = qc.BackgroundSampler()
        candidates = {
            "C++ thread (floor)": (lambda: floors.sampler_start(interval_ms), floors.sampler_stop),
            "BackgroundSampler": (lambda: native.start(interval_ms), native.stop),
            "psutil thread": None,
        }
        shares = {name: [] for name in candidates}
        order = list(candidates)
        for round_number in range(3):
            for name in order if round_number % 2 == 0 else reversed(order):
                start, stop = candidates[name] or psutil_thread(interval_ms)
                shares[name].append(cpu_share(start, stop))
        medians = {name: sorted(values)[1] for name, values in shares.items()}
        floor = medians["C++ thread (floor)"]
        print(f"  {interval_ms:>2} ms: " + "   ".join(
            f"{name} {share:6.2%} ({share / floor:.2f}x)" for name, share in medians.items()))
        results[interval_ms] = medians["BackgroundSampler"] / floor
        shares_by_interval[interval_ms] = medians

    interval = interval_while_python_spins()
    latency = max(stop_latency() for _ in range(3))
    print(f"  interval at 1 ms while a Python thread spins holding the lock: {interval:.3f} ms")
    print(f"  stop() after start(5000): {latency:.2f} ms at worst of 3")
    print(f"\nsampler: CPU at 1 ms {results[1]:.2f}x the C++ floor (goal <= 1.3x), interval "
          f"{interval:.3f} ms (goal <= 1.25), stop {latency:.2f} ms (goal <= 10)")
    return {
        "cpu_share": shares_by_interval,
        "checks": [
            check("sampler CPU at 1 ms vs a C++ thread reading the same file", results[1], "x", 1.3),
            check("sampler interval at 1 ms while Python spins holding the lock", interval, "ms", 1.25),
            check("stop() after start(5000)", latency, "ms", 10),
        ],
    }


if __name__ == "__main__":
    main()
