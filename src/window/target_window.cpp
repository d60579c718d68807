#include "window/target_window.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/block_array.h"
#include "fitting/linear_regression.h"
#include "maths/maths.h"

namespace quelmar::wol {
namespace {

// A plateau under this share of the target's median is an early plateau.
constexpr double kEarlyPlateauShare = 0.25;
// A well still rising at its last reading whose largest signal is under this
// share of the target's median plateau was cut off by the end of the run:
// its own plateau, which its signal is read against, is unknown. (Where
// most wells still rise, all are read against the median instead.)
constexpr double kCutOffShare = 0.5;
// The window spans one decade of the signal; its top lies at most at a tenth
// of the plateau (log10 0.1 = -1, where the efficiency still holds), and is
// searched downwards in steps of a fiftieth of a decade over one decade.
constexpr double kWindowDecades = 1.0;
constexpr double kWindowTopDecades = -1.0;
constexpr double kWindowStepDecades = 0.02;
constexpr int kWindowPositions = 51;
// A position counts when at least this share of the wells whose signal
// reaches its top have an efficiency in it.
constexpr double kMinWindowShare = 0.8;
// A regression line needs three readings to say anything about its noise.
constexpr std::size_t kMinWindowReadings = 3;
// Efficiencies further from the median than this many robust SDs stay out
// of the mean; a robust SD is this many median absolute deviations.
constexpr double kOutlierRobustSds = 3.0;
constexpr double kMadPerSd = 1.4826;
// Nor is a well an outlier within this much of the median: a window of three
// to six readings tells efficiencies no finer apart.
constexpr double kOutlierFloor = 0.01;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One well's signal as log10 of its share of the plateau, -inf where it is
// not above zero.
struct LogSignal {
    Vector values;
    std::size_t after_ground;  // first index past the ground phase
    double peak;               // the largest value from there on
};

double median(Vector v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

// The readings of a well inside [low, high]: the run of consecutive ones
// that ends with the last reading before the signal first passes high.
struct Run {
    std::size_t first, last, crossing;  // crossing: the first index above high
    bool found;
};

Run run_in_window(const LogSignal& s, double low, double high) {
    Run run{0, 0, 0, false};
    std::size_t h = s.after_ground;
    while (h < s.values.size() && !(s.values[h] > high)) ++h;
    if (h >= s.values.size() || h == s.after_ground) return run;
    std::size_t first = h;
    while (first > s.after_ground && s.values[first - 1] >= low) --first;
    run = {first, h - 1, h, h - first >= kMinWindowReadings};
    return run;
}

double run_efficiency(const LogSignal& s, const Run& run) {
    Vector x, v;
    x.assign_sequence(cycle_of(run.first), 1.0, run.last - run.first + 1);
    v.assign_copy(s.values.data() + run.first, run.last - run.first + 1);
    return maths::pow(10.0, linear_regression(x, v).slope);
}

struct Spread {
    double mean, sd;
    int count;
};

Spread spread_of(const Vector& e) {
    Spread s{kNaN, kNaN, static_cast<int>(e.size())};
    if (e.empty()) return s;
    s.mean = mean(e);
    if (e.size() > 1) s.sd = std::sqrt(sum_sq_dev(e) / static_cast<double>(e.size() - 1));
    return s;
}

double window_top(int position) { return kWindowTopDecades - static_cast<double>(position) * kWindowStepDecades; }

// The efficiencies of the candidate wells at one position of the window.
Vector efficiencies_at(const BlockArray<LogSignal>& logs, const BlockArray<bool>& candidate, double top) {
    std::size_t n = 0;
    for (std::size_t k = 0; k < logs.size(); ++k)
        if (candidate[k] && run_in_window(logs[k], top - kWindowDecades, top).found) ++n;
    Vector e(n);
    n = 0;
    for (std::size_t k = 0; k < logs.size(); ++k) {
        if (!candidate[k]) continue;
        const Run run = run_in_window(logs[k], top - kWindowDecades, top);
        if (run.found) e[n++] = run_efficiency(logs[k], run);
    }
    return e;
}

// How many candidate wells reach a level (log10 share of the plateau).
std::size_t reaching(const BlockArray<LogSignal>& logs, const BlockArray<bool>& candidate, double level) {
    std::size_t n = 0;
    for (std::size_t k = 0; k < logs.size(); ++k)
        if (candidate[k] && logs[k].peak > level) ++n;
    return n;
}

// The window's position: where the efficiencies of the target's wells agree
// best (smallest coefficient of variation), among the positions that hold
// enough of the wells reaching them. A CV from n wells is itself uncertain
// by about 1/sqrt(2(n - 1)) of its value, so the highest position whose CV
// lies within that of the smallest is taken: further down the readings are
// closer to the noise and the baseline weighs more, for no agreement that
// the wells could tell apart.
int place_window(const BlockArray<LogSignal>& logs, const BlockArray<bool>& candidate, TargetWindow& t) {
    double cv[kWindowPositions];
    int best = -1, fullest = 0;
    std::size_t most = 0, best_count = 0;
    for (int p = 0; p < kWindowPositions; ++p) {
        cv[p] = std::numeric_limits<double>::infinity();
        const double top = window_top(p);
        const Vector e = efficiencies_at(logs, candidate, top);
        if (e.size() > most) most = e.size(), fullest = p;
        const double reach = static_cast<double>(reaching(logs, candidate, top));
        if (e.empty() || static_cast<double>(e.size()) < kMinWindowShare * reach) continue;
        const Spread s = spread_of(e);
        cv[p] = e.size() > 1 ? s.sd / s.mean : 0.0;
        if (best < 0 || cv[p] < cv[best]) best = p, best_count = e.size();
    }
    t.search.steps = kWindowPositions;
    if (best < 0) {
        t.search.stop = SearchStop::kTooFewWells;
        return fullest;
    }
    const double within = best_count > 1 ? cv[best] * (1.0 + 1.0 / std::sqrt(2.0 * static_cast<double>(best_count - 1)))
                                         : cv[best];
    int chosen = best;
    for (int p = 0; p < best; ++p)
        if (cv[p] <= within) {
            chosen = p;
            break;
        }
    t.search.stop = chosen == kWindowPositions - 1 ? SearchStop::kEdge : SearchStop::kConverged;
    return chosen;
}

// The plateau the wells are read against: the median of those that reached
// theirs (of all amplified ones when none did).
double median_plateau(WellCurve* const* curves, std::size_t count) {
    std::size_t own = 0, all = 0;
    for (std::size_t k = 0; k < count; ++k) {
        if (curves[k]->reason != WellReason::kOk) continue;
        ++all;
        if (!curves[k]->still_rising) ++own;
    }
    if (all == 0) return kNaN;
    Vector p(own > 0 ? own : all);
    std::size_t n = 0;
    for (std::size_t k = 0; k < count; ++k)
        if (curves[k]->reason == WellReason::kOk && (own == 0 || !curves[k]->still_rising)) p[n++] = curves[k]->plateau;
    return median(p);
}

// Judges each analysed well's plateau against the target's (early plateau,
// cut off by the run's end) and counts the wells that amplified. When most
// of the target's wells still rise at the last reading, the run ended before
// their plateaus (a probe's signal often never levels off), and the largest
// reading says how many cycles were left rather than the gain: then every
// well is read against the target's median plateau, one threshold in
// fluorescence for all.
void judge_plateaus(WellCurve* const* curves, std::size_t count, TargetWindow& t) {
    int analysed = 0, rising = 0;
    for (std::size_t k = 0; k < count; ++k) {
        if (curves[k]->reason != WellReason::kOk) continue;
        ++analysed;
        if (curves[k]->still_rising) ++rising;
    }
    t.common_plateau = analysed > 0 && 2 * rising >= analysed;
    for (std::size_t k = 0; k < count; ++k) {
        WellCurve& w = *curves[k];
        if (w.reason == WellReason::kOk && !w.still_rising && w.plateau < kEarlyPlateauShare * t.plateau_median)
            w.reason = WellReason::kEarlyPlateau;
        if (w.reason == WellReason::kOk && !t.common_plateau && w.still_rising &&
            w.plateau < kCutOffShare * t.plateau_median)
            w.reason = WellReason::kNoPlateau;
        if (w.reason == WellReason::kOk || w.reason == WellReason::kEarlyPlateau || w.reason == WellReason::kNoPlateau)
            ++t.amplified;
    }
}

// Each analysed well's signal as log10 of its share of its own plateau (the
// plateau carries the well's optical gain, which the share takes out), or of
// the median plateau when the target's wells share one. Returns how many
// wells are candidates for the window.
int read_logs(WellCurve* const* curves, std::size_t count, const TargetWindow& t, BlockArray<LogSignal>& logs,
              BlockArray<bool>& candidate) {
    int candidates = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const WellCurve& w = *curves[k];
        if (w.reason != WellReason::kOk) continue;
        const double against = t.common_plateau ? t.plateau_median : w.plateau;
        LogSignal& log = logs[k];
        log.values = Vector(w.signal.size());
        log.after_ground = w.ground_last + 1;
        log.peak = -std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < w.signal.size(); ++i) {
            const double share = w.signal[i] / against;
            log.values[i] = share > 0.0 ? maths::log10(share) : -std::numeric_limits<double>::infinity();
            if (i >= log.after_ground && log.values[i] > log.peak) log.peak = log.values[i];
        }
        candidate[k] = true;
        ++candidates;
    }
    return candidates;
}

// Each candidate's efficiency and Cq in the window whose top is `top`; a
// candidate without three readings in it is outside the window. Returns the
// efficiencies found, in well order.
Vector read_window(WellCurve* const* curves, WellReading* readings, std::size_t count,
                   const BlockArray<LogSignal>& logs, const BlockArray<bool>& candidate, double top, TargetWindow& t) {
    Vector e(count);
    for (std::size_t k = 0; k < count; ++k) {
        if (!candidate[k]) continue;
        const Run run = run_in_window(logs[k], top - kWindowDecades, top);
        if (!run.found) {
            curves[k]->reason = WellReason::kOutsideWindow;
            continue;
        }
        WellReading& r = readings[k];
        r.efficiency = run_efficiency(logs[k], run);
        const double below = logs[k].values[run.crossing - 1], past = logs[k].values[run.crossing];
        r.cq = cycle_of(run.crossing - 1) + (top - below) / (past - below);
        r.window_first = run.first;
        r.window_last = run.last;
        e[t.in_window++] = r.efficiency;
    }
    return e.slice(0, static_cast<std::size_t>(t.in_window));
}

// The target's mean efficiency over the wells near the median of `found`,
// their spread, and the spread of all of them.
void mean_efficiency(WellCurve* const* curves, WellReading* readings, std::size_t count, const Vector& found,
                     TargetWindow& t) {
    const double mid = median(found);
    Vector deviation(found.size());
    for (std::size_t i = 0; i < found.size(); ++i) deviation[i] = std::fabs(found[i] - mid);
    const double limit = std::fmax(kOutlierRobustSds * kMadPerSd * median(deviation), kOutlierFloor);
    Vector kept(found.size());
    std::size_t n = 0;
    for (std::size_t k = 0; k < count; ++k) {
        WellReading& r = readings[k];
        if (curves[k]->reason != WellReason::kOk) continue;
        r.in_mean = !(std::fabs(r.efficiency - mid) > limit);
        if (r.in_mean) kept[n++] = r.efficiency;
    }
    const Spread s = spread_of(kept.slice(0, n));
    t.mean_efficiency = s.mean;
    t.efficiency_sd = s.sd;
    t.in_mean = s.count;
    const Spread at = spread_of(found);
    t.cv = found.size() > 1 ? at.sd / at.mean : 0.0;
}

}  // namespace

