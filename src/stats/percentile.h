// The p99 of a latency window: the sample of a rank, found without sorting the window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace ipc_probe {

// Below this size a window is simply copied: a guess would cost more than it saves.
inline constexpr std::size_t kNarrowFrom = 1024;

// The rank of the 99th percentile among n > 0 samples: floor(n * 0.99), no interpolation.
std::size_t p99_rank(std::size_t n) noexcept;

// The samples among which the one of a given rank lies, taken from a window in one pass.
struct RankCandidates {
    std::unique_ptr<std::uint64_t[]> storage;
    std::span<std::uint64_t> values;  // within `storage`
    std::size_t rank = 0;             // of the sought sample among `values`
};

// What selecting the sample at `rank` of the sorted `samples` needs (rank < size), read
// in one pass that writes only what it keeps. All but small windows keep only the samples
// near a guess drawn from a few hundred to a thousand of them; small windows, and a guess
// that misses, keep all. May throw std::bad_alloc.
RankCandidates gather_rank(std::span<const std::uint64_t> samples, std::size_t rank);

// The sought sample; reorders the candidates.
std::uint64_t select_rank(RankCandidates& candidates) noexcept;

namespace detail {

// How the read pass of gather_rank steps through the window. Both give the same result.
enum class Pass { one_at_a_time, four_at_a_time };
bool four_at_a_time_supported() noexcept;  // needs AVX2
inline Pass fastest_pass() noexcept {
    return four_at_a_time_supported() ? Pass::four_at_a_time : Pass::one_at_a_time;
}

// The read pass of gather_rank: counts the samples below `low` and equal to it, and keeps
// those in (low, high] (low <= high), at most `capacity` of them: counting the ties at
// `low` keeps a window of a few much repeated values from keeping most of itself. False
// when the sought sample is not among those, or more would be kept: the bounds missed.
bool keep_around(std::span<const std::uint64_t> samples, std::size_t rank, std::uint64_t low,
                 std::uint64_t high, std::size_t capacity, RankCandidates& out, Pass pass);

}  // namespace detail
}  // namespace ipc_probe
