"""The programs in examples/, run as a user runs them, with short durations."""
import importlib.util
import queue
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import _quillmere_core as qc

from conftest import ipc_report, report_pattern, resident_burst, socket_report
from typecheck import mypy_command

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SNAPSHOT = r"ResourceSnapshot\(rss=\d+\.\dMB, vms=\d+\.\dMB, fds=\d+\)"


def run_example(name, *args):
    result = subprocess.run([sys.executable, EXAMPLES / name, *args], capture_output=True,
                            text=True, timeout=120)
    assert result.stderr == ""
    return result.returncode, result.stdout.splitlines()


def match_all(patterns, lines):
    assert len(lines) == len(patterns), lines
    for pattern, line in zip(patterns, lines):
        assert re.fullmatch(pattern, line), (pattern, line)


def test_demo_tours_every_subsystem():
    status, lines = run_example("demo.py")
    assert status == 0
    listing_end = next(i for i, line in enumerate(lines) if line.startswith("control: "))
    assert lines[0].startswith("_quillmere_core 0.1.1: probe_version, snapshot_resources, ")
    match_all([SNAPSHOT, r"  rss \d+ B = \d+\.\d{3} MiB, vms \d+\.\d MiB, taken at \d+ ns",
               r"  open descriptors \(the listing's own included\):"], lines[1:4])
    assert any(re.fullmatch(r"    /proc/\d+/fd", line) for line in lines[4:listing_end])
    match_all([
        report_pattern(ipc_report, "control", "4000", r"\d+\.\d", r"\d+\.0", "12"),
        r"  mean over the last 256: \d+\.\d\d µs, p99 \d+ µs, 4000 messages",
        re.escape(socket_report("upstream", 150000, 51200, 97.5, 64)),
        r"sampler: peak rss \d+\.\d MiB during a 64 MiB burst \(before \d+\.\d MiB, after \d+\.\d MiB\)",
        re.escape(r"SIGUSR1 arrived on descriptor ") + r"\d+" + re.escape(r" as b'\x01'"),
    ], lines[listing_end:])


@pytest.mark.parametrize("args, status, outcome", [
    (["--delay", "0.2", "--timeout", "60"], 0,
     r"SIGUSR1 arrived after \d+\.\d s as b'\\x01'"),
    (["--delay", "60", "--timeout", "0.2"], 1, "no SIGUSR1 arrived"),
])
def test_asyncio_signal_waits_with_a_bound(args, status, outcome):
    exit_status, lines = run_example("asyncio_signal.py", *args)
    assert exit_status == status
    match_all([r"waiting for SIGUSR1 on descriptor \d+, sent in \d+\.\d s, "
               r"giving up after \d+\.\d s", outcome], lines)


# As from a terminal, with Python's own SIGINT handler in place: a shell starts background
# jobs (CI's, say) with SIGINT ignored, and asyncio.run() then leaves SIGINT alone.
IN_FOREGROUND = ("import runpy, signal, sys\n"
                 "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
                 "sys.argv = sys.argv[1:]\n"
                 "runpy.run_path(sys.argv[0], run_name='__main__')\n")
AFTER_RUN = "after asyncio.run: SIGINT raises KeyboardInterrupt again"


def read_lines(stream, lines):
    for line in stream:
        lines.put(line.rstrip("\n"))
    lines.put(None)


@pytest.mark.parametrize("args, usr1, stop, status, outcome", [
    ([], 2, signal.SIGINT, 0,
     ["worker loop: stopped after 2 SIGUSR1", "main loop: SIGINT arrived on its pipe, service stopped"]),
    ([], 1, signal.SIGTERM, 0,
     ["worker loop: stopped after 1 SIGUSR1", "main loop: SIGTERM arrived on its pipe, service stopped"]),
    (["--register-before-run"], 1, signal.SIGINT, 1,
     ["worker loop: stopped after 1 SIGUSR1",
      "SIGINT reached asyncio.run's own handler as KeyboardInterrupt; the pipe holds b''"]),
    (["--timeout", "0.5"], 0, None, 1,
     ["no SIGINT or SIGTERM within 0.5 s", "worker loop: stopped after 0 SIGUSR1"]),
], ids=["sigint", "sigterm", "sigint-registered-before-run", "timeout"])
def test_asyncio_service_takes_signals_from_outside(args, usr1, stop, status, outcome):
    lines: queue.Queue[str | None] = queue.Queue()

    def next_line():
        return lines.get(timeout=60)

    with subprocess.Popen(
            [sys.executable, "-u", "-c", IN_FOREGROUND, EXAMPLES / "asyncio_service.py", *args],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True) as service:
        reader = threading.Thread(target=read_lines, args=(service.stdout, lines))
        reader.start()
        try:
            assert re.fullmatch(r"pid \d+: SIGUSR1 counts on the worker loop, SIGINT or SIGTERM "
                                r"stops \(at most \d+\.\d s\)", next_line())
            assert next_line().startswith("worker loop: add_signal_handler refused (")
            # One at a time: signals sent faster than they are handled may merge into one.
            for count in range(1, usr1 + 1):
                service.send_signal(signal.SIGUSR1)
                assert next_line() == f"worker loop: SIGUSR1 #{count}"
            if stop is not None:
                service.send_signal(stop)
            rest = list(iter(next_line, None))
            assert service.wait(timeout=60) == status
        finally:
            service.kill()
            reader.join()
    assert rest == [*outcome, AFTER_RUN]


