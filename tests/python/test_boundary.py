"""The call boundary: binding messages, conversion families and notes, panics."""
import enum
import sys

import pytest

import _quillmere_core as qc

from conftest import run_python


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


class New:
    """A new object of each class, for the calls on an instance. Binding fails before the
    body runs, so they must still be as new afterwards."""

    def __init__(self):
        self.sampler = qc.BackgroundSampler()
        self.ipc = qc.IpcStats("b", 2)
        self.sock = qc.SocketStats("b", 2)

    def figures(self):
        return (self.sampler.stop(),
                self.ipc.total_messages(), self.ipc.peak_depth(), self.ipc.avg_latency_us(),
                self.sock.bytes_sent(), self.sock.bytes_recv(), self.sock.avg_send_latency_us(),
                self.sock.peak_recv_buffer_pct())


# Every callable that binds arguments, in registration order: rows that name each of its
# parameters and one with a positional too many; the other shapes of failure at least once.
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda new: qc.register_signal_pipe(),
         "register_signal_pipe() missing 1 required positional argument: 'signal_num'"),
        (lambda new: qc.register_signal_pipe(10, 12),
         "register_signal_pipe() takes 1 positional arguments but 2 were given"),
        (lambda new: qc.register_signal_pipe(signal=2),
         "register_signal_pipe() got an unexpected keyword argument 'signal'"),
        (lambda new: qc.BackgroundSampler(1),
         "BackgroundSampler.__new__() takes 0 positional arguments but 1 was given"),
        (lambda new: qc.BackgroundSampler(interval=1),
         "BackgroundSampler.__new__() got an unexpected keyword argument 'interval'"),
        (lambda new: new.sampler.start(),
         "BackgroundSampler.start() missing 1 required positional argument: 'interval_ms'"),
        (lambda new: new.sampler.start(1, 2),
         "BackgroundSampler.start() takes 1 positional arguments but 2 were given"),
        (lambda new: qc.IpcStats(),
         "IpcStats.__new__() missing 2 required positional arguments: 'name' and 'ring_capacity'"),
        (lambda new: qc.IpcStats("a"),
         "IpcStats.__new__() missing 1 required positional argument: 'ring_capacity'"),
        (lambda new: qc.IpcStats(ring_capacity=1),
         "IpcStats.__new__() missing 1 required positional argument: 'name'"),
        (lambda new: qc.IpcStats("a", 4, 5),
         "IpcStats.__new__() takes 2 positional arguments but 3 were given"),
        (lambda new: qc.IpcStats("a", 4, ring=5),
         "IpcStats.__new__() got an unexpected keyword argument 'ring'"),
        (lambda new: qc.IpcStats("a", name="b"),
         "IpcStats.__new__() got multiple values for argument 'name'"),
        (lambda new: qc.IpcStats.__new__(qc.IpcStats, "a", 4, 5, bogus=1),
         "IpcStats.__new__() takes 2 positional arguments but 3 were given"),
        (lambda new: new.ipc.record_latency_us(),
         "IpcStats.record_latency_us() missing 1 required positional argument: 'us'"),
        (lambda new: new.ipc.record_latency_us(1, 2),
         "IpcStats.record_latency_us() takes 1 positional arguments but 2 were given"),
        (lambda new: new.ipc.record_latency_us(1, nope=2, us=3),
         "IpcStats.record_latency_us() got an unexpected keyword argument 'nope'"),
        (lambda new: new.ipc.record_latency_us(**{"\udcff": 1}),
         "IpcStats.record_latency_us() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
        (lambda new: new.ipc.record_depth(),
         "IpcStats.record_depth() missing 1 required positional argument: 'depth'"),
        (lambda new: new.ipc.record_depth(1, 2),
         "IpcStats.record_depth() takes 1 positional arguments but 2 were given"),
        (lambda new: new.ipc.record_depth(1, depth=2),
         "IpcStats.record_depth() got multiple values for argument 'depth'"),
        (lambda new: qc.SocketStats(),
         "SocketStats.__new__() missing 2 required positional arguments: 'name' and 'ring_capacity'"),
        (lambda new: qc.SocketStats("s", 2, 3),
         "SocketStats.__new__() takes 2 positional arguments but 3 were given"),
        (lambda new: new.sock.record_send(latency_us=2),
         "SocketStats.record_send() missing 1 required positional argument: 'bytes'"),
        (lambda new: new.sock.record_send(1, 2, 3, latency_us=2),
         "SocketStats.record_send() takes 2 positional arguments but 3 were given"),
        (lambda new: new.sock.record_send(1, bytes=2),
         "SocketStats.record_send() got multiple values for argument 'bytes'"),
        (lambda new: new.sock.record_send(bytes=1, bytes_=2),
         "SocketStats.record_send() got an unexpected keyword argument 'bytes_'"),
        (lambda new: new.sock.record_send(1, **{"latency_\u00b5s": 2}),
         "SocketStats.record_send() got an unexpected keyword argument 'latency_\u00b5s'"),
        (lambda new: new.sock.record_recv(1),
         "SocketStats.record_recv() missing 1 required positional argument: 'buffer_used_pct'"),
        (lambda new: new.sock.record_recv(1, 2, 3),
         "SocketStats.record_recv() takes 2 positional arguments but 3 were given"),
    ],
)
def test_binding_messages(call, message):
    new = New()
    assert type_error(lambda: call(new)) == message
    assert new.figures() == (0, 0, 0, 0.0, 0, 0, 0.0, 0)


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.record_send(5, latency_us=7),
        lambda s: s.record_send(bytes=5, latency_us=7),
        lambda s: s.record_send(latency_us=7, bytes=5),
        lambda s: s.record_send(**{"latency_us": 7, "bytes": 5}),
    ],
)
def test_keyword_forms_bind_the_same(call):
    sock = qc.SocketStats("k", 2)
    call(sock)
    assert (sock.bytes_sent(), sock.avg_send_latency_us()) == (5, 7.0)


