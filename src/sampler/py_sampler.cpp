// The Python face of the background sampler.
#include "boundary/entries.h"
#include "ipc_probe/surface.h"
#include "sampler/sampler.h"

#ifdef Py_GIL_DISABLED
#include <pthread.h>

#include <array>
#include <atomic>
#include <cstdint>
#endif

namespace ipc_probe::py {
namespace {

constexpr std::string_view kIntervalParams[] = {"interval_ms"};

constexpr ArgumentSpec kSamplerNew{.function = "__new__", .class_name = "BackgroundSampler"};
constexpr ArgumentSpec kStart{
    .function = "start", .class_name = "BackgroundSampler", .parameters = kIntervalParams};

// Both take the exclusive borrow: a call that comes back into the same sampler while one
// runs on its thread (from the conversion of its argument) fails at once with "Already
// borrowed" instead of racing it.
constexpr Callable kStartCall = fastcall<&BackgroundSampler::start, kStart, Borrow::exclusive>;
constexpr Callable kStopCall = noargs<&BackgroundSampler::stop, Borrow::exclusive>;

#ifdef Py_GIL_DISABLED
// With the interpreter lock, calls from other threads never overlap a start or stop, which
// never lets the lock go. Without it they would, and be refused by the borrow for no fault
// of theirs: so each sampler's calls take turns. A thread waits for its turn detached from
// the interpreter (PyMutex_Lock), so a collection can stop the world meanwhile; the turn is
// held across the whole call, whatever the call lets go of. A call on the thread that holds
// the turn is a re-entry and does not wait: the borrow refuses it. Samplers share the turns
// of a fixed table by address, which only serialises the calls of the few that collide.
struct Turn {
    PyMutex mutex{};
    std::atomic<unsigned long> holder{0};
};
constinit std::array<Turn, 64> turns{};

// A forked child has only the forking thread: a turn that another thread held at the fork
// would never be given back there. One the forking thread holds (a fork from an argument's
// conversion) is given back as its call returns.
void release_turns_in_child() noexcept {
    const unsigned long me = PyThread_get_thread_ident();
    for (Turn& turn : turns) {
        if (turn.holder.load(std::memory_order_relaxed) == me) continue;
        turn.mutex = PyMutex{};
        turn.holder.store(0, std::memory_order_relaxed);
    }
}

template <class Call>
PyObject* in_turn(PyObject* self, Call&& call) noexcept {
    [[maybe_unused]] static const int fork_hook =
        ::pthread_atfork(nullptr, nullptr, &release_turns_in_child);
    Turn& turn = turns[(reinterpret_cast<std::uintptr_t>(self) >> 4) % turns.size()];
    const unsigned long me = PyThread_get_thread_ident();
    if (turn.holder.load(std::memory_order_relaxed) == me) return call();
    PyMutex_Lock(&turn.mutex);
    turn.holder.store(me, std::memory_order_relaxed);
    PyObject* result = call();
    turn.holder.store(0, std::memory_order_relaxed);
    PyMutex_Unlock(&turn.mutex);
    return result;
}

PyObject* start_in_turn(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return in_turn(self, [&] { return kStartCall.fastcall(self, args, nargs, kwnames); });
}

PyObject* stop_in_turn(PyObject* self, PyObject* unused) noexcept {
    return in_turn(self, [&] { return kStopCall.noargs(self, unused); });
}

constexpr MethodEntry kSamplerMethods[] = {
    {"start", {.fastcall = &start_in_turn, .flags = kStartCall.flags, .spec = kStartCall.spec}},
    {"stop", {.noargs = &stop_in_turn, .flags = kStopCall.flags}},
};
#else
constexpr MethodEntry kSamplerMethods[] = {
    {"start", kStartCall},
    {"stop", kStopCall},
};
#endif

}  // namespace

constinit const ClassDef kBackgroundSamplerClass = define_class<BackgroundSampler>({
    .name = "BackgroundSampler",
    .constructor = construct<BackgroundSampler, kSamplerNew>,
    .methods = kSamplerMethods,
});

}  // namespace ipc_probe::py
