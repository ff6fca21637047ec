"""What the suites share: the public surface read from the stub, one table of argument
signatures and of calls the module must refuse, the report lines, and the helpers.

tests/leaks/entry_points.py imports this file too, so it holds nothing that needs pytest
to be running."""
import __future__
import functools
import inspect
import mmap
import os
import re
import subprocess
import sys
import sysconfig
import textwrap
import time
from pathlib import Path

import pytest

import _quillmere_core as qc

STUB = Path(__file__).resolve().parents[2] / "src" / "ipc_probe" / "_quillmere_core.pyi"

# Under `./dev asan` the AddressSanitizer runtime is preloaded; under the free-threaded
# `./dev tsan` the interpreter itself is built with ThreadSanitizer. Their allocators end
# the process on an impossible size (their operator new never throws), and they need
# address space of their own, so the tests that exhaust memory on purpose cannot run there.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
UNDER_TSAN = "-fsanitize=thread" in (sysconfig.get_config_var("PY_CFLAGS") or "")
needs_plain_allocator = pytest.mark.skipif(
    UNDER_ASAN or UNDER_TSAN,
    reason="a sanitizer's allocator ends the process instead of failing the allocation")


# ---------------------------------------------------------------- the surface


@functools.cache
def stub_namespace():
    """The stub executed as Python, for its names, signatures and annotations. They name
    classes defined further down, so they are kept as strings until asked for (before 3.14
    an annotation is evaluated where it stands)."""
    namespace = {"__name__": "quillmere_stub"}
    exec(compile(STUB.read_text(), STUB, "exec", flags=__future__.annotations.compiler_flag,
                 dont_inherit=True), namespace)
    return namespace


def stub_callables():
    """{qualified name: function} of every function, constructor, method and property
    getter of the stub."""
    namespace = stub_namespace()
    found = {}
    for name in namespace["__all__"]:
        obj = namespace[name]
        if not isinstance(obj, type):
            found[name] = obj
            continue
        for member_name, member in vars(obj).items():
            if isinstance(member, property):
                found[f"{name}.{member_name}"] = member.fget
            elif callable(member) and (member_name == "__new__" or not member_name.startswith("_")):
                found[f"{name}.{member_name}"] = getattr(member, "__func__", member)
    return found


def public_callables():
    """The functions and the methods (not constructors nor properties) of the stub."""
    namespace = stub_namespace()
    names = set()
    for name in namespace["__all__"]:
        obj = namespace[name]
        if not isinstance(obj, type):
            names.add(name)
            continue
        names |= {f"{name}.{attr}" for attr, member in vars(obj).items()
                  if not attr.startswith("_") and callable(member)}
    return names


# ---------------------------------------------------------------- values the module converts


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class RaisingIndex:
    def __index__(self):
        raise KeyError("inner")


class NoNotes(Exception):
    def add_note(self, note):
        raise RuntimeError("no notes here")


class IndexWithoutNotes:
    def __index__(self):
        raise NoNotes("kept")


class Unprintable(str):
    def __str__(self):
        raise ValueError("cannot print")


class Outer:
    class Inner:
        pass


Outer.Inner.__qualname__ = "Outer.In\udc80ner"


