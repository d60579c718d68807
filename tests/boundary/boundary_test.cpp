// The call frame, the allocator's retries, the owning containers' moves, the
// releases and the layout probe.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "QuelmarAlg.h"
#include "base/allocator.h"
#include "base/failures.h"
#include "boundary/call_frame.h"
#include "numeric/matrix.h"

namespace {

// The library's own failures, raised through the helpers named for their
// codes, and the runtime's, foreign ones, and messages longer than the buffer.
TEST(CallFrame, MapsExceptionsToCodesAndBoundedMessages) {
    const struct {
        std::function<void()> work;
        int code;
        std::string message;
    } cases[] = {
        {[] {}, ALG_OK, ""},
        {[] { quelmar::fail_invalid_argument("a"); }, ALG_ERR_INVALID_ARGUMENT, "a"},
        {[] { quelmar::fail_out_of_range("b"); }, ALG_ERR_OUT_OF_RANGE, "b"},
        {[] { quelmar::fail_reversed_range("c"); }, ALG_ERR_OUT_OF_RANGE, "c"},
        {[] { quelmar::fail_overflow("d"); }, ALG_ERR_FAILURE, "d"},
        {[] { throw std::logic_error("e"); }, ALG_ERR_FAILURE, "e"},
        {[] { throw std::bad_alloc(); }, ALG_ERR_FAILURE, "bad allocation"},
        {[] { throw std::bad_array_new_length(); }, ALG_ERR_FAILURE, "bad array new length"},
        {[] { throw 42; }, ALG_ERR_FAILURE, "Unknown exception"},
        {[] { throw std::invalid_argument(std::string(300, 'x')); }, ALG_ERR_INVALID_ARGUMENT, std::string(255, 'x')},
        {[] { throw std::invalid_argument("ab"); }, ALG_ERR_INVALID_ARGUMENT, "ab"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quelmar::call_frame(c.work), c.code) << c.message;
        EXPECT_EQ(std::string(get_last_error()), c.message);
    }
    for (int i = 2; i < 256; ++i) EXPECT_EQ(get_last_error()[i], '\0') << i;  // no trace of the longer one
}

TEST(Allocator, RetriesThroughTheNewHandler) {
    static int calls = 0;
    std::new_handler previous = std::set_new_handler([] { if (++calls == 3) throw std::bad_alloc(); });
    EXPECT_THROW(quelmar::allocate_bytes(SIZE_MAX), std::bad_alloc);
    EXPECT_EQ(calls, 3);
    std::set_new_handler(previous);
}

// A container moved from is empty, and can be filled again: the fits swap
// and refill their working storage.
TEST(Containers, AreEmptyOnceMovedFrom) {
    quelmar::Matrix m(2, 3, 1.0);
    const quelmar::Matrix taken(std::move(m));
    EXPECT_TRUE(m.rows() == 0 && m.cols() == 0 && m.elements().empty() && taken.cols() == 3);
    m.assign_fill(2.0, 1, 2);
    EXPECT_TRUE(m.rows() == 1 && m.cols() == 2 && m(0, 1) == 2.0);
}

// Every release takes the address of the caller's pointer, frees and nulls
// it, accepts NULL at either level, and clears the message.
TEST(Releases, AcceptNullAreIdempotentAndClearTheMessage) {
    GaussCoeff* set = nullptr;
    MgfHandle* handle = nullptr;
    double* block = nullptr;
    std::size_t count = 9;
    const MgfOptions options{};
    ASSERT_EQ(alg_create_gausscoeff(&set), ALG_OK);
    ASSERT_EQ(alg_mgf_create(nullptr, 0, nullptr, 0, &options, &handle), ALG_OK);
    ASSERT_EQ(alg_mgf_multi_gauss(handle, set, &block, &count), ALG_OK);
    ASSERT_TRUE(block != nullptr && count == 0);  // a real block, even empty
    const std::function<int()> releases[] = {
        [&] { return alg_darray_release(&block); },  [&] { return alg_gausscoeff_release(&set); },
        [&] { return alg_mgf_release(&handle); },    [] { return alg_darray_release(nullptr); },
        [] { return alg_gausscoeff_release(nullptr); }, [] { return alg_mgf_release(nullptr); },
    };
    for (int round = 0; round < 2; ++round)
        for (const auto& release : releases) {
            ASSERT_EQ(alg_increasing(0, 1, 0, nullptr), ALG_ERR_INVALID_ARGUMENT);
            EXPECT_EQ(release(), ALG_OK);
            EXPECT_STREQ(get_last_error(), "");
        }
    EXPECT_TRUE(set == nullptr && handle == nullptr && block == nullptr);
}

// What a host fills in before the layout probe, by offset: 1.1, 2.2, 3.3, 4.4
// and 5.5 in the doubles at 0, 8, 16, 24, 128; k in the eight doubles from
// 32; 1, 2, 3 in the int16s from 96; 1, 0, 1, ... in the eight bytes from
// 136. It expects them doubled, and the bytes flipped.
const FittingResult kProbe = {1.1, 2.2, 3.3, 4.4, 0, 1, 2, 3, 4, 5, 6, 7, 1, 2, 3, -1, -1, -1, 5.5, 1, 0, {1, 0, 1, 0, 1, 0}};
const FittingResult kProbed = {2.2, 4.4, 6.6, 8.8, 0, 2, 4, 6, 8, 10, 12, 14, 2, 4, 6, 0, 0, 0, 11, 0, 1, {0, 1, 0, 1, 0, 1}};

bool same_bytes(const FittingResult& a, const FittingResult& b, int from, int to) {
    return std::memcmp(reinterpret_cast<const char*>(&a) + from, reinterpret_cast<const char*>(&b) + from, to - from) == 0;
}

TEST(LayoutProbe, RewritesTheExaminedFieldsUpToTheFirstMismatch) {
    ASSERT_EQ(alg_increasing(0, 1, 0, nullptr), ALG_ERR_INVALID_ARGUMENT);
    const std::string message = get_last_error();
    FittingResult r = kProbe;
    EXPECT_EQ(test_fitting_result(&r), ALG_OK);
    EXPECT_STREQ(version(), "1.1.1");
    EXPECT_EQ(get_last_error(), message);  // neither touches it
    EXPECT_EQ(get_last_error(), get_last_error());  // the one buffer
    // The gap at 102 and the three sigmoid doubles are not examined.
    EXPECT_TRUE(same_bytes(r, kProbed, 0, 102) && same_bytes(r, kProbed, 128, 144) && same_bytes(r, kProbe, 102, 128));
    // A NaN first field stops it before anything changes; a wrong byte at
    // 143 (expected 0) after everything else is rewritten.
    r = kProbe, r.max_slope_index = NAN;
    const FittingResult nan_first = r;
    EXPECT_EQ(test_fitting_result(&r), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(same_bytes(r, nan_first, 0, 144));
    r = kProbe, r.reserved6[5] = 5;
    EXPECT_EQ(test_fitting_result(&r), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(same_bytes(r, kProbed, 0, 102) && same_bytes(r, kProbed, 128, 143) && r.reserved6[5] == 5);
}

}  // namespace
