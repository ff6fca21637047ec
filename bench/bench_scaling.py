"""How the probes scale with the number of open descriptors: snapshot_resources() beside
psutil and the C++ floors from 10 to 19,000 descriptors, and the sampler's CPU per tick
at a 1 ms interval beside a Python thread polling psutil."""
import contextlib
import os
import resource
import threading
import time

import psutil

import _quillmere_core as qc
from floors.build_floors import load as load_floors
from harness import measure

SNAPSHOT_LEVELS = (10, 1_000, 10_000, 19_000)
SAMPLER_LEVELS = (10, 1_000, 10_000)
INTERVAL_MS = 1
WINDOW_SECONDS = 1.0
SAMPLER_ROUNDS = 3


@contextlib.contextmanager
def descriptor_room(most):
    """Raises the soft descriptor limit to let `most` be open (as far as the hard limit
    allows) and yields a function that opens or closes /dev/null descriptors until that
    many are open, or as many as the limit allows; closes them and restores the limit."""
    limits = resource.getrlimit(resource.RLIMIT_NOFILE)
    hard = limits[1]
    soft = most + 64 if hard == resource.RLIM_INFINITY else min(most + 64, hard)
    soft = max(soft, limits[0])
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    extra = []

    def hold(total):
        total = min(total, soft - 32)  # room for the probes' and the threads' own
        # As the module counts them: the descriptor it counts through among them.
        now = qc.snapshot_resources().open_fds
        while now < total:
            extra.append(os.open(os.devnull, os.O_RDONLY | os.O_CLOEXEC))
            now += 1
        while now > total and extra:
            os.close(extra.pop())
            now -= 1
        return qc.snapshot_resources().open_fds

    try:
        yield hold
    finally:
        for fd in extra:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, limits)


def snapshot_times(floors, hold):
    """Nanoseconds per call of each candidate at each level, and the counts reached."""
    process = psutil.Process()

    def psutil_snapshot():
        return process.memory_info(), process.num_fds()

    candidates = {
        "C++ floor": floors.probe_loop,
        "snapshot_resources()": qc.snapshot_resources,
        "psutil memory_info()+num_fds()": psutil_snapshot,
        "C++ listing (O(n) count)": floors.probe_listing_loop,
    }
    timings, reached = {name: [] for name in candidates}, []
    for level in SNAPSHOT_LEVELS:
        reached.append(hold(level))
        # The counts must agree before the times mean anything.
        counts = {qc.snapshot_resources().open_fds, floors.probe_loop()[2],
                  floors.probe_listing_loop()[2], process.num_fds()}
        assert len(counts) == 1, counts
        for name, ns in measure(candidates).items():
            timings[name].append(ns)
    return timings, reached


def cpu_while(start, stop, ticks):
    """Process CPU seconds over a fixed wall time with a sampler running, and its ticks."""
    before = time.process_time()
    start()
    time.sleep(WINDOW_SECONDS)
    counted = ticks()
    stop()
    return time.process_time() - before, counted


def waits_of(tid):
    """Voluntary context switches of a native thread: one per wait between samples."""
    with open(f"/proc/self/task/{tid}/status") as status:
        for line in status:
            if line.startswith("voluntary_ctxt_switches:"):
                return int(line.split()[1])
    raise AssertionError("no context switch count")


def native_candidate(start_thread, stop_thread):
    state = {}

    def start():
        before = set(os.listdir("/proc/self/task"))
        start_thread()
        (state["tid"],) = set(os.listdir("/proc/self/task")) - before
        state["first"] = waits_of(state["tid"])

    return start, stop_thread, lambda: waits_of(state["tid"]) - state["first"]


def psutil_candidate():
    process = psutil.Process()
    state = {}

    def sample(stop_event, ticks):
        peak = 0
        while not stop_event.is_set():
            peak = max(peak, process.memory_info().rss)
            ticks[0] += 1
            time.sleep(INTERVAL_MS / 1000)

    def start():
        state["stop"], state["ticks"] = threading.Event(), [0]
        state["thread"] = threading.Thread(target=sample, args=(state["stop"], state["ticks"]))
        state["thread"].start()

    def stop():
        state["stop"].set()
        state["thread"].join()

    return start, stop, lambda: state["ticks"][0]


