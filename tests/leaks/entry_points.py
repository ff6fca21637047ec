"""Every entry point of _quillmere_core, on success and on each error path Python can reach.

The leak checks share this catalogue: refleaks.py counts references and allocated blocks
under the debug interpreter, soak.py watches resident size, heap and descriptors, and
`./dev valgrind` runs it under memcheck. Each scenario checks its own outcome, so a path
that is no longer reached fails loudly instead of being measured for nothing. One call of
every callable of the stub, and every refused call, come from tests/python/conftest.py.

Run directly (`python3 tests/leaks/entry_points.py --rounds N`) it plays every scenario N
times and exits; that is what runs under valgrind and AddressSanitizer, whose allocators
abort on an impossible size where ours throws, hence `--skip out_of_memory` there.
"""
import argparse
import contextlib
import importlib.util
import os
import resource
import select
import signal
import sys
import weakref

import _quillmere_core as qc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from conftest import (  # noqa: E402 - the tests' shared catalogue, found through the path
    REFUSED, SIGNATURES, Fresh, Index, ipc_report, panic_type, public_callables, sample_calls,
    socket_report)

SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


@contextlib.contextmanager
def quiet_stderr():
    """Sends descriptor 2 to /dev/null: panics write a line each, resumed ones a traceback."""
    sys.stderr.flush()
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)
    try:
        yield
    finally:
        sys.stderr.flush()
        os.dup2(saved, 2)
        os.close(saved)


with quiet_stderr():
    Panic = panic_type()


def expect(exc_type, call, message=None, note=None):
    """Calls `call`, which must raise exactly `exc_type` with this message and note."""
    try:
        call()
    except BaseException as exc:  # noqa: BLE001 - panics included
        if type(exc) is not exc_type:
            raise AssertionError(f"expected {exc_type.__name__}, got {exc!r}") from exc
        if message is not None and str(exc) != message:
            raise AssertionError(f"message {str(exc)!r}, expected {message!r}") from exc
        notes = getattr(exc, "__notes__", None)
        if notes != ([f"while processing '{note}'"] if note else None):
            raise AssertionError(f"notes {notes!r} for {exc!r}") from exc
        return
    raise AssertionError(f"{exc_type.__name__} expected, nothing raised")


class PanicIndex:
    def __index__(self):
        raise Panic("boom")


class PanicName(str):
    def __str__(self):
        raise Panic("boom")


# ---------------------------------------------------------------- success paths


@scenario
def module_functions():
    assert type(qc.probe_version()) is str
    snapshot = qc.snapshot_resources()
    assert snapshot.rss_bytes > 0 and snapshot.vms_bytes > 0
    assert snapshot.open_fds > 0 and snapshot.timestamp_ns > 0
    assert snapshot.rss_mb() > 0 and snapshot.vms_mb() > 0
    assert repr(snapshot).startswith("ResourceSnapshot(rss=")
    assert qc.list_open_fds()


@scenario
def ipc_stats():
    stats = qc.IpcStats("canal-\u00e9", 4)
    for us in (100, 200, 300, 2**64 - 1, 7):
        stats.record_latency_us(us)
    stats.record_latency_us(us=Index(5))
    stats.record_depth(3)
    stats.record_depth(depth=2**32 - 1)
    assert stats.avg_latency_us() > 0 and stats.p99_latency_us() > 0
    assert (stats.total_messages(), stats.peak_depth()) == (6, 2**32 - 1)
    assert stats.name() == "canal-\u00e9"
    assert stats.report() == ipc_report("canal-\u00e9", 6, (2**64 + 311) / 4, 2**64,
                                        2**32 - 1)
    ref = weakref.ref(stats)
    del stats
    assert ref() is None
    assert qc.IpcStats(ring_capacity=0, name="kw").report() == ipc_report("kw", 0, 0, 0, 0)


@scenario
def socket_stats():
    sock = qc.SocketStats("s0", 8)
    sock.record_send(100, 40)
    sock.record_send(bytes=2**64 - 1, latency_us=60)
    sock.record_recv(300, 35)
    sock.record_recv(20, buffer_used_pct=80)
    assert (sock.bytes_sent(), sock.bytes_recv(), sock.peak_recv_buffer_pct()) == (99, 320, 80)
    assert sock.avg_send_latency_us() == 50.0
    assert sock.name() == "s0"
    assert sock.report() == socket_report("s0", 99, 320, 50, 80)
    ref = weakref.ref(sock)
    del sock
    assert ref() is None


@scenario
def sampler_lifecycle():
    sampler = qc.BackgroundSampler()
    assert sampler.stop() == 0
    sampler.start(1)
    sampler.start(interval_ms=0)  # restarts: joins the first thread
    sampler.stop()
    sampler.start(3_600_000)
    del sampler  # the deallocator stops and joins the running thread


@scenario
def signal_pipe():
    read_end, _ = qc.register_signal_pipe(signal.SIGUSR1)
    try:
        os.kill(os.getpid(), signal.SIGUSR1)
        ready, _, _ = select.select([read_end], [], [], 10)
        assert ready and os.read(read_end, 16) == b"\x01"
    finally:
        os.close(read_end)  # the next registration closes the write end


