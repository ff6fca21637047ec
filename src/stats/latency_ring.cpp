// Ring storage, record, mean and percentile.
#include "stats/latency_ring.h"

#include <algorithm>
#include <array>
#include <bit>
#include <span>
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

namespace {

// The bits in which `values` differ: set in some and clear in others.
std::uint64_t differing_bits_of(std::span<const std::uint64_t> values) noexcept {
    std::uint64_t any = 0, all = ~std::uint64_t{0};
    for (const std::uint64_t v : values) {
        any |= v;
        all &= v;
    }
    return any ^ all;
}

}  // namespace

std::uint64_t LatencyRing::copy_samples(std::vector<std::uint64_t>& out) const {
    out.resize(size_);
    std::uint64_t any = 0, all = ~std::uint64_t{0};
    for (std::size_t i = 0; i < size_; ++i) {
        const std::uint64_t v = slots_[i];
        out[i] = v;
        any |= v;
        all &= v;
    }
    return size_ == 0 ? 0 : any ^ all;
}

namespace {

// The k-th smallest of `values` (reordering them): a most-significant-digit radix select.
// Each round counts one 11-bit digit, keeps only the values in the bucket that holds the
// k-th, and narrows to the bits in which those still differ: a few linear passes without
// the data-dependent branches of nth_element, several times faster on large windows.
std::uint64_t select_kth(std::span<std::uint64_t> values, std::size_t k,
                         std::uint64_t differing) noexcept {
    constexpr int kDigitBits = 11;
    constexpr std::uint64_t kDigitMask = (std::uint64_t{1} << kDigitBits) - 1;
    while (values.size() > 2048) {
        if (differing == 0) return values.front();  // all equal
        const int top = 63 - std::countl_zero(differing);
        const int shift = std::max(top + 1 - kDigitBits, 0);

        std::array<std::size_t, kDigitMask + 1> counts{};
        for (const std::uint64_t v : values) ++counts[(v >> shift) & kDigitMask];
        std::uint64_t bucket = 0;
        while (k >= counts[bucket]) k -= counts[bucket++];

        std::size_t kept = 0;  // in place: writes never overtake reads
        for (const std::uint64_t v : values) {
            if (((v >> shift) & kDigitMask) == bucket) values[kept++] = v;
        }
        values = values.first(kept);
        differing = differing_bits_of(values);
    }
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}

}  // namespace

double p99_of(std::vector<std::uint64_t>& samples, std::uint64_t differing_bits) noexcept {
    if (samples.empty()) return 0.0;
    const std::size_t n = samples.size();
    const auto index = std::min(static_cast<std::size_t>(static_cast<double>(n) * 0.99), n - 1);
    return static_cast<double>(select_kth(samples, index, differing_bits));
}

}  // namespace ipc_probe