def test_keywords_bind_in_any_order():
    stats = qc.IpcStats(ring_capacity=4, name="kw")
    assert stats.name() == "kw"
    assert qc.IpcStats("pos", ring_capacity=4).name() == "pos"
    stats.record_latency_us(us=7)
    stats.record_depth(depth=3)
    assert (stats.total_messages(), stats.peak_depth()) == (1, 3)


@pytest.mark.parametrize(
    "call, exc_type, message, param",
    [
        (lambda: qc.IpcStats(None, 4), TypeError, "'None' is not an instance of 'str'", "name"),
        (lambda: qc.IpcStats(5, 4), TypeError, "'int' object is not an instance of 'str'", "name"),
        (lambda: qc.IpcStats(b"a", 4), TypeError, "'bytes' object is not an instance of 'str'",
         "name"),
        (lambda: qc.IpcStats("a", -1), OverflowError,
         "can't convert negative int to unsigned", "ring_capacity"),
        (lambda: qc.IpcStats("a", 2**64), OverflowError,
         "int too big to convert", "ring_capacity"),
        (lambda: qc.IpcStats("a", 4).record_latency_us(1.5), TypeError,
         "'float' object cannot be interpreted as an integer", "us"),
        (lambda: qc.IpcStats("a", 4).record_latency_us("1"), TypeError,
         "'str' object cannot be interpreted as an integer", "us"),
        (lambda: qc.IpcStats("a", 4).record_depth(-1), OverflowError,
         "out of range integral type conversion attempted", "depth"),
        (lambda: qc.IpcStats("a", 4).record_depth(2**32), OverflowError,
         "out of range integral type conversion attempted", "depth"),
        (lambda: qc.IpcStats("a", 4).record_depth(2**63), OverflowError,
         "Python int too large to convert to C long", "depth"),
        (lambda: qc.IpcStats("a", 4).record_depth(Index(-5)), OverflowError,
         "out of range integral type conversion attempted", "depth"),
    ],
)
def test_conversion_failures_carry_the_parameter_note(call, exc_type, message, param):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert info.value.args == (message,)
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_lone_surrogates_in_a_name_raise_unicode_encode_error():
    with pytest.raises(UnicodeEncodeError) as info:
        qc.IpcStats("a\udc80", 1)
    assert info.value.__notes__ == ["while processing 'name'"]


def test_wrong_type_names_use_qualified_names_made_valid():
    class Outer:
        class Inner:
            pass

    Outer.Inner.__qualname__ = "Outer.In\udc80ner"
    with pytest.raises(TypeError) as info:
        qc.IpcStats(Outer.Inner(), 1)
    assert str(info.value) == "'Outer.In\ufffd\ufffd\ufffdner' object is not an instance of 'str'"


