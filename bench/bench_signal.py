"""Signal delivery from another process to a readable byte: register_signal_pipe beside a
plain C handler writing to a pipe (the floor) and the interpreter's signal.set_wakeup_fd.

A child process sends a signal and waits for the parent's acknowledgement, round after
round, cycling through the three mechanisms (each on its own signal); the parent waits
on all three pipes with select and acknowledges each byte it reads. A lost wake-up would
leave the child waiting: it gives up after 10 s and the run fails."""
import os
import select
import signal
import subprocess
import sys
import textwrap

import _quillmere_core as qc
from floors.build_floors import load as load_floors
from harness import check

DELIVERIES = int(os.environ.get("QUILLMERE_SIGNAL_DELIVERIES", 100_000))  # per mechanism

CHILD = textwrap.dedent("""
    import os, select, sys, time
    parent, ack, rounds, *signals = map(int, sys.argv[1:])
    times = {s: [] for s in signals}
    for i in range(rounds):
        # Reverse the order every other cycle, so no mechanism always follows the same one.
        for s in (signals if i % 2 == 0 else signals[::-1]):
            start = time.perf_counter_ns()
            os.kill(parent, s)
            if not select.select([ack], [], [], 10)[0]:
                sys.exit(f"lost wake-up: signal {s} in round {i}")
            os.read(ack, 1)
            times[s].append(time.perf_counter_ns() - start)
    for s in signals:
        ordered = sorted(times[s])
        print(s, ordered[len(ordered) // 2])
""")


def main():
    floors = load_floors()
    ours, plain, wakeup = signal.SIGUSR1, signal.SIGUSR2, signal.SIGRTMIN
    ours_fd, _ = qc.register_signal_pipe(ours)
    plain_fd = floors.install_plain_handler(plain)
    wakeup_read, wakeup_write = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    signal.signal(wakeup, lambda *_: None)  # set_wakeup_fd serves signals Python handles
    signal.set_wakeup_fd(wakeup_write)

    ack_read, ack_write = os.pipe()
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(os.getpid()), str(ack_read), str(DELIVERIES),
         str(int(ours)), str(int(plain)), str(int(wakeup))],
        pass_fds=[ack_read], stdout=subprocess.PIPE, text=True)
    os.close(ack_read)
    names = {ours_fd: "register_signal_pipe", plain_fd: "C handler (floor)", wakeup_read: "set_wakeup_fd"}
    received = dict.fromkeys(names, 0)
    while child.poll() is None:
        for fd in select.select(list(names), [], [], 1)[0]:
            try:
                byte = os.read(fd, 1)
            except BlockingIOError:
                continue  # the interpreter's own handler may have drained it first
            received[fd] += len(byte)
            os.write(ack_write, b"a")
    output, _ = child.communicate()
    if child.returncode != 0:
        raise SystemExit(f"signal benchmark failed (child exit {child.returncode})")
    medians = {}
    for line in output.splitlines():
        number, ns = map(int, line.split())
        fd = {int(ours): ours_fd, int(plain): plain_fd, int(wakeup): wakeup_read}[number]
        medians[names[fd]] = ns
    assert received[ours_fd] == DELIVERIES, received

    floor = medians["C handler (floor)"]
    print(f"\nsignal to readable byte and back, median of {DELIVERIES:,} round trips each")
    for name, ns in medians.items():
        print(f"  {name:<22} {ns / 1000:8.2f} µs  {ns / floor:5.2f}x")
    ratio = medians["register_signal_pipe"] / medians["set_wakeup_fd"]
    print(f"\nsignal: register_signal_pipe {ratio:.2f}x set_wakeup_fd (goal <= 1.05x), "
          f"no lost wake-up in {DELIVERIES:,}")
    return {
        "median_ns": medians,
        "deliveries": DELIVERIES,
        "checks": [check(f"signal to readable byte vs set_wakeup_fd, {DELIVERIES:,} deliveries",
                         ratio, "x", 1.05)],
    }


if __name__ == "__main__":
    main()
