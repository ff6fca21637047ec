"""A short tour of _quillmere_core: run it with `./dev demo`."""
import os
import selectors
import signal
import threading
import time

import _quillmere_core as qc


def resources_tour():
    snapshot = qc.snapshot_resources()
    print(snapshot)
    print(f"  rss {snapshot.rss_bytes} B = {snapshot.rss_mb():.3f} MiB, "
          f"vms {snapshot.vms_mb():.1f} MiB, taken at {snapshot.timestamp_ns} ns")
    print("  open descriptors (the listing's own included):")
    for target in qc.list_open_fds():
        print(f"    {target}")


def channels_tour():
    # One IpcStats per traced channel; record from any thread, read any time.
    control = qc.IpcStats("control", ring_capacity=256)

    def traced_channel(worker):
        for i in range(1000):
            control.record_latency_us(50 + (i * 7 + worker * 13) % 200)
            if i % 100 == 0:
                control.record_depth(i // 100 + worker)

    workers = [threading.Thread(target=traced_channel, args=(w,)) for w in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()

    print(control.report())
    print(f"  mean over the last 256: {control.avg_latency_us():.2f} µs, "
          f"p99 {control.p99_latency_us():.0f} µs, {control.total_messages()} messages")


def socket_tour():
    sock = qc.SocketStats("upstream", ring_capacity=64)
    for i in range(100):
        sock.record_send(1500, latency_us=80 + i % 40)
        sock.record_recv(512, buffer_used_pct=10 + i % 55)
    print(sock.report())


def sampler_tour():
    # The sampling thread is native: it keeps sampling while this thread holds the
    # interpreter lock, so the short-lived burst below shows in the peak.
    sampler = qc.BackgroundSampler()
    baseline = qc.snapshot_resources().rss_bytes
    sampler.start(1)
    burst = b"x" * (64 * 2**20)
    spin_until = time.monotonic() + 0.3
    while time.monotonic() < spin_until:
        pass
    del burst
    peak = sampler.stop()
    now = qc.snapshot_resources().rss_bytes
    print(f"sampler: peak rss {peak / 2**20:.1f} MiB during a 64 MiB burst "
          f"(before {baseline / 2**20:.1f} MiB, after {now / 2**20:.1f} MiB)")


def signal_pipe_tour():
    # SIGUSR1 now writes a byte to a pipe instead of ending the process, so waiting for it
    # is waiting for input. The registration lasts for the life of the process.
    read_fd, _ = qc.register_signal_pipe(signal.SIGUSR1)
    os.kill(os.getpid(), signal.SIGUSR1)
    with selectors.DefaultSelector() as selector:
        selector.register(read_fd, selectors.EVENT_READ)
        ready = selector.select(timeout=5)
    if ready:
        print(f"SIGUSR1 arrived on descriptor {read_fd} as {os.read(read_fd, 1)!r}")
    else:
        print("SIGUSR1 did not arrive within 5 s")


def main():
    print(f"_quillmere_core {qc.probe_version()}: {', '.join(qc.__all__)}")
    resources_tour()
    channels_tour()
    socket_tour()
    sampler_tour()
    signal_pipe_tour()


if __name__ == "__main__":
    main()
