// Sector coder throughput: one Mode 2 Form 1 (or Mode 1) sector per iteration.
#include <benchmark/benchmark.h>

#include <array>
#include <random>

#include "edc_ecc.h"

namespace {

void encode(benchmark::State& state, int type) {
    std::array<std::uint8_t, SECTOR_SIZE> sector{};
    std::mt19937 rng(1);
    for (auto& b : sector) b = static_cast<std::uint8_t>(rng());
    unsigned address = 150;
    for (auto _ : state) {
        do_encode_L2(sector, type, address++);
        benchmark::DoNotOptimize(sector.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<long>(SECTOR_SIZE));
}

void BM_EncodeMode2Form1(benchmark::State& state) { encode(state, MODE_2_FORM_1); }
void BM_EncodeMode1(benchmark::State& state) { encode(state, MODE_1); }

void BM_BuildEdc(benchmark::State& state) {
    std::array<std::uint8_t, SECTOR_SIZE> sector{};
    std::mt19937 rng(2);
    for (auto& b : sector) b = static_cast<std::uint8_t>(rng());
    for (auto _ : state) benchmark::DoNotOptimize(build_edc(sector, 16, 2071));
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_EncodeMode2Form1);
BENCHMARK(BM_EncodeMode1);
BENCHMARK(BM_BuildEdc);
