// One 384-well x 45-cycle plate through the amplification run, as a host
// drives it: the plate threshold, then the linear and the sigmoid Ct.
//
// The plate is the bundled real one (379 wells), padded to 384 wells
// (road_inputs.h).
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "QuelmarAlg.h"
#include "road_inputs.h"

namespace {

constexpr std::size_t kWells = road_inputs::kPlateWells;
using Plate = road_inputs::Plate;

const Plate& plate() {
    static const Plate padded = road_inputs::padded_plate(QUELMARALG_DATA_DIR "/reps384.csv");
    return padded;
}

// Fresh records, so that every run chooses its baseline windows anew.
void zero(std::vector<FittingResult>& records) {
    std::memset(records.data(), 0, records.size() * sizeof(FittingResult));
}

void check(benchmark::State& state, int code, const char* call) {
    if (code != ALG_OK) state.SkipWithError(call);
}

void BM_AmplificationRun(benchmark::State& state) {
    const Plate& p = plate();
    std::vector<FittingResult> records(kWells);
    std::vector<double> curves(kWells * p.cycles);
    std::vector<double> linear(kWells);
    std::vector<double> sigmoid(kWells);
    for (auto _ : state) {
        zero(records);
        double threshold = 0.0;
        check(state, alg_calc_threshold(records.data(), kWells, p.data.data(), kWells, p.cycles, &threshold),
              "alg_calc_threshold");
        check(state,
              alg_linear_batch_calc_ct(records.data(), kWells, threshold, p.data.data(), kWells, p.cycles,
                                       curves.data(), linear.data()),
              "alg_linear_batch_calc_ct");
        check(state, alg_sigmoid_batch_calc_ct(records.data(), kWells, p.cycles, sigmoid.data()),
              "alg_sigmoid_batch_calc_ct");
        benchmark::DoNotOptimize(linear.data());
        benchmark::DoNotOptimize(sigmoid.data());
    }
    state.SetLabel("one 384-well x 45-cycle plate per iteration");
    state.counters["wells/s"] =
        benchmark::Counter(static_cast<double>(kWells), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_AmplificationRun)->Unit(benchmark::kMillisecond);

// The three steps on their own.
void BM_Threshold(benchmark::State& state) {
    const Plate& p = plate();
    std::vector<FittingResult> records(kWells);
    for (auto _ : state) {
        zero(records);
        double threshold = 0.0;
        check(state, alg_calc_threshold(records.data(), kWells, p.data.data(), kWells, p.cycles, &threshold),
              "alg_calc_threshold");
        benchmark::DoNotOptimize(threshold);
    }
}
BENCHMARK(BM_Threshold)->Unit(benchmark::kMillisecond);

void BM_LinearCt(benchmark::State& state) {
    const Plate& p = plate();
    std::vector<FittingResult> records(kWells);
    std::vector<double> curves(kWells * p.cycles);
    std::vector<double> linear(kWells);
    zero(records);
    double threshold = 0.0;
    check(state, alg_calc_threshold(records.data(), kWells, p.data.data(), kWells, p.cycles, &threshold),
          "alg_calc_threshold");
    const std::vector<FittingResult> fitted = records;
    for (auto _ : state) {
        records = fitted;
        check(state,
              alg_linear_batch_calc_ct(records.data(), kWells, threshold, p.data.data(), kWells, p.cycles,
                                       curves.data(), linear.data()),
              "alg_linear_batch_calc_ct");
        benchmark::DoNotOptimize(linear.data());
    }
}
BENCHMARK(BM_LinearCt)->Unit(benchmark::kMillisecond);

void BM_SigmoidCt(benchmark::State& state) {
    const Plate& p = plate();
    std::vector<FittingResult> records(kWells);
    std::vector<double> sigmoid(kWells);
    zero(records);
    double threshold = 0.0;
    check(state, alg_calc_threshold(records.data(), kWells, p.data.data(), kWells, p.cycles, &threshold),
          "alg_calc_threshold");
    for (auto _ : state) {
        check(state, alg_sigmoid_batch_calc_ct(records.data(), kWells, p.cycles, sigmoid.data()),
              "alg_sigmoid_batch_calc_ct");
        benchmark::DoNotOptimize(sigmoid.data());
    }
}
BENCHMARK(BM_SigmoidCt)->Unit(benchmark::kMicrosecond);

}  // namespace
