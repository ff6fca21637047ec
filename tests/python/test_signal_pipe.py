"""register_signal_pipe: argument checks in process; anything that may install a handler
runs in a fresh interpreter."""
import signal
import textwrap

import pytest

import _quillmere_core as qc

from conftest import run_python

# Shared by the subprocesses: waits are generous, since only their failure costs time.
HELPERS = """\
import os, select, signal, threading, time
import _quillmere_core as qc

def next_byte(fd):
    ready, _, _ = select.select([fd], [], [], 10)
    assert ready, "no notification within 10 s"
    return os.read(fd, 1)

def pending(fd):
    try:
        return os.read(fd, 4096)
    except BlockingIOError:
        return b""

def open_fds():
    fds = set()
    for name in os.listdir("/proc/self/fd"):
        try:
            os.readlink(f"/proc/self/fd/{name}")
            fds.add(int(name))
        except FileNotFoundError:
            pass  # listdir's own descriptor, closed by now
    return fds

def caught_signals():
    with open("/proc/self/status") as status:
        return next(line for line in status if line.startswith("SigCgt:"))
"""


def run_with_helpers(code):
    return run_python(HELPERS + textwrap.dedent(code)).stdout.splitlines()


@pytest.mark.parametrize("signal_num", [0, -1, 128, 1000, -2**31, 2**31 - 1])
def test_numbers_outside_1_to_127_are_rejected(signal_num):
    with pytest.raises(ValueError) as info:
        qc.register_signal_pipe(signal_num)
    assert info.value.args == (f"Invalid signal number: {signal_num} (must be 1..128)",)
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("value, exc_type, message", [
    (2**31, OverflowError, "out of range integral type conversion attempted"),
    (-2**31 - 1, OverflowError, "out of range integral type conversion attempted"),
    (2**63, OverflowError, "Python int too large to convert to C long"),
    ("2", TypeError, "'str' object cannot be interpreted as an integer"),
    (2.0, TypeError, "'float' object cannot be interpreted as an integer"),
])
def test_conversion_failures_carry_the_note(value, exc_type, message):
    with pytest.raises(exc_type) as info:
        qc.register_signal_pipe(value)
    assert type(info.value) is exc_type
    assert info.value.args == (message,)
    assert info.value.__notes__ == ["while processing 'signal_num'"]


def test_text_signature_names_the_parameter():
    assert qc.register_signal_pipe.__text_signature__ == "(signal_num)"


def test_pipe_ends_are_non_blocking_close_on_exec_and_empty():
    assert run_with_helpers("""
        r, w = qc.register_signal_pipe(signal_num=signal.SIGUSR1)
        assert type(r) is int and type(w) is int
        for fd in (r, w):
            assert not os.get_blocking(fd) and not os.get_inheritable(fd)
        try:
            os.read(r, 1)
        except BlockingIOError:
            print("EAGAIN")
    """) == ["EAGAIN"]


def test_each_delivery_writes_one_byte_to_its_own_signals_pipe():
    assert run_with_helpers("""
        usr1, _ = qc.register_signal_pipe(signal.SIGUSR1)
        usr2, _ = qc.register_signal_pipe(signal.SIGUSR2)
        for sig, fd in [(signal.SIGUSR1, usr1), (signal.SIGUSR1, usr1),
                        (signal.SIGUSR2, usr2), (signal.SIGUSR1, usr1)]:
            os.kill(os.getpid(), sig)
            print(next_byte(fd), pending(usr1) + pending(usr2))
    """) == ["b'\\x01' b''"] * 4


def test_reregistration_closes_the_first_write_end():
    assert run_with_helpers("""
        first, _ = qc.register_signal_pipe(signal.SIGUSR1)
        os.kill(os.getpid(), signal.SIGUSR1)
        select.select([first], [], [], 10)
        second, _ = qc.register_signal_pipe(signal.SIGUSR1)
        os.kill(os.getpid(), signal.SIGUSR1)
        print(next_byte(second), pending(second))
        print(os.read(first, 16), os.read(first, 16))  # what was left, then end of file
    """) == ["b'\\x01' b''", "b'\\x01' b''"]


def test_signals_sigaction_refuses_leave_nothing_behind():
    # 32 and 33 are the C library's own; the kernel knows nothing above 64.
    refused = [9, 19, 32, 33, 65, 100, 127]
    lines = run_with_helpers(f"""
        before = open_fds(), caught_signals()
        for sig in {refused}:
            try:
                qc.register_signal_pipe(sig)
            except OSError as e:
                print(type(e).__name__, e.args, e.errno, hasattr(e, "__notes__"))
        assert (open_fds(), caught_signals()) == before
    """)
    assert lines == [
        "OSError ('sigaction failed: Invalid argument (os error 22)',) None False"
    ] * len(refused)


