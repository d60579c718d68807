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

using peaks_test::Fields;
using peaks_test::Handle;
using peaks_test::Set;
using quelmar_test::gbk;
using V = std::vector<double>;

using peaks_test::kUntouchedSet;

TEST(GaussCoeffSet, ReleaseIsIdempotentAndAcceptsNull) {
    GaussCoeff* set = nullptr;
    ASSERT_EQ(alg_create_gausscoeff(&set), ALG_OK);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(alg_gausscoeff_release(&set), ALG_OK);
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(alg_gausscoeff_release(&set), ALG_OK);
    EXPECT_EQ(alg_gausscoeff_release(nullptr), ALG_OK);
    EXPECT_EQ(alg_mgf_release(nullptr), ALG_OK);
    MgfHandle* handle = nullptr;
    EXPECT_EQ(alg_mgf_release(&handle), ALG_OK);
}

TEST(GaussCoeffSet, ANewOrEmptiedSetReadsAsThreeNullFields) {
    Set set;
    ASSERT_EQ(alg_create_gausscoeff(&set.p), ALG_OK);
    double dummy = 1;
    ASSERT_EQ(alg_set_gausscoeff_data(set.p, 0, &dummy, 0, &dummy, 0, &dummy), ALG_OK);
    size_t na = 9, nb = 9, nc = 9;
    double *a = &dummy, *b = &dummy, *c = &dummy;
    ASSERT_EQ(alg_get_gausscoeff_data(set.p, &na, &a, &nb, &b, &nc, &c), ALG_OK);
    EXPECT_EQ(na + nb + nc, 0u);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(c, nullptr);
}

TEST(GaussCoeffSet, StoresUnequalLengthsThatTheModelRefuses) {
    Set set({1, 2, 3}, {70, 80}, {1, 1, 1});
    const Fields f = peaks_test::read(set.p);
    EXPECT_EQ(f.amplitude, (V{1, 2, 3}));
    EXPECT_EQ(f.center, (V{70, 80}));
    EXPECT_EQ(f.sigma, (V{1, 1, 1}));

    Handle handle({69, 70, 71}, {0, 0, 0});
    double* values = nullptr;
    size_t count = 7;
    EXPECT_EQ(alg_mgf_multi_gauss(handle.p, set.p, &values, &count), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("GaussCoeff 数据无效。"));
    EXPECT_EQ(values, nullptr);
    EXPECT_EQ(count, 7u);
}

TEST(GaussCoeffSet, ReadingHandsOutIndependentCopies) {
    Set set({1, 2}, {70, 80}, {1, 2});
    size_t na, nb, nc;
    double *a, *b, *c;
    ASSERT_EQ(alg_get_gausscoeff_data(set.p, &na, &a, &nb, &b, &nc, &c), ALG_OK);
    a[0] = 99;
    const V other{5};
    ASSERT_EQ(alg_set_gausscoeff_data(set.p, 1, other.data(), 1, other.data(), 1, other.data()), ALG_OK);
    EXPECT_EQ(b[1], 80);  // the handed-out copy keeps the old centres
    EXPECT_EQ(peaks_test::read(set.p).amplitude, (V{5}));
    alg_darray_release(&a);
    alg_darray_release(&b);
    alg_darray_release(&c);
}

