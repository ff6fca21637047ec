"""Exposes _quillmere_core's readings to Prometheus through a custom collector.

Each scrape reads a fresh resource snapshot and every channel registered with the
collector: an IpcStats gives its message count, peak depth, and the mean and 99th
percentile of its latency window; a SocketStats its byte totals, peak receive-buffer fill
and mean send latency (it keeps no percentile). The message and byte totals are counters
(`quillmere_channel_messages_total`, `quillmere_socket_sent_bytes_total`,
`quillmere_socket_received_bytes_total`), every other reading a gauge; a channel's
readings carry its name as the `channel` label. Values are in base units, as Prometheus
has them: latencies in seconds, the buffer fill as a ratio (1.0 is full; the module does
not cap it).

Given `peak_interval_ms`, the collector runs a BackgroundSampler of its own and exports
`quillmere_resident_memory_peak_bytes`: the highest resident size since the previous
scrape. Each scrape stops the sampler, takes its peak and starts it again, so a burst
between two scrapes shows in the next one even when it is over by then. One scraper per
process, then: two would each see the peak since the other's last visit. Make the
collector in the process it measures; in a pre-fork server, in each worker after the fork.

Precision of large totals: Prometheus keeps every sample as a float64, which holds each
integer up to 2**53 exactly (8 PiB for a byte count). Above that a total is rounded to the
nearest value float64 can hold, whose spacing doubles with each further power of two
(2 at 2**53, 2048 at 2**63), so an increase smaller than that spacing may not show, and a
rate over such totals is as coarse. The module's totals themselves wrap modulo 2**64;
Prometheus reads a wrapped total, lower than the last, as a counter reset.

    ./dev run python3 examples/prometheus_exporter.py            # one scrape, printed
    ./dev run python3 examples/prometheus_exporter.py --port 9464 --seconds 60
"""
import argparse
import queue
import socket
import threading
import time
from collections.abc import Callable, Iterator

from prometheus_client import CollectorRegistry, generate_latest, start_http_server
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric
from prometheus_client.registry import Collector

import _quillmere_core as qc

type Channel = qc.IpcStats | qc.SocketStats

# (family type, name after the namespace, help, reading) for each kind of channel. A
# counter's name is given without its `_total`, which the exposition adds.
type Reading[S] = tuple[type[CounterMetricFamily | GaugeMetricFamily], str, str,
                        Callable[[S], float]]

IPC_READINGS: list[Reading[qc.IpcStats]] = [
    (CounterMetricFamily, "channel_messages", "Messages recorded since the channel was made.",
     lambda c: c.total_messages()),
    (GaugeMetricFamily, "channel_peak_depth", "Highest queue depth recorded.",
     lambda c: c.peak_depth()),
    (GaugeMetricFamily, "channel_latency_mean_seconds", "Mean latency of the channel's window.",
     lambda c: c.avg_latency_us() / 1e6),
    (GaugeMetricFamily, "channel_latency_p99_seconds",
     "99th percentile latency of the window, a sample of it.",
     lambda c: c.p99_latency_us() / 1e6),
]
SOCKET_READINGS: list[Reading[qc.SocketStats]] = [
    (CounterMetricFamily, "socket_sent_bytes", "Bytes sent, modulo 2**64.",
     lambda c: c.bytes_sent()),
    (CounterMetricFamily, "socket_received_bytes", "Bytes received, modulo 2**64.",
     lambda c: c.bytes_recv()),
    (GaugeMetricFamily, "socket_peak_receive_buffer_ratio",
     "Highest receive-buffer fill recorded, 1.0 being full.",
     lambda c: c.peak_recv_buffer_pct() / 100),
    (GaugeMetricFamily, "socket_send_latency_mean_seconds",
     "Mean send latency of the socket's window.", lambda c: c.avg_send_latency_us() / 1e6),
]


