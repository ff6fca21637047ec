// The SocketStats report; the recording calls are in the header.
#include "stats/socket_stats.h"

#include <format>


namespace ipc_probe {

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
