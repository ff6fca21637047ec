#include "stats/latency_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <algorithm>
#include <atomic>
#include <string_view>
#include <thread>
#include <vector>

namespace ipc_probe {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

double p99(const LatencyRing& ring) {
    std::vector<std::uint64_t> samples;
    const std::uint64_t differing = ring.copy_samples(samples);
    return p99_of(samples, differing);
}

LatencyRing ring_with(std::uint64_t capacity, const std::vector<std::uint64_t>& samples) {
    auto ring = LatencyRing::create(capacity);
    EXPECT_TRUE(ring.has_value());
    for (std::uint64_t sample : samples) ring->record(sample);
    return std::move(*ring);
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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "capacity " << c.capacity << ", " << c.samples.size()
                                        << " samples");
        const LatencyRing ring = ring_with(c.capacity, c.samples);
        EXPECT_EQ(ring.size(), c.size);
        EXPECT_EQ(ring.mean(), c.mean);
        EXPECT_EQ(p99(ring), c.p99);
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
    // Large enough windows take the radix selection path; the answer must be the sorted
    // sample at floor(n * 0.99) whatever the spread of the values.
    std::mt19937_64 rng(11);
    struct Distribution {
        const char* name;
        std::uint64_t low, high;
    };
    for (const Distribution d : {Distribution{"latencies", 1, 1'000'000},
                                 Distribution{"full range", 0, kMax},
                                 Distribution{"near the top", kMax - 5000, kMax},
                                 Distribution{"few values", 7, 9},
                                 Distribution{"one value", 42, 42},
                                 Distribution{"powers of two", 0, 63}}) {
        for (const std::size_t n : {std::size_t{2049}, std::size_t{10'000}, std::size_t{250'000}}) {
            SCOPED_TRACE(testing::Message() << d.name << ", " << n << " samples");
            std::uniform_int_distribution<std::uint64_t> pick(d.low, d.high);
            LatencyRing ring = LatencyRing::create(n).value();
            std::vector<std::uint64_t> reference;
            for (std::size_t i = 0; i < n + n / 3; ++i) {  // wrap round too
                std::uint64_t v = pick(rng);
                if (d.name == std::string_view("powers of two")) v = std::uint64_t{1} << v;
                ring.record(v);
                reference.push_back(v);
            }
            reference.erase(reference.begin(), reference.end() - static_cast<std::ptrdiff_t>(n));
            std::sort(reference.begin(), reference.end());
            EXPECT_EQ(p99(ring), static_cast<double>(reference[n * 99 / 100]));
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

}  // namespace
}  // namespace ipc_probe
