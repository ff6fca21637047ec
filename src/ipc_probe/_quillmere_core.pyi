# Types of _quillmere_core, installed beside the extension module so that type checkers
# and editors find them. tests/python/test_stub.py runs mypy's stubtest against the built
# module, so every name, parameter and default here matches what the module really has.
#
# Integer parameters take any object with __index__ (bool included), as the module does;
# a value outside the parameter's C range raises OverflowError at run time.

from typing import Never, Self, SupportsIndex, final

__all__ = [
    "probe_version",
    "snapshot_resources",
    "list_open_fds",
    "register_signal_pipe",
    "ResourceSnapshot",
    "BackgroundSampler",
    "IpcStats",
    "SocketStats",
]

def probe_version() -> str:
    """The version of the module, as in the package metadata."""

def snapshot_resources() -> ResourceSnapshot:
    """Reads /proc/self/status, counts /proc/self/fd and takes the wall clock.

    Raises RuntimeError when /proc cannot be read or parsed.
    """

def list_open_fds() -> list[str]:
    """The link targets of all open descriptors, sorted by their bytes.

    The listing's own descriptor is among them; targets that are not UTF-8 have the
    offending bytes replaced with U+FFFD. Raises RuntimeError when /proc/self/fd cannot
    be read.
    """

def register_signal_pipe(signal_num: SupportsIndex) -> tuple[int, int]:
    """Routes `signal_num` (1..127) to a new pipe and returns (read_fd, write_fd).

    Each delivery writes one byte, 0x01, to the pipe; both ends are non-blocking and
    close-on-exec. The read end is the caller's to close; the write end belongs to the
    module. The handler stays for the life of the process, and registering the same
    signal again closes the earlier write end. Raises ValueError for a number outside
    1..127 and OSError when the pipe or the handler cannot be made.
    """

@final
class ResourceSnapshot:
    """Byte-level resource usage of this process at a single instant.

    Made only by snapshot_resources(); immutable, compared and hashed by identity.
    repr(): "ResourceSnapshot(rss=11.8MB, vms=1024.0MB, fds=7)", where MB is 2**20 bytes.
    """

    # Calling the class always raises TypeError: snapshots come from snapshot_resources().
    def __new__(cls, *args: Never, **kwargs: Never) -> Never: ...
    @property
    def rss_bytes(self) -> int:
        """Resident set size (VmRSS), in bytes."""

    @property
    def vms_bytes(self) -> int:
        """Virtual memory size (VmSize), in bytes."""

    @property
    def open_fds(self) -> int:
        """Open descriptors, counting the one the count itself used."""

    @property
    def timestamp_ns(self) -> int:
        """Wall-clock time of the snapshot, in nanoseconds since the Unix epoch."""

    def rss_mb(self) -> float:
        """rss_bytes / 2**20."""

    def vms_mb(self) -> float:
        """vms_bytes / 2**20."""

@final
class BackgroundSampler:
    """A native thread that samples the resident set size and keeps the peak.

    The thread never touches the interpreter, so it goes on sampling while Python code
    holds the interpreter lock. start() and stop() on one sampler must not overlap: a
    concurrent or re-entrant call raises RuntimeError("Already borrowed").
    """

    def __new__(cls) -> Self: ...
    def start(self, interval_ms: SupportsIndex) -> None:
        """Stops a running thread, resets the peak and samples every `interval_ms` ms.

        The first sample is taken at once; an interval of 0 counts as 1.
        """

    def stop(self) -> int:
        """Stops and joins the thread and returns the peak RSS of the last run, in bytes.

        0 if the sampler never ran; calling it again returns the same peak.
        """

@final
class IpcStats:
    """Latency and queue-depth statistics of one traced channel; safe from any thread.

    The latency window keeps the last `ring_capacity` samples (0 keeps the newest one).
    """

    def __new__(cls, name: str, ring_capacity: SupportsIndex) -> Self: ...
    def record_latency_us(self, us: SupportsIndex) -> None:
        """Adds one message with its latency in microseconds."""

    def record_depth(self, depth: SupportsIndex) -> None:
        """Offers a queue depth (0..2**32-1) for the peak."""

    def avg_latency_us(self) -> float:
        """Mean of the window in µs; 0.0 when empty."""

    def p99_latency_us(self) -> float:
        """Sample at index floor(0.99 * n) of the sorted window in µs; 0.0 when empty."""

    def total_messages(self) -> int:
        """Messages recorded since creation, not only those in the window."""

    def peak_depth(self) -> int:
        """Highest depth recorded; 0 before any."""

    def name(self) -> str: ...
    def report(self) -> str:
        """One line: "ctl: 3 msgs | avg 200.0µs | p99 300.0µs | peak depth 7"."""

@final
class SocketStats:
    """Byte totals, send latency and receive-buffer fill of one traced socket.

    Safe from any thread. The send-latency window keeps the last `ring_capacity` samples
    (0 keeps the newest one).
    """

    def __new__(cls, name: str, ring_capacity: SupportsIndex) -> Self: ...
    def record_send(self, bytes: SupportsIndex, latency_us: SupportsIndex) -> None:
        """Adds `bytes` to the sent total and the latency (µs) to the window."""

    def record_recv(self, bytes: SupportsIndex, buffer_used_pct: SupportsIndex) -> None:
        """Adds `bytes` to the received total and offers the buffer fill (%) for the peak."""

    def bytes_sent(self) -> int:
        """Bytes sent in total, modulo 2**64."""

    def bytes_recv(self) -> int:
        """Bytes received in total, modulo 2**64."""

    def peak_recv_buffer_pct(self) -> int:
        """Highest receive-buffer fill recorded, in percent (not capped at 100)."""

    def avg_send_latency_us(self) -> float:
        """Mean of the send window in µs; 0.0 when empty."""

    def name(self) -> str: ...
    def report(self) -> str:
        """One line: "s0: sent 150B recv 320B | send avg 50.0µs | recv buf peak 80%"."""