def test_live_monitor_reports_each_interval():
    status, lines = run_example("live_monitor.py", "1", "--interval", "0.5")
    assert status == 0
    block = [rf"\[  (?:0\.5|1\.0) s\] {SNAPSHOT}",
             r"  descriptors: \d+ \((?:[a-z_]+ \d+(?:, )?)+\)",
             "  " + report_pattern(ipc_report, "queue", r"(\d+)", r"\d+\.\d", r"\d+\.\d", r"\d+"),
             "  " + report_pattern(socket_report, "socketpair", r"(\d+)", r"(\d+)", r"\d+\.\d",
                                   r"\d+")]
    match_all([r"watching for 1\.0 s with 5 worker threads, reporting every 0\.5 s", *block,
               *block, r"sampler: peak rss (\d+\.\d) MiB, now \d+\.\d MiB"], lines)
    assert [line[:9] for line in (lines[1], lines[5])] == ["[  0.5 s]", "[  1.0 s]"]
    # Both sockets are counted among the descriptors, and the work went on between reports.
    assert re.search(r"socket 2\b", lines[2])
    messages = [int(re.search(r"(\d+) msgs", lines[i]).group(1)) for i in (3, 7)]
    assert 0 < messages[0] <= messages[1]
    # The sampler saw a 32 MiB burst that no report has to catch.
    assert float(re.search(r"peak rss (\d+\.\d)", lines[-1]).group(1)) > 32


needs_prometheus_client = pytest.mark.skipif(
    importlib.util.find_spec("prometheus_client") is None, reason="needs prometheus_client")


def load_example(name):
    """The example's module, imported without running its main."""
    spec = importlib.util.spec_from_file_location(Path(name).stem, EXAMPLES / name)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def record_three_channels(register):
    """Registers ctl and idle (IpcStats) and s0 (SocketStats) with known figures."""
    ctl = register(qc.IpcStats("ctl", 4))
    for us in (100, 200, 300, 1000, 1000):  # 100 leaves the window
        ctl.record_latency_us(us)
    ctl.record_depth(7)
    register(qc.IpcStats("idle", 4))
    s0 = register(qc.SocketStats("s0", 8))
    s0.record_send(100, latency_us=40)
    s0.record_send(50, latency_us=60)
    s0.record_recv(300, buffer_used_pct=35)
    return ctl, s0


def scraped(text):
    """{(metric, channel label or None): value} of a scrape in the text format."""
    from prometheus_client.parser import text_string_to_metric_families
    return {(sample.name, sample.labels.get("channel")): sample.value
            for family in text_string_to_metric_families(text) for sample in family.samples}


