// Costs of the interpreter-free core, without Python in the way.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "probe/proc_self.h"
#include "stats/ipc_stats.h"
#include "stats/latency_ring.h"

namespace ipc_probe {
namespace {

std::vector<std::uint64_t> random_samples(std::size_t n) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<std::uint64_t> latency(1, 1'000'000);
    std::vector<std::uint64_t> samples(n);
    for (auto& sample : samples) sample = latency(rng);
    return samples;
}

std::unique_ptr<LockedRing<>> filled_ring(std::size_t n) {
    auto ring = std::make_unique<LockedRing<>>(LatencyRing::create(n).value());
    for (const std::uint64_t sample : random_samples(n)) ring->record(sample);
    return ring;
}

// Window sizes either side of where the percentile starts narrowing instead of copying.
void window_sizes(benchmark::internal::Benchmark* bench) {
    for (const int n : {1'000, 4'096, 8'000, 16'000, 32'767, 100'000, 1'000'000}) bench->Arg(n);
    bench->Unit(benchmark::kMicrosecond);
}

void BM_RingRecord(benchmark::State& state) {
    LockedRing ring(LatencyRing::create(1024).value());
    std::uint64_t us = 0;
    for (auto _ : state) ring.record(++us);
    benchmark::DoNotOptimize(ring.mean());
}
BENCHMARK(BM_RingRecord);

void BM_RingMean(benchmark::State& state) {
    const auto ring = filled_ring(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(ring->mean());
}
BENCHMARK(BM_RingMean)->Arg(1'000)->Arg(100'000)->Arg(1'000'000);

void BM_RingP99(benchmark::State& state) {
    const auto ring = filled_ring(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(ring->p99());
}
BENCHMARK(BM_RingP99)->Apply(window_sizes);

// The percentile's read pass alone, each way through it, with the bounds a guess gives for
// the 99th percentile of these samples: about 2.5% of them are kept.
void BM_KeepAround(benchmark::State& state) {
    const auto pass = static_cast<detail::Pass>(state.range(0));
    if (pass == detail::Pass::four_at_a_time && !detail::four_at_a_time_supported()) {
        state.SkipWithMessage("no AVX2 here");
        return;
    }
    const std::vector<std::uint64_t> samples = random_samples(1'000'000);
    const std::size_t rank = p99_rank(samples.size());
    for (auto _ : state) {
        RankCandidates out;
        const bool hit = detail::keep_around(samples, rank, 978'000, 1'000'000, 100'000, out, pass);
        if (!hit) state.SkipWithError("the bounds missed");
        benchmark::DoNotOptimize(out.values.data());
    }
}
BENCHMARK(BM_KeepAround)
    ->ArgName("four_at_a_time")
    ->Arg(static_cast<int>(detail::Pass::one_at_a_time))
    ->Arg(static_cast<int>(detail::Pass::four_at_a_time))
    ->Unit(benchmark::kMicrosecond);

// The floor for the percentile: a copy and nth_element on the same samples.
void BM_CopyNthElement(benchmark::State& state) {
    const std::vector<std::uint64_t> samples = random_samples(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::vector<std::uint64_t> copy(samples);
        const std::size_t k = copy.size() * 99 / 100;
        std::nth_element(copy.begin(), copy.begin() + static_cast<std::ptrdiff_t>(k), copy.end());
        benchmark::DoNotOptimize(copy[k]);
    }
}
BENCHMARK(BM_CopyNthElement)->Apply(window_sizes);

void BM_Copy(benchmark::State& state) {
    const std::vector<std::uint64_t> samples = random_samples(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::vector<std::uint64_t> copy(samples);
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(BM_Copy)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);

const std::string kStatus =
    "Name:\tpython3\nUmask:\t0022\nState:\tR (running)\nTgid:\t4242\nNgid:\t0\nPid:\t4242\n"
    "PPid:\t1\nTracerPid:\t0\nUid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\nFDSize:\t64\nGroups:\t0\n"
    "NStgid:\t4242\nNSpid:\t4242\nNSpgid:\t4242\nNSsid:\t1\nKthread:\t0\nVmPeak:\t  123456 kB\n"
    "VmSize:\t  123456 kB\nVmLck:\t       0 kB\nVmPin:\t       0 kB\nVmHWM:\t    9000 kB\n"
    "VmRSS:\t    7890 kB\nRssAnon:\t    4000 kB\nRssFile:\t    3890 kB\n";

void BM_ScanStatus(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(detail::scan_status(kStatus));
}
BENCHMARK(BM_ScanStatus);

void BM_TakeSnapshot(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(take_snapshot());
}
BENCHMARK(BM_TakeSnapshot)->Unit(benchmark::kMicrosecond);

void BM_ListFdTargets(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(list_fd_targets());
}
BENCHMARK(BM_ListFdTargets)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace ipc_probe

BENCHMARK_MAIN();
