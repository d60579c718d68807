// QuelmarAlgWol through its public interface: curves of known N0 and
// efficiency over drifting baselines, wells it must refuse a number, the
// bundled plates, and the frame (refusals, its own last error).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "QuelmarAlg.h"
#include "QuelmarAlgWol.h"
#include "csv_columns.h"

namespace {

using V = std::vector<double>;

// What one well is made of: fluorescence n0 * E^c below the plateau, bent
// over into it sharply (a generalised logistic of order 4, so that up to a
// tenth of the plateau the growth is exponential to 0.003 %), on a baseline
// level + slope * c + settle * exp(-c / 1.5) (the settling of the first
// readings), with noise of the given SD.
struct Synthetic {
    double n0 = 1e-6 * 5000, efficiency = 1.95, plateau = 5000;
    double level = 5000, slope = 7.6, settle = 0, noise = 0;
};

// A deterministic standard normal sequence (an LCG through Box-Muller), the
// same on every platform to the precision the tolerances need.
class Noise {
public:
    explicit Noise(std::uint64_t seed) : state_(seed) {}
    double next() {
        const double u1 = uniform(), u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    }

private:
    double uniform() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return (static_cast<double>(state_ >> 11) + 0.5) / 9007199254740992.0;
    }
    std::uint64_t state_;
};

constexpr std::size_t kCycles = 45;

V curve(const Synthetic& s, Noise& noise) {
    V y(kCycles);
    for (std::size_t i = 0; i < kCycles; ++i) {
        const double c = static_cast<double>(i + 1);
        const double grown = s.n0 * std::pow(s.efficiency, c);
        const double signal = grown / std::pow(1.0 + std::pow(grown / s.plateau, 4.0), 0.25);
        y[i] = s.level + s.slope * c + s.settle * std::exp(-c / 1.5) + signal + s.noise * noise.next();
    }
    return y;
}

struct Plate {
    V data;
    std::vector<int32_t> targets;
    std::vector<WolWell> wells;
    std::vector<WolTarget> results;
    int code = -1;

    void add(const V& y, int32_t target) {
        data.insert(data.end(), y.begin(), y.end());
        targets.push_back(target);
    }
    void analyse(std::size_t target_count, std::size_t cycles = kCycles) {
        wells.assign(targets.size(), WolWell{});
        results.assign(target_count, WolTarget{});
        code = wol_analyse(data.data(), targets.size(), cycles, targets.data(), target_count, wells.data(), results.data());
    }
};

// A replicate set of one curve kind: `count` wells differing in noise, and
// in optical gain by up to +-20 % (the plateau and N0 scale together).
Plate replicates(const Synthetic& s, int count, std::uint64_t seed) {
    Plate p;
    Noise noise(seed);
    for (int k = 0; k < count; ++k) {
        Synthetic w = s;
        const double gain = 0.8 + 0.4 * k / (count - 1);
        w.n0 *= gain, w.plateau *= gain;
        p.add(curve(w, noise), 0);
    }
    return p;
}

// The N0 a well's gain-free share of the plateau gives back: the library
// reads each well against its own plateau and reports N0 in the units of
// the target's median plateau.
double expected_n0(const Synthetic& s, const WolTarget& t) { return s.n0 / s.plateau * t.plateau_median; }

struct Recovery {
    const char* name;
    Synthetic curve;
    double efficiency_tol, n0_tol;  // on the mean efficiency; relative, on the wells' N0
};

