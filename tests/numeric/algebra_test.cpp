#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "expect_throw.h"
#include "numeric/matrix.h"

namespace {

using quelmar::Matrix;
using quelmar::Vector;

Matrix square(std::initializer_list<double> row_major, size_t n) {
    Matrix m(n, row_major.size() / n);
    size_t i = 0;
    for (double v : row_major) {
        m.at(i / m.cols(), i % m.cols()) = v;
        ++i;
    }
    return m;
}

TEST(Product, MatrixTimesMatrix) {
    Matrix a = square({1, 2, 3, 4}, 2);
    a *= square({5, 6, 7, 8}, 2);
    EXPECT_EQ(a.at(0, 0), 19.0);
    EXPECT_EQ(a.at(0, 1), 22.0);
    EXPECT_EQ(a.at(1, 0), 43.0);
    EXPECT_EQ(a.at(1, 1), 50.0);
    EXPECT_THROW_MSG(a *= Matrix(3, 1), std::invalid_argument, "左矩阵列数与右矩阵行数不同，不能相乘。");
}

TEST(Product, MatrixTimesVectorChecksOutFirst) {
    const Matrix m(2, 3, 1.0);
    EXPECT_THROW_MSG(quelmar::multiply(m, Vector(2), nullptr), std::invalid_argument, "out 参数不能为空。");
    Vector out;
    EXPECT_THROW_MSG(quelmar::multiply(m, Vector(2), &out), std::invalid_argument,
                     "矩阵列数与列向量长度不同，不能进行矩阵左乘！");
    const double values[] = {1, 2, 3};
    quelmar::multiply(m, Vector::copy_of(values, 3), &out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], 6.0);
}

TEST(Concatenation, AppendsColumnsOfEqualHeight) {
    Matrix a(2, 1, 1.0);
    a.append_columns(Matrix(2, 2, 2.0));
    ASSERT_EQ(a.cols(), 3u);
    EXPECT_EQ(a.at(1, 0), 1.0);
    EXPECT_EQ(a.at(1, 2), 2.0);
    EXPECT_THROW_MSG(a.append_columns(Matrix(3, 1)), std::invalid_argument, "列不相同，不可拼接。");
}

TEST(Inversion, OneByOne) {
    Matrix m = square({2}, 1);
    EXPECT_TRUE(m.invert());
    EXPECT_EQ(m.at(0, 0), 0.5);
    Matrix zero = square({0}, 1);
    EXPECT_TRUE(zero.invert());  // a single row is never tested
    EXPECT_EQ(zero.at(0, 0), std::numeric_limits<double>::infinity());
}

TEST(Inversion, ExchangesRowsForAZeroPivot) {
    Matrix m = square({0, 1, 1, 0}, 2);
    EXPECT_TRUE(m.invert());
    EXPECT_EQ(m.at(0, 0), 0.0);
    EXPECT_EQ(m.at(0, 1), 1.0);
    EXPECT_EQ(m.at(1, 0), 1.0);
    EXPECT_EQ(m.at(1, 1), 0.0);
}

TEST(Inversion, GeneralThreeByThreeIsAnInverse) {
    const Matrix original = square({4, 7, 2, 3, 6, 1, 2, 5, 3}, 3);
    Matrix inverse = original;
    ASSERT_TRUE(inverse.invert());
    Matrix product = original;
    product *= inverse;
    for (size_t i = 0; i < 3; ++i)
        for (size_t j = 0; j < 3; ++j) EXPECT_NEAR(product.at(i, j), i == j ? 1.0 : 0.0, 1e-14);
}

TEST(Inversion, SingularLastPivotPassesWithNonFiniteElements) {
    Matrix m = square({1, 2, 2, 4}, 2);
    EXPECT_TRUE(m.invert());
    bool non_finite = false;
    for (size_t i = 0; i < 2; ++i)
        for (size_t j = 0; j < 2; ++j) non_finite |= !std::isfinite(m.at(i, j));
    EXPECT_TRUE(non_finite);
}

TEST(Inversion, ZeroPivotColumnFailsAndLeavesTheIntermediate) {
    Matrix m = square({1, 1, 1, 1, 1, 1, 1, 1, 1}, 3);
    EXPECT_FALSE(m.invert());
    EXPECT_EQ(m.rows(), 3u);
    EXPECT_EQ(m.cols(), 6u);
    EXPECT_THROW_MSG(Matrix(2, 3).invert(), std::invalid_argument, "不是方阵，无法求逆矩阵。");
    EXPECT_FALSE(Matrix().forward_eliminate());
}

TEST(Inversion, NearlySingularIsNotDetected) {
    Matrix m = square({1, 1, 1, 1 + 1e-15}, 2);
    EXPECT_TRUE(m.invert());
    EXPECT_TRUE(std::isfinite(m.at(0, 0)));
    EXPECT_GT(std::fabs(m.at(0, 0)), 1e14);
}

void square_and_product(const void*, const Vector& p, Vector& out) {
    out = Vector(2);
    out[0] = p[0] * p[0];
    out[1] = p[0] * p[1];
}

void length_follows_parameter(const void*, const Vector& p, Vector& out) {
    out = Vector(p[0] > 1.0 ? 3 : 2);
}

TEST(Jacobian, CentralDifferencesWithShiftedParameters) {
    const double start[] = {1.0, 2.0};
    Vector p = Vector::copy_of(start, 2);
    Matrix j;
    quelmar::numerical_jacobian(square_and_product, nullptr, p, j);
    ASSERT_EQ(j.rows(), 2u);
    ASSERT_EQ(j.cols(), 2u);
    EXPECT_NEAR(j.at(0, 0), 2.0, 1e-7);
    EXPECT_NEAR(j.at(1, 0), 2.0, 1e-7);
    EXPECT_NEAR(j.at(0, 1), 0.0, 1e-12);
    // Column 1 is taken with p0 already shifted by the step.
    EXPECT_NEAR(j.at(1, 1), 1.00000005, 1e-8);
    EXPECT_EQ(p[0], 1.0 + 5e-8);
    EXPECT_EQ(p[1], 2.0 + 5e-8);
}

TEST(Jacobian, RefusesValueLengthsThatChange) {
    const double start[] = {1.0};
    Vector p = Vector::copy_of(start, 1);
    Matrix j;
    EXPECT_THROW_MSG(quelmar::numerical_jacobian(length_follows_parameter, nullptr, p, j),
                     std::invalid_argument, "两向量长度不等，元素个数不同不能相减。");
}

}  // namespace
