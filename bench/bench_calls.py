"""The recording calls on the hot path, beside the cheapest native call that does the same
argument conversion (the floor) and what a Python user would otherwise use (anchors)."""
import collections
import threading

import prometheus_client

import _quillmere_core as qc
from floors.build_floors import load as load_floors
from harness import check, measure_calls, report


class PythonRing:
    """A window, a lock and a counter: the plain-Python way to keep these statistics."""

    def __init__(self, capacity):
        self.window = collections.deque(maxlen=capacity)
        self.lock = threading.Lock()
        self.total = 0

    def record_latency_us(self, us):
        with self.lock:
            self.window.append(us)
            self.total += 1


def main():
    floors = load_floors()
    registry = prometheus_client.CollectorRegistry()
    namespace = {
        "floor1": floors.noop1,
        "floor2": floors.noop2,
        "ipc": qc.IpcStats("bench", 1024),
        "sock": qc.SocketStats("bench", 1024),
        "ring": PythonRing(1024),
        "summary": prometheus_client.Summary("s", "s", registry=registry),
        "histogram": prometheus_client.Histogram("h", "h", registry=registry),
    }
    record = namespace["ipc"].record_latency_us
    namespace["record"] = record
    namespace["send"] = namespace["sock"].record_send
    namespace["recv"] = namespace["sock"].record_recv

    timings = measure_calls({
        "no-op native call (floor)": "floor1(120)",
        "IpcStats.record_latency_us(120)": "record(120)",
        "no-op keyword call (floor)": "floor1(us=120)",
        "record_latency_us(us=120)": "record(us=120)",
        "no-op two-argument call (floor)": "floor2(1500, 120)",
        "SocketStats.record_send(1500, 120)": "send(1500, 120)",
        "SocketStats.record_recv(1500, 40)": "recv(1500, 40)",
        "pure-Python ring": "ring.record_latency_us(120)",
        "prometheus Summary.observe": "summary.observe(120)",
        "prometheus Histogram.observe": "histogram.observe(120)",
    }, namespace)
    # A fast wrong answer is no result: every call above must have landed.
    ipc, sock = namespace["ipc"], namespace["sock"]
    assert ipc.avg_latency_us() == 120.0 and ipc.total_messages() > 0
    assert sock.avg_send_latency_us() == 120.0 and sock.peak_recv_buffer_pct() == 40

    ratios = report("recording calls, per call", timings, anchor="no-op native call (floor)")
    keyword = timings["record_latency_us(us=120)"] / timings["no-op keyword call (floor)"]
    send = timings["SocketStats.record_send(1500, 120)"] / timings["no-op two-argument call (floor)"]
    recv = timings["SocketStats.record_recv(1500, 40)"] / timings["no-op two-argument call (floor)"]
    print(f"  against their own floors: keyword form {keyword:.2f}x, record_send {send:.2f}x, "
          f"record_recv {recv:.2f}x")
    print(f"\ncalls: record_latency_us(120) costs {ratios['IpcStats.record_latency_us(120)']:.2f}x "
          f"the no-op floor (goal <= 1.5x); pure-Python ring {ratios['pure-Python ring']:.2f}x, "
          f"Histogram.observe {ratios['prometheus Histogram.observe']:.2f}x")
    return {
        "ns_per_call": timings,
        "checks": [
            check("record_latency_us(120) vs a no-op native call converting one argument",
                  ratios["IpcStats.record_latency_us(120)"], "x", 1.5),
            check("keyword form vs its floor", keyword, "x", 1.5),
            check("record_send vs a no-op two-argument call", send, "x", 1.5),
            check("record_recv vs the same floor", recv, "x", 1.5),
            check("pure-Python ring vs the no-op floor", ratios["pure-Python ring"], "x"),
            check("prometheus_client Histogram.observe vs the no-op floor",
                  ratios["prometheus Histogram.observe"], "x"),
        ],
    }


if __name__ == "__main__":
    main()