// Tolerances: noise-free curves are recovered to the rounding of the
// baseline's search; with noise (SD 5 on a plateau of 5000, as on the
// bundled plates) the mean over 24 wells to 0.02 and each N0 to 15 %.
const Recovery kRecoveries[] = {
    {"flat baseline", {5e-3, 1.95, 5000, 5000, 0, 0, 0}, 1e-4, 0.005},
    {"linear drift of the first plate", {5e-3, 1.95, 5000, 5000, 7.6, 0, 0}, 1e-4, 0.005},
    {"linear drift of the second plate", {5e-3, 2.0, 5000, 4300, 18.8, 0, 0}, 1e-4, 0.005},
    {"falling drift", {5e-3, 1.85, 5000, 5000, -12, 0, 0}, 1e-4, 0.005},
    {"curved drift", {5e-5, 1.95, 5000, 5000, 5, -150, 0}, 0.03, 0.3},
    {"late rise", {2e-6, 1.9, 5000, 5000, 7.6, 0, 0}, 1e-4, 0.005},
    {"noise", {5e-3, 1.95, 5000, 5000, 7.6, 0, 5}, 0.02, 0.15},
    {"noise and curved drift", {5e-5, 1.95, 5000, 5000, 18.8, -150, 5}, 0.03, 0.3},
    {"low efficiency", {5e-2, 1.75, 5000, 5000, 7.6, 0, 0}, 1e-4, 0.005},
    // Exports whose instrument removed the baseline: the ground sits at zero
    // and half its readings are negative.
    {"baseline already removed", {5e-3, 1.95, 5000, 0, 0, 0, 5}, 0.02, 0.15},
    {"baseline removed, readings scaled to a plateau of 2", {2e-6, 1.95, 2, 0, 0, 0, 0.002}, 0.02, 0.15},
};

TEST(WolRecovery, KnownEfficiencyAndN0) {
    for (const Recovery& r : kRecoveries) {
        SCOPED_TRACE(r.name);
        Plate p = replicates(r.curve, 24, 7);
        p.analyse(1);
        ASSERT_EQ(p.code, WOL_OK) << wol_last_error();
        const WolTarget& t = p.results[0];
        EXPECT_NEAR(t.mean_efficiency, r.curve.efficiency, r.efficiency_tol);
        EXPECT_EQ(t.wells, 24);
        EXPECT_EQ(t.in_window, 24);
        EXPECT_GE(t.in_mean, 20);
        EXPECT_LE(t.threshold, 0.1);  // inside the exponential phase
        EXPECT_GE(t.window_low, t.window_high / 10.0 * (1 - 1e-12));
        for (const WolWell& w : p.wells) {
            ASSERT_EQ(w.reason, WOL_WELL_OK);
            EXPECT_NEAR(w.n0 / expected_n0(r.curve, t), 1.0, r.n0_tol);
            // A single well's efficiency rests on three to six readings: noisier.
            EXPECT_NEAR(w.efficiency, r.curve.efficiency, r.curve.noise > 0 ? 0.15 : r.efficiency_tol * 4);
            EXPECT_LT(w.ground_last, w.window_first);
            EXPECT_LE(w.window_first + 2, w.window_last);
            // The baseline follows the drift (the settling aside).
            if (r.curve.settle == 0) {
                EXPECT_NEAR(w.baseline_slope, r.curve.slope, 0.1 + r.curve.noise * 0.4);
            }
        }
    }
}

// The ground phase ends before the rise: at its last cycle the true signal
// is within the noise, while a window reaching three cycles further would
// hold a signal far above it.
TEST(WolGround, StaysOutOfTheRise) {
    const Synthetic s{5e-3, 1.95, 5000, 5000, 7.6, 0, 5};
    Plate p = replicates(s, 12, 11);
    p.analyse(1);
    ASSERT_EQ(p.code, WOL_OK);
    for (std::size_t k = 0; k < p.wells.size(); ++k) {
        const double gain = 0.8 + 0.4 * k / 11.0;
        const double at_end = s.n0 * gain * std::pow(s.efficiency, p.wells[k].ground_last);
        EXPECT_LT(at_end, 3 * s.noise) << "well " << k;
        EXPECT_GE(p.wells[k].ground_first, 4);
        EXPECT_LE(p.wells[k].ground_passes, 5);
    }
}

