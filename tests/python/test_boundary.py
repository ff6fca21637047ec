"""The call boundary: binding messages, conversion families and notes, panics."""
import enum
import sys

import pytest

import _quillmere_core as qc

from conftest import REFUSED, SIGNATURES, Fresh, Index, Unprintable, run_python


@pytest.mark.parametrize("function, args, kwargs, exc_type, message, note", REFUSED)
def test_refused_calls_raise_exactly_and_change_nothing(monkeypatch, function, args, kwargs,
                                                        exc_type, message, note):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)  # unprintable keys
    new = Fresh()
    with pytest.raises(BaseException) as info:
        SIGNATURES[function][1](new)(*args, **kwargs)
    assert (type(info.value), str(info.value)) == (exc_type, message)
    assert getattr(info.value, "__notes__", None) == ([note] if note else None)
    assert new.figures() == (0, 0, 0, 0.0, 0, 0, 0.0, 0)


def test_new_called_directly_binds_the_same():
    with pytest.raises(TypeError) as info:
        qc.IpcStats.__new__(qc.IpcStats, "a", 4, 5, bogus=1)
    assert str(info.value) == "IpcStats.__new__() takes 2 positional arguments but 3 were given"


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


def test_binding_errors_come_before_conversion():
    calls = []

    class Loud:
        def __index__(self):
            calls.append(1)
            return 1

    with pytest.raises(TypeError, match="takes 1 positional arguments"):
        qc.IpcStats("a", 1).record_latency_us(Loud(), Loud())
    assert calls == []


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


def test_an_unprintable_keyword_name_is_reported_as_unraisable(monkeypatch):
    # REFUSED holds the message; str() of the name failed, and that is reported.
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    key = Unprintable("zzz")
    with pytest.raises(TypeError, match="<unprintable Unprintable object>"):
        qc.IpcStats("a", 1, **{key: 1})
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
