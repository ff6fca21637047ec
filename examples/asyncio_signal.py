"""Waits for SIGUSR1 in an asyncio event loop, through the pipe of register_signal_pipe.

The handler only writes a byte, so the signal becomes input like any other: the loop
watches the read end with add_reader, from whichever thread runs it (the loop's own
add_signal_handler works only in the main thread). The program sends itself the signal
after --delay seconds and gives up after --timeout.

    ./dev run python3 examples/asyncio_signal.py --delay 0.5
"""
import argparse
import asyncio
import os
import signal
import sys

import _quillmere_core as qc


async def next_signal(read_fd: int) -> bytes:
    """The bytes waiting on the pipe once it is readable: one per delivery."""
    loop = asyncio.get_running_loop()
    readable: asyncio.Future[None] = loop.create_future()
    loop.add_reader(read_fd, readable.set_result, None)
    try:
        await readable
    finally:
        loop.remove_reader(read_fd)
    return os.read(read_fd, 64)


async def main(delay: float, timeout: float) -> int:
    read_fd, _ = qc.register_signal_pipe(signal.SIGUSR1)
    loop = asyncio.get_running_loop()
    print(f"waiting for SIGUSR1 on descriptor {read_fd}, sent in {delay:.1f} s, "
          f"giving up after {timeout:.1f} s")
    loop.call_later(delay, os.kill, os.getpid(), signal.SIGUSR1)
    started = loop.time()
    try:
        received = await asyncio.wait_for(next_signal(read_fd), timeout)
    except TimeoutError:
        print("no SIGUSR1 arrived")
        return 1
    print(f"SIGUSR1 arrived after {loop.time() - started:.1f} s as {received!r}")
    return 0


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--delay", type=float, default=0.5, help="seconds before the signal is sent")
    parser.add_argument("--timeout", type=float, default=5.0, help="seconds to wait at most")
    options = parser.parse_args()
    sys.exit(asyncio.run(main(options.delay, options.timeout)))
