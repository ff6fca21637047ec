"""CPU cost of BackgroundSampler beside a Python thread sampling psutil at the same interval."""
import resource
import threading
import time

import psutil

import _quillmere_core as qc

WINDOW_SECONDS = 2.0


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def native_share(interval_ms):
    sampler = qc.BackgroundSampler()
    before = cpu_seconds()
    sampler.start(interval_ms)
    time.sleep(WINDOW_SECONDS)
    peak = sampler.stop()
    assert peak > 0
    return (cpu_seconds() - before) / WINDOW_SECONDS


def psutil_share(interval_ms):
    process = psutil.Process()
    stop = threading.Event()
    peak = [0]

    def sample():
        while not stop.is_set():
            peak[0] = max(peak[0], process.memory_info().rss)
            time.sleep(interval_ms / 1000)

    thread = threading.Thread(target=sample)
    before = cpu_seconds()
    thread.start()
    time.sleep(WINDOW_SECONDS)
    stop.set()
    thread.join()
    assert peak[0] > 0
    return (cpu_seconds() - before) / WINDOW_SECONDS


def main():
    print("\nsampler CPU, share of one core while the main thread sleeps")
    for interval_ms in (1, 10):
        # Alternate so drift in machine speed falls on both alike.
        native, python = [], []
        for round_number in range(3):
            pair = (native_share, psutil_share) if round_number % 2 == 0 else (psutil_share, native_share)
            for measure in pair:
                (native if measure is native_share else python).append(measure(interval_ms))
        native_median, python_median = sorted(native)[1], sorted(python)[1]
        print(f"  {interval_ms:>2} ms: BackgroundSampler {native_median:6.1%}   "
              f"psutil thread {python_median:6.1%}   ({python_median / native_median:.2f}x)")


if __name__ == "__main__":
    main()