// Wells that get no number, each with its reason, beside wells that do.
TEST(WolReasons, WellsWithoutANumberSayWhy) {
    const Synthetic good{5e-3, 1.95, 5000, 5000, 7.6, 0, 5};
    Plate p = replicates(good, 12, 3);
    Noise noise(5);
    Synthetic flat = good;
    flat.n0 = 0;  // never amplifies: drift and noise only
    p.add(curve(flat, noise), 0);
    Synthetic early = good;
    early.plateau = 500, early.n0 = 5e-4;  // stops at a tenth of the others
    p.add(curve(early, noise), 0);
    Synthetic soon = good;
    soon.n0 = 50;  // rises from the first readings on
    p.add(curve(soon, noise), 0);
    V bad = curve(good, noise);
    bad[20] = NAN;
    p.add(bad, 0);
    Synthetic cut = good;
    cut.n0 = 8e-11;  // still doubling at the last reading, at a fifth of the plateau
    p.add(curve(cut, noise), 0);
    p.analyse(1);
    ASSERT_EQ(p.code, WOL_OK);
    const int want[] = {WOL_WELL_NO_AMPLIFICATION, WOL_WELL_EARLY_PLATEAU, WOL_WELL_NO_GROUND, WOL_WELL_BAD_READINGS,
                        WOL_WELL_NO_PLATEAU};
    for (int k = 0; k < 5; ++k) {
        const WolWell& w = p.wells[12 + k];
        EXPECT_EQ(w.reason, want[k]) << "well " << 12 + k;
        EXPECT_TRUE(std::isnan(w.cq) && std::isnan(w.efficiency) && std::isnan(w.n0));
        EXPECT_EQ(w.in_mean, 0);
    }
    EXPECT_TRUE(std::isnan(p.wells[15].baseline_level));
    EXPECT_EQ(p.wells[16].still_rising, 1);
    for (int k = 0; k < 12; ++k) {
        EXPECT_EQ(p.wells[k].reason, WOL_WELL_OK);
        EXPECT_EQ(p.wells[k].still_rising, 0);
    }
    EXPECT_EQ(p.results[0].wells, 17);
    EXPECT_EQ(p.results[0].amplified, 14);
    EXPECT_EQ(p.results[0].in_window, 12);
}

// Targets are analysed apart: each gets its own window and mean efficiency,
// and a target without wells gets NaN levels.
TEST(WolTargets, EachTargetItsOwnWindow) {
    Plate p;
    Noise noise(9);
    const Synthetic a{5e-3, 1.95, 5000, 5000, 7.6, 0, 2}, b{5e-4, 1.80, 3000, 4000, 3, 0, 2};
    for (int k = 0; k < 10; ++k) p.add(curve(k % 2 ? a : b, noise), k % 2 ? 0 : 2);
    p.analyse(3);
    ASSERT_EQ(p.code, WOL_OK);
    EXPECT_NEAR(p.results[0].mean_efficiency, 1.95, 0.01);
    EXPECT_NEAR(p.results[2].mean_efficiency, 1.80, 0.01);
    EXPECT_EQ(p.results[1].wells, 0);
    EXPECT_TRUE(std::isnan(p.results[1].mean_efficiency) && std::isnan(p.results[1].threshold));
    EXPECT_EQ(p.results[0].reserved[0] | p.results[0].reserved[1], 0);
    EXPECT_EQ(p.results[0].common_plateau, 0);
    EXPECT_EQ(p.results[0].baseline_kept | p.results[2].baseline_kept, 0);
}