class QuillmereCollector(Collector):
    """The process's snapshot and the registered channels, read anew on each scrape."""

    def __init__(self, namespace: str = "quillmere", peak_interval_ms: int | None = None) -> None:
        self._namespace = namespace
        # The HTTP server scrapes on a thread of its own while the program registers.
        self._lock = threading.Lock()
        self._channels: dict[str, Channel] = {}
        self._peak_interval_ms = peak_interval_ms
        self._sampler: qc.BackgroundSampler | None = None
        if peak_interval_ms is not None:
            self._sampler = qc.BackgroundSampler()
            self._sampler.start(peak_interval_ms)

    def _peak_since_last_scrape(self, rss_bytes: int) -> int:
        assert self._sampler is not None and self._peak_interval_ms is not None
        # Under the lock: two scrapes at once would overlap on the sampler, which refuses.
        with self._lock:
            peak = self._sampler.stop()
            self._sampler.start(self._peak_interval_ms)
        # A run too short for its first sample gives 0; the peak is at least the size now.
        return max(peak, rss_bytes)

    def register[C: (qc.IpcStats, qc.SocketStats)](self, channel: C) -> C:
        """Adds `channel` to every later scrape and returns it. Its name is its label,
        so no two registered channels may share one."""
        with self._lock:
            if channel.name() in self._channels:
                raise ValueError(f"a channel named {channel.name()!r} is registered already")
            self._channels[channel.name()] = channel
        return channel

    def unregister(self, channel: Channel) -> None:
        with self._lock:
            if self._channels.get(channel.name()) is not channel:
                raise KeyError(channel.name())
            del self._channels[channel.name()]

    def collect(self) -> Iterator[Metric]:
        ns = self._namespace
        snapshot = qc.snapshot_resources()
        yield GaugeMetricFamily(f"{ns}_resident_memory_bytes", "Resident set size (VmRSS).",
                                value=snapshot.rss_bytes)
        yield GaugeMetricFamily(f"{ns}_virtual_memory_bytes", "Virtual memory size (VmSize).",
                                value=snapshot.vms_bytes)
        yield GaugeMetricFamily(f"{ns}_open_fds", "Open file descriptors.",
                                value=snapshot.open_fds)
        if self._sampler is not None:
            yield GaugeMetricFamily(
                f"{ns}_resident_memory_peak_bytes",
                f"Highest resident set size since the previous scrape, sampled every "
                f"{self._peak_interval_ms} ms.",
                value=self._peak_since_last_scrape(snapshot.rss_bytes))
        yield GaugeMetricFamily(f"{ns}_snapshot_timestamp_seconds",
                                "Wall-clock time of the snapshot.",
                                value=snapshot.timestamp_ns / 1e9)
        with self._lock:
            channels = sorted(self._channels.items())
        ipc = [(name, c) for name, c in channels if isinstance(c, qc.IpcStats)]
        sockets = [(name, c) for name, c in channels if isinstance(c, qc.SocketStats)]
        yield from families(f"{ns}_", IPC_READINGS, ipc)
        yield from families(f"{ns}_", SOCKET_READINGS, sockets)


def families[S](prefix: str, table: list[Reading[S]],
                channels: list[tuple[str, S]]) -> Iterator[Metric]:
    for family_type, name, help_text, read in table:
        family = family_type(prefix + name, help_text, labels=["channel"])
        for channel_name, channel in channels:
            family.add_metric([channel_name], read(channel))
        yield family


def pass_messages(ipc: qc.IpcStats, sock: qc.SocketStats, stop: threading.Event) -> None:
    """Timestamps through a queue and bytes through a socket pair, until stopped."""
    channel: queue.Queue[int] = queue.Queue()
    left, right = socket.socketpair()
    buffer_bytes = right.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)
    with left, right:
        while not stop.wait(0.001):
            channel.put(time.perf_counter_ns())
            ipc.record_depth(channel.qsize())
            ipc.record_latency_us((time.perf_counter_ns() - channel.get()) // 1000)
            started = time.perf_counter_ns()
            sent = left.send(b"x" * 4096)
            sock.record_send(sent, latency_us=(time.perf_counter_ns() - started) // 1000)
            received = right.recv(65536)
            sock.record_recv(len(received), buffer_used_pct=100 * len(received) // buffer_bytes)


def main(port: int | None, seconds: float) -> None:
    registry = CollectorRegistry()
    collector = QuillmereCollector(peak_interval_ms=10)
    registry.register(collector)
    ipc = collector.register(qc.IpcStats("queue", ring_capacity=4096))
    sock = collector.register(qc.SocketStats("socketpair", ring_capacity=4096))
    stop = threading.Event()
    worker = threading.Thread(target=pass_messages, args=(ipc, sock, stop))
    worker.start()
    try:
        if port is not None:
            server, server_thread = start_http_server(port, addr="127.0.0.1", registry=registry)
            print(f"serving http://127.0.0.1:{port}/metrics for {seconds:.0f} s", flush=True)
        time.sleep(seconds)
    finally:
        stop.set()
        worker.join()
    if port is not None:
        server.shutdown()
        server_thread.join()
    else:
        print(generate_latest(registry).decode(), end="")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, help="serve /metrics on 127.0.0.1:PORT")
    parser.add_argument("--seconds", type=float, default=0.5,
                        help="how long the traffic runs (and the server serves)")
    options = parser.parse_args()
    main(options.port, options.seconds)
