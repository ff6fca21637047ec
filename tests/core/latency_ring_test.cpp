#include "stats/latency_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <new>
#include <numeric>
#include <thread>
#include <vector>

namespace ipc_probe {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

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