def test_pipe_failure_changes_nothing():
    assert run_with_helpers("""
        import resource
        before = open_fds(), caught_signals()
        limits = resource.getrlimit(resource.RLIMIT_NOFILE)
        lowest_free = os.dup(0)
        os.close(lowest_free)
        resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free + 1, limits[1]))  # one slot
        try:
            qc.register_signal_pipe(signal.SIGUSR1)
        except OSError as e:
            print(type(e).__name__, e.args)
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, limits)
        assert (open_fds(), caught_signals()) == before
        r, _ = qc.register_signal_pipe(signal.SIGUSR1)
        os.kill(os.getpid(), signal.SIGUSR1)
        print(next_byte(r))
    """) == ["OSError ('pipe failed: Too many open files (os error 24)',)", "b'\\x01'"]


def test_sigint_is_taken_from_the_interpreter():
    assert run_with_helpers("""
        r, _ = qc.register_signal_pipe(signal.SIGINT)
        os.kill(os.getpid(), signal.SIGINT)
        print(next_byte(r))
        sum(range(100_000))  # bytecode enough for a pending KeyboardInterrupt to surface
        print("no KeyboardInterrupt")
    """) == ["b'\\x01'", "no KeyboardInterrupt"]


# What docs/guide/signals.rst tells asyncio users about handlers and processes that share
# the signal.
@pytest.mark.parametrize("code, status, lines", [
    # A loop's handler replaces the module's; removing it leaves the default action.
    ("""
        import asyncio
        r, _ = qc.register_signal_pipe(signal.SIGUSR1)
        async def main():
            loop = asyncio.get_running_loop()
            ran = asyncio.Event()
            loop.add_signal_handler(signal.SIGUSR1, ran.set)
            os.kill(os.getpid(), signal.SIGUSR1)
            await asyncio.wait_for(ran.wait(), 10)
            print(pending(r), flush=True)
            loop.remove_signal_handler(signal.SIGUSR1)
            os.kill(os.getpid(), signal.SIGUSR1)
        asyncio.run(main())
     """, -signal.SIGUSR1, ["b''"]),
    # With the read end closed, the handler's write raises SIGPIPE once it is not ignored.
    ("""
        r, _ = qc.register_signal_pipe(signal.SIGUSR1)
        os.close(r)
        os.kill(os.getpid(), signal.SIGUSR1)
        print("SIGPIPE ignored", flush=True)
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGUSR1)
     """, -signal.SIGPIPE, ["SIGPIPE ignored"]),
    # A child forked after registration writes its signals into the parent's pipe.
    ("""
        r, _ = qc.register_signal_pipe(signal.SIGUSR1)
        if (child := os.fork()) == 0:
            os.kill(os.getpid(), signal.SIGUSR1)
            os._exit(0)
        os.waitpid(child, 0)
        print(next_byte(r))
     """, 0, ["b'\\x01'"]),
])
def test_others_sharing_the_signal(code, status, lines):
    result = run_python(HELPERS + textwrap.dedent(code), check=False)
    assert (result.returncode, result.stdout.splitlines()) == (status, lines), result.stderr


def test_flood_during_reregistration_never_writes_to_a_reused_descriptor(tmp_path):
    lines = run_with_helpers(f"""
        before = open_fds()
        held, write_end = qc.register_signal_pipe(signal.SIGUSR1)
        stop = threading.Event()

        def flood():
            deadline = time.monotonic() + 30
            while not stop.is_set() and time.monotonic() < deadline:
                os.kill(os.getpid(), signal.SIGUSR1)  # mostly handled on the main thread
                signal.pthread_kill(threading.get_ident(), signal.SIGUSR1)

        flooder = threading.Thread(target=flood)
        flooder.start()
        paths = []
        deadline = time.monotonic() + 20
        for i in range(300):
            if time.monotonic() > deadline:
                break
            r, write_end = qc.register_signal_pipe(signal.SIGUSR1)
            os.close(held)
            held = r
            paths.append(f"{tmp_path}/{{i}}")
            with open(paths[-1], "wb") as f:
                f.write(b"data")
        stop.set()
        flooder.join(60)
        assert not flooder.is_alive()

        while pending(held):
            pass
        os.kill(os.getpid(), signal.SIGUSR1)
        print(next_byte(held))
        print(len(paths) > 10, {{open(p, "rb").read() for p in paths}})
        print(open_fds() - before == {{held, write_end}} and before <= open_fds())
    """)
    assert lines == ["b'\\x01'", "True {b'data'}", "True"]
