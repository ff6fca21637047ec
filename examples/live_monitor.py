"""Watches this process while threads pass messages through a queue and a socket pair.

Once a second it prints a resource snapshot, the open descriptors by kind and the report
of each traced channel; at the end, the peak resident size the background sampler saw
(a thread holds a 32 MiB burst now and then, so the peak stands above the readings).

    ./dev run python3 examples/live_monitor.py          # three seconds
    ./dev run python3 examples/live_monitor.py 10 --interval 2
"""
import argparse
import collections
import fcntl
import queue
import socket
import termios
import threading
import time
from collections.abc import Callable

import _quillmere_core as qc

CHUNK = 64 * 1024
BURST = 32 * 2**20


def pass_messages(stats: qc.IpcStats, stop: threading.Event) -> list[threading.Thread]:
    """A producer and a consumer; each message is the time it was queued."""
    channel: queue.Queue[int] = queue.Queue(maxsize=64)

    def produce() -> None:
        while not stop.is_set():
            try:
                channel.put(time.perf_counter_ns(), timeout=0.1)
            except queue.Full:
                continue
            stats.record_depth(channel.qsize())
            time.sleep(0.0005)

    def consume() -> None:
        while not stop.is_set() or not channel.empty():
            try:
                queued_at = channel.get(timeout=0.1)
            except queue.Empty:
                continue
            stats.record_latency_us((time.perf_counter_ns() - queued_at) // 1000)

    return [threading.Thread(target=produce), threading.Thread(target=consume)]


def stream_bytes(stats: qc.SocketStats, stop: threading.Event) -> list[threading.Thread]:
    """A fast sender and a slower receiver on a socket pair, so the buffer fills up."""
    sender, receiver = socket.socketpair()
    sender.settimeout(5)
    receiver.settimeout(5)
    capacity = sender.getsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF)
    payload = b"x" * CHUNK

    def send() -> None:
        with sender:
            while not stop.is_set():
                started = time.perf_counter_ns()
                sender.sendall(payload)  # blocks while the buffer is full
                stats.record_send(len(payload), (time.perf_counter_ns() - started) // 1000)
            sender.shutdown(socket.SHUT_WR)

    def receive() -> None:
        queued = bytearray(4)
        with receiver:
            while True:
                fcntl.ioctl(receiver, termios.FIONREAD, queued)
                fill_pct = int.from_bytes(queued, "little") * 100 // capacity
                data = receiver.recv(CHUNK)
                if not data:
                    return  # the sender has stopped
                stats.record_recv(len(data), fill_pct)
                time.sleep(0.002)

    return [threading.Thread(target=send), threading.Thread(target=receive)]


def allocate_bursts(stop: threading.Event) -> list[threading.Thread]:
    """Holds 32 MiB for a fifth of a second, twice a second."""
    def burst() -> None:
        while not stop.is_set():
            block = b"x" * BURST  # every page written, so all of it is resident
            stop.wait(0.2)
            del block
            stop.wait(0.3)

    return [threading.Thread(target=burst)]


def descriptor_kinds(targets: list[str]) -> str:
    """'7 (file 4, socket 2, anon_inode 1)' from the link targets of list_open_fds()."""
    def kind(target: str) -> str:
        return "file" if target.startswith("/") else target.partition(":")[0]

    counts = collections.Counter(kind(target) for target in targets)
    parts = ", ".join(f"{name} {count}" for name, count in sorted(counts.items()))
    return f"{len(targets)} ({parts})"


def monitor(duration_s: float, interval_s: float) -> None:
    stop = threading.Event()
    queue_stats = qc.IpcStats("queue", ring_capacity=1024)
    socket_stats = qc.SocketStats("socketpair", ring_capacity=1024)
    workloads: list[Callable[[], list[threading.Thread]]] = [
        lambda: pass_messages(queue_stats, stop),
        lambda: stream_bytes(socket_stats, stop),
        lambda: allocate_bursts(stop),
    ]
    threads = [thread for start in workloads for thread in start()]
    ticks = max(1, round(duration_s / interval_s))
    print(f"watching for {ticks * interval_s:.1f} s with {len(threads)} worker threads, "
          f"reporting every {interval_s:.1f} s")

    sampler = qc.BackgroundSampler()
    sampler.start(interval_ms=5)
    for thread in threads:
        thread.start()
    started = time.monotonic()
    try:
        for tick in range(1, ticks + 1):
            time.sleep(max(0.0, started + tick * interval_s - time.monotonic()))
            print(f"[{tick * interval_s:5.1f} s] {qc.snapshot_resources()}")
            print(f"  descriptors: {descriptor_kinds(qc.list_open_fds())}")
            print(f"  {queue_stats.report()}")
            print(f"  {socket_stats.report()}")
    finally:
        stop.set()
        for thread in threads:
            thread.join()
        peak = sampler.stop()
    now = qc.snapshot_resources().rss_bytes
    print(f"sampler: peak rss {peak / 2**20:.1f} MiB, now {now / 2**20:.1f} MiB")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("duration", type=float, nargs="?", default=3.0,
                        help="seconds to watch (default 3)")
    parser.add_argument("--interval", type=float, default=1.0,
                        help="seconds between reports (default 1)")
    options = parser.parse_args()
    monitor(options.duration, options.interval)
