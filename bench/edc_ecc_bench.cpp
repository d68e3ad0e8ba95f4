// Sector coder throughput: one Mode 2 Form 1 (or Mode 1) sector per iteration,
// or the EDC of one Form 1 sector, on the way the coder chooses for this
// processor and on its portable way; and the check run's judging of one good
// Form 1 sector (EDC, and P and Q over the stored bytes).
#include <benchmark/benchmark.h>

#include <array>
#include <random>

#include "sector/judge.h"
#include "sector/edc_ecc.h"
#include "sector/edc_ecc_internal.h"

namespace {

using edc_ecc_internal::coder_path;

coder_path way(bool portable) {
    return portable ? coder_path::portable : edc_ecc_internal::chosen_path();
}

void label(benchmark::State& state, coder_path path) {
    state.SetLabel(path == coder_path::vector ? "vector" : "portable");
}

std::array<std::uint8_t, SECTOR_SIZE> random_sector(unsigned seed) {
    std::array<std::uint8_t, SECTOR_SIZE> sector{};
    std::mt19937 rng(seed);
    for (auto& b : sector) b = static_cast<std::uint8_t>(rng());
    return sector;
}

void encode(benchmark::State& state, int type, bool portable) {
    const coder_path path = way(portable);
    label(state, path);
    auto sector = random_sector(1);
    unsigned address = 150;
    for (auto _ : state) {
        edc_ecc_internal::encode_with(path, sector, type, address++);
        benchmark::DoNotOptimize(sector.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<long>(SECTOR_SIZE));
}

void edc(benchmark::State& state, bool portable) {
    const coder_path path = way(portable);
    label(state, path);
    const auto sector = random_sector(2);
    for (auto _ : state)
        benchmark::DoNotOptimize(edc_ecc_internal::edc_with(path, sector, 16, 2071));
    state.SetItemsProcessed(state.iterations());
}

void BM_CheckSector(benchmark::State& state) {
    auto sector = random_sector(3);
    sector[SUBMODE_BYTE] = sector[SUBMODE_BYTE + 4] = 0x08;  // Form 1, both copies alike
    do_encode_L2(sector, MODE_2_FORM_1, 150);
    for (auto _ : state) {
        benchmark::DoNotOptimize(check_sector(sector, 150, false));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_EncodeMode2Form1(benchmark::State& state) { encode(state, MODE_2_FORM_1, false); }
void BM_EncodeMode1(benchmark::State& state) { encode(state, MODE_1, false); }
void BM_BuildEdc(benchmark::State& state) { edc(state, false); }
void BM_EncodeMode2Form1Portable(benchmark::State& state) { encode(state, MODE_2_FORM_1, true); }
void BM_EncodeMode1Portable(benchmark::State& state) { encode(state, MODE_1, true); }
void BM_BuildEdcPortable(benchmark::State& state) { edc(state, true); }

}  // namespace

BENCHMARK(BM_EncodeMode2Form1);
BENCHMARK(BM_EncodeMode1);
BENCHMARK(BM_BuildEdc);
BENCHMARK(BM_EncodeMode2Form1Portable);
BENCHMARK(BM_EncodeMode1Portable);
BENCHMARK(BM_BuildEdcPortable);
BENCHMARK(BM_CheckSector);
