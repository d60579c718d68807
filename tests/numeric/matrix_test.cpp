#include <gtest/gtest.h>

#include <stdexcept>

#include "expect_throw.h"
#include "numeric/matrix.h"

namespace {

using quelmar::Matrix;
using quelmar::Vector;

Matrix three_by_two() {
    const double values[] = {1, 2, 3, 4, 5, 6};
    return Matrix::from_column_major(values, 3, 2);
}

TEST(MatrixAccess, FromColumnMajorPutsEachRunInAColumn) {
    const Matrix m = three_by_two();
    ASSERT_EQ(m.rows(), 3u);
    ASSERT_EQ(m.cols(), 2u);
    EXPECT_EQ(m.at(0, 0), 1.0);
    EXPECT_EQ(m.at(0, 1), 4.0);
    EXPECT_EQ(m.at(2, 0), 3.0);
    EXPECT_EQ(m.at(2, 1), 6.0);
}

TEST(MatrixAccess, ChecksEveryIndex) {
    Matrix m = three_by_two();
    EXPECT_THROW_MSG(m.at(3, 0), std::out_of_range, "行或列值超出范围。");
    EXPECT_THROW_MSG(m.at(0, 2), std::out_of_range, "行或列值超出范围。");
    EXPECT_THROW_MSG(m.row(3), std::out_of_range, "row 超出范围。");
    EXPECT_THROW_MSG(m.col(2), std::out_of_range, "col 超出范围。");
    // The index is tested before the length.
    EXPECT_THROW_MSG(m.set_row(3, Vector(5)), std::out_of_range, "row 超出范围。");
    EXPECT_THROW_MSG(m.set_row(0, Vector(3)), std::invalid_argument, "行向量长度与矩阵列数不同，不能设置。");
    EXPECT_THROW_MSG(m.set_col(2, Vector(5)), std::out_of_range, "col 超出范围。");
    EXPECT_THROW_MSG(m.set_col(0, Vector(2)), std::invalid_argument, "列向量长度与矩阵行数不同，不能设置。");
    EXPECT_EQ(m.at(0, 0), 1.0);
}

TEST(MatrixRows, SwapIgnoresEqualIndicesAndChecksOthers) {
    Matrix m = three_by_two();
    m.swap_rows(7, 7);
    EXPECT_THROW_MSG(m.swap_rows(0, 3), std::out_of_range, "row 超出范围。");
    m.swap_rows(0, 2);
    EXPECT_EQ(m.at(0, 1), 6.0);
    EXPECT_EQ(m.at(2, 1), 4.0);
}

TEST(MatrixColumns, KeepColumnsRefusesEmptyAndTooWideRanges) {
    Matrix m(2, 4);
    for (size_t c = 0; c < 4; ++c) m.at(1, c) = static_cast<double>(c);
    EXPECT_THROW_MSG(m.keep_columns(2, 2), std::range_error, "end 不可小于 begin");
    EXPECT_THROW_MSG(m.keep_columns(0, 5), std::out_of_range, "超过最大列。");
    m.keep_columns(1, 3);
    ASSERT_EQ(m.cols(), 2u);
    EXPECT_EQ(m.at(1, 0), 1.0);
    EXPECT_EQ(m.at(1, 1), 2.0);
}

TEST(MatrixShape, TransposeAndAddition) {
    Matrix m = three_by_two();
    m.transpose();
    ASSERT_EQ(m.rows(), 2u);
    EXPECT_EQ(m.at(1, 2), 6.0);
    Matrix other(2, 3, 1.0);
    m += other;
    EXPECT_EQ(m.at(0, 0), 2.0);
    EXPECT_THROW_MSG(m += three_by_two(), std::invalid_argument, "两矩阵形状不同，不能相加。");
}

}  // namespace
