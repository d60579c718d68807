// Ct by linear interpolation at the threshold crossing, one curve at a time
// and for a plate (the real plate is run with the threshold tests).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "amplification/linear_ct.h"
#include "expect_throw.h"
#include "gbk.h"
#include "numeric/matrix.h"
#include "numeric/vector.h"

namespace {

using quelmar::crossing_ct;
using quelmar::Vector;
using quelmar_test::gbk;

Vector vec(std::initializer_list<double> values) { return Vector::copy_of(values.begin(), values.size()); }

// A zeroed record with the given baseline window (0: chosen by the library).
FittingResult record(std::int16_t start = 0, std::int16_t end = 0) {
    FittingResult r;
    std::memset(&r, 0, sizeof r);
    r.baseline_start = start;
    r.baseline_end = end;
    return r;
}

TEST(CrossingCt, HandWorkedSegments) {
    // 0.01, ..., 100 at index 14, 300 from index 15: slope 200, intercept -2900.
    Vector y(20, 0.01);
    y[14] = 100.0;
    for (std::size_t i = 15; i < 20; ++i) y[i] = 300.0;
    double ratio = -1.0;
    EXPECT_EQ(crossing_ct(y, 200.0, ratio), 15.5);
    EXPECT_EQ(ratio, 3.0);

    // First reading above the threshold: segment 0..1, a Ct below cycle 1.
    EXPECT_DOUBLE_EQ(crossing_ct(vec({50, 150, 250, 350}), 40.0, ratio), 0.9);
    EXPECT_EQ(ratio, 3.0);

    // The last reading is below 150, so the curve is read at its start:
    // segment 1..2, slope 200, intercept -300.
    EXPECT_EQ(crossing_ct(vec({0, 100, 300, 500, 200, 100}), 150.0, ratio), 2.25);
    EXPECT_EQ(ratio, 3.0);
}

TEST(CrossingCt, NoUsableCrossingGivesNaN) {
    const Vector y = vec({0.01, 1, 10, 100, 300});
    for (double threshold : {301.0, 300.0, std::nan("")}) {
        double ratio = 7.0;
        EXPECT_TRUE(std::isnan(crossing_ct(y, threshold, ratio))) << threshold;
        EXPECT_EQ(ratio, 0.0) << threshold;
    }
    double ratio = 0.0;
    EXPECT_TRUE(std::isnan(crossing_ct(vec({50, 50, 60}), 40.0, ratio)));  // a flat segment keeps its ratio
    EXPECT_EQ(ratio, 1.0);
    EXPECT_TRUE(std::isnan(crossing_ct(vec({1, 500}), 100.0, ratio)));  // two readings offer no segment
    EXPECT_EQ(ratio, 0.0);
    EXPECT_TRUE(std::isnan(crossing_ct(vec({500}), 100.0, ratio)));
    EXPECT_TRUE(std::isnan(crossing_ct(Vector(), -1.0, ratio)));
}

// Two ten-cycle wells growing from 100 by doubling, the second three times as
// high. Their baseline window is cycles 1 to 3, chosen by the host: the
// default window of such a short plate would take in the whole rise.
const std::vector<double> kDoublingPlate = [] {
    std::vector<double> data;
    for (double height : {1.0, 3.0})
        for (int c = 0; c < 10; ++c) data.push_back(100.0 + height * std::pow(2.0, c + 4));
    return data;
}();

TEST(LinearBatchCt, TwoWellsComeOutCycleMajorAsEachWellAlone) {
    FittingResult records[2] = {record(1, 2), record(1, 2)};
    double curves[20];
    double ct[2];
    ASSERT_EQ(alg_linear_batch_calc_ct(records, 2, 1000.0, kDoublingPlate.data(), 2, 10, curves, ct), ALG_OK);
    // Pinned bits: smoothing, conditioning and interpolation in their order.
    EXPECT_EQ(ct[0], 0x1.0b4a9140cf2fcp+3);  // 8.35285...
    EXPECT_EQ(ct[1], 0x1.b1586752e9e8fp+2);  // 6.77102...: the higher well crosses first

    for (std::size_t w = 0; w < 2; ++w) {
        FittingResult alone = record(1, 2);
        double alone_curve[10];
        double alone_ct;
        ASSERT_EQ(alg_linear_batch_calc_ct(&alone, 1, 1000.0, kDoublingPlate.data() + 10 * w, 1, 10, alone_curve,
                                           &alone_ct),
                  ALG_OK);
        EXPECT_EQ(std::memcmp(&records[w], &alone, sizeof alone), 0) << w;
        EXPECT_EQ(ct[w], alone_ct) << w;
        for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(curves[2 * i + w], alone_curve[i]) << w << ' ' << i;
    }
    EXPECT_GT(records[0].amplification_ratio, 1.0);
    EXPECT_NEAR(curves[19], 3.0 * curves[18], 1.0);  // the plateaus keep the heights' ratio
}

TEST(LinearBatchCt, FailuresLeaveTheOutputArraysUntouched) {
    // Fewer records than wells: refused before any record is touched.
    FittingResult records[2];
    std::memset(records, 0xA5, sizeof records);
    FittingResult before[2];
    std::memcpy(before, records, sizeof records);
    double curves[20];
    double ct[2] = {-5.0, -5.0};
    for (double& v : curves) v = -5.0;
    EXPECT_EQ(alg_linear_batch_calc_ct(records, 1, 1000.0, kDoublingPlate.data(), 2, 10, curves, ct),
              ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("输入参数错误。"));
    EXPECT_EQ(std::memcmp(records, before, sizeof records), 0);
    quelmar::Matrix matrix;
    EXPECT_THROW_MSG(quelmar::linear_batch_ct(Vector(19, 100.0), records, 2, 1000.0, 2, 10, matrix),
                     std::invalid_argument, "长度必需为 cycleCount * wellCount");

    // A window without a reading after it fails at its well; the wells
    // before keep their results, the failing one what its window check wrote.
    records[0] = record(1, 2);
    records[1] = record(0, 9);  // ends at the last cycle index
    EXPECT_EQ(alg_linear_batch_calc_ct(records, 2, 1000.0, kDoublingPlate.data(), 2, 10, curves, ct),
              ALG_ERR_OUT_OF_RANGE);
    EXPECT_EQ(std::string(get_last_error()), gbk("end下标越界。"));
    EXPECT_NE(records[0].amplification_ratio, 0.0);
    EXPECT_EQ(records[1].baseline_start, 3);
    EXPECT_EQ(records[1].baseline_sd, 0.0);
    EXPECT_EQ(ct[0], -5.0);
    EXPECT_EQ(ct[1], -5.0);
    for (double v : curves) EXPECT_EQ(v, -5.0);
}

}  // namespace
