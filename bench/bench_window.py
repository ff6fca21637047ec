"""Reading the window: the mean is O(1) whatever the size, the percentile is a selection."""
import random

import numpy

import _quillmere_core as qc
from floors.build_floors import load as load_floors
from harness import check, measure, measure_calls, report

SIZES = (1_000, 100_000, 1_000_000)


def main():
    floors = load_floors()
    rng = random.Random(7)
    goals, results = {}, {}
    for size in SIZES:
        samples = [rng.randrange(1, 10**6) for _ in range(size)]
        stats = qc.IpcStats("window", size)
        for sample in samples:
            stats.record_latency_us(sample)
        floors.window_fill(samples)
        array = numpy.array(samples, dtype=numpy.uint64)
        k = min(size * 99 // 100, size - 1)

        # Every candidate must give the same answer before its time means anything.
        assert stats.avg_latency_us() == floors.window_sum_mean() == sum(samples) / size
        assert stats.p99_latency_us() == floors.window_nth_element() == float(numpy.partition(array, k)[k])

        # Statements, unrolled, as for the recording calls: the floor is the same no-op call
        # with one converted argument; the no-argument no-op, which also skips creating a
        # result, is shown beside it.
        mean_timings = timings = measure_calls({
            "avg_latency_us()": "stats.avg_latency_us()",
            "no-op native call (floor)": "noop1(120)",
            "no-op call without arguments": "noop0()",
            "C++ sum over the window": "floors.window_sum_mean()",
            "numpy mean": "array.mean()",
        }, {"stats": stats, "noop1": floors.noop1, "noop0": floors.noop0, "floors": floors,
            "array": array}, rounds=21 if size < 10**6 else 11)
        mean_ratios = report(f"mean over {size:,} samples", timings, anchor="no-op native call (floor)")

        timings = measure({
            "p99_latency_us()": stats.p99_latency_us,
            "copy + nth_element (floor)": floors.window_nth_element,
            "copy + sort": floors.window_sort,
            "numpy partition": lambda: numpy.partition(array, k)[k],
        }, rounds=11 if size < 10**6 else 7)
        p99_ratios = report(f"99th percentile over {size:,} samples", timings,
                            anchor="copy + nth_element (floor)")
        results[size] = {"mean_ns": mean_timings, "p99_ns": timings}
        goals[size] = (mean_ratios["avg_latency_us()"], p99_ratios["p99_latency_us()"],
                       p99_ratios["numpy partition"])

    worst_mean = max(mean for mean, _, _ in goals.values())
    _, p99, numpy_ratio = goals[SIZES[-1]]
    print(f"\nwindow: avg_latency_us() costs at most {worst_mean:.2f}x the no-op floor at any size "
          f"(goal <= 1.5x); at 1e6 samples p99_latency_us() costs {p99:.2f}x copy+nth_element "
          f"(goal <= 1.2x) and {p99 / numpy_ratio:.2f}x numpy partition (goal <= 1.0x)")
    return {
        "windows": results,
        "checks": [check("avg_latency_us() vs the no-op floor, worst of 1e3, 1e5 and 1e6 samples",
                         worst_mean, "x", 1.5)],
    }


if __name__ == "__main__":
    main()
