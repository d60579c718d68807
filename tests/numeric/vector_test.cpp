#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "expect_throw.h"
#include "numeric/vector.h"

namespace {

using quelmar::Vector;

Vector vec(std::initializer_list<double> values) { return Vector::copy_of(values.begin(), values.size()); }

TEST(VectorSlice, ChecksOrderThenEnd) {
    const Vector v = vec({1, 2, 3, 4, 5});
    EXPECT_TRUE(v.slice(3, 3).empty());
    // begin after end is reported first, even when begin is past the size.
    EXPECT_THROW_MSG(v.slice(4, 3), std::range_error, "开始下标不能大于结束下标。");
    EXPECT_THROW_MSG(v.slice(7, 6), std::range_error, "开始下标不能大于结束下标。");
    EXPECT_THROW_MSG(v.slice(2, 6), std::out_of_range, "end下标越界。");
    const Vector s = v.slice(1, 4);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0], 2.0);
    EXPECT_EQ(s[2], 4.0);
}

TEST(VectorSequence, AccumulatesRunningSums) {
    Vector v;
    v.assign_sequence(1.0, 1.0, 5);
    EXPECT_EQ(v.size(), 5u);
    EXPECT_EQ(v[4], 5.0);
    v.assign_sequence(1.0, 0.1, 11);
    EXPECT_EQ(v[10], 2.000000000000001);  // not 1.0 + 10 * 0.1
    v.assign_sequence(3.0, 1.0, 0);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(v.data(), nullptr);
}

TEST(VectorArithmetic, RefusesUnequalLengthsWithTheOperationsMessage) {
    Vector a = vec({1, 2, 3});
    const Vector b = vec({1, 2});
    EXPECT_THROW_MSG(a += b, std::invalid_argument, "两向量长度不等，元素个数不同不能相加。");
    EXPECT_THROW_MSG(a -= b, std::invalid_argument, "两向量长度不等，元素个数不同不能相减。");
    EXPECT_THROW_MSG(a *= b, std::invalid_argument, "两向量长度不等，元素个数不同不能相乘。");
    EXPECT_THROW_MSG(quelmar::dot(a, b), std::invalid_argument, "两向量长度不等，元素个数不同不能相乘。");
    EXPECT_EQ(a[0], 1.0);  // unchanged by the refused operations
    EXPECT_EQ(a[2], 3.0);
}

TEST(VectorArithmetic, ElementwiseAndScalarForms) {
    const Vector a = vec({1, 2, 3});
    const Vector b = vec({4, 5, 6});
    const Vector sum = a + b;
    const Vector difference = b - a;
    const Vector product = a * b;
    const Vector shifted = a + 0.5;
    const Vector scaled = a * 2.0;
    EXPECT_EQ(sum[2], 9.0);
    EXPECT_EQ(difference[0], 3.0);
    EXPECT_EQ(product[1], 10.0);
    EXPECT_EQ(shifted[0], 1.5);
    EXPECT_EQ(scaled[2], 6.0);
    EXPECT_EQ(quelmar::dot(a, b), 32.0);
    EXPECT_EQ(a[0], 1.0);  // the non-modifying forms copy
}

TEST(VectorStatistics, MeanAndSumOfSquaredDeviations) {
    EXPECT_TRUE(std::isnan(quelmar::mean(Vector())));
    EXPECT_EQ(quelmar::sum_sq_dev(Vector()), 0.0);
    EXPECT_EQ(quelmar::mean(vec({1, 2, 3, 4})), 2.5);
    EXPECT_EQ(quelmar::sum_sq_dev(vec({1, 2, 3, 4})), 5.0);
    EXPECT_EQ(quelmar::sum_sq_dev(vec({7})), 0.0);
}

TEST(VectorCopies, AreDeepAndSelfSafe) {
    Vector a = vec({1, 2, 3});
    Vector b = a;
    b[0] = 9;
    EXPECT_EQ(a[0], 1.0);
    a.assign_copy(a.data() + 1, 2);  // source inside the old storage
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0], 2.0);
    EXPECT_EQ(a[1], 3.0);
    a = a;  // self-assignment keeps the content
    EXPECT_EQ(a[1], 3.0);
}

}  // namespace
