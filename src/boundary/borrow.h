// Per-instance borrow counter: overlapping calls on one instance are caught, not raced.
#pragma once

#include <Python.h>

#include <atomic>
#include <expected>
#include <utility>

#include "boundary/error.h"

namespace ipc_probe::py {

// How a method's call holds its instance, as the method's row in its class's table says.
// Shared calls may overlap one another; an exclusive call overlaps no other call on the
// instance, and one that would is refused at once instead of racing it.
enum class Borrow { shared, exclusive };

// The counter is one signed word in the instance: 0 free, n > 0 shared borrows, -1 one
// exclusive borrow. The guards release what they took, whatever the call's outcome.
class SharedBorrow {
public:
    static PyResult<SharedBorrow> take(Py_ssize_t& counter) {
        std::atomic_ref<Py_ssize_t> flag(counter);
        Py_ssize_t seen = flag.load(std::memory_order_relaxed);
        do {
            if (seen == -1) {
                return std::unexpected(Error::lazy(PyExc_RuntimeError, "Already mutably borrowed"));
            }
        } while (!flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed));
        return SharedBorrow(&counter);
    }
    SharedBorrow(SharedBorrow&& other) noexcept : counter_(std::exchange(other.counter_, nullptr)) {}
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (counter_) std::atomic_ref<Py_ssize_t>(*counter_).fetch_sub(1, std::memory_order_release);
    }

private:
    explicit SharedBorrow(Py_ssize_t* counter) noexcept : counter_(counter) {}
    Py_ssize_t* counter_;
};

class ExclusiveBorrow {
public:
    static PyResult<ExclusiveBorrow> take(Py_ssize_t& counter) {
        Py_ssize_t expected = 0;
        if (!std::atomic_ref<Py_ssize_t>(counter).compare_exchange_strong(
                expected, -1, std::memory_order_acquire, std::memory_order_relaxed)) {
            return std::unexpected(Error::lazy(PyExc_RuntimeError, "Already borrowed"));
        }
        return ExclusiveBorrow(&counter);
    }
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept
        : counter_(std::exchange(other.counter_, nullptr)) {}
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ~ExclusiveBorrow() {
        if (counter_) std::atomic_ref<Py_ssize_t>(*counter_).store(0, std::memory_order_release);
    }

private:
    explicit ExclusiveBorrow(Py_ssize_t* counter) noexcept : counter_(counter) {}
    Py_ssize_t* counter_;
};

}  // namespace ipc_probe::py
