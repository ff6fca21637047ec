import mmap
import os
import subprocess
import sys
import textwrap
import time

import pytest

import _quillmere_core as qc

# Under `./dev asan` the AddressSanitizer runtime is preloaded. Its allocator aborts on an
# impossible size instead of failing it, and it needs address space of its own, so the
# tests that exhaust memory on purpose cannot run there.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_plain_allocator = pytest.mark.skipif(
    UNDER_ASAN, reason="AddressSanitizer's allocator aborts instead of failing the allocation")


def resident_burst(size):
    """`size` bytes of memory, every page written, so resident at once; close() gives them
    back to the system. Freed heap memory may stay resident under some allocators (the
    free-threaded build's mimalloc keeps it), an unmapped region never does."""
    burst = mmap.mmap(-1, size)
    burst[::mmap.PAGESIZE] = b"x" * (size // mmap.PAGESIZE)
    return burst


def _panic_type():
    # The type is not exported; the only way to hold it is to catch one.
    try:
        qc.IpcStats("x", 2**60)
    except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
        return type(exc)
    raise AssertionError("capacity overflow did not panic")


@pytest.fixture(scope="session")
def panic_type():
    return _panic_type()


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
