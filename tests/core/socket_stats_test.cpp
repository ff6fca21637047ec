#include "stats/socket_stats.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace ipc_probe {
namespace {

std::unique_ptr<SocketStats> make_socket(std::string name, std::uint64_t capacity) {
    auto parts = SocketStats::prepare(std::move(name), capacity);
    EXPECT_TRUE(parts.has_value());
    return std::make_unique<SocketStats>(std::move(*parts));
}

TEST(SocketStats, ReportsEveryFigureInItsFormat) {
    auto s = make_socket("s0", 8);
    EXPECT_EQ(s->report(), "s0: sent 0B recv 0B | send avg 0.0\u00B5s | recv buf peak 0%");
    s->record_send(100, 40);
    s->record_send(50, 60);
    s->record_recv(300, 35);
    s->record_recv(20, 80);
    s->record_recv(0, 250);  // a percentage is not capped at 100
    EXPECT_EQ(s->report(), "s0: sent 150B recv 320B | send avg 50.0\u00B5s | recv buf peak 250%");
}

TEST(SocketStats, AveragesSendLatencyOverItsWindow) {
    struct Case {
        std::uint64_t capacity;
        std::vector<std::uint64_t> latencies;
        double mean;
    };
    for (const Case& c : {Case{2, {10, 20, 30}, 25.0}, Case{0, {10, 30}, 30.0}}) {
        SCOPED_TRACE(c.capacity);
        auto s = make_socket("w", c.capacity);
        for (const std::uint64_t latency : c.latencies) s->record_send(1, latency);
        EXPECT_EQ(s->avg_send_latency_us(), c.mean);
    }
}

TEST(SocketStats, ByteTotalsWrapAndDirectionsStayApart) {
    auto s = make_socket("w", 0);
    s->record_send(~0ull, 10);
    s->record_send(1, 30);
    EXPECT_EQ(s->bytes_sent(), 0u);
    EXPECT_EQ(s->avg_send_latency_us(), 30.0);  // capacity 0 keeps the newest
    s->record_recv(5, 40);
    EXPECT_EQ(s->avg_send_latency_us(), 30.0);
    EXPECT_EQ(s->bytes_recv(), 5u);
}

TEST(SocketStats, ConcurrentRecordersLoseNothing) {
    auto s = make_socket("load", 32);
    constexpr std::uint64_t kPerThread = 20'000;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                for (std::uint64_t i = 0; i < kPerThread; ++i) {
                    s->record_send(3, 9);
                    s->record_recv(2, static_cast<std::uint32_t>(t * kPerThread + i));
                }
            });
        }
    }
    EXPECT_EQ(s->bytes_sent(), 3 * 4 * kPerThread);
    EXPECT_EQ(s->bytes_recv(), 2 * 4 * kPerThread);
    EXPECT_EQ(s->peak_recv_buffer_pct(), 4 * kPerThread - 1);
    EXPECT_EQ(s->avg_send_latency_us(), 9.0);
}

}  // namespace
}  // namespace ipc_probe
