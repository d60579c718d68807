#include "window/well_curve.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "fitting/linear_regression.h"
#include "maths/maths.h"

namespace quelmar::wol {
namespace {

// The first readings of a run settle (lamp, block temperature, dye): the
// ground phase starts at the fourth.
constexpr std::size_t kFirstGroundIndex = 3;
// The ground line is fitted to at most this many readings, the last of the
// ground phase: the baseline matters where the rise starts, and the first
// readings of a long ground phase still settle.
constexpr std::size_t kGroundSpan = 12;
// A line needs this many ground readings for a noise estimate worth the name.
constexpr std::size_t kMinGroundReadings = 5;
// The first guess of the ground's end lies this many cycles before the
// steepest rise: at an efficiency near 2 the signal there is about 1/500 of
// the plateau, within the noise of a typical run.
constexpr std::size_t kInitialRiseGap = 8;
// Or before the first reading half way up from the first ground readings
// (their median) to the largest, when that comes first: a probe's signal
// that never levels off rises fastest at its last reading.
constexpr double kHalfRise = 0.5;
// A reading further above the ground line than this many noise SDs belongs
// to the rise.
constexpr double kRiseNoiseFactor = 3.0;
// Noise-free readings have no noise to rise above: there the rise starts
// where the signal passes this share of the plateau (a fifth of the
// window's lower limit).
constexpr double kRiseFloorShare = 0.002;
// The ground phase ends this many readings before the first one that
// belongs to the rise, so that a rise hidden in the noise stays out (at an
// efficiency near 2 its signal there is a quarter of the noise limit).
constexpr std::size_t kGroundMargin = 2;
// The readings at the end of a run whose steps tell the noise of a well
// that rose before its ground phase could be read.
constexpr std::size_t kTailReadings = 10;
// Refits of the ground line until its end stays put.
constexpr int kGroundPassLimit = 5;
// A plateau below this many noise SDs is no amplification.
constexpr double kMinRiseOverNoise = 20.0;
// The baseline is fitted with the exponential up to this share of the
// plateau: above it the efficiency starts to fall.
constexpr double kBaselineTopShare = 0.1;
// The exponential needs this many readings above the ground to be told from
// the line.
constexpr std::size_t kMinRiseReadings = 2;
// The efficiencies searched for the baseline's exponential, and when the
// search stops: the bracket narrower than the tolerance, or the step limit.
constexpr double kEfficiencyLow = 1.05;
constexpr double kEfficiencyHigh = 2.6;
constexpr double kEfficiencyTolerance = 1e-9;
constexpr int kGoldenStepLimit = 100;
// The share of a golden-section bracket kept at each step, (sqrt 5 - 1) / 2.
constexpr double kGoldenShare = 0.6180339887498949;
// A well whose last step is still this share of its steepest one has not
// reached its plateau: on a logistic curve the step falls to it about two
// cycles past the steepest rise, at three quarters of the plateau. (A
// smaller share would take the slow creep of many plateaus, a percent or
// two of the plateau per cycle, for a rise.)
constexpr double kStillRisingShare = 0.3;

// Readings whose baseline the instrument removed already have their ground
// about zero: in the typical well (the median of the target's) zero lies
// within this many standard deviations of the ground readings (about their
// mean) from their mean, where about 95 % of single readings lie. Raw and
// normalised readings lie tens to thousands of standard deviations above
// zero (on the bundled files at least 3, typically 15 to 500); readings from
// which a baseline was removed lie within 0.2 to 1.3.
constexpr double kRemovedBaselineSds = 2.0;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Cycle numbers first .. last (inclusive) and their readings.
void take(const double* y, std::size_t first, std::size_t last, Vector& x, Vector& v) {
    x.assign_sequence(cycle_of(first), 1.0, last - first + 1);
    v.assign_copy(y + first, last - first + 1);
}

struct Line {
    double level, slope, noise;
};

Line ground_line(const double* y, std::size_t first, std::size_t last) {
    Vector x, v;
    take(y, first, last, x, v);
    const LinearFit fit = linear_regression(x, v);
    const double n = static_cast<double>(v.size());
    // rms_residual divides by n; the noise SD by the n - 2 degrees of freedom.
    return {fit.intercept, fit.slope, fit.rms_residual * std::sqrt(n / (n - 2.0))};
}

double above(const double* y, std::size_t i, double level, double slope) {
    return y[i] - (level + slope * cycle_of(i));
}

// The first reading half way up from the first ground readings to the
// largest one.
std::size_t half_rise(const double* y, std::size_t count) {
    double first[kMinGroundReadings];
    for (std::size_t i = 0; i < kMinGroundReadings; ++i) first[i] = y[kFirstGroundIndex + i];
    std::sort(first, first + kMinGroundReadings);
    const double low = first[kMinGroundReadings / 2];
    double high = y[kFirstGroundIndex];
    for (std::size_t i = kFirstGroundIndex; i < count; ++i) high = std::fmax(high, y[i]);
    std::size_t i = kFirstGroundIndex;
    while (i + 1 < count && !(y[i] >= low + kHalfRise * (high - low))) ++i;
    return i;
}

// The ground phase: refits the line (or, with kKeptZero, reads against zero)
// until the first reading of the rise, walked down from the steepest rise,
// stays the same. Returns false when the rise starts before enough ground
// readings.
bool find_ground(const double* y, std::size_t count, BaselineSource source, WellCurve& w) {
    const std::size_t least_end = kFirstGroundIndex + kMinGroundReadings - 1;
    const std::size_t anchor = std::min(w.steepest, half_rise(y, count));
    std::size_t end = anchor > least_end + kInitialRiseGap ? anchor - kInitialRiseGap : least_end;
    if (end >= count) end = count - 1;
    bool enough = true;
    for (w.ground_passes = 1;; ++w.ground_passes) {
        const std::size_t first = end + 1 > kFirstGroundIndex + kGroundSpan ? end + 1 - kGroundSpan : kFirstGroundIndex;
        // A kept zero is the line; the noise is still the readings' about their own line.
        Line line = ground_line(y, first, end);
        if (source == BaselineSource::kKeptZero) line.level = line.slope = 0.0;
        w.ground_first = first;
        w.level = line.level, w.slope = line.slope, w.noise = line.noise;
        double top = 0.0;
        for (std::size_t i = w.steepest + 1; i < count; ++i) top = std::fmax(top, above(y, i, line.level, line.slope));
        const double rise = std::fmax(kRiseNoiseFactor * line.noise, kRiseFloorShare * top);
        std::size_t k = w.steepest;
        while (k > kFirstGroundIndex && above(y, k, line.level, line.slope) > rise) --k;
        std::size_t next = k >= kFirstGroundIndex + kGroundMargin ? k - kGroundMargin : kFirstGroundIndex;
        enough = next >= least_end;
        if (!enough) next = least_end;
        if (next == end || w.ground_passes == kGroundPassLimit) break;
        end = next;
    }
    w.ground_last = end;
    return enough;
}

// The exponential and baseline fit: for an efficiency E, the least-squares
// readings a + b c + n E^(c - c0) over first .. last (c0 the ground's last
// cycle, which keeps the third column near 1 where it starts). Returns the
// sum of squared residuals and the three coefficients.
struct JointFit {
    double rss, a, b, n;
};

JointFit fit_with_efficiency(const double* y, std::size_t first, std::size_t last, std::size_t origin, double e) {
    // Normal equations of three columns, summed in index order.
    double s[3][3] = {}, r[3] = {};
    for (std::size_t i = first; i <= last; ++i) {
        const double col[3] = {1.0, cycle_of(i), maths::pow(e, cycle_of(i) - cycle_of(origin))};
        for (int p = 0; p < 3; ++p) {
            for (int q = 0; q < 3; ++q) s[p][q] += col[p] * col[q];
            r[p] += col[p] * y[i];
        }
    }
    // Gaussian elimination with partial pivoting, in a fixed order.
    int order[3] = {0, 1, 2};
    for (int p = 0; p < 3; ++p) {
        int best = p;
        for (int q = p + 1; q < 3; ++q)
            if (std::fabs(s[order[q]][p]) > std::fabs(s[order[best]][p])) best = q;
        std::swap(order[p], order[best]);
        for (int q = p + 1; q < 3; ++q) {
            const double f = s[order[q]][p] / s[order[p]][p];
            for (int k = p; k < 3; ++k) s[order[q]][k] -= f * s[order[p]][k];
            r[order[q]] -= f * r[order[p]];
        }
    }
    double coef[3];
    for (int p = 2; p >= 0; --p) {
        double v = r[order[p]];
        for (int k = p + 1; k < 3; ++k) v -= s[order[p]][k] * coef[k];
        coef[p] = v / s[order[p]][p];
    }
    double rss = 0.0;
    for (std::size_t i = first; i <= last; ++i) {
        const double model = coef[0] + coef[1] * cycle_of(i) + coef[2] * maths::pow(e, cycle_of(i) - cycle_of(origin));
        const double d = y[i] - model;
        rss += d * d;
    }
    if (!(rss == rss)) rss = std::numeric_limits<double>::infinity();  // a singular system loses to any other
    return {rss, coef[0], coef[1], coef[2]};
}

// The baseline whose log-linear phase is straightest: the efficiency that
// fits the ground and the low rise best, by golden-section search; the
// baseline is that fit's line.
void straighten(const double* y, WellCurve& w) {
    std::size_t top = w.ground_last;
    while (top + 1 <= w.steepest && above(y, top + 1, w.level, w.slope) <= kBaselineTopShare * w.plateau) ++top;
    if (top - w.ground_last < kMinRiseReadings) {
        w.baseline = {SearchStop::kSkipped, 0};
        return;
    }
    double lo = kEfficiencyLow, hi = kEfficiencyHigh;
    double x1 = hi - kGoldenShare * (hi - lo), x2 = lo + kGoldenShare * (hi - lo);
    double f1 = fit_with_efficiency(y, w.ground_first, top, w.ground_last, x1).rss;
    double f2 = fit_with_efficiency(y, w.ground_first, top, w.ground_last, x2).rss;
    int steps = 0;
    while (hi - lo > kEfficiencyTolerance && steps < kGoldenStepLimit) {
        ++steps;
        if (f1 < f2) {
            hi = x2, x2 = x1, f2 = f1;
            x1 = hi - kGoldenShare * (hi - lo);
            f1 = fit_with_efficiency(y, w.ground_first, top, w.ground_last, x1).rss;
        } else {
            lo = x1, x1 = x2, f1 = f2;
            x2 = lo + kGoldenShare * (hi - lo);
            f2 = fit_with_efficiency(y, w.ground_first, top, w.ground_last, x2).rss;
        }
    }
    const double best = 0.5 * (lo + hi);
    const JointFit fit = fit_with_efficiency(y, w.ground_first, top, w.ground_last, best);
    const bool edge = lo - kEfficiencyLow <= kEfficiencyTolerance || kEfficiencyHigh - hi <= kEfficiencyTolerance;
    w.baseline = {edge ? SearchStop::kEdge : hi - lo > kEfficiencyTolerance ? SearchStop::kIterationLimit
                                                                           : SearchStop::kConverged,
                  steps};
    // A fit that found no growing exponential keeps the ground line.
    if (edge || !(fit.n > 0.0) || !(fit.rss < std::numeric_limits<double>::infinity())) return;
    w.level = fit.a;
    w.slope = fit.b;
}

void fill_signal(const double* y, std::size_t count, WellCurve& w) {
    w.signal = Vector(count);
    for (std::size_t i = 0; i < count; ++i) w.signal[i] = above(y, i, w.level, w.slope);
    w.plateau = w.signal[w.steepest + 1];
    for (std::size_t i = w.steepest + 1; i < count; ++i)
        if (w.signal[i] > w.plateau) w.plateau = w.signal[i];
}

// A rise before the ground phase could be read: the steepest step lies
// within the shortest ground and stands far out of the noise of the run's
// last steps (their SD about their mean).
bool rose_before_ground(const double* y, std::size_t count, std::size_t steepest, double steepest_rise) {
    if (steepest >= kFirstGroundIndex + kMinGroundReadings || count < kTailReadings + 1) return false;
    Vector steps(kTailReadings);
    for (std::size_t i = 0; i < kTailReadings; ++i) steps[i] = y[count - kTailReadings + i] - y[count - kTailReadings + i - 1];
    const double sd = std::sqrt(sum_sq_dev(steps) / static_cast<double>(kTailReadings - 1));
    return steepest_rise > kMinRiseOverNoise * sd;
}

}  // namespace

WellCurve read_well(const double* y, std::size_t count, BaselineSource source) {
    WellCurve w;
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isfinite(y[i])) {
            w.reason = WellReason::kBadReadings;
            w.level = w.slope = w.plateau = w.noise = kNaN;
            return w;
        }
    }
    double steepest_rise = y[kFirstGroundIndex + 1] - y[kFirstGroundIndex];
    w.steepest = kFirstGroundIndex;
    for (std::size_t i = kFirstGroundIndex + 1; i + 1 < count; ++i) {
        if (y[i + 1] - y[i] > steepest_rise) steepest_rise = y[i + 1] - y[i], w.steepest = i;
    }
    if (rose_before_ground(y, count, w.steepest, steepest_rise)) {
        w.reason = WellReason::kNoGround;
        const Line line = ground_line(y, count - kTailReadings, count - 1);
        w.noise = line.noise;
        if (source == BaselineSource::kFitted) w.level = line.level, w.slope = line.slope;
        fill_signal(y, count, w);
        return w;
    }
    w.ground_read = true;
    const bool ground = find_ground(y, count, source, w);
    fill_signal(y, count, w);
    if (!(steepest_rise > 0.0) || !(w.plateau > 0.0) || w.plateau < kMinRiseOverNoise * w.noise) {
        w.reason = WellReason::kNoAmplification;
        return w;
    }
    if (!ground) {
        w.reason = WellReason::kNoGround;
        return w;
    }
    // A removed baseline keeps its zero: a line fitted to what the instrument
    // left would fit the remains of its baseline's bend and carry them on
    // under the rise.
    if (source == BaselineSource::kFitted) {
        straighten(y, w);
        fill_signal(y, count, w);
    }
    // Steps of the signal, the drift taken out.
    const Vector& s = w.signal;
    w.still_rising = s[count - 1] - s[count - 2] > kStillRisingShare * (s[w.steepest + 1] - s[w.steepest]);
    return w;
}

