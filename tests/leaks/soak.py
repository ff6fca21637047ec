"""Soak: every scenario of entry_points.py, round after round; the heap, the resident set,
the interpreter's allocated blocks and the open descriptors stay flat.

Warm-up rounds come first (free lists, the malloc arenas of sampling threads and glibc's
cache of thread stacks fill up). The measured rounds that follow are cut into windows. A
figure leaks when it grew by more than its slack in every window: a single allocation lost
per round (a malloc chunk is at least 32 bytes) grows the heap by 8 KiB per window, while a
run without leaks grows it by a few hundred bytes at most, plus the odd one-off step
of a few KiB in one window when an arena or a cache grows. Descriptors may not grow at all.
"""
import argparse
import ctypes
import gc
import os
import sys
import time

import entry_points

WARMUP_ROUNDS = 300
WINDOWS = 4
ROUNDS_PER_WINDOW = 250
TIME_LIMIT_S = 180  # about 4 s on an idle machine
# Growth per window that counts; the readings themselves keep a few blocks alive.
SLACK = {"heap": 1024, "rss": 64 * 1024, "blocks": 32}


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = MallInfo2


def heap_bytes():
    """Bytes malloc has handed out and not had back, over all arenas and mmapped chunks."""
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def figures():
    gc.collect()
    return {"heap": heap_bytes(), "rss": rss_bytes(), "blocks": sys.getallocatedblocks(),
            "fds": open_fds()}


def play(scenarios, rounds, deadline):
    for done in range(rounds):
        if time.monotonic() > deadline:
            sys.exit(f"soak failed: only {done} of {rounds} rounds within {TIME_LIMIT_S} s")
        for fn in scenarios:
            fn()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--windows", type=int, default=WINDOWS, help=f"default {WINDOWS}")
    args = parser.parse_args()
    sys.unraisablehook = entry_points.quiet_unraisable_hook
    sys.excepthook = entry_points.quiet_excepthook
    scenarios = list(entry_points.SCENARIOS.values())
    started = time.monotonic()
    deadline = started + TIME_LIMIT_S
    with entry_points.quiet_stderr():
        play(scenarios, WARMUP_ROUNDS, deadline)
        readings = [figures()]
        for _ in range(args.windows):
            play(scenarios, ROUNDS_PER_WINDOW, deadline)
            readings.append(figures())
    print(f"{WARMUP_ROUNDS} warm-up rounds, then {args.windows} x {ROUNDS_PER_WINDOW} rounds of "
          f"{len(scenarios)} scenarios in {time.monotonic() - started:.1f} s")
    failures = []
    for key in readings[0]:
        growth = [after[key] - before[key] for before, after in zip(readings, readings[1:])]
        print(f"  {key:6} {readings[0][key]:>10} then grew by {growth}")
        if key == "fds" and any(growth):
            failures.append(f"descriptors changed: {growth}")
        elif key != "fds" and all(g > SLACK[key] for g in growth):
            failures.append(f"{key} grew in every window: {growth}")
    if failures:
        sys.exit("soak failed: " + "; ".join(failures))


if __name__ == "__main__":
    main()
