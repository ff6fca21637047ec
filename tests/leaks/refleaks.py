"""Reference and memory-block leak check; needs the debug interpreter (python3.14d).

Each scenario of entry_points.py is played in rounds of CALLS calls. Warm-up rounds come
first, until one shows no growth (at most MAX_WARMUP_ROUNDS): caches, interned names, free
lists and the interpreter's specialised bytecode settle, the last with exponential back-off,
so a scenario that makes a fresh module object per call needs a few hundred calls. Then a
scenario leaks when the total reference count, or the number of allocated blocks, grew in
each of ROUNDS rounds by at least a tenth of CALLS: one reference lost per call shows up as
at least CALLS per round, and one lost on a path that one call in ten takes still counts,
while a cache that fills late grows in one round only. The tenth is the only slack beyond
the criterion of CPython's own `-R` leak hunting: the import machinery of 3.13 settles by
a few references either way over hundreds of fresh module objects (module_exec), under
hash randomisation, and never by as many as that.

Tracebacks the interpreter prints (a panic that came back through Python code prints one)
go to a silent sys.excepthook: the default printer keeps caches of its own that grow by a
block now and then, which is the interpreter's business, not the module's.
"""
import argparse
import gc
import sys

import entry_points

MAX_WARMUP_ROUNDS = 20
ROUNDS = 3


def round_deltas(fn, calls, rounds, growth):
    """Writes the growth of (references, blocks) over each of `rounds` rounds of `calls`
    calls to the first slots of `growth`."""
    # Each reading replaces one of four distinct ints, and `growth` has room reserved, so
    # taking a reading allocates nothing that the next one would count.
    slots = [sys.gettotalrefcount(), sys.getallocatedblocks(),
             sys.gettotalrefcount(), sys.getallocatedblocks()]
    for i in range(rounds):
        gc.collect()
        slots[0], slots[1] = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(calls):
            fn()
        gc.collect()
        slots[2], slots[3] = sys.gettotalrefcount(), sys.getallocatedblocks()
        growth[i] = (slots[2] - slots[0], slots[3] - slots[1])


def settle(fn, calls):
    """Warm-up: rounds until one grows neither count. Returns how many it took."""
    growth = [None]
    for warmup_rounds in range(1, MAX_WARMUP_ROUNDS + 1):
        round_deltas(fn, calls, 1, growth)
        if growth[0][0] <= 0 and growth[0][1] <= 0:
            break
    return warmup_rounds


def measure(fn, calls):
    growth = [None] * ROUNDS
    round_deltas(fn, calls, ROUNDS, growth)
    return growth


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100, help="calls per round (default 100)")
    parser.add_argument("scenarios", nargs="*", help="only these (default: all)")
    args = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refleaks.py needs a debug interpreter (python3.14d)")
    sys.unraisablehook = entry_points.quiet_unraisable_hook
    sys.excepthook = entry_points.quiet_excepthook
    if missing := entry_points.unexercised(entry_points.SCENARIOS.values()):
        sys.exit(f"entry points no scenario calls: {', '.join(missing)}")
    names = args.scenarios or list(entry_points.SCENARIOS)
    leaks = []
    calls = 0
    for name in names:
        fn = entry_points.SCENARIOS[name]
        with entry_points.quiet_stderr():
            warmup_rounds = settle(fn, args.calls)
            rounds = measure(fn, args.calls)
        refs = [r for r, _ in rounds]
        blocks = [b for _, b in rounds]
        floor = max(1, args.calls // 10)
        leaked = all(r >= floor for r in refs) or all(b >= floor for b in blocks)
        print(f"{'LEAK' if leaked else 'ok':4}  {name:30} references {refs}  blocks {blocks}"
              f"  (after {warmup_rounds} warm-up rounds)")
        if leaked:
            leaks.append(name)
        calls += (warmup_rounds + ROUNDS) * args.calls
    if leaks:
        sys.exit(f"leaks in {len(leaks)} of {len(names)} scenarios: {', '.join(leaks)}")
    print(f"no leaks: {len(names)} scenarios, {calls} calls")


if __name__ == "__main__":
    main()