@needs_prometheus_client
def test_prometheus_collector_exposes_each_registered_channel():
    from prometheus_client import CollectorRegistry, generate_latest
    exporter = load_example("prometheus_exporter.py")
    registry = CollectorRegistry()
    collector = exporter.QuillmereCollector()
    registry.register(collector)
    ctl, s0 = record_three_channels(collector.register)

    text = generate_latest(registry).decode()
    # Totals are counters, as rate() and increase() expect; everything else is a level.
    types = dict(re.findall(r"^# TYPE (\S+) (\S+)$", text, re.MULTILINE))
    assert {name for name, kind in types.items() if kind != "gauge"} == {
        "quillmere_channel_messages_total", "quillmere_socket_sent_bytes_total",
        "quillmere_socket_received_bytes_total"}
    samples = scraped(text)
    assert set(types) == {name for name, _ in samples}  # no family left untyped
    assert set(types.values()) == {"counter", "gauge"}
    channels = {key: value for key, value in samples.items() if key[1] is not None}
    assert channels == {
        ("quillmere_channel_messages_total", "ctl"): 5,
        ("quillmere_channel_messages_total", "idle"): 0,
        ("quillmere_channel_peak_depth", "ctl"): 7, ("quillmere_channel_peak_depth", "idle"): 0,
        ("quillmere_channel_latency_mean_seconds", "ctl"): 625e-6,
        ("quillmere_channel_latency_mean_seconds", "idle"): 0,
        ("quillmere_channel_latency_p99_seconds", "ctl"): 1000e-6,
        ("quillmere_channel_latency_p99_seconds", "idle"): 0,
        ("quillmere_socket_sent_bytes_total", "s0"): 150,
        ("quillmere_socket_received_bytes_total", "s0"): 300,
        ("quillmere_socket_peak_receive_buffer_ratio", "s0"): 0.35,
        ("quillmere_socket_send_latency_mean_seconds", "s0"): 50e-6,
    }
    snapshot = {name: value for (name, channel), value in samples.items() if channel is None}
    assert sorted(snapshot) == ["quillmere_open_fds", "quillmere_resident_memory_bytes",
                                "quillmere_snapshot_timestamp_seconds",
                                "quillmere_virtual_memory_bytes"]
    assert all(value > 0 for value in snapshot.values())

    # A name is a label: a second channel may not take it, and a dropped one leaves it free.
    with pytest.raises(ValueError):
        collector.register(qc.SocketStats("ctl", 1))
    collector.unregister(ctl)
    assert {channel for _, channel in scraped(generate_latest(registry).decode())} == {
        None, "idle", "s0"}


def peaks_around_a_burst(read_peak):
    """The peaks of two collections, the first after a 64 MiB burst that ended before it,
    the second after nothing; and the resident size just before the burst."""
    before = qc.snapshot_resources().rss_bytes
    burst = resident_burst(64 * 2**20)
    time.sleep(1)  # the sampler's interval is 1 ms
    burst.close()
    return before, read_peak(), read_peak()


@needs_prometheus_client
def test_prometheus_peak_is_the_highest_since_the_previous_scrape():
    from prometheus_client import CollectorRegistry, generate_latest
    registry = CollectorRegistry()
    registry.register(load_example("prometheus_exporter.py").QuillmereCollector(
        peak_interval_ms=1))

    def read_peak():
        return scraped(generate_latest(registry).decode())[
            "quillmere_resident_memory_peak_bytes", None]
    before, first, second = peaks_around_a_burst(read_peak)
    # The burst is over at the first scrape and still shows; the restarted sampler's
    # peak, read at the second, no longer has it.
    assert first - before > 60 * 2**20 > second - before


@needs_prometheus_client
def test_prometheus_exporter_prints_a_scrape():
    status, lines = run_example("prometheus_exporter.py", "--seconds", "0.3")
    assert status == 0
    samples = scraped("\n".join(lines) + "\n")
    assert {channel for _, channel in samples} == {None, "queue", "socketpair"}
    assert samples["quillmere_channel_messages_total", "queue"] > 0
    assert samples["quillmere_resident_memory_peak_bytes", None] >= samples[
        "quillmere_resident_memory_bytes", None] > 0
    sent, received = (samples[f"quillmere_socket_{way}_bytes_total", "socketpair"]
                      for way in ("sent", "received"))
    assert sent == received > 0


needs_opentelemetry_sdk = pytest.mark.skipif(
    importlib.util.find_spec("opentelemetry") is None
    or importlib.util.find_spec("opentelemetry.sdk") is None, reason="needs opentelemetry-sdk")


def collected(reader):
    """{(metric, channel, direction): (value, unit, instrument)} of one collection."""
    points = {}
    for resource_metrics in reader.get_metrics_data().resource_metrics:
        for metric in (m for scope in resource_metrics.scope_metrics for m in scope.metrics):
            monotonic = getattr(metric.data, "is_monotonic", None)  # gauges have no such flag
            kind = {True: "counter", False: "up-down counter", None: "gauge"}[monotonic]
            for point in metric.data.data_points:
                key = (metric.name, point.attributes.get("quillmere.channel.name"),
                       point.attributes.get("network.io.direction"))
                points[key] = (point.value, metric.unit, kind)
    return points