namespace {

// How far the ground lies from zero, in standard deviations of its readings
// about their mean; NaN when no ground was read.
double ground_offset(const double* y, const WellCurve& w) {
    if (!w.ground_read) return kNaN;
    Vector ground;
    ground.assign_copy(y + w.ground_first, w.ground_last - w.ground_first + 1);
    const double offset = std::fabs(mean(ground));
    const double sd = std::sqrt(sum_sq_dev(ground) / static_cast<double>(ground.size() - 1));
    if (sd == 0.0) return offset == 0.0 ? 0.0 : std::numeric_limits<double>::infinity();
    return offset / sd;
}

}  // namespace

bool baseline_removed(const double* plate, std::size_t count, const std::size_t* members, const WellCurve* const* curves,
                      std::size_t member_count) {
    Vector offsets(member_count);
    std::size_t n = 0;
    for (std::size_t k = 0; k < member_count; ++k) {
        const double offset = ground_offset(plate + members[k] * count, *curves[k]);
        if (!std::isnan(offset)) offsets[n++] = offset;
    }
    if (n == 0) return false;
    std::sort(offsets.begin(), offsets.begin() + n);
    const double median = n % 2 == 1 ? offsets[n / 2] : 0.5 * (offsets[n / 2 - 1] + offsets[n / 2]);
    return median <= kRemovedBaselineSds;
}

}  // namespace quelmar::wol