// Readings from which the instrument removed its baseline, leaving a bent
// ground about zero (a hump and a dip of 5 units over cycles 3 to 13 with
// noise of 1.5, as in a Bio-Rad export): the target keeps that zero, every
// ground phase is read against it, and the efficiency is the curves' own.
// The same readings lifted onto a raw ground of 5000 get a fitted baseline;
// through the bend that line falls under the rise, which costs it about 0.14
// of efficiency here (and 0.2 on the bundled Bio-Rad export).
TEST(WolBaseline, ReadingsWithTheirBaselineRemovedKeepTheirZero) {
    constexpr double kEfficiency = 1.95, kBend = 5.0;
    Plate p;
    Noise noise(17);
    for (int k = 0; k < 12; ++k) {
        const double gain = 0.8 + 0.4 * k / 11.0;
        V y = curve(Synthetic{5e-4 * gain, kEfficiency, 3000 * gain, 0, 0, 0, 1.5}, noise);
        for (int c = 3; c <= 13; ++c) y[c - 1] += kBend * std::sin(6.283185307179586 * (c - 3) / 10.0);
        p.add(y, 0);
    }
    const std::size_t wells = p.targets.size();
    for (std::size_t k = 0; k < wells; ++k) {
        V lifted(p.data.begin() + k * kCycles, p.data.begin() + (k + 1) * kCycles);
        for (double& v : lifted) v += 5000;
        p.add(lifted, 1);
    }
    p.analyse(2);
    ASSERT_EQ(p.code, WOL_OK);
    EXPECT_EQ(p.results[0].baseline_kept, 1);
    EXPECT_EQ(p.results[0].in_window, 12);
    EXPECT_NEAR(p.results[0].mean_efficiency, kEfficiency, 0.02);
    for (std::size_t k = 0; k < wells; ++k) {
        const WolWell& w = p.wells[k];
        EXPECT_EQ(w.baseline_level, 0.0);
        EXPECT_EQ(w.baseline_slope, 0.0);
        EXPECT_EQ(w.baseline_stop, WOL_STOP_SKIPPED);
        EXPECT_GT(w.noise, 1.0);  // about zero, the bend included
        EXPECT_LT(w.ground_last, w.window_first);
    }
    EXPECT_EQ(p.results[1].baseline_kept, 0);
    EXPECT_EQ(p.results[1].in_window, 12);
    for (std::size_t k = wells; k < 2 * wells; ++k) EXPECT_NEAR(p.wells[k].baseline_level, 5000, 50);
}

// Whether the baseline was removed is the target's, by its typical well: a
// target of raw readings with a few wells whose readings were shifted to
// zero still fits every baseline, and the other way round.
TEST(WolBaseline, TheTypicalWellDecides) {
    Plate p;
    Noise noise(19);
    for (int k = 0; k < 10; ++k) {
        const bool raw = k < 7;
        p.add(curve(Synthetic{5e-4, 1.95, 3000, raw ? 5000.0 : 0.0, 0, 0, 1.5}, noise), 0);
        p.add(curve(Synthetic{5e-4, 1.95, 3000, raw ? 0.0 : 5000.0, 0, 0, 1.5}, noise), 1);
    }
    p.analyse(2);
    ASSERT_EQ(p.code, WOL_OK);
    EXPECT_EQ(p.results[0].baseline_kept, 0);
    EXPECT_EQ(p.results[1].baseline_kept, 1);
    for (std::size_t k = 0; k < p.wells.size(); ++k) {
        const bool kept = p.targets[k] == 1;
        EXPECT_EQ(p.wells[k].baseline_level == 0.0, kept) << "well " << k;
    }
}

