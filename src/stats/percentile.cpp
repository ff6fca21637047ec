// Finding the sample of a rank (the p99) in a window: a sampled guess that narrows the
// window, a pass that keeps the candidates and a radix select.
#include "stats/percentile.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace ipc_probe {
namespace {

constexpr std::uint64_t kAllBits = ~std::uint64_t{0};

// The bits in which `values` differ: set in some and clear in others.
std::uint64_t differing_bits_of(std::span<const std::uint64_t> values) noexcept {
    std::uint64_t any = 0, all = kAllBits;
    for (const std::uint64_t v : values) {
        any |= v;
        all &= v;
    }
    return any ^ all;
}

// How many samples the guess is drawn from: one in 32 of the window, between these. More
// make tighter bounds (less kept) but cost a random read and a selection step each.
constexpr std::size_t kFewestGuessSamples = 128;
constexpr std::size_t kMostGuessSamples = 1024;

// Positions for the guess. The answer never depends on them, only the time it takes.
class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) noexcept : state_(seed) {}
    std::uint64_t next() noexcept {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }

private:
    std::uint64_t state_;
};

RankCandidates copy_all(std::span<const std::uint64_t> samples, std::size_t rank) {
    RankCandidates out;
    out.storage = std::make_unique_for_overwrite<std::uint64_t[]>(samples.size());
    std::ranges::copy(samples, out.storage.get());
    out.values = {out.storage.get(), samples.size()};
    out.rank = rank;
    return out;
}

// Floyd and Rivest's idea: the ranks of a few samples drawn across the window bound where
// the sought one lies, so one pass can count what lies below a low bound and keep only the
// samples between the bounds, a few percent of the window, instead of copying it whole.
// False when the bounds miss it, or keep too many; the caller then copies the window.
bool narrow(std::span<const std::uint64_t> samples, std::size_t rank, RankCandidates& out) {
    const std::size_t n = samples.size();
    // One sample from each of `count` equal strides: tighter than a plain random draw.
    const std::size_t count = std::clamp(n / 32, kFewestGuessSamples, kMostGuessSamples);
    std::array<std::uint64_t, kMostGuessSamples> drawn;
    const std::span<std::uint64_t> guess(drawn.data(), count);
    const std::size_t stride = n / count;
    SplitMix64 positions(n ^ (std::uint64_t{rank} << 20));
    for (std::size_t i = 0; i < count; ++i) {
        const auto offset = static_cast<std::size_t>(
            (static_cast<unsigned __int128>(positions.next()) * stride) >> 64);
        guess[i] = samples[i * stride + offset];
    }
    // Where the sought sample should fall among the guess, give or take four standard
    // deviations of that rank, and two more for luck at the extremes.
    const auto guesses = static_cast<double>(count);
    const double quantile = static_cast<double>(rank) / static_cast<double>(n);
    const double centre = quantile * guesses;
    const double spread = 4.0 * std::sqrt(guesses * quantile * (1.0 - quantile)) + 2.0;
    const double low_at = std::floor(centre - spread), high_at = std::ceil(centre + spread);
    std::uint64_t low = 0, high = kAllBits;  // nothing lies outside these
    auto first_free = guess.begin();
    if (low_at >= 0.0) {
        const auto at = guess.begin() + static_cast<std::ptrdiff_t>(low_at);
        std::nth_element(guess.begin(), at, guess.end());
        low = *at;
        first_free = at + 1;
    }
    if (high_at < guesses) {
        const auto at = guess.begin() + static_cast<std::ptrdiff_t>(high_at);
        std::nth_element(first_free, at, guess.end());
        high = *at;
    }

    // Room for four times the expected share of the window: past that the guess was poor.
    const double share = (std::min(high_at, guesses) - std::max(low_at, 0.0)) / guesses;
    const std::size_t capacity =
        std::min(n, static_cast<std::size_t>(4.0 * share * static_cast<double>(n)) + 64);
    return detail::keep_around(samples, rank, low, high, capacity, out, detail::fastest_pass());
}

}  // namespace

RankCandidates gather_rank(std::span<const std::uint64_t> samples, std::size_t rank) {
    RankCandidates out;
    if (samples.size() >= kNarrowFrom && narrow(samples, rank, out)) return out;
    return copy_all(samples, rank);
}

