// SocketStats recording and reporting.
#include "stats/socket_stats.h"

#include "common/atomic_max.h"
#include "common/number_text.h"

namespace ipc_probe {

void SocketStats::record_send(std::uint64_t bytes, std::uint64_t latency_us) const noexcept {
    bytes_sent_.fetch_add(bytes, std::memory_order_relaxed);
    send_window_.record(latency_us);
}

void SocketStats::record_recv(std::uint64_t bytes, std::uint32_t buffer_used_pct) const noexcept {
    bytes_recv_.fetch_add(bytes, std::memory_order_relaxed);
    atomic_max(peak_recv_buffer_pct_, buffer_used_pct);
}

std::string SocketStats::report() const {
    const std::uint64_t sent = bytes_sent();
    const std::uint64_t received = bytes_recv();
    const double mean = avg_send_latency_us();
    const std::uint32_t peak = peak_recv_buffer_pct();

    std::string text;
    text.reserve(name_.size() + 96);
    text += name_;
    text += ": sent ";
    append_decimal(text, sent);
    text += "B recv ";
    append_decimal(text, received);
    text += "B | send avg ";
    append_one_decimal(text, mean);
    text += "\u00B5s | recv buf peak ";
    append_decimal(text, peak);
    text += '%';
    return text;
}

}  // namespace ipc_probe
