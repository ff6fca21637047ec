#include "stats/ipc_stats.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace ipc_probe {
namespace {

std::unique_ptr<IpcStats> make_stats(std::string name, std::uint64_t capacity) {
    auto parts = IpcStats::prepare(std::move(name), capacity);
    EXPECT_TRUE(parts.has_value());
    return std::make_unique<IpcStats>(std::move(*parts));
}

TEST(IpcStats, ReportsEveryFigureInItsFormat) {
    auto stats = make_stats("ctl", 4);
    EXPECT_EQ(stats->report(), "ctl: 0 msgs | avg 0.0\u00B5s | p99 0.0\u00B5s | peak depth 0");
    for (std::uint64_t us : {100, 200, 300}) stats->record_latency_us(us);
    stats->record_depth(3);
    stats->record_depth(7);
    stats->record_depth(5);
    EXPECT_EQ(stats->report(), "ctl: 3 msgs | avg 200.0\u00B5s | p99 300.0\u00B5s | peak depth 7");
}

TEST(IpcStats, CountsEveryMessageButAveragesOnlyTheWindow) {
    auto stats = make_stats("", 2);
    for (std::uint64_t us : {1, 2, 3, 4}) stats->record_latency_us(us);
    EXPECT_EQ(stats->total_messages(), 4u);
    EXPECT_EQ(stats->avg_latency_us(), 3.5);
    EXPECT_EQ(stats->report().substr(0, 2), ": ");
}

TEST(IpcStats, ConcurrentRecordersLoseNothing) {
    auto stats = make_stats("load", 64);
    constexpr int kThreads = 4;
    constexpr std::uint64_t kPerThread = 20'000;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (std::uint64_t i = 0; i < kPerThread; ++i) {
                    stats->record_latency_us(7);
                    stats->record_depth(static_cast<std::uint32_t>(t * kPerThread + i));
                    if (i % 1000 == 0) static_cast<void>(stats->p99_latency_us());
                }
            });
        }
    }
    EXPECT_EQ(stats->total_messages(), kThreads * kPerThread);
    EXPECT_EQ(stats->peak_depth(), kThreads * kPerThread - 1);
    EXPECT_EQ(stats->avg_latency_us(), 7.0);
}

}  // namespace
}  // namespace ipc_probe
