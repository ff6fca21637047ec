// Channel preparation and the IpcStats report; the recording calls are in the header.
#include "stats/ipc_stats.h"

#include <format>


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

template class BasicIpcStats<ThreadSafe>;
template class BasicIpcStats<CallerSerialised>;

}  // namespace ipc_probe