@needs_opentelemetry_sdk
def test_opentelemetry_instruments_read_the_module_at_each_collection():
    from opentelemetry.sdk.metrics import MeterProvider
    from opentelemetry.sdk.metrics.export import InMemoryMetricReader
    reader = InMemoryMetricReader()
    provider = MeterProvider(metric_readers=[reader], shutdown_on_exit=False)
    metrics = load_example("opentelemetry_metrics.py").QuillmereMetrics(provider.get_meter("t"))
    ctl, s0 = record_three_channels(metrics.register)

    before = qc.snapshot_resources()
    points = collected(reader)
    after = qc.snapshot_resources()
    rss, vms, fds = (points.pop((f"process.{name}", None, None)) for name in (
        "memory.usage", "memory.virtual", "unix.file_descriptor.count"))
    assert points == {
        ("quillmere.channel.messages", "ctl", None): (5, "{message}", "counter"),
        ("quillmere.channel.messages", "idle", None): (0, "{message}", "counter"),
        ("quillmere.channel.depth.peak", "ctl", None): (7, "{message}", "gauge"),
        ("quillmere.channel.depth.peak", "idle", None): (0, "{message}", "gauge"),
        ("quillmere.channel.latency.mean", "ctl", None): (625e-6, "s", "gauge"),
        ("quillmere.channel.latency.mean", "idle", None): (0, "s", "gauge"),
        ("quillmere.channel.latency.p99", "ctl", None): (1000e-6, "s", "gauge"),
        ("quillmere.channel.latency.p99", "idle", None): (0, "s", "gauge"),
        ("quillmere.socket.io", "s0", "transmit"): (150, "By", "counter"),
        ("quillmere.socket.io", "s0", "receive"): (300, "By", "counter"),
        ("quillmere.socket.send.latency.mean", "s0", None): (50e-6, "s", "gauge"),
        ("quillmere.socket.receive_buffer.peak", "s0", None): (0.35, "1", "gauge"),
    }
    assert fds == (before.open_fds, "{file_descriptor}", "up-down counter")
    assert after.open_fds == before.open_fds
    # Memory moves a little while the SDK collects; 8 MiB of slack is far below the gap
    # between resident and virtual size, or any error of unit.
    for (value, unit, kind), field in [(rss, "rss_bytes"), (vms, "vms_bytes")]:
        assert (unit, kind) == ("By", "up-down counter")
        readings = (getattr(before, field), getattr(after, field))
        assert min(readings) - 2**23 <= value <= max(readings) + 2**23, field

    # Every collection reads anew, and an unregistered channel drops out.
    ctl.record_latency_us(1)
    metrics.unregister(s0)
    points = collected(reader)
    assert points["quillmere.channel.messages", "ctl", None][0] == 6
    assert {channel for _, channel, _ in points} == {None, "ctl", "idle"}


@needs_opentelemetry_sdk
def test_opentelemetry_peak_is_the_highest_since_the_previous_collection():
    from opentelemetry.sdk.metrics import MeterProvider
    from opentelemetry.sdk.metrics.export import InMemoryMetricReader
    reader = InMemoryMetricReader()
    provider = MeterProvider(metric_readers=[reader], shutdown_on_exit=False)
    load_example("opentelemetry_metrics.py").QuillmereMetrics(provider.get_meter("t"),
                                                              peak_interval_ms=1)

    def read_peak():
        value, unit, kind = collected(reader)["quillmere.process.memory.peak", None, None]
        assert (unit, kind) == ("By", "gauge")
        return value
    before, first, second = peaks_around_a_burst(read_peak)
    assert first - before > 60 * 2**20 > second - before


@needs_opentelemetry_sdk
def test_opentelemetry_example_prints_a_collection():
    status, lines = run_example("opentelemetry_metrics.py", "--seconds", "0.3")
    assert status == 0 and len(lines) == 4 + 4 + 4  # the process, the queue, the socket
    values = dict(re.fullmatch(r"(\S+) (\S+) \S+ \((?:up-down )?(?:counter|gauge)\)", line)
                  .groups() for line in lines)
    assert float(values["quillmere.channel.messages{quillmere.channel.name=queue}"]) > 0
    io = "quillmere.socket.io{network.io.direction=%s,quillmere.channel.name=socketpair}"
    assert float(values[io % "transmit"]) == float(values[io % "receive"]) > 0


@pytest.mark.skipif(mypy_command() is None, reason="needs mypy")
def test_examples_type_check_against_the_stub(tmp_path):
    # From the checkout, where pyproject.toml points mypy at the stub in src/.
    result = subprocess.run(
        [*mypy_command(), "--check-untyped-defs", "--cache-dir", tmp_path, EXAMPLES],
        capture_output=True, text=True, timeout=300, cwd=EXAMPLES.parent)
    assert result.returncode == 0, result.stdout + result.stderr
