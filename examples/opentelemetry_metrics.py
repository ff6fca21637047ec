"""Reads _quillmere_core's figures into OpenTelemetry metrics through observable instruments.

Each collection (each export of a periodic reader, each read of an in-memory one) takes a
fresh resource snapshot and reads every channel registered with QuillmereMetrics:

    process.memory.usage                  By                 up-down counter  resident size
    process.memory.virtual                By                 up-down counter  virtual size
    process.unix.file_descriptor.count    {file_descriptor}  up-down counter  open descriptors
    quillmere.channel.messages            {message}          counter   IpcStats.total_messages
    quillmere.channel.depth.peak          {message}          gauge     IpcStats.peak_depth
    quillmere.channel.latency.mean        s                  gauge     IpcStats.avg_latency_us
    quillmere.channel.latency.p99         s                  gauge     IpcStats.p99_latency_us
    quillmere.socket.io                   By                 counter   bytes_sent / bytes_recv
    quillmere.socket.send.latency.mean    s                  gauge     avg_send_latency_us
    quillmere.socket.receive_buffer.peak  1                  gauge     peak_recv_buffer_pct / 100
    quillmere.process.memory.peak         By                 gauge     BackgroundSampler's peak

The process metrics carry the semantic conventions' names, units and instruments (levels
that add up across processes are up-down counters there); the descriptor count is the
one that replaced `process.open_file_descriptor.count`. A channel's points carry its name
as the `quillmere.channel.name` attribute, and the socket's byte totals the direction as
`network.io.direction` (`transmit`, `receive`). Latencies are converted to seconds and the
buffer fill to a ratio (1.0 is full; the module does not cap it), as the Prometheus
example has them. The totals are reported
as cumulative sums of integers. They wrap modulo 2**64, which a backend reads as a reset;
OTLP carries integers as signed 64-bit values, so no total may reach 2**63 (8 EiB).

The peak resident size comes only with `peak_interval_ms`: QuillmereMetrics then runs a
BackgroundSampler of its own, and each collection stops it, takes its peak and starts it
again. The point is the highest resident size since the previous collection, so a burst
between two exports shows in the next even when it is over by then. One reader per
meter provider, then: two would each see the peak since the other's last collection.
Make the instruments in the process they measure; in a pre-fork server, in each worker
after the fork, with a MeterProvider of its own (its reader's thread does not survive a
fork) whose resource gives the worker a `service.instance.id` of its own.

    ./dev run python3 examples/opentelemetry_metrics.py             # one collection, printed
    ./dev run python3 examples/opentelemetry_metrics.py --seconds 5

To send them to a collector, hand the MeterProvider a PeriodicExportingMetricReader around
an OTLP exporter (package opentelemetry-exporter-otlp-proto-http) instead of the in-memory
reader; the instruments stay as they are.
"""
import argparse
import queue
import socket
import threading
import time
from collections.abc import Callable, Iterable

from opentelemetry.metrics import CallbackOptions, Meter, Observation
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import Gauge, InMemoryMetricReader, MetricsData, Sum

import _quillmere_core as qc

type Channel = qc.IpcStats | qc.SocketStats
type Callback = Callable[[CallbackOptions], Iterable[Observation]]

CHANNEL = "quillmere.channel.name"
DIRECTION = "network.io.direction"


def snapshot_reading(read: Callable[[qc.ResourceSnapshot], int]) -> Callback:
    return lambda options: [Observation(read(qc.snapshot_resources()))]


