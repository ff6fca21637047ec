// Creating a ring and rounding its mean.
#include "stats/latency_ring.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace ipc_probe {
namespace {

// 2^63 - 8 bytes is the most a single allocation may ask for.
constexpr std::uint64_t kMaxCapacity = (std::uint64_t{1} << 60) - 1;

}  // namespace

std::expected<LatencyRing, InternalError> LatencyRing::create(std::uint64_t capacity) {
    if (capacity > kMaxCapacity) return std::unexpected(InternalError{"capacity overflow"});
    // A capacity-0 ring still holds its newest sample; reserving that one cell now keeps
    // every record allocation-free. The cells stay uninitialised so a large window costs
    // nothing until it fills.
    const auto cell_count = static_cast<std::size_t>(std::max<std::uint64_t>(capacity, 1));
    return LatencyRing(std::make_unique_for_overwrite<std::uint64_t[]>(cell_count), cell_count);
}

double LatencyRing::rounded_quotient(unsigned __int128 sum, std::uint64_t size) noexcept {
    if (sum == 0) return 0.0;
    // Scaled up until the quotient has more bits than a double keeps (over 2^63: the sum's
    // top bit at 2^127, the size below 2^64), the bits below the kept ones decide
    // the rounding, and a remainder can only break a tie. Folding "not exact" into the
    // lowest bit then lets the conversion round as the exact quotient would.
    const int shift = sum >> 64 != 0 ? std::countl_zero(static_cast<std::uint64_t>(sum >> 64))
                                     : 64 + std::countl_zero(static_cast<std::uint64_t>(sum));
    const unsigned __int128 scaled = sum << shift;
    const unsigned __int128 quotient = scaled / size;
    const bool inexact = quotient * size != scaled;
    return std::ldexp(static_cast<double>(quotient | static_cast<unsigned __int128>(inexact)), -shift);
}

}  // namespace ipc_probe
