// SocketStats recording and reporting.
#include "stats/socket_stats.h"

#include <format>


namespace ipc_probe {

template <class Sync>
void BasicSocketStats<Sync>::record_send(std::uint64_t bytes,
                                         std::uint64_t latency_us) const noexcept {
    add_to<Sync>(bytes_sent_, bytes);
    send_window_.record(latency_us);
}

template <class Sync>
void BasicSocketStats<Sync>::record_recv(std::uint64_t bytes,
                                         std::uint32_t buffer_used_pct) const noexcept {
    add_to<Sync>(bytes_recv_, bytes);
    raise_to<Sync>(peak_recv_buffer_pct_, buffer_used_pct);
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

template class BasicSocketStats<ThreadSafe>;
template class BasicSocketStats<CallerSerialised>;

}  // namespace ipc_probe
