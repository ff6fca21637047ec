#include "stats/latency_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <numeric>
#include <optional>
#include <random>
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace ipc_probe {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

double p99(const LatencyRing& ring) {
    if (ring.size() == 0) return 0.0;
    RankCandidates candidates = ring.gather_rank(p99_rank(ring.size()));
    return static_cast<double>(select_rank(candidates));
}

std::vector<detail::Pass> passes() {
    if (detail::four_at_a_time_supported()) {
        return {detail::Pass::one_at_a_time, detail::Pass::four_at_a_time};
    }
    return {detail::Pass::one_at_a_time};
}

LatencyRing ring_with(std::uint64_t capacity, const std::vector<std::uint64_t>& samples) {
    auto ring = LatencyRing::create(capacity);
    EXPECT_TRUE(ring.has_value());
    for (std::uint64_t sample : samples) ring->record(sample);
    return std::move(*ring);
}

std::vector<std::uint64_t> one_to(std::uint64_t n) {
    std::vector<std::uint64_t> samples(n);
    std::iota(samples.begin(), samples.end(), std::uint64_t{1});
    return samples;
}

TEST(LatencyRing, KeepsTheNewestSamplesUpToItsCapacity) {
    struct Case {
        std::uint64_t capacity;
        std::vector<std::uint64_t> samples;
        double mean, p99;
        std::size_t size;
    };
    const Case cases[] = {
        {4, {}, 0.0, 0.0, 0},
        {3, {10, 20, 30, 40}, 30.0, 40.0, 3},
        {0, {5, 9}, 9.0, 9.0, 1},  // capacity 0 behaves as capacity 1
        {1, {5, 9}, 9.0, 9.0, 1},
        {4, {0, 0, 0, 1}, 0.25, 1.0, 4},
        {2, {kMax, kMax, kMax}, static_cast<double>(kMax), static_cast<double>(kMax), 2},
        // The running sum is exact: a 64-bit sum would wrap to 0 here.
        {2, {std::uint64_t{1} << 63, std::uint64_t{1} << 63}, 9223372036854775808.0,
         9223372036854775808.0, 2},
        {100, one_to(100), 50.5, 100.0, 100},
        {101, one_to(101), 51.0, 100.0, 101},
        {1000, one_to(1000), 500.5, 991.0, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "capacity " << c.capacity << ", " << c.samples.size()
                                        << " samples");
        const LatencyRing ring = ring_with(c.capacity, c.samples);
        EXPECT_EQ(ring.size(), c.size);
        EXPECT_EQ(ring.mean(), c.mean);
        EXPECT_EQ(p99(ring), c.p99);
        // The statistics read the mean from the totals the locked ring publishes after each
        // record, its sum split in two words: rejoined, they must give the same answer.
        LockedRing locked(LatencyRing::create(c.capacity).value());
        for (const std::uint64_t sample : c.samples) locked.record(sample);
        EXPECT_EQ(locked.mean(), c.mean);
        EXPECT_EQ(locked.p99(), c.p99);
    }
}

TEST(LatencyRing, MeanStaysExactAcrossManyEvictions) {
    LatencyRing ring = ring_with(3, {});
    for (std::uint64_t i = 0; i < 10'000; ++i) ring.record(kMax - i);
    // The window holds kMax-9999, kMax-9998, kMax-9997: mean kMax-9998, rounded to double.
    EXPECT_EQ(ring.mean(), static_cast<double>(kMax - 9998));
}

TEST(LatencyRing, PercentilePicksTheSampleAtFloorOfNinetyNinePercent) {
    struct Case {
        std::uint64_t count;
        double expected;
    };
    for (const Case c : {Case{100, 100.0}, Case{101, 100.0}, Case{199, 198.0}, Case{200, 199.0},
                         Case{1000, 991.0}}) {
        SCOPED_TRACE(c.count);
        LatencyRing ring = ring_with(c.count, {});
        // Recorded in descending order so the answer cannot come from insertion order.
        for (std::uint64_t v = c.count; v >= 1; --v) ring.record(v);
        EXPECT_EQ(p99(ring), c.expected);
    }
}

TEST(LatencyRing, PercentileSelectionAgreesWithSortingOnLargeWindows) {
    // Small windows are copied whole; the others are narrowed around a guess. Either way
    // the answer is the sorted sample at floor(n * 0.99), whatever the spread of the values.
    std::mt19937_64 rng(11);
    const auto uniform = [&rng](std::uint64_t low, std::uint64_t high) {
        return [&rng, low, high] { return std::uniform_int_distribution(low, high)(rng); };
    };
    struct Distribution {
        const char* name;
        std::function<std::uint64_t()> next;
    };
    const Distribution distributions[] = {
        {"latencies", uniform(1, 1'000'000)},
        {"full range", uniform(0, kMax)},
        {"near the top", uniform(kMax - 5000, kMax)},
        {"few values", uniform(7, 9)},
        {"one value", uniform(42, 42)},
        {"powers of two", [&rng] { return std::uint64_t{1} << (rng() % 64); }},
        // The guess's low bound lands on the much tied value, whose ties must be counted.
        {"ties below the percentile",
         [&rng] { return rng() % 1000 < 989 ? std::uint64_t{100} : 200 + rng() % 100'000; }},
        // A burst of large values recorded last sits together at the end of the window.
        {"a late burst", [&rng, i = std::uint64_t{0}]() mutable {
             return ++i % 250'000 > 247'000 ? 1'000'000 + rng() % 1000 : rng() % 1000;
         }},
    };
    for (const Distribution& d : distributions) {
        for (const std::size_t n : {std::size_t{1023}, std::size_t{1024}, std::size_t{2049},
                                    std::size_t{40'000}, std::size_t{250'000}}) {
            SCOPED_TRACE(testing::Message() << d.name << ", " << n << " samples");
            LatencyRing ring = LatencyRing::create(n).value();
            std::vector<std::uint64_t> reference;
            for (std::size_t i = 0; i < n + n / 3; ++i) {  // wrap round too
                const std::uint64_t v = d.next();
                ring.record(v);
                reference.push_back(v);
            }
            reference.erase(reference.begin(), reference.end() - static_cast<std::ptrdiff_t>(n));
            std::sort(reference.begin(), reference.end());
            const auto expected = static_cast<double>(reference[n * 99 / 100]);
            EXPECT_EQ(p99(ring), expected);
            EXPECT_EQ(LockedRing(std::move(ring)).p99(), expected);  // small ones on the stack
        }
    }
}

// The pass behind large windows, with the bounds a guess might give: it must keep exactly
// what the selection needs, and admit every miss instead of answering wrongly.
TEST(LatencyRing, KeepAroundAnswersOrAdmitsAMiss) {
    // Sorted: 1 2 3 3 3 4 5 6 7 8 (ranks 0..9); shuffled, as a window would be.
    const std::vector<std::uint64_t> window = {5, 3, 8, 1, 3, 7, 2, 6, 3, 4};
    constexpr std::optional<std::uint64_t> kMiss;
    struct Case {
        std::size_t rank;
        std::uint64_t low, high;
        std::size_t capacity;
        std::optional<std::uint64_t> expected;
    };
    const Case cases[] = {
        {5, 3, 6, 10, 4},       // inside the bounds
        {2, 3, 6, 10, 3},       // a tie at the low bound: counted, not kept
        {4, 3, 3, 0, 3},        // both bounds on the tie: nothing kept at all
        {7, 3, 6, 10, 6},       // on the high bound, which is kept
        {1, 3, 6, 10, kMiss},   // below the low bound
        {8, 3, 6, 10, kMiss},   // above the high bound
        {5, 3, 6, 2, kMiss},    // three would be kept, room for two
        {5, 3, 6, 3, 4},        // exactly full
        {0, 0, kMax, 10, 1},    // the widest bounds
        {9, 0, kMax, 10, 8},
    };
    for (const detail::Pass pass : passes()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "pass " << static_cast<int>(pass) << ", rank "
                                            << c.rank << " in (" << c.low << ", " << c.high
                                            << "], room for " << c.capacity);
            RankCandidates out;
            const bool hit =
                detail::keep_around(window, c.rank, c.low, c.high, c.capacity, out, pass);
            ASSERT_EQ(hit, c.expected.has_value());
            if (hit) {
                EXPECT_EQ(select_rank(out), *c.expected);
            }
        }
    }
}

// Both ways through the pass must keep the same samples in the same order and count the
// same, with lanes, leftovers and ties at the low bound all in play.
TEST(LatencyRing, KeepAroundPassesAgree) {
    if (!detail::four_at_a_time_supported()) GTEST_SKIP() << "no AVX2 here";
    std::mt19937_64 rng(5);
    std::vector<std::uint64_t> window(10'003);
    for (auto& v : window) v = rng() % 2000;
    for (const std::uint64_t low : {std::uint64_t{0}, std::uint64_t{990}, std::uint64_t{1999}}) {
        for (const std::uint64_t high : {low, low + 30, kMax}) {
            for (const std::size_t rank : {std::size_t{0}, std::size_t{5000}, std::size_t{9990},
                                           std::size_t{10'002}}) {
                SCOPED_TRACE(testing::Message() << "rank " << rank << " in (" << low << ", "
                                                << high << "]");
                RankCandidates one, four;
                const bool hit = detail::keep_around(window, rank, low, high, window.size(), one,
                                                     detail::Pass::one_at_a_time);
                ASSERT_EQ(detail::keep_around(window, rank, low, high, window.size(), four,
                                              detail::Pass::four_at_a_time),
                          hit);
                if (!hit) continue;
                EXPECT_TRUE(std::ranges::equal(one.values, four.values));
                EXPECT_EQ(one.rank, four.rank);
            }
        }
    }
}

TEST(LatencyRing, RefusesCapacitiesThatCannotBeAddressed) {
    for (const std::uint64_t capacity : {std::uint64_t{1} << 60, kMax}) {
        SCOPED_TRACE(capacity);
        auto ring = LatencyRing::create(capacity);
        ASSERT_FALSE(ring.has_value());
        EXPECT_EQ(ring.error().message, "capacity overflow");
    }
}

TEST(LatencyRing, ReportsExhaustedMemoryAsBadAlloc) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizer's allocator aborts on an impossible size instead of throwing";
#endif
    EXPECT_THROW(static_cast<void>(LatencyRing::create(std::uint64_t{1} << 59)), std::bad_alloc);
}

// Recorders of 100s and of 300s, and readers, all at once (ThreadSanitizer checks the lock):
// every window holds only those two values, so a reader must never see a mean outside
// them or a percentile that is neither. The window is large enough to take the radix path.
TEST(LockedRing, ReadsTheMeanOfARingThatComesWithSamples) {
    LatencyRing ring = LatencyRing::create(4).value();
    for (const std::uint64_t us : {10, 20, 60}) ring.record(us);
    const LockedRing locked(std::move(ring));
    EXPECT_EQ(locked.mean(), 30.0);
}

TEST(LockedRing, ReadersSeeOnlyWholeWindowsWhileRecordersRun) {
    LockedRing ring(LatencyRing::create(3000).value());
    constexpr int kPerRecorder = 20'000;
    // Bounded too: a reader holds the lock for a whole copy, and the lock is not fair.
    constexpr int kMaxReadsEach = 500;
    std::atomic<bool> recording = true;
    std::atomic<int> reads = 0, torn = 0;
    {
        std::vector<std::jthread> readers;
        for (int r = 0; r < 2; ++r) {
            readers.emplace_back([&] {
                for (int i = 0; i < kMaxReadsEach && recording.load(); ++i) {
                    const double mean = ring.mean(), p99 = ring.p99();
                    if ((mean != 0.0 && (mean < 100.0 || mean > 300.0)) ||
                        (p99 != 0.0 && p99 != 100.0 && p99 != 300.0)) {
                        torn.fetch_add(1);
                    }
                    reads.fetch_add(1);
                }
            });
        }
        {
            std::vector<std::jthread> recorders;
            for (const std::uint64_t value : {100u, 300u}) {
                recorders.emplace_back([&ring, value] {
                    for (int i = 0; i < kPerRecorder; ++i) ring.record(value);
                });
            }
        }
        recording = false;
    }
    EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
    const double mean = ring.mean();
    EXPECT_GE(mean, 100.0);
    EXPECT_LE(mean, 300.0);
}

// The mean is read without the lock, so a reader must never pair the sum of one window
// with the count of another, nor the two halves of the sum across a carry. Every sample
// is 2^63, so the sum carries into its high half at every other record and any whole
// window's mean is exactly 2^63.
TEST(LockedRing, MeanIsNeverTornWhileRecordersRun) {
    constexpr std::uint64_t kSample = std::uint64_t{1} << 63;
    constexpr int kPerRecorder = 100'000;
    LockedRing ring(LatencyRing::create(2 * kPerRecorder).value());
    std::atomic<bool> recording = true;
    std::atomic<int> reads = 0, torn = 0;
    {
        std::vector<std::jthread> readers;
        for (int r = 0; r < 2; ++r) {
            readers.emplace_back([&] {
                while (recording.load()) {
                    const double mean = ring.mean();
                    if (mean != 0.0 && mean != static_cast<double>(kSample)) torn.fetch_add(1);
                    reads.fetch_add(1);
                }
            });
        }
        std::vector<std::jthread> recorders;
        for (int r = 0; r < 2; ++r) {
            recorders.emplace_back([&ring] {
                for (int i = 0; i < kPerRecorder; ++i) ring.record(kSample);
            });
        }
        for (auto& recorder : recorders) recorder.join();
        recording = false;
    }
    EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
    EXPECT_EQ(ring.mean(), static_cast<double>(kSample));
}

}  // namespace
}  // namespace ipc_probe
