// The inputs of the two roads that the benchmarks time: one synthetic melt
// well and one 384-well plate. Shared by melting_bench, amplification_bench
// and bench_roads so that every figure is measured on the same data; the
// SciPy peer (melting_scipy.py) builds the same well from the same formula.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "plate_csv.h"

namespace road_inputs {

// The melt well: read every 0.5 degree from 60 to 95 degrees, two logistic
// melting transitions at 78 and 86 degrees on a constant background.
struct MeltWell {
    std::vector<double> temperature;
    std::vector<double> fluorescence;
};

constexpr int kMeltReadings = 71;
constexpr double kMeltFirst = 60.0;
constexpr double kMeltStep = 0.5;

inline MeltWell synthetic_melt_well() {
    MeltWell w;
    for (int i = 0; i < kMeltReadings; ++i) {
        const double t = kMeltFirst + kMeltStep * i;
        w.temperature.push_back(t);
        w.fluorescence.push_back(200.0 + 600.0 / (1.0 + std::exp((t - 78.0) / 0.8)) +
                                 400.0 / (1.0 + std::exp((t - 86.0) / 0.9)));
    }
    return w;
}

// The melt road's peak options and filter: peaks sought with a 1-degree
// width window, kept above zero height with full widths at half maximum
// from 0.5 to 5 degrees (min_amplitude, max_fwhm, min_fwhm).
constexpr double kMeltPeakWidth = 1.0;
constexpr double kMeltFilter[3] = {0.0, 5.0, 0.5};

// The plate: the bundled real 379-well plate, padded to 384 wells by
// repeating its first five wells.
constexpr std::size_t kPlateWells = 384;

struct Plate {
    std::size_t cycles = 0;
    std::vector<double> data;  // kPlateWells curves, one after another
};

inline Plate padded_plate(const char* path) {
    PlateCsv csv;
    char error[512];
    if (plate_csv_read(path, &csv, error, sizeof error) != 0) {
        std::fprintf(stderr, "%s\n", error);
        std::exit(1);
    }
    Plate p;
    p.cycles = csv.cycle_count;
    p.data.resize(kPlateWells * p.cycles);
    for (std::size_t w = 0; w < kPlateWells; ++w) {
        const std::size_t source = w % csv.well_count;
        std::memcpy(&p.data[w * p.cycles], &csv.readings[source * p.cycles], p.cycles * sizeof(double));
    }
    plate_csv_free(&csv);
    return p;
}

}  // namespace road_inputs