TEST(GaussCoeffSet, AFailedReplacementKeepsEarlierFieldsAndEmptiesTheFailingOne) {
    Set set({1, 2}, {70, 80}, {1, 2});
    const V fresh{5};
    const size_t huge = size_t{1} << 61;  // its byte size overflows
    EXPECT_EQ(alg_set_gausscoeff_data(set.p, 1, fresh.data(), huge, fresh.data(), 1, fresh.data()), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad array new length");
    const Fields f = peaks_test::read(set.p);
    EXPECT_EQ(f.amplitude, (V{5}));
    EXPECT_TRUE(f.center.empty());
    EXPECT_EQ(f.sigma, (V{1, 2}));
}

TEST(MgfHandle, AnImpossibleCopyHandsOutNothing) {
    const V x{1, 2, 3};
    const MgfOptions options{};
    MgfHandle* handle = reinterpret_cast<MgfHandle*>(&peaks_test::untouched_marker);
    EXPECT_EQ(alg_mgf_create(x.data(), 3, x.data(), size_t{1} << 61, &options, &handle), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad array new length");
    EXPECT_EQ(handle, reinterpret_cast<MgfHandle*>(&peaks_test::untouched_marker));
    GaussCoeff* set = kUntouchedSet;
    EXPECT_EQ(alg_mgf_local_max_value_id_origin(x.data(), size_t{1} << 61, x.data(), 3, &set), ALG_ERR_FAILURE);
    EXPECT_EQ(set, kUntouchedSet);
}

TEST(MultiGauss, SumsThePeaksAtEachTemperature) {
    Handle handle({69, 70, 71}, {0, 0, 0});
    Set set({2}, {70}, {1});
    double* values = nullptr;
    size_t count = 0;
    ASSERT_EQ(alg_mgf_multi_gauss(handle.p, set.p, &values, &count), ALG_OK);
    const V v = peaks_test::take_values(values, count);
    EXPECT_EQ(v, (V{2 * std::exp(-0.5), 2, 2 * std::exp(-0.5)}));
}

TEST(MultiGauss, WithoutPeaksGivesZerosAsLongAsY) {
    Set empty({}, {}, {});
    for (const size_t ny : {5u, 4u}) {
        Handle handle({1, 2, 3, 4, 5}, V(ny, 3.0));
        double* values = nullptr;
        size_t count = 0;
        ASSERT_EQ(alg_mgf_multi_gauss(handle.p, empty.p, &values, &count), ALG_OK);
        EXPECT_EQ(peaks_test::take_values(values, count), V(ny, 0.0));
    }
    Handle none({}, {});
    double* values = nullptr;
    size_t count = 9;
    ASSERT_EQ(alg_mgf_multi_gauss(none.p, empty.p, &values, &count), ALG_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(values, nullptr);  // a real, releasable block
    EXPECT_EQ(alg_darray_release(&values), ALG_OK);
}

TEST(MultiGauss, APeakNeedsXAndYOfOneLength) {
    Handle handle({1, 2, 3, 4, 5}, {0, 0, 0, 0});
    Set set({1}, {3}, {1});
    double* values = nullptr;
    size_t count = 0;
    EXPECT_EQ(alg_mgf_multi_gauss(handle.p, set.p, &values, &count), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("两向量长度不等，元素个数不同不能相加。"));
}

// One filter call through the interface; the caller's set is not changed.
Fields filtered(const V& limits, const Set& set) {
    GaussCoeff* out = nullptr;
    EXPECT_EQ(alg_mgf_coeff_filter(limits.data(), set.p, &out), ALG_OK);
    Fields f = peaks_test::read(out);
    alg_gausscoeff_release(&out);
    return f;
}

TEST(CoeffFilter, HeightIsStrictAndWidthLimitsInclusive) {
    // FWHM = 2.3548 sigma: sigma 10 / 2.3548 and 1 / 2.3548 sit on the limits.
    const double on_max = 10 / 2.3548;
    const double on_min = 1 / 2.3548;
    ASSERT_EQ(on_max * 2.3548, 10.0);
    ASSERT_EQ(on_min * 2.3548, 1.0);
    Set set({0, 1, 2, 3, 4}, {70, 71, 72, 73, 74}, {1, on_max, on_min, 5, NAN});
    const Fields f = filtered({0, 10, 1}, set);
    ASSERT_EQ(f.center.size(), 2u);
    EXPECT_EQ(f.center, (V{71, 72}));  // the relative order is kept
    EXPECT_EQ(f.amplitude, (V{1, 2}));
    EXPECT_EQ(f.sigma, (V{on_max, on_min}));
    EXPECT_EQ(peaks_test::read(set.p).center, (V{70, 71, 72, 73, 74}));
}

TEST(CoeffFilter, FwhmIsSigmaTimesTheRoundedFactor) {
    Set set({1}, {70}, {1});
    EXPECT_EQ(filtered({0, 2.3548, 0}, set).center.size(), 1u);
    EXPECT_EQ(filtered({0, 2.35, 0}, set).center.size(), 0u);
    Set empty({}, {}, {});
    const Fields f = filtered({0, 10, 1}, empty);
    EXPECT_TRUE(f.amplitude.empty() && f.center.empty() && f.sigma.empty());
}

TEST(CoeffFilter, RefusesShortHeightsOrWidthsAndHandsOutNothing) {
    const V limits{0, 10, 0};
    for (const bool short_sigma : {false, true}) {
        Set set(short_sigma ? V{1, 2} : V{1}, {70, 80}, short_sigma ? V{1} : V{1, 2});
        GaussCoeff* out = kUntouchedSet;
        EXPECT_EQ(alg_mgf_coeff_filter(limits.data(), set.p, &out), ALG_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(get_last_error()), gbk("GaussCoeff 数据无效。"));
        EXPECT_EQ(out, kUntouchedSet);
    }
}

}  // namespace
