#include "common/mutex.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace ipc_probe {
namespace {

TEST(Mutex, ExcludesUnderContentionAndWakesSleepers) {
    Mutex mutex;
    std::uint64_t unguarded = 0;  // a data race unless the mutex excludes
    constexpr int kThreads = 4;
    constexpr std::uint64_t kRounds = 50'000;
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (std::uint64_t i = 0; i < kRounds; ++i) {
                    std::lock_guard lock(mutex);
                    ++unguarded;
                    // Now and then hold it long enough that others must sleep, not spin.
                    if (i % 10'000 == static_cast<std::uint64_t>(t)) std::this_thread::yield();
                }
            });
        }
    }
    EXPECT_EQ(unguarded, kThreads * kRounds);
}

}  // namespace
}  // namespace ipc_probe