def sampler_costs(floors, hold):
    """Nanoseconds of process CPU per tick, above an idle baseline, at each level, and the
    counts reached."""
    sampler = qc.BackgroundSampler()
    candidates = {
        "idle": (lambda: None, lambda: None, lambda: 1),
        "C++ thread (floor)": native_candidate(lambda: floors.sampler_start(INTERVAL_MS),
                                               floors.sampler_stop),
        "BackgroundSampler": native_candidate(lambda: sampler.start(INTERVAL_MS), sampler.stop),
        "psutil thread": psutil_candidate(),
    }
    per_tick, reached = {name: [] for name in candidates if name != "idle"}, []
    for level in SAMPLER_LEVELS:
        reached.append(hold(level))
        runs = {name: [] for name in candidates}
        order = list(candidates)
        for round_number in range(SAMPLER_ROUNDS):
            for name in order if round_number % 2 == 0 else reversed(order):
                runs[name].append(cpu_while(*candidates[name]))
        idle = min(cpu for cpu, _ in runs.pop("idle"))
        for name, measured in runs.items():
            assert all(ticks > 0 for _, ticks in measured), f"{name} never sampled"
            per_tick[name].append(min(max(cpu - idle, 0) / ticks for cpu, ticks in measured) * 1e9)
    return per_tick, reached


def shown_time(ns):
    return f"{ns:7.0f} ns" if ns < 10_000 else f"{ns / 1000:7.1f} µs"


def print_table(title, levels, rows, anchor):
    width = max(len(name) for name in rows)
    print(f"\n{title}")
    print(f"  {'open descriptors':<{width}}" + "".join(f"{level:>20,}" for level in levels))
    for name, values in rows.items():
        cells = (f"{shown_time(value):>12} " + (f"{value / base:6.2f}x" if base else "   n/a ")
                 for value, base in zip(values, rows[anchor]))
        print(f"  {name:<{width}}" + "".join(cells))


def main():
    floors = load_floors()
    with descriptor_room(max(SNAPSHOT_LEVELS)) as hold:
        timings, reached = snapshot_times(floors, hold)
        costs, sampler_reached = sampler_costs(floors, hold)
    print_table("snapshot: fastest batch per call, and its ratio to the C++ floor",
                reached, timings, "C++ floor")
    print_table(f"sampler at {INTERVAL_MS} ms: process CPU per tick above idle, fastest of "
                f"{SAMPLER_ROUNDS} interleaved {WINDOW_SECONDS:.0f} s windows, and its ratio "
                "to the C++ thread", sampler_reached, costs, "C++ thread (floor)")
    snapshot_ns = timings["snapshot_resources()"][-1]
    psutil_ns = timings["psutil memory_info()+num_fds()"][-1]
    sampler_ns, psutil_tick_ns = costs["BackgroundSampler"][-1], costs["psutil thread"][-1]
    print(f"\nscaling: snapshot_resources() at {reached[-1]:,} descriptors "
          f"{snapshot_ns / 1000:.1f} µs ({snapshot_ns / psutil_ns:.3f}x psutil, "
          f"{snapshot_ns / timings['C++ floor'][-1]:.2f}x its floor); sampler at "
          f"{sampler_reached[-1]:,} descriptors {sampler_ns / 1000:.1f} µs CPU per tick "
          f"({sampler_ns / psutil_tick_ns:.2f}x the psutil thread)")
    return {
        "snapshot": {"descriptors": reached, "ns_per_call": timings},
        "sampler": {"descriptors": sampler_reached, "cpu_ns_per_tick": costs,
                    "interval_ms": INTERVAL_MS},
    }


if __name__ == "__main__":
    main()
