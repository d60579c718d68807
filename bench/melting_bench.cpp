// The melting road of one well: -dF/dT (alg_melting), peak detection, the
// damped least-squares fit and the coefficient filter, on the synthetic well
// of road_inputs.h (two products melting at 78 and 86 degrees). The steps
// are also timed one by one.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "QuelmarAlg.h"
#include "road_inputs.h"

namespace {

using road_inputs::kMeltFilter;
using road_inputs::kMeltPeakWidth;
using Well = road_inputs::MeltWell;
using road_inputs::synthetic_melt_well;

struct Curve {
    std::vector<double> x, y;
};

bool derivative(const Well& w, Curve& out) {
    size_t count = 0;
    double* grid = nullptr;
    double* values = nullptr;
    if (alg_melting(w.temperature.size(), w.temperature.data(), w.fluorescence.data(), &count, &grid, &values) !=
        ALG_OK)
        return false;
    out.x.assign(grid, grid + count);
    out.y.assign(values, values + count);
    alg_darray_release(&grid);
    alg_darray_release(&values);
    return true;
}

// Detection, fit and filter on a handle; returns the number of peaks kept
// and their centres, or -1 on failure.
int fit_peaks(const MgfHandle* handle, std::vector<double>* centres) {
    GaussCoeff* start = nullptr;
    GaussCoeff* kept = nullptr;
    int result = -1;
    if (alg_mgf_local_max_value_id(handle, &start) == ALG_OK && alg_mgf_solve(handle, start) == ALG_OK &&
        alg_mgf_coeff_filter(kMeltFilter, start, &kept) == ALG_OK) {
        size_t na, nb, nc;
        double *a, *b, *c;
        if (alg_get_gausscoeff_data(kept, &na, &a, &nb, &b, &nc, &c) == ALG_OK) {
            result = static_cast<int>(nb);
            if (centres != nullptr && b != nullptr) centres->assign(b, b + nb);
            alg_darray_release(&a);
            alg_darray_release(&b);
            alg_darray_release(&c);
        }
    }
    alg_gausscoeff_release(&kept);
    alg_gausscoeff_release(&start);
    return result;
}

// The whole road from the readings to the filtered peaks.
int melting_road(const Well& w, std::vector<double>* centres) {
    Curve curve;
    if (!derivative(w, curve)) return -1;
    const MgfOptions options{0.0, 0.0, kMeltPeakWidth, 0.0, 0.0};
    MgfHandle* handle = nullptr;
    if (alg_mgf_create(curve.x.data(), curve.x.size(), curve.y.data(), curve.y.size(), &options, &handle) != ALG_OK)
        return -1;
    const int peaks = fit_peaks(handle, centres);
    alg_mgf_release(&handle);
    return peaks;
}

void BM_MeltingRoad(benchmark::State& state) {
    const Well w = synthetic_melt_well();
    std::vector<double> centres;
    if (melting_road(w, &centres) != 2 || std::fabs(centres[0] - 78.0) > 0.1 || std::fabs(centres[1] - 86.0) > 0.1) {
        state.SkipWithError("the road does not find the two products");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(melting_road(w, nullptr));
}
BENCHMARK(BM_MeltingRoad)->Unit(benchmark::kMicrosecond);

void BM_MeltingDerivative(benchmark::State& state) {
    const Well w = synthetic_melt_well();
    Curve curve;
    for (auto _ : state) benchmark::DoNotOptimize(derivative(w, curve));
}
BENCHMARK(BM_MeltingDerivative)->Unit(benchmark::kMicrosecond);

void BM_DetectFitFilter(benchmark::State& state) {
    Curve curve;
    if (!derivative(synthetic_melt_well(), curve)) {
        state.SkipWithError("alg_melting failed");
        return;
    }
    const MgfOptions options{0.0, 0.0, kMeltPeakWidth, 0.0, 0.0};
    MgfHandle* handle = nullptr;
    alg_mgf_create(curve.x.data(), curve.x.size(), curve.y.data(), curve.y.size(), &options, &handle);
    for (auto _ : state) benchmark::DoNotOptimize(fit_peaks(handle, nullptr));
    alg_mgf_release(&handle);
}
BENCHMARK(BM_DetectFitFilter)->Unit(benchmark::kMicrosecond);

}  // namespace
