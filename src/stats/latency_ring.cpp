// Ring storage, record, mean and percentile.
#include "stats/latency_ring.h"

#include <algorithm>
#include <vector>

namespace ipc_probe {
namespace {

// 2^63 - 8 bytes is the most a single allocation may ask for.
constexpr std::uint64_t kMaxCapacity = (std::uint64_t{1} << 60) - 1;

}  // namespace

std::expected<LatencyRing, InternalError> LatencyRing::create(std::uint64_t capacity) {
    if (capacity > kMaxCapacity) return std::unexpected(InternalError{"capacity overflow"});
    // A capacity-0 ring still holds its newest sample; reserving that one slot now keeps
    // every record allocation-free. The slots stay uninitialised so a large window costs
    // nothing until it fills.
    const auto slot_count = static_cast<std::size_t>(std::max<std::uint64_t>(capacity, 1));
    return LatencyRing(std::make_unique_for_overwrite<std::uint64_t[]>(slot_count), slot_count);
}

void LatencyRing::record(std::uint64_t latency_us) noexcept {
    if (size_ < slot_count_) {
        slots_[size_++] = latency_us;
    } else {
        sum_ -= slots_[oldest_];
        slots_[oldest_] = latency_us;
        if (++oldest_ == slot_count_) oldest_ = 0;
    }
    sum_ += latency_us;
}

double LatencyRing::mean() const noexcept {
    if (size_ == 0) return 0.0;
    return static_cast<double>(sum_) / static_cast<double>(size_);
}

void LatencyRing::copy_samples(std::vector<std::uint64_t>& out) const {
    out.insert(out.end(), slots_.get(), slots_.get() + size_);
}

double p99_of(std::vector<std::uint64_t>& samples) noexcept {
    if (samples.empty()) return 0.0;
    // Selection finds the same sample a full sort would, in linear time.
    const std::size_t n = samples.size();
    const auto index = std::min(static_cast<std::size_t>(static_cast<double>(n) * 0.99), n - 1);
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index),
                     samples.end());
    return static_cast<double>(samples[index]);
}

}  // namespace ipc_probe