def test_integers_accept_index_objects_and_bools():
    stats = qc.IpcStats(type("S", (str,), {})("sub"), Index(2))
    stats.record_latency_us(Index(7))
    stats.record_latency_us(True)
    stats.record_depth(Index(4294967295))
    assert stats.avg_latency_us() == 4.0
    assert stats.peak_depth() == 4294967295
    assert stats.name() == "sub" and type(stats.name()) is str


class Level(enum.IntEnum):
    TOP = 2**30 - 1


# Positional recording calls convert small ints inline; keyword calls always take the full
# conversion. Both must record the same at the inline path's edges and past them.
@pytest.mark.parametrize("value", [0, True, Level.TOP, 2**30 - 1, 2**30, 2**32 - 1, Index(9)])
def test_recording_by_position_and_by_keyword_agree(value):
    def figures(by_keyword):
        ipc, sock = qc.IpcStats("a", 4), qc.SocketStats("a", 4)
        if by_keyword:
            ipc.record_latency_us(us=value)
            ipc.record_depth(depth=value)
            sock.record_send(bytes=value, latency_us=value)
            sock.record_recv(bytes=value, buffer_used_pct=value)
        else:
            ipc.record_latency_us(value)
            ipc.record_depth(value)
            sock.record_send(value, value)
            sock.record_recv(value, value)
        return (ipc.total_messages(), ipc.avg_latency_us(), ipc.peak_depth(), sock.bytes_sent(),
                sock.avg_send_latency_us(), sock.bytes_recv(), sock.peak_recv_buffer_pct())

    n = int(value.__index__())
    assert figures(False) == figures(True) == (1, float(n), n, n, float(n), n, n)


