// One call of every export on real data, through the table of
// tests/support/export_calls.h: the allocation-failure test fails the call's
// allocations one by one, the concurrency test runs the calls on several
// threads, and both compare what a call left behind.
#pragma once

#include <algorithm>
#include <array>
#include <map>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "csv_columns.h"
#include "export_calls.h"

namespace scenarios {

using exports::V;

// Real inputs; the variant (0 to 3) picks other wells, another dye, other
// pairs, so that threads work on different data.
struct Data {
    V plate;                      // 8 wells x 45 cycles of the 384-well plate, well after well
    V fitted;                     // their records after the plate threshold, 15 values each
    double threshold = 0;         // that threshold
    V temperature, fluorescence;  // one dye of the melting file
    V peak_x, peak_y;             // its -dF/dT, smoothed, freed of background, every 4th grid point
    V peaks[3];                   // the maxima of that curve above a tenth of its top
    V packed, summary;            // replicates (6 target values, 2 genes of 5) and their first 4 statistics
    V pairs_x, pairs_y;           // standard-curve pairs
};

inline Data make_data(int v) {
    using quelmar_test::read_csv_columns;
    static const auto wells = read_csv_columns(QUELMARALG_DATA_DIR "/reps384.csv");
    static const auto melt = read_csv_columns(QUELMARALG_DATA_DIR "/dyemelt.csv");
    static const auto norris = read_csv_columns(QUELMARALG_DATA_DIR "/nist_norris.csv");
    Data d;
    for (int w = 1 + 8 * v; w <= 8 + 8 * v; ++w) d.plate.insert(d.plate.end(), wells[w].begin(), wells[w].end());
    std::vector<FittingResult> records(8);
    alg_calc_threshold(records.data(), 8, d.plate.data(), 8, 45, &d.threshold);
    for (const FittingResult& r : records) {
        const V f = exports::record_values(r);
        d.fitted.insert(d.fitted.end(), f.begin(), f.end());
    }
    const size_t dye = v % 3, skip = v / 3 * 10;
    d.temperature.assign(melt[2 * dye].begin() + skip, melt[2 * dye].end());
    d.fluorescence.assign(melt[2 * dye + 1].begin() + skip, melt[2 * dye + 1].end());

    // The melting road of the example program.
    size_t n = 0;
    double *t = nullptr, *dfdt = nullptr;
    alg_melting(d.temperature.size(), d.temperature.data(), d.fluorescence.data(), &n, &t, &dfdt);
    alg_super_smooth(dfdt, n, 20);
    alg_melting_normalization(dfdt, n);
    for (size_t i = 0; i < n; i += 4) d.peak_x.push_back(t[i]), d.peak_y.push_back(dfdt[i]);
    alg_darray_release(&t);
    alg_darray_release(&dfdt);
    const double top = *std::max_element(d.peak_y.begin(), d.peak_y.end());
    for (size_t i = 1; i + 1 < d.peak_y.size(); ++i)
        if (d.peak_y[i] > 0.1 * top && d.peak_y[i] > d.peak_y[i - 1] && d.peak_y[i] > d.peak_y[i + 1])
            d.peaks[0].push_back(d.peak_y[i]), d.peaks[1].push_back(d.peak_x[i]), d.peaks[2].push_back(0.5);

    // Replicates: late readings of three wells, as quantities.
    d.packed = {6};
    const auto late = [&](int well, size_t k) { return V(&d.plate[45 * well + 30], &d.plate[45 * well + 30 + k]); };
    for (const V& part : {late(0, 6), V{2, 5}, late(1, 5), V{5}, late(2, 5)})
        d.packed.insert(d.packed.end(), part.begin(), part.end());
    const int32_t quantities = 2;
    double* summary = nullptr;
    alg_calc_sd(&quantities, d.packed.data(), d.packed.size(), &summary, &n);
    d.summary.assign(summary, summary + 4);
    alg_darray_release(&summary);

    d.pairs_y.assign(norris[0].begin() + v, norris[0].end());
    d.pairs_x.assign(norris[1].begin() + v, norris[1].end());
    return d;
}

inline const Data& data(int variant) {
    static const std::array<Data, 4> all{make_data(0), make_data(1), make_data(2), make_data(3)};
    return all[variant];
}

// The inputs of export `name` by the names the table reads: the melting
// peaks and their curve for every export that takes a set or a handle, and
// what each export reads besides.
inline std::map<std::string, V> inputs(const std::string& name, int variant) {
    const Data& d = data(variant);
    const V well(d.plate.begin(), d.plate.begin() + 45);
    std::map<std::string, V> in = {{"x", d.peak_x}, {"y", d.peak_y}, {"width", {0.5}},
                                   {"a", d.peaks[0]}, {"b", d.peaks[1]}, {"c", d.peaks[2]}};
    const std::map<std::string, std::map<std::string, V>> own = {
        {"alg_sample_data_fitting", {{"data", well}}},
        {"alg_run_smooth", {{"data", well}}},
        {"alg_super_smooth", {{"data", well}, {"half_window", {3}}}},
        {"alg_increasing", {{"start", {d.temperature[0]}}, {"step", {0.125}}, {"length", {45}}}},
        {"alg_sigmoid", {{"params", {d.plate[44] - d.plate[0], 22.0, 0.5}}, {"values", d.temperature}}},
        {"alg_sigmoid_batch_calc_ct", {{"records", d.fitted}}},
        {"alg_calc_threshold", {{"records", V(8 * 15)}, {"data", d.plate}, {"wells", {8}}, {"cycles", {45}}}},
        {"alg_linear_batch_calc_ct",
         {{"records", V(8 * 15)}, {"threshold", {d.threshold}}, {"data", d.plate}, {"wells", {8}}, {"cycles", {45}}}},
        {"alg_cubic_interpolation", {{"x", d.temperature}, {"y", d.fluorescence}, {"xq", d.peak_x}}},
        {"alg_interpolation_x", {{"x", d.temperature}, {"factor", {10}}}},
        {"alg_melting", {{"t", d.temperature}, {"f", d.fluorescence}}},
        {"alg_melting_normalization", {{"values", d.peak_y}}},
        {"alg_set_gausscoeff_data",
         {{"new_a", V(d.peak_y.begin(), d.peak_y.begin() + 4)}, {"new_b", V(d.peak_x.begin(), d.peak_x.begin() + 5)},
          {"new_c", V(d.fluorescence.begin(), d.fluorescence.begin() + 6)}}},
        {"alg_mgf_melting_stim_peak", {{"bg", {1.0, 85.0, 0.8}}}},
        {"alg_mgf_coeff_filter", {{"limits", {0.0, 5.0, 0.3}}}},
        {"alg_calc_sd", {{"kind", {2}}, {"data", d.packed}}},
        {"alg_calc_rq", {{"options", {2, 2, 1, 2, 3}}, {"summary", d.summary}, {"calibrator", {1.5}}}},
        {"alg_calc_standard", {{"x", d.pairs_x}, {"y", d.pairs_y}}},
    };
    if (own.count(name) != 0)
        for (const auto& [key, v] : own.at(name)) in[key] = v;
    return in;
}

// The exports, by name.
inline std::vector<std::string> names() {
    std::vector<std::string> all;
    for (const auto& entry : exports::kTable) all.push_back(entry.first);
    return all;
}

}  // namespace scenarios
