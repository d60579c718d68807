// Peak sets, fit handles, the model export and the coefficient filter,
// through the public interface.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "gbk.h"
#include "peak_test_support.h"

namespace {

using namespace peaks_test;
using quelmar_test::gbk;

TEST(GaussCoeffSet, ReleaseIsIdempotentAndAcceptsNull) {
    GaussCoeff* set = nullptr;
    ASSERT_EQ(alg_create_gausscoeff(&set), ALG_OK);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(alg_gausscoeff_release(&set), ALG_OK);
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(alg_gausscoeff_release(&set), ALG_OK);
    EXPECT_EQ(alg_gausscoeff_release(nullptr), ALG_OK);
    MgfHandle* handle = nullptr;
    EXPECT_EQ(alg_mgf_release(&handle), ALG_OK);
    EXPECT_EQ(alg_mgf_release(nullptr), ALG_OK);
}

TEST(GaussCoeffSet, StoresAnyLengthsAndHandsOutIndependentCopies) {
    Set set({}, {}, {});  // reads as three null fields
    double dummy = 1;
    size_t na = 9, nb = 9, nc = 9;
    double *a = &dummy, *b = &dummy, *c = &dummy;
    ASSERT_EQ(alg_get_gausscoeff_data(set.p, &na, &a, &nb, &b, &nc, &c), ALG_OK);
    EXPECT_EQ(na + nb + nc, 0u);
    EXPECT_TRUE(a == nullptr && b == nullptr && c == nullptr);

    const V three{1, 2, 3}, two{70, 80};
    ASSERT_EQ(alg_set_gausscoeff_data(set.p, 3, three.data(), 2, two.data(), 3, three.data()), ALG_OK);
    ASSERT_EQ(alg_get_gausscoeff_data(set.p, &na, &a, &nb, &b, &nc, &c), ALG_OK);
    EXPECT_EQ((std::vector<size_t>{na, nb, nc}), (std::vector<size_t>{3, 2, 3}));
    a[0] = 99;  // changes the copy only
    ASSERT_EQ(alg_set_gausscoeff_data(set.p, 1, &dummy, 1, &dummy, 1, &dummy), ALG_OK);
    EXPECT_EQ(b[1], 80);  // the handed-out copy keeps the old centres
    EXPECT_EQ(read(set.p).amplitude, (V{1}));
    alg_darray_release(&a);
    alg_darray_release(&b);
    alg_darray_release(&c);
}

TEST(GaussCoeffSet, AnImpossibleCopyFailsAndHandsOutNothing) {
    const size_t huge = size_t{1} << 61;  // its byte size overflows
    const V five{5};
    // A copy that fails leaves the set exactly as it was, whichever field fails.
    const Set set({1, 2}, {70, 80}, {1, 2});
    for (int failing = 0; failing < 3; ++failing) {
        const size_t n[3] = {failing == 0 ? huge : 1, failing == 1 ? huge : 1, failing == 2 ? huge : 1};
        EXPECT_EQ(alg_set_gausscoeff_data(set.p, n[0], five.data(), n[1], five.data(), n[2], five.data()),
                  ALG_ERR_FAILURE);
        EXPECT_STREQ(get_last_error(), "bad array new length");
        const Fields f = read(set.p);
        EXPECT_EQ(f.amplitude, (V{1, 2}));
        EXPECT_EQ(f.center, (V{70, 80}));
        EXPECT_EQ(f.sigma, (V{1, 2}));
    }
    MgfHandle* handle = nullptr;
    const MgfOptions options{};
    EXPECT_EQ(alg_mgf_create(five.data(), 1, five.data(), huge, &options, &handle), ALG_ERR_FAILURE);
    EXPECT_EQ(handle, nullptr);
}

V model(const Handle& handle, const Set& set) {
    double* values = nullptr;
    size_t count = 0;
    EXPECT_EQ(alg_mgf_multi_gauss(handle.p, set.p, &values, &count), ALG_OK) << get_last_error();
    return take(values, count);
}

TEST(MultiGauss, SumsThePeaksAtEachTemperature) {
    EXPECT_EQ(model(Handle({69, 70, 71}, {0, 0, 0}), Set({2}, {70}, {1})),
              (V{2 * std::exp(-0.5), 2, 2 * std::exp(-0.5)}));
    // Without peaks: zeros as long as y, and x is not compared with it.
    const Set empty({}, {}, {});
    EXPECT_EQ(model(Handle({1, 2, 3, 4, 5}, V(5, 3.0)), empty), V(5, 0.0));
    EXPECT_EQ(model(Handle({1, 2, 3, 4, 5}, V(4, 3.0)), empty), V(4, 0.0));
    const Handle none({}, {});
    double* values = nullptr;
    size_t count = 9;
    ASSERT_EQ(alg_mgf_multi_gauss(none.p, empty.p, &values, &count), ALG_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(values, nullptr);  // a real, releasable block
    EXPECT_EQ(alg_darray_release(&values), ALG_OK);
}

TEST(MultiGauss, RefusesUnequalFieldsOrAPeakOnUnequalXAndY) {
    // (Named objects: releasing a temporary would clear the message.)
    const Handle handle({1, 2, 3, 4, 5}, {0, 0, 0, 0});
    const Set peak({1}, {3}, {1}), uneven({1, 2, 3}, {3, 4}, {1, 1, 1});
    double* values = nullptr;
    size_t count = 7;
    EXPECT_EQ(alg_mgf_multi_gauss(handle.p, peak.p, &values, &count), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("两向量长度不等，元素个数不同不能相加。"));
    EXPECT_EQ(alg_mgf_multi_gauss(handle.p, uneven.p, &values, &count), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("GaussCoeff 数据无效。"));
    EXPECT_EQ(values, nullptr);
    EXPECT_EQ(count, 7u);
}

// One filter call; the set handed out is read and released.
Fields filtered(const V& limits, const Set& set) {
    Set out;
    EXPECT_EQ(alg_mgf_coeff_filter(limits.data(), set.p, &out.p), ALG_OK);
    return read(out.p);
}

TEST(CoeffFilter, HeightIsStrictAndWidthLimitsInclusive) {
    // FWHM = 2.3548 sigma: these two sigmas sit exactly on the limits 10 and 1.
    const double on_max = 10 / 2.3548, on_min = 1 / 2.3548;
    ASSERT_EQ(on_max * 2.3548, 10.0);
    ASSERT_EQ(on_min * 2.3548, 1.0);
    const Set set({0, 1, 2, 3, 4}, {70, 71, 72, 73, 74}, {1, on_max, on_min, 5, NAN});
    const Fields f = filtered({0, 10, 1}, set);
    EXPECT_EQ(f.amplitude, (V{1, 2}));  // in their relative order
    EXPECT_EQ(f.center, (V{71, 72}));
    EXPECT_EQ(f.sigma, (V{on_max, on_min}));
    EXPECT_EQ(read(set.p).center, (V{70, 71, 72, 73, 74}));  // the input is unchanged
    // sigma 1 has a FWHM of 2.3548, not 2.35; an empty set gives an empty set.
    const Set one({1}, {70}, {1});
    EXPECT_EQ(filtered({0, 2.3548, 0}, one).center, (V{70}));
    EXPECT_TRUE(filtered({0, 2.35, 0}, one).center.empty());
    const Fields none = filtered({0, 10, 1}, Set({}, {}, {}));
    EXPECT_TRUE(none.amplitude.empty() && none.center.empty() && none.sigma.empty());
}

TEST(CoeffFilter, RefusesShortHeightsOrWidthsAndHandsOutNothing) {
    const V limits{0, 10, 0};
    for (const bool short_sigma : {false, true}) {
        const Set set(short_sigma ? V{1, 2} : V{1}, {70, 80}, short_sigma ? V{1} : V{1, 2});
        GaussCoeff* out = kUntouchedSet;
        EXPECT_EQ(alg_mgf_coeff_filter(limits.data(), set.p, &out), ALG_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(get_last_error()), gbk("GaussCoeff 数据无效。"));
        EXPECT_EQ(out, kUntouchedSet);
    }
}

}  // namespace
