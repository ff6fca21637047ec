#include "stats/percentile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "stats/latency_ring.h"

namespace ipc_probe {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

double p99(const LatencyRing& ring) {
    if (ring.size() == 0) return 0.0;
    RankCandidates candidates = gather_rank(ring.samples(), p99_rank(ring.size()));
    return static_cast<double>(select_rank(candidates));
}

std::vector<detail::Pass> passes() {
    if (detail::four_at_a_time_supported()) {
        return {detail::Pass::one_at_a_time, detail::Pass::four_at_a_time};
    }
    return {detail::Pass::one_at_a_time};
}

TEST(Percentile, PicksTheSampleAtFloorOfNinetyNinePercent) {
    struct Case {
        std::uint64_t count;
        double expected;
    };
    for (const Case c : {Case{100, 100.0}, Case{101, 100.0}, Case{199, 198.0}, Case{200, 199.0},
                         Case{1000, 991.0}}) {
        SCOPED_TRACE(c.count);
        LatencyRing ring = LatencyRing::create(c.count).value();
        // Recorded in descending order so the answer cannot come from insertion order.
        for (std::uint64_t v = c.count; v >= 1; --v) ring.record(v);
        EXPECT_EQ(p99(ring), c.expected);
    }
}

TEST(Percentile, SelectionAgreesWithSortingOnLargeWindows) {
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
TEST(Percentile, KeepAroundAnswersOrAdmitsAMiss) {
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
TEST(Percentile, KeepAroundPassesAgree) {
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

}  // namespace
}  // namespace ipc_probe
