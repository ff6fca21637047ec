"""An asyncio service driven by signals that arrive through register_signal_pipe.

The main thread runs asyncio.run(); SIGINT or SIGTERM stops the service. A worker thread
runs an event loop of its own, where add_signal_handler is refused, and counts SIGUSR1
by watching its pipe with add_reader. Send the signals from another shell (the first line
names the process) or press Ctrl-C:

    ./dev run python3 examples/asyncio_service.py
    kill -USR1 <pid>; kill -USR1 <pid>; kill -INT <pid>

asyncio.run() installs a SIGINT handler of its own when it starts and puts Python's
back when it returns, both over whatever handler the module had installed. So the service
registers SIGINT inside the running loop, and after asyncio.run() Ctrl-C raises
KeyboardInterrupt again. With --register-before-run it registers SIGINT first, and shows
that the runner then takes the signal: KeyboardInterrupt, and nothing on the pipe.
"""
import argparse
import asyncio
import os
import signal
import sys
import threading
from collections.abc import AsyncIterator

import _quillmere_core as qc


async def deliveries(read_fd: int) -> AsyncIterator[int]:
    """The number of deliveries waiting each time the pipe turns readable, until it ends."""
    loop = asyncio.get_running_loop()
    readable = asyncio.Event()
    loop.add_reader(read_fd, readable.set)
    try:
        while True:
            await readable.wait()
            readable.clear()
            try:
                data = os.read(read_fd, 4096)
            except BlockingIOError:
                continue  # someone else drained it first
            if not data:
                return  # the signal was registered again, which ends this pipe
            yield len(data)
    finally:
        loop.remove_reader(read_fd)


async def first_signal(pipes: dict[signal.Signals, int]) -> signal.Signals:
    """The first of the signals whose pipe turns readable; the byte stays on the pipe."""
    loop = asyncio.get_running_loop()
    arrived: asyncio.Future[signal.Signals] = loop.create_future()

    def wake(signum: signal.Signals) -> None:
        if not arrived.done():
            arrived.set_result(signum)

    for signum, read_fd in pipes.items():
        loop.add_reader(read_fd, wake, signum)
    try:
        return await arrived
    finally:
        for read_fd in pipes.values():
            loop.remove_reader(read_fd)


class Worker:
    """A thread with an event loop of its own, counting SIGUSR1 until told to stop."""

    def __init__(self, read_fd: int) -> None:
        self._read_fd = read_fd
        self._ready = threading.Event()
        self._stop: asyncio.Event | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread = threading.Thread(target=asyncio.run, args=(self._serve(),),
                                        name="signal-worker")

    def start(self) -> None:
        # The thread is made with SIGINT and SIGTERM blocked, so the kernel always gives them
        # to the main thread. Python's own handler (the runner's) only marks the signal and
        # wakes nothing: taken on this thread, it would wait until the main loop woke for
        # another reason.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
        try:
            self._thread.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        self._ready.wait()

    def stop(self) -> None:
        """Stops the loop from any thread and joins the thread."""
        assert self._loop is not None and self._stop is not None
        self._loop.call_soon_threadsafe(self._stop.set)
        self._thread.join()

    async def _serve(self) -> None:
        self._loop = asyncio.get_running_loop()
        self._stop = asyncio.Event()
        try:
            # Python delivers signal handlers to the main thread only, so asyncio refuses.
            self._loop.add_signal_handler(signal.SIGUSR1, lambda: None)
        except RuntimeError as exc:
            print(f"worker loop: add_signal_handler refused ({exc}); add_reader on the pipe")
        self._ready.set()
        count = 0

        async def count_signals() -> None:
            nonlocal count
            async for arrived in deliveries(self._read_fd):
                for _ in range(arrived):
                    count += 1
                    print(f"worker loop: SIGUSR1 #{count}")

        counter = asyncio.create_task(count_signals())
        await self._stop.wait()
        counter.cancel()
        print(f"worker loop: stopped after {count} SIGUSR1")


def pending(read_fd: int | None) -> bytes:
    """What waits on a pipe, without waiting."""
    try:
        return b"" if read_fd is None else os.read(read_fd, 64)
    except BlockingIOError:
        return b""


async def serve(pipes: dict[signal.Signals, int], timeout: float) -> int:
    if signal.SIGINT not in pipes:
        # Here, inside the running loop, the module's handler replaces the runner's.
        pipes[signal.SIGINT], _ = qc.register_signal_pipe(signal.SIGINT)
    print(f"pid {os.getpid()}: SIGUSR1 counts on the worker loop, SIGINT or SIGTERM stops "
          f"(at most {timeout:.1f} s)")
    worker = Worker(pipes[signal.SIGUSR1])
    worker.start()
    try:
        async with asyncio.timeout(timeout):
            signum = await first_signal({s: pipes[s] for s in (signal.SIGINT, signal.SIGTERM)})
    except TimeoutError:
        print(f"no SIGINT or SIGTERM within {timeout:.1f} s")
        return 1
    finally:
        # A service cancelled by the runner's SIGINT handler stops its worker too.
        worker.stop()
    print(f"main loop: {signum.name} arrived on its pipe, service stopped")
    return 0


def main(register_before_run: bool, timeout: float) -> int:
    # asyncio.run() leaves every signal but SIGINT alone, so these may come first.
    signals = [signal.SIGUSR1, signal.SIGTERM] + [signal.SIGINT] * register_before_run
    pipes = {signum: qc.register_signal_pipe(signum)[0] for signum in signals}
    try:
        status = asyncio.run(serve(pipes, timeout))
    except KeyboardInterrupt:
        print(f"SIGINT reached asyncio.run's own handler as KeyboardInterrupt; "
              f"the pipe holds {pending(pipes.get(signal.SIGINT))!r}")
        status = 1
    # The runner has put Python's handler back over the module's.
    try:
        signal.raise_signal(signal.SIGINT)
    except KeyboardInterrupt:
        print("after asyncio.run: SIGINT raises KeyboardInterrupt again")
    return status


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--register-before-run", action="store_true",
                        help="register SIGINT before asyncio.run(), which then takes it over")
    parser.add_argument("--timeout", type=float, default=60.0,
                        help="seconds to wait for SIGINT or SIGTERM at most")
    options = parser.parse_args()
    sys.exit(main(options.register_before_run, options.timeout))