// Curves cut off by the end of the run, all of them still growing
// exponentially at the last reading (a run stopped early): the largest
// reading says how many cycles were left, not the gain, so every well is
// read against one plateau. A dilution series keeps its spacing: the Cq
// step per twofold dilution is log 2 / log E, as a standard curve needs
// (reading each well against its own largest reading would put every Cq
// the same number of cycles before the run's end).
TEST(WolTargets, CurvesCutOffByTheRunShareOnePlateau) {
    constexpr double kEfficiency = 1.9;
    Plate p;
    Noise noise(13);
    for (int dilution = 0; dilution < 4; ++dilution) {
        for (int replicate = 0; replicate < 3; ++replicate) {
            Synthetic s{2e-6 * std::pow(2.0, -dilution), kEfficiency, 1e9, 600, 1.5, 0, 0.5};
            p.add(curve(s, noise), 0);
        }
    }
    p.analyse(1);
    ASSERT_EQ(p.code, WOL_OK);
    EXPECT_EQ(p.results[0].common_plateau, 1);
    EXPECT_EQ(p.results[0].in_window, 12);
    EXPECT_NEAR(p.results[0].mean_efficiency, kEfficiency, 0.01);
    for (int dilution = 1; dilution < 4; ++dilution) {
        for (int replicate = 0; replicate < 3; ++replicate) {
            const double step = p.wells[3 * dilution + replicate].cq - p.wells[3 * (dilution - 1) + replicate].cq;
            EXPECT_NEAR(step, std::log(2.0) / std::log(kEfficiency), 0.01);
        }
    }
}

