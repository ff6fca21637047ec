"""IpcStats as Python code meets it."""
import threading
from fractions import Fraction

import pytest

import _quillmere_core as qc

from conftest import ipc_report, needs_plain_allocator

U64_MAX = 2**64 - 1


def stats_with(capacity, samples, name="ctl"):
    stats = qc.IpcStats(name, capacity)
    for sample in samples:
        stats.record_latency_us(sample)
    return stats


def test_new_instance_reports_zeros():
    stats = qc.IpcStats("ctl", 4)
    assert (stats.avg_latency_us(), stats.p99_latency_us()) == (0.0, 0.0)
    assert (stats.total_messages(), stats.peak_depth()) == (0, 0)
    assert stats.report() == ipc_report("ctl", 0, 0, 0, 0)


def test_report_format():
    stats = stats_with(4, [100, 200, 300])
    stats.record_depth(3)
    stats.record_depth(7)
    assert stats.report() == ipc_report("ctl", 3, 200, 300, 7)


@pytest.mark.parametrize(
    "samples, mean, p99",
    [([0, 0, 0, 1], 0.25, 1), ([0, 1, 1, 1], 0.75, 1), ([U64_MAX], 2.0**64, 2**64)],
)
def test_report_rounds_half_to_even(samples, mean, p99):
    assert stats_with(4, samples).report() == ipc_report("ctl", len(samples), mean, p99, 0)


def test_empty_name_and_non_ascii_name():
    assert qc.IpcStats("", 1).report() == ipc_report("", 0, 0, 0, 0)
    assert qc.IpcStats("canal-é", 1).name() == "canal-é"


def test_depth_peak_only_rises():
    stats = qc.IpcStats("d", 1)
    stats.record_depth(5)
    stats.record_depth(3)
    assert stats.peak_depth() == 5
    stats.record_depth(4294967295)
    with pytest.raises(OverflowError):
        stats.record_depth(4294967296)
    assert stats.peak_depth() == 4294967295


def test_extreme_latencies():
    stats = qc.IpcStats("x", 2)
    stats.record_latency_us(U64_MAX)
    with pytest.raises(OverflowError):
        stats.record_latency_us(-1)
    assert stats.total_messages() == 1
    # The largest latency reaches Python as the nearest float.
    assert stats.avg_latency_us() == stats.p99_latency_us() == 18446744073709551616.0


def test_means_of_sums_past_2_53_are_rounded_once():
    # Converting such a sum to a double rounds it once, and the division again; the window
    # models of test_stress.py check the rest.
    stats = stats_with(3, [2**53 + 1, 0, 0])
    assert stats.avg_latency_us() == float(Fraction(2**53 + 1, 3)) == 3002399751580331.0
    assert stats.report() == ipc_report("ctl", 3, 3002399751580331.0, 2**53 + 1, 0)


@pytest.mark.parametrize(
    "capacity, exc_type, args",
    [(2**60, BaseException, ("capacity overflow",)), (U64_MAX, BaseException, ("capacity overflow",)),
     pytest.param(2**59, MemoryError, (), marks=needs_plain_allocator)],
)
def test_impossible_capacities(capacity, exc_type, args):
    with pytest.raises(exc_type) as info:
        qc.IpcStats("big", capacity)
    assert info.value.args == args


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_large_window_costs_no_memory_until_filled():
    before = resident_bytes()
    stats = stats_with(2**28, [1, 2, 3])  # 2 GiB of slots
    assert resident_bytes() - before < 64 * 2**20
    assert stats.avg_latency_us() == 2.0


def test_concurrent_recorders_lose_nothing():
    stats = qc.IpcStats("threads", 16)
    per_thread = 5000

    def work(offset):
        for i in range(per_thread):
            stats.record_latency_us(10)
            stats.record_depth(offset + i)
            if i % 500 == 0:
                stats.report()

    threads = [threading.Thread(target=work, args=(k * per_thread,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert stats.total_messages() == 4 * per_thread
    assert stats.peak_depth() == 4 * per_thread - 1
    assert stats.avg_latency_us() == 10.0
