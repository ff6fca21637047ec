// IpcStats recording and reporting.
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
void BasicIpcStats<Sync>::record_latency_us(std::uint64_t us) const noexcept {
    // Every writer holds the window's lock, so a load and a store cannot lose a count,
    // and cost less than an atomic read-modify-write; readers still see whole values.
    window_.record(us, [this] { add_to<CallerSerialised>(total_messages_, 1); });
}

template <class Sync>
void BasicIpcStats<Sync>::record_depth(std::uint32_t depth) const noexcept {
    raise_to<Sync>(peak_depth_, depth);
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