@scenario
def module_exec():
    spec = importlib.util.find_spec("_quillmere_core")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert module.__all__ == qc.__all__ and module.IpcStats is qc.IpcStats
    module = importlib.util.module_from_spec(spec)
    module.__all__ = ("earlier",)
    expect(TypeError, lambda: spec.loader.exec_module(module),
           "'tuple' object is not an instance of 'list'")


# ---------------------------------------------------------------- error paths


@scenario
def refused_calls():
    # The messages are the boundary tests' business; here each path is reached and left.
    new = Fresh()
    for case in REFUSED:
        function, args, kwargs, exc_type = case.values[:4]
        try:
            SIGNATURES[function][1](new)(*args, **kwargs)
        except exc_type as exc:
            assert type(exc) is exc_type, (case.id, exc)
        else:
            raise AssertionError(f"{case.id}: {exc_type.__name__} expected, nothing raised")


@scenario
def every_callable():
    new = Fresh()
    for name, call in sample_calls(new).items():
        if name == "ResourceSnapshot.__new__":
            expect(TypeError, call)
        else:
            call()
    new.sampler.stop()


@scenario
def borrow_conflict():
    sampler = qc.BackgroundSampler()

    class StopsTheSampler:
        def __index__(self):
            sampler.stop()  # refused: start holds the exclusive borrow
            return 5

    expect(RuntimeError, lambda: sampler.start(StopsTheSampler()), "Already borrowed",
           "interval_ms")
    assert sampler.stop() == 0


@scenario
def panics():
    expect(Panic, lambda: qc.IpcStats("big", 2**60), "capacity overflow")
    expect(Panic, lambda: qc.SocketStats("big", 2**64 - 1), "capacity overflow")
    # A panic raised by Python code under a call is resumed as a panic, without the note.
    expect(Panic, lambda: qc.IpcStats("a", 1).record_latency_us(PanicIndex()), "boom")
    expect(Panic, lambda: qc.IpcStats("a", 1, **{PanicName("zz"): 1}), "boom")


@scenario
def out_of_memory():
    expect(MemoryError, lambda: qc.IpcStats("big", 2**59))


@scenario
def signal_registration_failures():
    for signal_num in (0, -1, 128, 2**31 - 1):
        expect(ValueError, lambda: qc.register_signal_pipe(signal_num),
               f"Invalid signal number: {signal_num} (must be 1..128)")
    for signal_num in (signal.SIGKILL, signal.SIGSTOP, 65):
        expect(OSError, lambda: qc.register_signal_pipe(signal_num),
               "sigaction failed: Invalid argument (os error 22)")


@contextlib.contextmanager
def no_free_descriptors():
    """Lowers the descriptor limit so that every number below it is taken."""
    limits = resource.getrlimit(resource.RLIMIT_NOFILE)
    lowest_free = os.dup(0)
    os.close(lowest_free)
    resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free, limits[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, limits)


@scenario
def probe_errors():
    emfile = "Too many open files (os error 24)"
    with no_free_descriptors():
        expect(RuntimeError, qc.snapshot_resources, f"cannot read /proc/self/status: {emfile}")
        expect(RuntimeError, qc.list_open_fds, f"cannot read /proc/self/fd: {emfile}")
        expect(OSError, lambda: qc.register_signal_pipe(signal.SIGUSR2), f"pipe failed: {emfile}")


def quiet_unraisable_hook(unraisable):
    """Unprintable keyword names are reported as unraisable; nothing needs to see them."""


def quiet_excepthook(exc_type, exc, traceback):
    """A resumed panic prints the traceback it came through; nothing needs to see it."""


def play_recording_calls(scenarios):
    """Plays `scenarios` once with every function and method of the module wrapped in a
    recorder (the module and its classes are mutable); returns the names called."""
    called = set()
    originals = []

    def recorder(name, original):
        def call(*args, **kwargs):
            called.add(name)
            return original(*args, **kwargs)
        return call

    for name in public_callables():
        owner_name, _, attr = name.rpartition(".")
        owner = getattr(qc, owner_name) if owner_name else qc
        original = vars(owner)[attr]
        originals.append((owner, attr, original))
        setattr(owner, attr, recorder(name, original))
    try:
        for fn in scenarios:
            fn()
    finally:
        for owner, attr, original in originals:
            setattr(owner, attr, original)
    return called


def unexercised(scenarios):
    """The functions and methods that no scenario of `scenarios` calls."""
    with quiet_stderr():
        return sorted(public_callables() - play_recording_calls(scenarios))


def main():
    parser = argparse.ArgumentParser(description="Plays every scenario, checking outcomes.")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--skip", action="append", default=[], choices=list(SCENARIOS))
    args = parser.parse_args()
    sys.unraisablehook = quiet_unraisable_hook
    sys.excepthook = quiet_excepthook
    scenarios = [fn for name, fn in SCENARIOS.items() if name not in args.skip]
    # A callable no scenario reaches would be left out of every leak check unnoticed.
    missed = unexercised(scenarios)
    with quiet_stderr():
        for _ in range(args.rounds - 1):
            for fn in scenarios:
                fn()
    if missed:
        sys.exit(f"exercised by no scenario: {', '.join(missed)}")
    print(f"{len(scenarios)} scenarios x {args.rounds} rounds: every outcome as expected, "
          f"every function and method exercised")


if __name__ == "__main__":
    main()
