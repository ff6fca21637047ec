// The bounded first-in-first-out window of latency samples behind IpcStats and SocketStats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>  // std::lock_guard
#include <vector>

#include "common/internal_error.h"
#include "common/mutex.h"

namespace ipc_probe {

// Not synchronised: its owner guards it (see LockedRing).
class LatencyRing {
public:
    // Capacities of 2^60 and more cannot be reserved at all (8 bytes each); they are an
    // InternalError. A capacity that merely exceeds memory throws std::bad_alloc.
    static std::expected<LatencyRing, InternalError> create(std::uint64_t capacity);

    // Drops the oldest sample once full. A ring of capacity 0 keeps the newest sample,
    // exactly like a ring of capacity 1. Never allocates.
    void record(std::uint64_t latency_us) noexcept;

    // 0.0 when empty; exact up to the final rounding of the division.
    double mean() const noexcept;
    // Copies the samples, in no particular order, into `out` (replacing its contents) and
    // returns the bits in which they differ: the first thing a selection needs, found in
    // the same pass.
    std::uint64_t copy_samples(std::vector<std::uint64_t>& out) const;

    std::size_t size() const noexcept { return size_; }

private:
    LatencyRing(std::unique_ptr<std::uint64_t[]> slots, std::size_t slot_count) noexcept
        : slots_(std::move(slots)), slot_count_(slot_count) {}

    std::unique_ptr<std::uint64_t[]> slots_;
    std::size_t slot_count_;  // the capacity, but at least 1
    // Samples live at slots [0, size_) until the ring is full; from then on every slot holds
    // one and `oldest_` walks round.
    std::size_t oldest_ = 0;
    std::size_t size_ = 0;
    // Wide enough that no window can overflow it, so the mean is exact and costs one
    // division instead of a pass over the window.
    unsigned __int128 sum_ = 0;
};

// The sample at index floor(n * 0.99) of the sorted samples (no interpolation); 0.0 for
// none. Reorders `samples`; `differing_bits` is what copy_samples returned for them.
double p99_of(std::vector<std::uint64_t>& samples, std::uint64_t differing_bits) noexcept;

// A ring with its own mutex: the one lock of each statistics object.
class LockedRing {
public:
    explicit LockedRing(LatencyRing ring) noexcept : ring_(std::move(ring)) {}

    // `also_locked` runs under the same lock, for a counter that must move with the ring.
    template <class AlsoLocked>
    void record(std::uint64_t latency_us, AlsoLocked&& also_locked) noexcept {
        std::lock_guard lock(mutex_);
        ring_.record(latency_us);
        also_locked();
    }
    void record(std::uint64_t latency_us) noexcept {
        record(latency_us, [] {});
    }
    double mean() const noexcept {
        std::lock_guard lock(mutex_);
        return ring_.mean();
    }
    // The copy is taken under the lock; the selection runs on the private copy outside it,
    // so recorders wait only for the copy. May throw std::bad_alloc.
    double p99() const {
        std::vector<std::uint64_t> samples;
        std::uint64_t differing_bits;
        {
            std::lock_guard lock(mutex_);
            differing_bits = ring_.copy_samples(samples);
        }
        return p99_of(samples, differing_bits);
    }

private:
    mutable Mutex mutex_;
    LatencyRing ring_;
};

}  // namespace ipc_probe
