// Sector coder throughput: one Mode 2 Form 1 (or Mode 1) sector per iteration,
// on the way the coder picks for this processor and on its portable way.
#include <benchmark/benchmark.h>

#include <array>
#include <random>

#include "edc_ecc.h"
#include "edc_ecc_internal.h"

namespace {

using edc_ecc_internal::coder_path;

// Runs the benchmark body on `path` and puts the coder's own choice back.
class on_path {
public:
    explicit on_path(benchmark::State& state, bool portable)
        : saved_(edc_ecc_internal::active_path()) {
        if (portable) edc_ecc_internal::use_path(coder_path::portable);
        state.SetLabel(edc_ecc_internal::active_path() == coder_path::vector ? "vector"
                                                                             : "portable");
    }
    ~on_path() { edc_ecc_internal::use_path(saved_); }
    on_path(const on_path&) = delete;
    on_path& operator=(const on_path&) = delete;

private:
    coder_path saved_;
};

void encode(benchmark::State& state, int type, bool portable) {
    const on_path path(state, portable);
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

void edc(benchmark::State& state, bool portable) {
    const on_path path(state, portable);
    std::array<std::uint8_t, SECTOR_SIZE> sector{};
    std::mt19937 rng(2);
    for (auto& b : sector) b = static_cast<std::uint8_t>(rng());
    for (auto _ : state) benchmark::DoNotOptimize(build_edc(sector, 16, 2071));
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
