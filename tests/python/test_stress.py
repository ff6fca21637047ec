"""Stress and model tests: many threads on one statistics object, the latency window and
argument binding against plain-Python models, sampler churn, and link-target repair
against Python's own decoder.

Deterministic: hypothesis derives its examples from the test itself (derandomize) and
keeps no database. QUILLMERE_STRESS_SCALE (default 1; `./dev stress` raises it) multiplies
the examples and iterations.
"""
import operator
import os
import random
import sys
import tempfile
import threading
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _quillmere_core as qc

from conftest import (CAPACITY, I32, REFUSED, SIGNATURES, STR, U32, U64, Fresh, Index,
                      ipc_report, only_threads_of, run_python, thread_ids)

SCALE = int(os.environ.get("QUILLMERE_STRESS_SCALE", "1"))
U64_MAX = 2**64 - 1
PROPERTY = settings(derandomize=True, database=None, deadline=None, max_examples=100 * SCALE,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.fixture
def busy_switching():
    """Makes the interpreter switch threads as often as it can, for the most interleaving."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


# ---------------------------------------------------------------- many threads, one object


def run_threads(targets, timeout=120):
    threads = [threading.Thread(target=target) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout)
    assert not any(thread.is_alive() for thread in threads)


@pytest.mark.parametrize("kind", ["IpcStats", "SocketStats"])
def test_hammering_one_object_from_threads_loses_nothing(busy_switching, kind):
    recorders, per_thread = 6, 3000 * SCALE
    stats = getattr(qc, kind)("hammer", 16)
    ipc = kind == "IpcStats"
    done = threading.Event()
    seen = []  # what the readers found wrong, checked after the join

    def record(t):
        for i in range(per_thread):
            if ipc:
                stats.record_latency_us(7)
                stats.record_depth(t * per_thread + i)
            else:
                stats.record_send(3, 7)
                stats.record_recv(2, t * per_thread + i)

    def read():
        last_total = 0
        while not done.is_set():
            total = stats.total_messages() if ipc else stats.bytes_sent()
            mean = stats.avg_latency_us() if ipc else stats.avg_send_latency_us()
            if total < last_total or mean not in (0.0, 7.0):
                seen.append((last_total, total, mean))
            last_total = total
            stats.report()

    readers = [threading.Thread(target=read) for _ in range(2)]
    for reader in readers:
        reader.start()
    try:
        run_threads([lambda t=t: record(t) for t in range(recorders)])
    finally:
        done.set()
        for reader in readers:
            reader.join(60)
    assert not any(reader.is_alive() for reader in readers)
    assert seen == []
    last = recorders * per_thread - 1
    if ipc:
        assert (stats.total_messages(), stats.peak_depth()) == (recorders * per_thread, last)
        assert stats.report() == ipc_report("hammer", recorders * per_thread, 7, 7, last)
    else:
        assert (stats.bytes_sent(), stats.bytes_recv()) == (3 * recorders * per_thread,
                                                            2 * recorders * per_thread)
        assert stats.peak_recv_buffer_pct() == last


# ---------------------------------------------------------------- the window against a model


def model_window(capacity, samples):
    """The newest max(capacity, 1) samples: (mean, p99) as floats, (0.0, 0.0) for none."""
    window = samples[-max(capacity, 1):]
    if not window:
        return 0.0, 0.0
    mean = float(Fraction(sum(window), len(window)))  # rounded once
    p99 = float(sorted(window)[min(int(len(window) * 0.99), len(window) - 1)])
    return mean, p99


SAMPLES = st.one_of(st.integers(0, 1000), st.integers(U64_MAX - 4096, U64_MAX),
                    st.integers(0, U64_MAX))
CAPACITIES = st.one_of(st.just(0), st.integers(0, 8), st.integers(0, 300))


@PROPERTY
@given(capacity=CAPACITIES, steps=st.lists(st.one_of(SAMPLES, st.none()), max_size=400))
def test_ipc_window_matches_the_model(capacity, steps):
    # None in the steps: compare everything with the model at that point.
    stats = qc.IpcStats("m", capacity)
    samples = []
    for step in steps + [None]:
        if step is not None:
            stats.record_latency_us(step)
            samples.append(step)
            continue
        mean, p99 = model_window(capacity, samples)
        assert (stats.avg_latency_us(), stats.p99_latency_us()) == (mean, p99)
        assert stats.total_messages() == len(samples)
        assert stats.report() == ipc_report("m", len(samples), mean, p99, 0)


@PROPERTY
@given(capacity=CAPACITIES,
       sends=st.lists(st.tuples(st.integers(0, U64_MAX), SAMPLES), max_size=200))
def test_socket_window_and_totals_match_the_model(capacity, sends):
    sock = qc.SocketStats("s", capacity)
    for size, latency in sends:
        sock.record_send(size, latency)
    mean, _ = model_window(capacity, [latency for _, latency in sends])
    assert sock.avg_send_latency_us() == mean
    assert sock.bytes_sent() == sum(size for size, _ in sends) % 2**64


@settings(PROPERTY, max_examples=15 * SCALE)
@given(capacity=st.integers(2000, 9000), count=st.integers(0, 20000),
       spread_bits=st.sampled_from([0, 3, 12, 40, 64]), near_max=st.booleans(),
       seed=st.integers(0, 2**32 - 1))
def test_large_windows_match_the_model(capacity, count, spread_bits, near_max, seed):
    # Windows larger than the ones above take other selection paths; the few spread bits
    # make many equal samples, the near_max ones put all of them next to 2**64.
    rng = random.Random(seed)
    base = U64_MAX - (2**spread_bits - 1) if near_max else rng.getrandbits(64 - spread_bits)
    samples = [base + rng.getrandbits(spread_bits) if spread_bits else base for _ in range(count)]
    stats = qc.IpcStats("big", capacity)
    for sample in samples:
        stats.record_latency_us(sample)
    assert (stats.avg_latency_us(), stats.p99_latency_us()) == model_window(capacity, samples)


# ---------------------------------------------------------------- binding against a model


NOT_INTEGERS = [1.5, None, b"x", "7", []]
# Values for each parameter type. A call only ever gets values from the pools of its own
# parameters, so capacities stay where allocating cannot fail (a window of 2**40 slots
# raises MemoryError here but aborts under AddressSanitizer), and signal numbers where
# registering cannot succeed (that would change this process's signal handling).
VALUES = {
    STR: ["text", "", "canal-\u00e9", "a\udc80", 1000, None, b"x"],
    U64: [0, 1, True, 2**31, 2**63, U64_MAX, -1, 2**64, 2**100, -2**70, Index(5), Index(-1),
          Index(2**64)] + NOT_INTEGERS,
    CAPACITY: [0, 1, 5, True, Index(3), 2**60, U64_MAX, -1, 2**64, 2**100, Index(-1)]
    + NOT_INTEGERS,
    U32: [0, 1, True, 2**32 - 1, 2**32, -1, 2**63, -2**63, -2**63 - 1, 2**100, Index(7),
          Index(-5)] + NOT_INTEGERS,
    I32: [0, -1, 128, 1000, 2**31 - 1, -2**31, 9, 2**31, -2**31 - 1, 2**63, Index(0),
          Index(200)] + NOT_INTEGERS,
}


def shown(text):
    """A name as messages show it: each lone surrogate's three bytes become U+FFFD."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def expected_conversion(kind, value):
    """(exception type, message) for a failed conversion, or None."""
    if kind == STR:
        if not isinstance(value, str):
            what = "'None'" if value is None else f"'{shown(type(value).__qualname__)}' object"
            return TypeError, f"{what} is not an instance of 'str'"
        try:
            value.encode("utf-8")
        except UnicodeEncodeError as exc:
            return UnicodeEncodeError, str(exc)
        return None
    try:
        n = operator.index(value)
    except Exception as exc:  # noqa: BLE001 - whatever __index__ raised comes through
        return type(exc), str(exc)
    if kind in (U64, CAPACITY):
        if n < 0:
            return OverflowError, "can't convert negative int to unsigned"
        return (OverflowError, "int too big to convert") if n > U64_MAX else None
    if not -2**63 <= n < 2**63:
        return OverflowError, "Python int too large to convert to C long"
    low, high = (0, 2**32 - 1) if kind == U32 else (-2**31, 2**31 - 1)
    if low <= n <= high:
        return None
    return OverflowError, "out of range integral type conversion attempted"


def expected_body(function, values, panic_type):
    """(exception type, message) the body itself fails with, or None."""
    if function.endswith("__new__") and "ring_capacity" in values:
        if values["ring_capacity"].__index__() >= 2**60:
            return panic_type, "capacity overflow"
    if function == "register_signal_pipe":
        n = values["signal_num"].__index__()
        if not 1 <= n < 128:
            return ValueError, f"Invalid signal number: {n} (must be 1..128)"
        return OSError, "sigaction failed: Invalid argument (os error 22)"
    return None


def quoted(names):
    quoted_names = [f"'{name}'" for name in names]
    if len(names) == 2:
        return " and ".join(quoted_names)
    return ", ".join(quoted_names[:-1]) + (", and " if len(names) > 2 else "") + quoted_names[-1]


def keyword_shown(key):
    try:
        return shown(str(key))
    except Exception:  # noqa: BLE001 - a str subclass whose str() fails
        return f"<unprintable {type(key).__name__} object>"


def expected_outcome(function, args, kwargs, panic_type):
    """(exception type, message, note) the call must fail with, or None for success."""
    params, _ = SIGNATURES[function]
    names = [name for name, _ in params]
    called = function + "()"
    if len(args) > len(names):
        given = f"{len(args)} {'was' if len(args) == 1 else 'were'} given"
        return TypeError, f"{called} takes {len(names)} positional arguments but {given}", None
    bound = dict(zip(names, args))
    for key, value in kwargs.items():
        if key not in names:
            return (TypeError, f"{called} got an unexpected keyword argument "
                    f"'{keyword_shown(key)}'", None)
        if key in bound:
            return TypeError, f"{called} got multiple values for argument '{key}'", None
        bound[key] = value
    missing = [name for name in names if name not in bound]
    if missing:
        plural = "s" if len(missing) > 1 else ""
        return (TypeError, f"{called} missing {len(missing)} required positional "
                f"argument{plural}: {quoted(missing)}", None)
    for name, kind in params:
        if failure := expected_conversion(kind, bound[name]):
            # The note goes through add_note; an exception whose add_note fails has none.
            keeps_note = failure[0].add_note is BaseException.add_note
            return *failure, f"while processing '{name}'" if keeps_note else None
    if failure := expected_body(function, bound, panic_type):
        return *failure, None
    return None


@pytest.mark.parametrize("function, args, kwargs, exc_type, message, note", REFUSED)
def test_the_model_predicts_every_refused_call(panic_type, function, args, kwargs, exc_type,
                                               message, note):
    assert expected_outcome(function, args, kwargs, panic_type) == (exc_type, message, note)


FAULTS = ["none"] * 4 + ["extra positional", "one missing", "unknown keyword", "given twice"]


@st.composite
def calls(draw):
    """A call of one of SIGNATURES: each parameter given once, the first few by position and
    the rest by keyword in any order, then at times one fault in the shape of the call."""
    function = draw(st.sampled_from(sorted(SIGNATURES)))
    params, _ = SIGNATURES[function]
    names = [name for name, _ in params]
    kinds = dict.fromkeys([STR] + [kind for _, kind in params] if params else [U64])
    any_value = st.sampled_from([value for kind in kinds for value in VALUES[kind]])

    def value_for(kind):  # mostly one meant for the parameter's type, at times another's
        return draw(st.one_of(st.sampled_from(VALUES[kind]), any_value))

    split = draw(st.integers(0, len(params)))
    args = [value_for(kind) for _, kind in params[:split]]
    kwargs = [(name, value_for(kind)) for name, kind in draw(st.permutations(params[split:]))]
    fault = draw(st.sampled_from(FAULTS))
    if fault == "extra positional":
        args.append(draw(any_value))
    elif fault == "one missing" and params:
        if kwargs:
            del kwargs[draw(st.integers(0, len(kwargs) - 1))]
        else:
            args.pop()
    elif fault == "unknown keyword":
        unknown = draw(st.sampled_from(["bogus", "name_", "Us"]))
        kwargs.insert(draw(st.integers(0, len(kwargs))), (unknown, draw(any_value)))
    elif fault == "given twice" and args:
        kwargs.insert(draw(st.integers(0, len(kwargs))),
                      (names[draw(st.integers(0, len(args) - 1))], draw(any_value)))
    return function, args, dict(kwargs)


@PROPERTY
@given(call=calls())
def test_random_calls_fail_exactly_as_the_model_says(panic_type, call):
    function, args, kwargs = call
    new = Fresh()
    expected = expected_outcome(function, args, kwargs, panic_type)
    try:
        SIGNATURES[function][1](new)(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - panics included
        assert expected is not None, f"unexpected {exc!r}"
        exc_type, message, note = expected
        assert (type(exc), str(exc)) == (exc_type, message)
        assert getattr(exc, "__notes__", None) == ([note] if note else None)
    else:
        assert expected is None, f"expected {expected}, nothing raised"
    finally:
        new.sampler.stop()


# ---------------------------------------------------------------- sampler churn


def test_sampler_churn_leaves_no_thread_behind():
    before = thread_ids()
    rng = random.Random(20240607)
    samplers = [qc.BackgroundSampler() for _ in range(4)]
    for _ in range(400 * SCALE):
        i = rng.randrange(len(samplers))
        action = rng.choice(["start", "start", "stop", "drop"])
        if action == "start":
            samplers[i].start(rng.choice([0, 1, 5, 3_600_000]))
        elif action == "stop":
            samplers[i].stop()
        else:
            samplers[i] = qc.BackgroundSampler()  # the old one is freed, maybe running
        # An exited thread may linger in the listing for a moment after its join.
        assert len(thread_ids() - before) < 2 * len(samplers)
    del samplers
    assert only_threads_of(before)


def test_sampler_churn_from_threads_leaves_no_thread_behind(busy_switching):
    before = thread_ids()
    shared = [qc.BackgroundSampler(), qc.BackgroundSampler()]
    refused = []

    def churn(seed):
        rng = random.Random(seed)
        for _ in range(150 * SCALE):
            sampler = rng.choice(shared)
            try:
                if rng.random() < 0.6:
                    sampler.start(rng.choice([0, 1, 3_600_000]))
                else:
                    sampler.stop()
            except RuntimeError as exc:  # overlapping calls take turns: never refused
                refused.append(str(exc))
            own = qc.BackgroundSampler()
            own.start(rng.choice([0, 3_600_000]))
            del own  # freed while running

    run_threads([lambda s=s: churn(s) for s in range(4)])
    assert refused == []
    for sampler in shared:
        sampler.stop()
    del shared
    assert only_threads_of(before)


# ---------------------------------------------------------------- signal pipes from threads


# Four threads re-register three signals while the main thread sends them. Each
# registration swaps its pipe's write end into the table and closes the one it replaced,
# so when all is done exactly one write end per signal is open, the table's, and it is the
# one whose reader gets the next signal. Every read end stays open until the check, so a
# number closed and taken again by a later pipe is told apart by the pipe it belongs to.
def test_signal_pipes_registered_from_threads_close_every_replaced_write_end():
    result = run_python(f"""
        import os, resource, signal, threading, time, _quillmere_core as q
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)  # every read end stays open
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 1024 + {700 * SCALE})), hard))
        SIGNALS = (signal.SIGUSR1, signal.SIGUSR2, signal.SIGWINCH)
        before = set(os.listdir("/proc/self/fd"))
        pairs = {{s: [] for s in SIGNALS}}
        for s in SIGNALS:  # handled from the start: a flood never meets the default action
            pairs[s].append(q.register_signal_pipe(s))
        done = threading.Event()
        def register(seed):
            for n in range({150 * SCALE}):
                s = SIGNALS[(seed + n) % 3]
                pairs[s].append(q.register_signal_pipe(s))
        def flood():
            while not done.is_set():
                for s in SIGNALS:
                    signal.pthread_kill(threading.main_thread().ident, s)
                time.sleep(0.0005)
        threads = [threading.Thread(target=register, args=(seed,)) for seed in range(4)]
        sender = threading.Thread(target=flood)
        sender.start()
        for t in threads: t.start()
        for t in threads: t.join(120)
        done.set()
        sender.join(60)
        assert not any(t.is_alive() for t in threads + [sender])
        def pipe_of(fd):
            try:
                return os.fstat(fd).st_ino
            except OSError:
                return None
        def drain(fd):  # up to end of file, or to what is not written yet
            try:
                while os.read(fd, 65536):
                    pass
            except BlockingIOError:
                pass
        table = set()
        for s, registered in pairs.items():
            for r, _ in registered:
                drain(r)
            open_writers = [(r, w) for r, w in registered if pipe_of(w) == pipe_of(r)]
            assert len(open_writers) == 1, (s, len(registered), open_writers)
            (reader, writer), = open_writers
            signal.raise_signal(s)
            assert os.read(reader, 16) == b"\\x01"
            table.add(str(writer))
            for r, _ in registered:
                os.close(r)
        # Nothing else is left: the table's write ends stay, as they must. (Each listing
        # holds one descriptor of its own, not always by the same number.)
        after = set(os.listdir("/proc/self/fd"))
        assert table <= after and len(after) == len(before) + len(table), (before, after, table)
        print(sum(len(p) for p in pairs.values()))
    """)
    assert int(result.stdout) == 3 + 4 * 150 * SCALE


# ---------------------------------------------------------------- link targets


FRAGMENTS = st.sampled_from([
    b"a", "\u00e9".encode(), "\u20ac".encode(), "\U0001f600".encode(), "\ufffd".encode(),
    b"\xe2\x82", b"\xf0\x9f\x98", b"\xed\xa0\x80", b"\xc0\xaf", b"\xe0\x80", b"\xf4\x90\x80\x80",
    b"\xf5", b"\x80", b"\xbf", b"\xff",
])
FILE_NAMES = st.lists(st.one_of(FRAGMENTS, st.binary(min_size=1, max_size=4)), min_size=1,
                      max_size=16).map(b"".join).filter(
    lambda name: b"/" not in name and b"\0" not in name and name not in (b".", b".."))


@PROPERTY
@given(name=FILE_NAMES)
def test_link_targets_are_repaired_like_pythons_decoder(name):
    with tempfile.TemporaryDirectory() as folder:
        path = os.fsencode(folder) + b"/" + name
        fd = os.open(path, os.O_CREAT | os.O_RDONLY, 0o600)
        try:
            targets = [t for t in qc.list_open_fds() if t.startswith(folder + "/")]
        finally:
            os.close(fd)
            os.unlink(path)
    assert targets == [path.decode("utf-8", "replace")]
