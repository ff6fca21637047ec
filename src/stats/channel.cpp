// Channel preparation, and the reports of IpcStats and SocketStats; their recording calls
// are in the headers, to inline into their callers.
#include "stats/channel.h"

#include <format>

#include "stats/ipc_stats.h"
#include "stats/socket_stats.h"

namespace ipc_probe {

std::expected<ChannelParts, InternalError> Channel::prepare(std::string name,
                                                            std::uint64_t ring_capacity) {
    return LatencyRing::create(ring_capacity).transform([&](LatencyRing ring) {
        return ChannelParts{std::move(name), std::move(ring)};
    });
}

template <class Sync>
std::string BasicIpcStats<Sync>::report() const {
    const std::uint64_t total = total_messages();
    const double mean = avg_latency_us();
    const double p99 = p99_latency_us();
    const std::uint32_t peak = peak_depth();

    return std::format("{}: {} msgs | avg {:.1f}\u00B5s | p99 {:.1f}\u00B5s | peak depth {}", name_,
                       total, mean, p99, peak);
}

template <class Sync>
std::string BasicSocketStats<Sync>::report() const {
    const std::uint64_t sent = bytes_sent();
    const std::uint64_t received = bytes_recv();
    const double mean = avg_send_latency_us();
    const std::uint32_t peak = peak_recv_buffer_pct();

    return std::format("{}: sent {}B recv {}B | send avg {:.1f}\u00B5s | recv buf peak {}%", name_,
                       sent, received, mean, peak);
}

template class BasicIpcStats<ThreadSafe>;
template class BasicIpcStats<CallerSerialised>;
template class BasicSocketStats<ThreadSafe>;
template class BasicSocketStats<CallerSerialised>;

}  // namespace ipc_probe