def resident_burst(size):
    """`size` bytes of memory, every page written, so resident at once; close() gives them
    back to the system. Freed heap memory may stay resident under some allocators (the
    free-threaded build's mimalloc keeps it), an unmapped region never does."""
    burst = mmap.mmap(-1, size)
    burst[::mmap.PAGESIZE] = b"x" * (size // mmap.PAGESIZE)
    return burst


@functools.cache
def panic_type():
    """The type is not exported; the only way to hold it is to catch one."""
    try:
        qc.IpcStats("x", 2**60)
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        return type(exc)
    raise AssertionError("capacity overflow did not panic")


@pytest.fixture(name="panic_type", scope="session")
def panic_type_fixture():
    return panic_type()


# ---------------------------------------------------------------- signatures and refusals


class Fresh:
    """A new object of each class, for the calls on an instance. figures() reads what a
    call could change: a call refused before its body ran leaves them all at zero."""

    def __init__(self):
        self.of_class = {
            "ResourceSnapshot": qc.snapshot_resources(),
            "BackgroundSampler": qc.BackgroundSampler(),
            "IpcStats": qc.IpcStats("b", 2),
            "SocketStats": qc.SocketStats("b", 2),
        }
        self.snapshot, self.sampler, self.ipc, self.sock = self.of_class.values()

    def figures(self):
        return (self.sampler.stop(),
                self.ipc.total_messages(), self.ipc.peak_depth(), self.ipc.avg_latency_us(),
                self.sock.bytes_sent(), self.sock.bytes_recv(), self.sock.avg_send_latency_us(),
                self.sock.peak_recv_buffer_pct())


# The C type each integer or text parameter converts to.
STR, U64, CAPACITY, U32, I32 = "str", "u64", "capacity", "u32", "i32"

# Every callable that binds arguments: its parameters and, given a Fresh, the callable. A
# new one needs its row here; the stub test calls it, the leak scenarios replay it and the
# stress model binds it at random.
SIGNATURES = {
    "register_signal_pipe": ([("signal_num", I32)], lambda new: qc.register_signal_pipe),
    "BackgroundSampler.__new__": ([], lambda new: qc.BackgroundSampler),
    "BackgroundSampler.start": ([("interval_ms", U64)], lambda new: new.sampler.start),
    "IpcStats.__new__": ([("name", STR), ("ring_capacity", CAPACITY)], lambda new: qc.IpcStats),
    "IpcStats.record_latency_us": ([("us", U64)], lambda new: new.ipc.record_latency_us),
    "IpcStats.record_depth": ([("depth", U32)], lambda new: new.ipc.record_depth),
    "SocketStats.__new__": ([("name", STR), ("ring_capacity", CAPACITY)],
                            lambda new: qc.SocketStats),
    "SocketStats.record_send": ([("bytes", U64), ("latency_us", U64)],
                                lambda new: new.sock.record_send),
    "SocketStats.record_recv": ([("bytes", U64), ("buffer_used_pct", U32)],
                                lambda new: new.sock.record_recv),
}

# A value each parameter type accepts, for the calls that must succeed.
ACCEPTED = {STR: "s", U64: 1000, CAPACITY: 4, U32: 2}


@functools.cache
def _sample_plan():
    """(name, owner, attr, how) for sample_calls, read from the stub once."""
    plan = []
    for name, fn in stub_callables().items():
        owner, _, attr = name.rpartition(".")
        if name in SIGNATURES:
            how = "signature"
        elif attr == "__new__":
            how = "class"
        elif list(inspect.signature(fn).parameters)[bool(owner):]:  # beyond self
            raise AssertionError(f"{name} takes arguments: it needs its row in SIGNATURES")
        elif owner and isinstance(vars(stub_namespace()[owner])[attr], property):
            how = "property"
        else:
            how = "call"
        plan.append((name, owner, attr, how))
    return tuple(plan)


def sample_calls(new):
    """{qualified name: call} that succeeds (or, for a class made only by the module,
    raises TypeError) for every callable of the stub, on the objects of `new`. Those
    without parameters are called as they are; the others take ACCEPTED values.
    register_signal_pipe installs a handler for good, so the caller supplies its own."""
    calls = {}
    for name, owner, attr, how in _sample_plan():
        if name == "register_signal_pipe":
            continue
        if how == "signature":
            params, target = SIGNATURES[name]
            args = [ACCEPTED[kind] for _, kind in params]
            calls[name] = lambda target=target, args=args: target(new)(*args)
        elif how == "class":
            calls[name] = getattr(qc, owner)
        elif how == "property":
            calls[name] = lambda obj=new.of_class[owner], attr=attr: getattr(obj, attr)
        else:
            calls[name] = getattr(new.of_class[owner] if owner else qc, attr)
    return calls


def _bad(function, args, kwargs, exc_type, message, note=None):
    return pytest.param(function, args, kwargs, exc_type, message,
                        note and f"while processing '{note}'",
                        id=f"{function}: {message}")


# Calls the module refuses: (callable, args, kwargs, exception type, message, note). Every
# callable that binds arguments, with each of its parameters missing and one positional
# too many; the other shapes of binding failure, and each conversion family, at least once.
REFUSED = [
    _bad("register_signal_pipe", (), {}, TypeError,
         "register_signal_pipe() missing 1 required positional argument: 'signal_num'"),
    _bad("register_signal_pipe", (10, 12), {}, TypeError,
         "register_signal_pipe() takes 1 positional arguments but 2 were given"),
    _bad("register_signal_pipe", (), {"signal": 2}, TypeError,
         "register_signal_pipe() got an unexpected keyword argument 'signal'"),
    _bad("register_signal_pipe", (2**31,), {}, OverflowError,
         "out of range integral type conversion attempted", "signal_num"),
    _bad("BackgroundSampler.__new__", (1,), {}, TypeError,
         "BackgroundSampler.__new__() takes 0 positional arguments but 1 was given"),
    _bad("BackgroundSampler.__new__", (), {"interval": 1}, TypeError,
         "BackgroundSampler.__new__() got an unexpected keyword argument 'interval'"),
    _bad("BackgroundSampler.start", (), {}, TypeError,
         "BackgroundSampler.start() missing 1 required positional argument: 'interval_ms'"),
    _bad("BackgroundSampler.start", (1, 2), {}, TypeError,
         "BackgroundSampler.start() takes 1 positional arguments but 2 were given"),
    _bad("BackgroundSampler.start", (2.0,), {}, TypeError,
         "'float' object cannot be interpreted as an integer", "interval_ms"),
    _bad("IpcStats.__new__", (), {}, TypeError,
         "IpcStats.__new__() missing 2 required positional arguments: 'name' and 'ring_capacity'"),
    _bad("IpcStats.__new__", ("a",), {}, TypeError,
         "IpcStats.__new__() missing 1 required positional argument: 'ring_capacity'"),
    _bad("IpcStats.__new__", (), {"ring_capacity": 1}, TypeError,
         "IpcStats.__new__() missing 1 required positional argument: 'name'"),
    _bad("IpcStats.__new__", ("a", 4, 5), {}, TypeError,
         "IpcStats.__new__() takes 2 positional arguments but 3 were given"),
    _bad("IpcStats.__new__", ("a", 4), {"ring": 5}, TypeError,
         "IpcStats.__new__() got an unexpected keyword argument 'ring'"),
    _bad("IpcStats.__new__", ("a",), {"name": "b"}, TypeError,
         "IpcStats.__new__() got multiple values for argument 'name'"),
    _bad("IpcStats.__new__", ("a", 1), {Unprintable("zzz"): 1}, TypeError,
         "IpcStats.__new__() got an unexpected keyword argument "
         "'<unprintable Unprintable object>'"),
    _bad("IpcStats.__new__", (None, 4), {}, TypeError,
         "'None' is not an instance of 'str'", "name"),
    _bad("IpcStats.__new__", (5, 4), {}, TypeError,
         "'int' object is not an instance of 'str'", "name"),
    _bad("IpcStats.__new__", (b"a", 4), {}, TypeError,
         "'bytes' object is not an instance of 'str'", "name"),
    _bad("IpcStats.__new__", (Outer.Inner(), 1), {}, TypeError,
         "'Outer.In\ufffd\ufffd\ufffdner' object is not an instance of 'str'", "name"),
    _bad("IpcStats.__new__", ("a\udc80", 1), {}, UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\udc80' in position 1: surrogates not allowed",
         "name"),
    _bad("IpcStats.__new__", (1.0, -1), {}, TypeError,  # the first failing argument wins
         "'float' object is not an instance of 'str'", "name"),
    _bad("IpcStats.__new__", ("a", -1), {}, OverflowError,
         "can't convert negative int to unsigned", "ring_capacity"),
    _bad("IpcStats.__new__", ("a", 2**64), {}, OverflowError,
         "int too big to convert", "ring_capacity"),
    _bad("IpcStats.record_latency_us", (), {}, TypeError,
         "IpcStats.record_latency_us() missing 1 required positional argument: 'us'"),
    _bad("IpcStats.record_latency_us", (1, 2), {}, TypeError,
         "IpcStats.record_latency_us() takes 1 positional arguments but 2 were given"),
    _bad("IpcStats.record_latency_us", (1,), {"nope": 2, "us": 3}, TypeError,
         "IpcStats.record_latency_us() got an unexpected keyword argument 'nope'"),
    _bad("IpcStats.record_latency_us", (), {"\udcff": 1}, TypeError,
         "IpcStats.record_latency_us() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    _bad("IpcStats.record_latency_us", (1.5,), {}, TypeError,
         "'float' object cannot be interpreted as an integer", "us"),
    _bad("IpcStats.record_latency_us", ("1",), {}, TypeError,
         "'str' object cannot be interpreted as an integer", "us"),
    _bad("IpcStats.record_latency_us", (Index(-1),), {}, OverflowError,
         "can't convert negative int to unsigned", "us"),
    _bad("IpcStats.record_latency_us", (RaisingIndex(),), {}, KeyError, "'inner'", "us"),
    # A failing add_note loses the note, never the error.
    _bad("IpcStats.record_latency_us", (IndexWithoutNotes(),), {}, NoNotes, "kept"),
    _bad("IpcStats.record_depth", (), {}, TypeError,
         "IpcStats.record_depth() missing 1 required positional argument: 'depth'"),
    _bad("IpcStats.record_depth", (1, 2), {}, TypeError,
         "IpcStats.record_depth() takes 1 positional arguments but 2 were given"),
    _bad("IpcStats.record_depth", (1,), {"depth": 2}, TypeError,
         "IpcStats.record_depth() got multiple values for argument 'depth'"),
    _bad("IpcStats.record_depth", (-1,), {}, OverflowError,
         "out of range integral type conversion attempted", "depth"),
    _bad("IpcStats.record_depth", (2**32,), {}, OverflowError,
         "out of range integral type conversion attempted", "depth"),
    _bad("IpcStats.record_depth", (2**63,), {}, OverflowError,
         "Python int too large to convert to C long", "depth"),
    _bad("IpcStats.record_depth", (Index(-5),), {}, OverflowError,
         "out of range integral type conversion attempted", "depth"),
    _bad("SocketStats.__new__", (), {}, TypeError,
         "SocketStats.__new__() missing 2 required positional arguments: 'name' and 'ring_capacity'"),
    _bad("SocketStats.__new__", ("s", 2, 3), {}, TypeError,
         "SocketStats.__new__() takes 2 positional arguments but 3 were given"),
    _bad("SocketStats.__new__", (b"a", 4), {}, TypeError,
         "'bytes' object is not an instance of 'str'", "name"),
    _bad("SocketStats.record_send", (), {"latency_us": 2}, TypeError,
         "SocketStats.record_send() missing 1 required positional argument: 'bytes'"),
    _bad("SocketStats.record_send", (1, 2, 3), {"latency_us": 2}, TypeError,
         "SocketStats.record_send() takes 2 positional arguments but 3 were given"),
    _bad("SocketStats.record_send", (1,), {"bytes": 2}, TypeError,
         "SocketStats.record_send() got multiple values for argument 'bytes'"),
    _bad("SocketStats.record_send", (), {"bytes": 1, "bytes_": 2}, TypeError,
         "SocketStats.record_send() got an unexpected keyword argument 'bytes_'"),
    _bad("SocketStats.record_send", (1,), {"latency_\u00b5s": 2}, TypeError,
         "SocketStats.record_send() got an unexpected keyword argument 'latency_\u00b5s'"),
    _bad("SocketStats.record_send", (5, -1), {}, OverflowError,
         "can't convert negative int to unsigned", "latency_us"),
    _bad("SocketStats.record_send", (1.5, 5), {}, TypeError,
         "'float' object cannot be interpreted as an integer", "bytes"),
    _bad("SocketStats.record_recv", (1,), {}, TypeError,
         "SocketStats.record_recv() missing 1 required positional argument: 'buffer_used_pct'"),
    _bad("SocketStats.record_recv", (1, 2, 3), {}, TypeError,
         "SocketStats.record_recv() takes 2 positional arguments but 3 were given"),
    _bad("SocketStats.record_recv", (1,), {"nope": 2, "buffer_used_pct": 3}, TypeError,
         "SocketStats.record_recv() got an unexpected keyword argument 'nope'"),
    _bad("SocketStats.record_recv", (-5, 1), {}, OverflowError,
         "can't convert negative int to unsigned", "bytes"),
    _bad("SocketStats.record_recv", (5, -1), {}, OverflowError,
         "out of range integral type conversion attempted", "buffer_used_pct"),
    _bad("SocketStats.record_recv", (5, 2**32), {}, OverflowError,
         "out of range integral type conversion attempted", "buffer_used_pct"),
    # The second argument refused after a first small enough for the inline conversion.
    _bad("SocketStats.record_recv", (5, -(2**30)), {}, OverflowError,
         "out of range integral type conversion attempted", "buffer_used_pct"),
    _bad("SocketStats.record_recv", (5, 2.0), {}, TypeError,
         "'float' object cannot be interpreted as an integer", "buffer_used_pct"),
    _bad("SocketStats.record_recv", (5, Index(-5)), {}, OverflowError,
         "out of range integral type conversion attempted", "buffer_used_pct"),
]


# ---------------------------------------------------------------- report lines


def _micros(value):
    return value if isinstance(value, str) else f"{value:.1f}"


def ipc_report(name, msgs, avg, p99, depth):
    return (f"{name}: {msgs} msgs | avg {_micros(avg)}\u00b5s | p99 {_micros(p99)}\u00b5s | "
            f"peak depth {depth}")


def socket_report(name, sent, recv, avg, peak):
    return (f"{name}: sent {sent}B recv {recv}B | send avg {_micros(avg)}\u00b5s | "
            f"recv buf peak {peak}%")


def report_pattern(report, *patterns):
    """A regular expression for the lines of `report` (ipc_report or socket_report) whose
    fields match `patterns`, for reports whose figures are not known in advance."""
    marks = [f"\0{i}\0" for i in range(len(patterns))]
    text = re.escape(report(*marks))
    for mark, pattern in zip(marks, patterns):
        text = text.replace(re.escape(mark), pattern)
    return text


# ---------------------------------------------------------------- processes and threads


def run_python(code, *, check=True, env=None):
    """Runs `code` in a fresh interpreter holding only descriptors 0, 1 and 2, with `env`
    added to the environment."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        close_fds=True,
        timeout=120,
        env={**os.environ, **(env or {})},
    )
    if check and result.returncode != 0:
        raise AssertionError(f"exit {result.returncode}\n{result.stdout}\n{result.stderr}")
    return result


def thread_ids():
    """The ids of the process's threads, native ones included."""
    return set(os.listdir("/proc/self/task"))


def only_threads_of(baseline):
    """Whether, within ten seconds, every thread of the process is one of `baseline`. Ids,
    not counts: a joined thread can stay listed for a moment, so one listed in the baseline
    may still go, and none may be added."""
    deadline = time.monotonic() + 10
    while not thread_ids() <= baseline and time.monotonic() < deadline:
        time.sleep(0.01)
    return thread_ids() <= baseline