class QuillmereMetrics:
    """Observable instruments on `meter` for the process and the registered channels."""

    def __init__(self, meter: Meter, peak_interval_ms: int | None = None) -> None:
        # Collections may run on a reader's thread while the program registers.
        self._lock = threading.Lock()
        self._channels: dict[str, Channel] = {}
        if peak_interval_ms is not None:
            sampler = qc.BackgroundSampler()
            sampler.start(peak_interval_ms)
            meter.create_observable_gauge(
                "quillmere.process.memory.peak",
                [lambda options: [Observation(self._restart(sampler, peak_interval_ms))]],
                unit="By", description=f"Highest resident set size since the previous "
                f"collection, sampled every {peak_interval_ms} ms.")
        meter.create_observable_up_down_counter(
            "process.memory.usage", [snapshot_reading(lambda s: s.rss_bytes)], unit="By",
            description="Resident set size (VmRSS).")
        meter.create_observable_up_down_counter(
            "process.memory.virtual", [snapshot_reading(lambda s: s.vms_bytes)], unit="By",
            description="Virtual memory size (VmSize).")
        meter.create_observable_up_down_counter(
            "process.unix.file_descriptor.count", [snapshot_reading(lambda s: s.open_fds)],
            unit="{file_descriptor}", description="Open file descriptors.")

        meter.create_observable_counter(
            "quillmere.channel.messages", [self._each(qc.IpcStats, qc.IpcStats.total_messages)],
            unit="{message}", description="Messages recorded since the channel was made.")
        meter.create_observable_gauge(
            "quillmere.channel.depth.peak", [self._each(qc.IpcStats, qc.IpcStats.peak_depth)],
            unit="{message}", description="Highest queue depth recorded.")
        meter.create_observable_gauge(
            "quillmere.channel.latency.mean",
            [self._each(qc.IpcStats, lambda c: c.avg_latency_us() / 1e6)], unit="s",
            description="Mean latency of the channel's window.")
        meter.create_observable_gauge(
            "quillmere.channel.latency.p99",
            [self._each(qc.IpcStats, lambda c: c.p99_latency_us() / 1e6)], unit="s",
            description="99th percentile latency of the window, a sample of it.")

        meter.create_observable_counter(
            "quillmere.socket.io", [self._socket_io], unit="By",
            description="Bytes sent (transmit) and received (receive), modulo 2**64.")
        meter.create_observable_gauge(
            "quillmere.socket.send.latency.mean",
            [self._each(qc.SocketStats, lambda c: c.avg_send_latency_us() / 1e6)], unit="s",
            description="Mean send latency of the socket's window.")
        meter.create_observable_gauge(
            "quillmere.socket.receive_buffer.peak",
            [self._each(qc.SocketStats, lambda c: c.peak_recv_buffer_pct() / 100)], unit="1",
            description="Highest receive-buffer fill recorded, 1.0 being full.")

    def _restart(self, sampler: qc.BackgroundSampler, interval_ms: int) -> int:
        rss_bytes = qc.snapshot_resources().rss_bytes
        # Under the lock: two collections at once would overlap on the sampler, which refuses.
        with self._lock:
            peak = sampler.stop()
            sampler.start(interval_ms)
        # A run too short for its first sample gives 0; the peak is at least the size now.
        return max(peak, rss_bytes)

    def register[C: (qc.IpcStats, qc.SocketStats)](self, channel: C) -> C:
        """Adds `channel` to every later collection and returns it. Its name is its
        attribute, so no two registered channels may share one."""
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

    def _registered[S: (qc.IpcStats, qc.SocketStats)](self, kind: type[S]) -> list[tuple[str, S]]:
        with self._lock:
            channels = sorted(self._channels.items())
        return [(name, channel) for name, channel in channels if isinstance(channel, kind)]

    def _each[S: (qc.IpcStats, qc.SocketStats)](self, kind: type[S],
                                                read: Callable[[S], float]) -> Callback:
        return lambda options: [Observation(read(channel), {CHANNEL: name})
                                for name, channel in self._registered(kind)]

    def _socket_io(self, options: CallbackOptions) -> list[Observation]:
        return [Observation(total, {CHANNEL: name, DIRECTION: direction})
                for name, channel in self._registered(qc.SocketStats)
                for direction, total in (("transmit", channel.bytes_sent()),
                                         ("receive", channel.bytes_recv()))]


def print_collection(data: MetricsData | None) -> None:
    """One line per point: name{attributes} value unit (instrument)."""
    for resource_metrics in data.resource_metrics if data else []:
        for scope_metrics in resource_metrics.scope_metrics:
            for metric in scope_metrics.metrics:
                if isinstance(metric.data, Sum):
                    kind = "counter" if metric.data.is_monotonic else "up-down counter"
                elif isinstance(metric.data, Gauge):
                    kind = "gauge"
                else:
                    continue  # this meter makes no histograms
                for point in metric.data.data_points:
                    attributes = ",".join(f"{key}={value!s}" for key, value
                                          in sorted((point.attributes or {}).items()))
                    labelled = f"{metric.name}{{{attributes}}}" if attributes else metric.name
                    print(f"{labelled} {point.value} {metric.unit} ({kind})")


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


def main(seconds: float) -> None:
    reader = InMemoryMetricReader()
    provider = MeterProvider(metric_readers=[reader])
    metrics = QuillmereMetrics(provider.get_meter("quillmere", qc.probe_version()),
                               peak_interval_ms=10)
    ipc = metrics.register(qc.IpcStats("queue", ring_capacity=4096))
    sock = metrics.register(qc.SocketStats("socketpair", ring_capacity=4096))
    stop = threading.Event()
    worker = threading.Thread(target=pass_messages, args=(ipc, sock, stop))
    worker.start()
    try:
        time.sleep(seconds)
    finally:
        stop.set()
        worker.join()
    print_collection(reader.get_metrics_data())
    provider.shutdown()


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=0.5,
                        help="how long the traffic runs before the collection")
    main(parser.parse_args().seconds)