// Refusals leave every caller array as it was, and the message is this
// library's own: QuelmarAlg's last error is untouched, and the other way
// round.
TEST(WolFrame, RefusalsAndTheirOwnLastError) {
    Noise noise(1);
    const V y = curve(Synthetic{}, noise);
    const int32_t good[] = {0}, bad[] = {1}, negative[] = {-1};
    WolWell well{};
    well.cq = -7777.25;
    WolTarget target{};
    target.threshold = -7777.25;
    struct Refusal {
        std::size_t cycles, targets;
        const int32_t* index;
        int code;
    };
    const Refusal refusals[] = {{11, 1, good, WOL_ERR_INVALID_ARGUMENT},
                                {12, 0, good, WOL_ERR_INVALID_ARGUMENT},
                                {kCycles, 1, bad, WOL_ERR_OUT_OF_RANGE},
                                {kCycles, 1, negative, WOL_ERR_OUT_OF_RANGE}};
    for (const Refusal& r : refusals) {
        EXPECT_EQ(wol_analyse(y.data(), 1, r.cycles, r.index, r.targets, &well, &target), r.code);
        EXPECT_STRNE(wol_last_error(), "");
        EXPECT_EQ(well.cq, -7777.25);
        EXPECT_EQ(target.threshold, -7777.25);
    }
    EXPECT_EQ(wol_analyse(y.data(), std::size_t{1} << 62, 1, good, 1, &well, &target), WOL_ERR_FAILURE);
    EXPECT_STREQ(wol_last_error(), "bad array new length");

    // A failure in QuelmarAlg, then a success here: each keeps its own text.
    double out[4];
    EXPECT_EQ(alg_calc_standard(y.data(), 2, y.data(), 3, out), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(wol_analyse(y.data(), 1, kCycles, good, 1, &well, &target), WOL_OK);
    EXPECT_STREQ(wol_last_error(), "");
    EXPECT_STRNE(get_last_error(), "");
    EXPECT_EQ(wol_analyse(y.data(), 1, 5, good, 1, &well, &target), WOL_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(alg_calc_standard(y.data(), 2, y.data(), 2, out), ALG_OK);
    EXPECT_STREQ(get_last_error(), "");
    EXPECT_STRNE(wol_last_error(), "");
    EXPECT_STREQ(wol_version(), version());

    // No wells: only the target records are written.
    EXPECT_EQ(wol_analyse(y.data(), 0, kCycles, good, 1, &well, &target), WOL_OK);
    EXPECT_EQ(target.wells, 0);
}

// The bundled dilution series (15,000 to 15 copies, 94 replicates each):
// tolerances, not bits. The mean efficiency against the standard curve of
// the same Cq values, the fold between dilutions with the mean efficiency,
// the linearity of log N0 against log copies.
struct Dilution {
    V cq, n0, copies;
};

TEST(WolPlates, DilutionSeries) {
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/dil4reps94.csv");
    Plate p;
    for (std::size_t c = 1; c < columns.size(); ++c) p.add(columns[c], 0);
    p.analyse(1, columns[0].size());
    ASSERT_EQ(p.code, WOL_OK);
    // Columns: 94, 93, 94, 94 wells of 15,000, 1,500, 150 and 15 copies.
    const std::size_t sizes[] = {94, 93, 94, 94};
    double copies = 15000, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0, n = 0;
    double previous = 0;
    std::size_t well = 0;
    V fold;
    for (std::size_t size : sizes) {
        double log_sum = 0;
        int count = 0;
        for (std::size_t k = 0; k < size; ++k, ++well) {
            const WolWell& w = p.wells[well];
            if (w.reason != WOL_WELL_OK) continue;
            const double x = std::log10(copies), y = w.cq;
            sx += x, sy += y, sxx += x * x, sxy += x * y, syy += y * y, n += 1;
            log_sum += std::log(w.n0);
            ++count;
        }
        EXPECT_GE(count, static_cast<int>(size) - 4);
        const double geometric = std::exp(log_sum / count);
        if (previous > 0) fold.push_back(previous / geometric);
        previous = geometric;
        copies /= 10;
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    const double standard_efficiency = std::pow(10.0, -1.0 / slope);
    EXPECT_NEAR(p.results[0].mean_efficiency, standard_efficiency, 0.03);
    for (double f : fold) EXPECT_NEAR(f, 10.0, 1.2);
    const double r = (n * sxy - sx * sy) / std::sqrt((n * sxx - sx * sx) * (n * syy - sy * sy));
    EXPECT_GE(r * r, 0.99);
}

// The 379 replicates of one assay: a mean efficiency near the dilution
// series' (the same assay) and every well analysed.
TEST(WolPlates, Replicates) {
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/reps384.csv");
    Plate p;
    for (std::size_t c = 1; c < columns.size(); ++c) p.add(columns[c], 0);
    p.analyse(1, columns[0].size());
    ASSERT_EQ(p.code, WOL_OK);
    EXPECT_NEAR(p.results[0].mean_efficiency, 1.99, 0.03);
    EXPECT_EQ(p.results[0].in_window, 379);
    double s = 0, ss = 0;
    for (const WolWell& w : p.wells) s += w.cq, ss += w.cq * w.cq;
    const double sd = std::sqrt((ss - s * s / 379) / 378);
    EXPECT_LT(sd, 0.15);
}

// On the dilution plate the core library's baseline window runs into
// the rise in some wells; the ground phase here never does: at its last
// cycle the signal is within three noise SDs of the line.
TEST(WolPlates, GroundEndsBeforeWhereTheCoreBaselineWindowReaches) {
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/dil4reps94.csv");
    const std::size_t cycles = columns[0].size(), wells = columns.size() - 1;
    Plate p;
    for (std::size_t c = 1; c < columns.size(); ++c) p.add(columns[c], 0);
    p.analyse(1, cycles);
    ASSERT_EQ(p.code, WOL_OK);
    std::vector<FittingResult> records(wells);
    double threshold = 0;
    ASSERT_EQ(alg_calc_threshold(records.data(), wells, p.data.data(), wells, cycles, &threshold), ALG_OK);
    int reaching = 0;
    for (std::size_t k = 0; k < wells; ++k) {
        const WolWell& w = p.wells[k];
        const auto signal = [&](int cycle) {
            return columns[k + 1][cycle - 1] - (w.baseline_level + w.baseline_slope * cycle);
        };
        EXPECT_LT(signal(w.ground_last), 3 * w.noise + 0.01 * w.plateau) << "well " << k;
        // The core baseline window's last reading (a 0-based index): above the
        // ground's noise by ten SDs counts as in the rise.
        const int end_cycle = records[k].baseline_end + 1;
        if (signal(end_cycle) > 10 * w.noise) ++reaching;
    }
    EXPECT_GT(reaching, 0);
}

}  // namespace