namespace detail {
namespace {

struct Tally {
    std::size_t below = 0, at_low = 0, count = 0;
};

[[gnu::always_inline]] inline void tally_one(std::uint64_t v, std::uint64_t low,
                                             std::uint64_t width, std::uint64_t* kept,
                                             std::size_t capacity, Tally& tally) noexcept {
    tally.below += v < low;
    tally.at_low += v == low;
    if (v - low - 1 < width) [[unlikely]] {  // low < v <= high, in one comparison
        if (tally.count < capacity) kept[tally.count] = v;
        ++tally.count;
    }
}

Tally tally_one_at_a_time(std::span<const std::uint64_t> samples, std::uint64_t low,
                          std::uint64_t width, std::uint64_t* kept, std::size_t capacity) noexcept {
    Tally tally;
    for (const std::uint64_t v : samples) tally_one(v, low, width, kept, capacity, tally);
    return tally;
}

#if defined(__x86_64__)
// Four samples a step in one AVX2 register, with no branch on the data: the counts stay in
// the register's lanes, and the lanes to keep are packed to the front (a permutation chosen
// by their mask) and stored at the end of what is kept, whether or not any is. A branch on
// "anything to keep here?" would be mispredicted at every few percent of the steps, which
// costs more than the pass itself. Without AVX2 the compiler would emulate the 64-bit
// comparisons, slower than one at a time.
using Lanes = std::uint64_t __attribute__((vector_size(32)));
using LaneCounts = std::int64_t __attribute__((vector_size(32)));
using Indices = std::array<std::int32_t, 8>;

// For each 4-bit mask of lanes to keep, the 32-bit halves of those lanes, in order.
alignas(32) constexpr std::array<Indices, 16> kPackKept = [] {
    std::array<Indices, 16> table{};
    for (int mask = 0; mask < 16; ++mask) {
        int out = 0;
        for (int lane = 0; lane < 4; ++lane) {
            if ((mask >> lane & 1) == 0) continue;
            table[mask][out++] = 2 * lane;
            table[mask][out++] = 2 * lane + 1;
        }
    }
    return table;
}();

// `kept` has room for `capacity` + 3 more: a store writes four lanes at the end of what is
// kept, and past `capacity` every store lands at `capacity`, while the count goes on.
[[gnu::target("avx2")]] Tally tally_four_at_a_time(std::span<const std::uint64_t> samples,
                                                   std::uint64_t low, std::uint64_t width,
                                                   std::uint64_t* kept,
                                                   std::size_t capacity) noexcept {
    const Lanes lows = {low, low, low, low}, past_lows = lows + 1;
    const Lanes widths = {width, width, width, width};
    LaneCounts below = {}, at_low = {};  // each comparison is -1 where true
    std::size_t count = 0;
    std::size_t i = 0;
    for (; i + 4 <= samples.size(); i += 4) {
        Lanes v;
        std::memcpy(&v, samples.data() + i, sizeof v);
        below += v < lows;
        at_low += v == lows;
        const LaneCounts keep = (v - past_lows) < widths;
        const int mask = _mm256_movemask_pd(_mm256_castsi256_pd(reinterpret_cast<__m256i>(keep)));
        const __m256i packed = _mm256_permutevar8x32_epi32(
            reinterpret_cast<__m256i>(v),
            _mm256_load_si256(reinterpret_cast<const __m256i*>(kPackKept[mask].data())));
        std::memcpy(kept + std::min(count, capacity), &packed, sizeof packed);
        count += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(mask)));
    }
    Tally tally;
    // The samples kept lie above `low`: they added nothing to these counts.
    tally.below = static_cast<std::size_t>(-(below[0] + below[1] + below[2] + below[3]));
    tally.at_low = static_cast<std::size_t>(-(at_low[0] + at_low[1] + at_low[2] + at_low[3]));
    tally.count = count;
    for (; i < samples.size(); ++i) tally_one(samples[i], low, width, kept, capacity, tally);
    return tally;
}
#endif

}  // namespace

bool four_at_a_time_supported() noexcept {
#if defined(__x86_64__)
    static const bool supported = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return supported;
#else
    return false;
#endif
}

bool keep_around(std::span<const std::uint64_t> samples, std::size_t rank, std::uint64_t low,
                 std::uint64_t high, std::size_t capacity, RankCandidates& out, Pass pass) {
    // Three spare entries for the last four-lane store of the vector pass.
    out.storage = std::make_unique_for_overwrite<std::uint64_t[]>(capacity + 4);
    std::uint64_t* const kept = out.storage.get();
    const std::uint64_t width = high - low;
#if defined(__x86_64__)
    const Tally tally = pass == Pass::four_at_a_time
                            ? tally_four_at_a_time(samples, low, width, kept, capacity)
                            : tally_one_at_a_time(samples, low, width, kept, capacity);
#else
    static_cast<void>(pass);  // only the one pass exists here
    const Tally tally = tally_one_at_a_time(samples, low, width, kept, capacity);
#endif
    if (tally.count > capacity || rank < tally.below) return false;
    std::size_t rest = rank - tally.below;
    if (rest < tally.at_low) {
        kept[0] = low;
        out.values = {kept, 1};
        out.rank = 0;
        return true;
    }
    rest -= tally.at_low;
    if (rest >= tally.count) return false;
    out.values = {kept, tally.count};
    out.rank = rest;
    return true;
}

}  // namespace detail

namespace {

// The k-th smallest of `values` (reordering them): a most-significant-digit radix select.
// Each round counts one 11-bit digit, keeps only the values in the bucket that holds the
// k-th, and narrows to the bits in which those still differ: a few linear passes without
// the data-dependent branches of nth_element, several times faster on large windows.
std::uint64_t select_kth(std::span<std::uint64_t> values, std::size_t k) noexcept {
    constexpr int kDigitBits = 11;
    constexpr std::uint64_t kDigitMask = (std::uint64_t{1} << kDigitBits) - 1;
    constexpr std::size_t kRadixFrom = 2048;
    std::uint64_t differing = values.size() > kRadixFrom ? differing_bits_of(values) : 0;
    while (values.size() > kRadixFrom) {
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

std::size_t p99_rank(std::size_t n) noexcept {
    return std::min(static_cast<std::size_t>(static_cast<double>(n) * 0.99), n - 1);
}

std::uint64_t select_rank(RankCandidates& candidates) noexcept {
    return select_kth(candidates.values, candidates.rank);
}

}  // namespace ipc_probe
