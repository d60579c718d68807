// The frame's exports and the behaviour every export shares, through the
// public interface only.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "QuelmarAlg.h"
#include "gbk.h"

namespace {

using quelmar_test::gbk;

TEST(Version, IsFixedAndLeavesTheMessageAlone) {
    double none[1];
    ASSERT_EQ(alg_increasing(0.0, 1.0, 0, none), ALG_ERR_INVALID_ARGUMENT);
    const std::string message = get_last_error();
    EXPECT_STREQ(version(), "1.1.1");
    EXPECT_EQ(std::string(get_last_error()), message);
    EXPECT_EQ(get_last_error(), get_last_error());  // the one buffer
}

TEST(LastError, HoldsTheGbkBytesOfAFailureAndIsClearedBySuccess) {
    double out[4] = {7, 7, 7, 7};
    EXPECT_EQ(alg_increasing(0.0, 1.0, 0, out), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("length 长度必需大于0"));
    EXPECT_EQ(out[0], 7.0);  // nothing written on failure
    EXPECT_EQ(alg_increasing(0.0, 0.5, 4, out), ALG_OK);
    EXPECT_STREQ(get_last_error(), "");
}

TEST(Allocation, HugeCountFailsBeforeAnyWork) {
    double data[3] = {1, 2, 3};
    // 2^61 doubles are 2^64 bytes: the byte count overflows.
    const size_t huge = size_t{1} << 61;
    EXPECT_EQ(alg_super_smooth(data, huge, 1), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad array new length");
    EXPECT_EQ(alg_increasing(0.0, 1.0, SIZE_MAX, data), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad array new length");
    EXPECT_EQ(data[0], 1.0);
    EXPECT_EQ(data[2], 3.0);
}

TEST(Allocation, UnsatisfiableCountIsABadAllocation) {
    double data[1] = {1};
    // 2^60 doubles: the byte count fits in size_t but no heap has it.
    EXPECT_EQ(alg_increasing(0.0, 1.0, size_t{1} << 60, data), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad allocation");
    EXPECT_EQ(data[0], 1.0);
}

TEST(DarrayRelease, AcceptsNullAndIsIdempotent) {
    EXPECT_EQ(alg_darray_release(nullptr), ALG_OK);
    double* block = nullptr;
    EXPECT_EQ(alg_darray_release(&block), ALG_OK);

    double none[1];
    ASSERT_EQ(alg_increasing(0.0, 1.0, 0, none), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(alg_darray_release(&block), ALG_OK);
    EXPECT_STREQ(get_last_error(), "");  // release clears the message
}

// The values a host writes before calling the layout probe.
FittingResult probe_input() {
    FittingResult r;
    std::memset(&r, 0xEE, sizeof r);
    unsigned char* b = reinterpret_cast<unsigned char*>(&r);
    const double first[4] = {1.1, 2.2, 3.3, 4.4};
    std::memcpy(b + 0, first, sizeof first);
    for (int k = 0; k < 8; ++k) {
        const double v = k;
        std::memcpy(b + 32 + 8 * k, &v, sizeof v);
        b[136 + k] = (k & 1) == 0 ? 1 : 0;
    }
    const int16_t shorts[3] = {1, 2, 3};
    std::memcpy(b + 96, shorts, sizeof shorts);
    const double last = 5.5;
    std::memcpy(b + 128, &last, sizeof last);
    return r;
}

double double_at(const FittingResult& r, size_t offset) {
    double v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(&r) + offset, sizeof v);
    return v;
}

int16_t short_at(const FittingResult& r, size_t offset) {
    int16_t v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(&r) + offset, sizeof v);
    return v;
}

unsigned char byte_at(const FittingResult& r, size_t offset) {
    return reinterpret_cast<const unsigned char*>(&r)[offset];
}

TEST(LayoutProbe, RewritesEveryExaminedFieldByOffset) {
    FittingResult r = probe_input();
    const FittingResult before = r;
    EXPECT_EQ(test_fitting_result(&r), ALG_OK);
    EXPECT_EQ(double_at(r, 0), 1.1 + 1.1);
    EXPECT_EQ(double_at(r, 8), 2.2 + 2.2);
    EXPECT_EQ(double_at(r, 16), 3.3 + 3.3);
    EXPECT_EQ(double_at(r, 24), 4.4 + 4.4);
    EXPECT_EQ(double_at(r, 128), 11.0);
    EXPECT_EQ(short_at(r, 96), 2);
    EXPECT_EQ(short_at(r, 98), 4);
    EXPECT_EQ(short_at(r, 100), 6);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(double_at(r, 32 + 8 * k), 2.0 * k);
        EXPECT_EQ(byte_at(r, 136 + k), k & 1);
    }
    // The gap and the three sigmoid doubles are not examined.
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&r) + 102,
                          reinterpret_cast<const char*>(&before) + 102, 26), 0);
}

TEST(LayoutProbe, NanFirstFieldChangesNothing) {
    FittingResult r = probe_input();
    r.max_slope_index = std::nan("");
    FittingResult before = r;
    EXPECT_EQ(test_fitting_result(&r), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
}

TEST(LayoutProbe, LastByteMismatchLeavesTheRecordPartlyRewritten) {
    FittingResult r = probe_input();
    reinterpret_cast<unsigned char*>(&r)[143] = 5;  // expected 0
    EXPECT_EQ(test_fitting_result(&r), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(double_at(r, 0), 2.2);
    EXPECT_EQ(short_at(r, 100), 6);
    EXPECT_EQ(double_at(r, 32 + 8 * 7), 14.0);  // checked before byte 7
    EXPECT_EQ(byte_at(r, 142), 0);              // byte 6 rewritten
    EXPECT_EQ(byte_at(r, 143), 5);              // the mismatch is untouched
}

TEST(LayoutProbe, DoesNotTouchTheMessage) {
    double none[1];
    ASSERT_EQ(alg_increasing(0.0, 1.0, 0, none), ALG_ERR_INVALID_ARGUMENT);
    FittingResult r = probe_input();
    ASSERT_EQ(test_fitting_result(&r), ALG_OK);
    EXPECT_EQ(std::string(get_last_error()), gbk("length 长度必需大于0"));
}

TEST(RecordLayout, MatchesTheDocumentedOffsets) {
    EXPECT_EQ(sizeof(FittingResult), 144u);
    EXPECT_EQ(offsetof(FittingResult, amplification_ratio), 8u);
    EXPECT_EQ(offsetof(FittingResult, baseline_step), 24u);
    EXPECT_EQ(offsetof(FittingResult, max_corrected_slope), 32u);
    EXPECT_EQ(offsetof(FittingResult, third_value), 48u);
    EXPECT_EQ(offsetof(FittingResult, raw_max), 56u);
    EXPECT_EQ(offsetof(FittingResult, baseline_slope), 80u);
    EXPECT_EQ(offsetof(FittingResult, baseline_end), 98u);
    EXPECT_EQ(offsetof(FittingResult, sigmoid_midpoint), 112u);
    EXPECT_EQ(offsetof(FittingResult, sigmoid_steepness), 120u);
    EXPECT_EQ(offsetof(FittingResult, no_growth), 137u);
}

}  // namespace