@pytest.mark.parametrize("value, exc_type, message", [
    (-1, OverflowError, "out of range integral type conversion attempted"),
    (-(2**30), OverflowError, "out of range integral type conversion attempted"),
    (2**32, OverflowError, "out of range integral type conversion attempted"),
    (2.0, TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_second_recv_argument_refused_after_a_small_first(value, exc_type, message):
    sock = qc.SocketStats("a", 4)
    with pytest.raises(exc_type) as info:
        sock.record_recv(5, value)
    assert info.value.args == (message,)
    assert info.value.__notes__ == ["while processing 'buffer_used_pct'"]
    assert (sock.bytes_recv(), sock.peak_recv_buffer_pct()) == (0, 0)


def test_first_failing_argument_wins_and_nothing_changes():
    stats = qc.IpcStats("a", 2)
    with pytest.raises(TypeError) as info:
        qc.IpcStats(1.0, -1)
    assert info.value.__notes__ == ["while processing 'name'"]
    with pytest.raises(OverflowError):
        stats.record_latency_us(-1)
    assert stats.total_messages() == 0


def test_binding_errors_come_before_conversion():
    calls = []

    class Loud:
        def __index__(self):
            calls.append(1)
            return 1

    with pytest.raises(TypeError, match="takes 1 positional arguments"):
        qc.IpcStats("a", 1).record_latency_us(Loud(), Loud())
    assert calls == []


def test_exception_from_index_passes_through_with_note():
    class Bad:
        def __index__(self):
            raise KeyError("inner")

    with pytest.raises(KeyError) as info:
        qc.IpcStats("a", 1).record_latency_us(Bad())
    assert info.value.args == ("inner",)
    assert info.value.__notes__ == ["while processing 'us'"]


def test_note_is_dropped_when_add_note_fails():
    class NoNotes(Exception):
        def add_note(self, note):
            raise RuntimeError("no notes here")

    class Bad:
        def __index__(self):
            raise NoNotes("kept")

    with pytest.raises(NoNotes) as info:
        qc.IpcStats("a", 1).record_latency_us(Bad())
    assert info.value.args == ("kept",)
    assert not hasattr(info.value, "__notes__")


def test_panic_exception_type(panic_type):
    assert panic_type.__module__ == "tessel_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__doc__ == (
        "\nThe exception raised when native code called from Python panics.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )
    assert not hasattr(qc, "PanicException")


def test_panic_is_not_an_exception(panic_type):
    with pytest.raises(BaseException) as info:
        try:
            qc.IpcStats("a", 2**60)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught as Exception")
    assert type(info.value) is panic_type
    assert info.value.args == ("capacity overflow",)


def test_panic_writes_a_diagnostic_to_stderr():
    result = run_python(
        """
        import _quillmere_core
        try:
            _quillmere_core.IpcStats("a", 2**60)
        except BaseException as exc:
            print(type(exc).__name__, exc.args)
        """
    )
    assert result.stdout.strip() == "PanicException ('capacity overflow',)"
    assert "internal failure" in result.stderr
    assert "src/stats/latency_ring.cpp" in result.stderr
    assert "capacity overflow" in result.stderr


# A panic raised by any Python code the module calls back is resumed the same way: from a
# conversion's __index__, and from str() of a keyword name wanted for a binding message.
@pytest.mark.parametrize(
    "trigger, frame",
    [
        ("_quillmere_core.IpcStats('a', 1).record_latency_us(Bomb())", "in __index__"),
        ("_quillmere_core.IpcStats('p', 4, **{Bomb('zz'): 1})", "in __str__"),
    ],
)
def test_panic_through_python_code_is_resumed(trigger, frame):
    result = run_python(
        f"""
        import _quillmere_core
        try:
            _quillmere_core.IpcStats("a", 2**60)
        except BaseException as exc:
            Panic = type(exc)

        class Bomb(str):
            def __index__(self):
                raise Panic("boom")
            def __str__(self):
                raise Panic("boom")

        try:
            {trigger}
        except BaseException as exc:
            print(type(exc) is Panic, exc.args, getattr(exc, "__notes__", None),
                  exc.__context__ is None)
        """
    )
    assert result.stdout.strip() == "True ('boom',) None True"
    assert "resumed" in result.stderr
    assert "Traceback (most recent call last):" in result.stderr
    assert frame in result.stderr
    assert "Exception ignored" not in result.stderr  # never the unraisable hook


def test_unprintable_keyword_name_uses_the_placeholder(monkeypatch):
    # A keyword may be a str subclass whose str() fails.
    class Weird(str):
        def __str__(self):
            raise ValueError("cannot print")

    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    key = Weird("zzz")
    message = type_error(lambda: qc.IpcStats("a", 1, **{key: 1}))
    assert message == (
        "IpcStats.__new__() got an unexpected keyword argument '<unprintable Weird object>'"
    )
    assert [(type(r.exc_value), r.object) for r in reported] == [(ValueError, key)]


def test_instances_made_around_the_constructor_refuse_every_call():
    # Mocking libraries replace __new__; object.__new__ then makes an instance whose native
    # state was never built. Every call on it is refused and dropping it frees only memory.
    result = run_python(
        """
        import sys, weakref
        import _quillmere_core as q

        calls = {
            q.IpcStats: [lambda s: s.record_latency_us(1), lambda s: s.record_depth(1),
                         lambda s: s.p99_latency_us(), lambda s: s.report()],
            q.SocketStats: [lambda s: s.record_send(1, 2), lambda s: s.record_recv(1, 2),
                            lambda s: s.avg_send_latency_us(), lambda s: s.name()],
            q.BackgroundSampler: [lambda s: s.start(1), lambda s: s.stop()],
            q.ResourceSnapshot: [lambda s: s.rss_mb(), lambda s: s.open_fds, repr],
        }
        if hasattr(sys, "gettotalrefcount"):
            # A debug interpreter asserts that a class it may not instantiate keeps no
            # __new__: the patch itself stops it there, before the module is involved.
            del calls[q.ResourceSnapshot]
        for cls, uses in calls.items():
            cls.__new__ = staticmethod(lambda cls, *args: object.__new__(cls))
            made = cls("a", 4) if cls in (q.IpcStats, q.SocketStats) else cls()
            for use in uses:
                try:
                    use(made)
                except TypeError as exc:
                    assert str(exc) == f"{cls.__name__} object was not initialized by its constructor"
                else:
                    raise AssertionError(f"{cls.__name__}: call accepted")
            if cls in (q.IpcStats, q.SocketStats):
                ref = weakref.ref(made)
            del made
        print("refused")
        """
    )
    assert result.stdout.strip() == "refused"
    assert result.stderr == ""
