"""A short tour of _quillmere_core: run it with `./dev demo`."""
import threading

import _quillmere_core as qc


def main():
    print(f"_quillmere_core {qc.probe_version()}: {', '.join(qc.__all__)}")

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


if __name__ == "__main__":
    main()