TargetWindow analyse_target(WellCurve* const* curves, WellReading* readings, std::size_t count) {
    TargetWindow t{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, static_cast<int>(count), 0, 0, 0, false, false, {}};
    for (std::size_t k = 0; k < count; ++k) readings[k] = {kNaN, kNaN, kNaN, 0, 0, false};
    t.plateau_median = median_plateau(curves, count);
    judge_plateaus(curves, count, t);

    BlockArray<LogSignal> logs(count);
    BlockArray<bool> candidate(count);
    if (read_logs(curves, count, t, logs, candidate) == 0) return t;

    const double top = window_top(place_window(logs, candidate, t));
    t.high = maths::pow(10.0, top);
    t.low = maths::pow(10.0, top - kWindowDecades);
    t.threshold = t.high;
    const Vector found = read_window(curves, readings, count, logs, candidate, top, t);
    if (found.empty()) return t;
    mean_efficiency(curves, readings, count, found, t);

    // N0 in the fluorescence of a typical well: the threshold's share of the
    // target's median plateau.
    const double level = t.threshold * t.plateau_median;
    for (std::size_t k = 0; k < count; ++k)
        if (curves[k]->reason == WellReason::kOk) readings[k].n0 = level / maths::pow(t.mean_efficiency, readings[k].cq);
    return t;
}

}  // namespace quelmar::wol
