"""Recording calls of IpcStats and SocketStats beside pure-Python equivalents."""
import collections
import threading

import _quillmere_core as qc
from harness import measure, report


class PythonSocketStats:
    """What a Python user would write: a deque window, a lock, counters."""

    def __init__(self, capacity):
        self.lock = threading.Lock()
        self.window = collections.deque(maxlen=capacity)
        self.sent = self.received = self.peak = 0

    def record_send(self, nbytes, latency_us):
        with self.lock:
            self.sent += nbytes
            self.window.append(latency_us)

    def record_recv(self, nbytes, pct):
        with self.lock:
            self.received += nbytes
            if pct > self.peak:
                self.peak = pct


def main():
    sock = qc.SocketStats("bench", 1024)
    py_sock = PythonSocketStats(1024)
    timings = measure({
        "SocketStats.record_send(1500, 120)": lambda: sock.record_send(1500, 120),
        "Python record_send": lambda: py_sock.record_send(1500, 120),
        "SocketStats.record_recv(1500, 40)": lambda: sock.record_recv(1500, 40),
        "Python record_recv": lambda: py_sock.record_recv(1500, 40),
    })
    ratios = report("socket recording (lambda call included)", timings,
                    anchor="SocketStats.record_send(1500, 120)")
    assert sock.avg_send_latency_us() == 120.0 and sock.peak_recv_buffer_pct() == 40
    print(f"\nchannels: a Python record_send takes {ratios['Python record_send']:.2f}x, "
          f"record_recv {timings['Python record_recv'] / timings['SocketStats.record_recv(1500, 40)']:.2f}x "
          "the native call")
    return {"ns_per_call": timings}


if __name__ == "__main__":
    main()
