// The call frame, the allocator's retries, the releases and the layout probe.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>

#include "QuelmarAlg.h"
#include "base/allocator.h"
#include "boundary/call_frame.h"

namespace {

// The library's own exceptions reach every code through the cases; here the
// runtime's, foreign ones, and messages longer than the buffer.
TEST(CallFrame, MapsExceptionsToCodesAndBoundedMessages) {
    const std::string long_text(300, 'x');
    const struct {
        std::function<void()> work;
        int code;
        std::string message;
    } cases[] = {
        {[] {}, ALG_OK, ""},
        {[] { throw std::logic_error("e"); }, ALG_ERR_FAILURE, "e"},
        {[] { throw std::bad_alloc(); }, ALG_ERR_FAILURE, "bad allocation"},
        {[] { throw std::bad_array_new_length(); }, ALG_ERR_FAILURE, "bad array new length"},
        {[] { throw 42; }, ALG_ERR_FAILURE, "Unknown exception"},
        {[&] { throw std::invalid_argument(long_text); }, ALG_ERR_INVALID_ARGUMENT, std::string(255, 'x')},
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
    std::new_handler previous = std::set_new_handler([] {
        if (++calls == 3) throw std::bad_alloc();
    });
    EXPECT_THROW(quelmar::allocate_bytes(SIZE_MAX), std::bad_alloc);
    EXPECT_EQ(calls, 3);
    std::set_new_handler(previous);
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

// The record a host fills before the layout probe: 1.1, 2.2, 3.3, 4.4 and
// 5.5 in the doubles at 0, 8, 16, 24 and 128; k in the eight doubles from
// 32; 1, 2, 3 in the int16s from 96; 1, 0, 1, ... in the eight bytes from 136.
FittingResult probe_input() {
    FittingResult r;
    std::memset(&r, 0xEE, sizeof r);
    unsigned char* b = reinterpret_cast<unsigned char*>(&r);
    const double head[] = {1.1, 2.2, 3.3, 4.4};
    std::memcpy(b, head, sizeof head);
    for (int k = 0; k < 8; ++k) {
        const double v = k;
        std::memcpy(b + 32 + 8 * k, &v, 8);
        b[136 + k] = (k & 1) == 0;
    }
    r.baseline_start = 1, r.baseline_end = 2, r.reserved5 = 3, r.baseline_sd = 5.5;
    return r;
}

double double_at(const FittingResult& r, int offset) {
    double v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(&r) + offset, 8);
    return v;
}

TEST(LayoutProbe, RewritesEveryExaminedFieldAndNeitherMessageNorVersion) {
    ASSERT_EQ(alg_increasing(0, 1, 0, nullptr), ALG_ERR_INVALID_ARGUMENT);
    const std::string message = get_last_error();
    FittingResult r = probe_input();
    const FittingResult before = r;
    EXPECT_EQ(test_fitting_result(&r), ALG_OK);
    EXPECT_STREQ(version(), "1.1.1");
    EXPECT_EQ(get_last_error(), message);
    EXPECT_EQ(get_last_error(), get_last_error());  // the one buffer
    for (int k = 0; k < 4; ++k) EXPECT_EQ(double_at(r, 8 * k), double_at(before, 8 * k) * 2) << k;
    EXPECT_TRUE(r.baseline_sd == 11.0 && r.baseline_start == 2 && r.baseline_end == 4 && r.reserved5 == 6);
    for (int k = 0; k < 8; ++k)
        EXPECT_TRUE(double_at(r, 32 + 8 * k) == 2.0 * k && reinterpret_cast<unsigned char*>(&r)[136 + k] == (k & 1));
    // The gap and the three sigmoid doubles are not examined.
    EXPECT_EQ(std::memcmp(reinterpret_cast<char*>(&r) + 102, reinterpret_cast<const char*>(&before) + 102, 26), 0);
}

TEST(LayoutProbe, StopsAtTheFirstMismatch) {
    FittingResult r = probe_input();
    r.max_slope_index = NAN;
    const FittingResult before = r;
    EXPECT_EQ(test_fitting_result(&r), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);
    r = probe_input();
    r.reserved6[5] = 5;  // the byte at 143 should be 0: everything examined before it is rewritten
    EXPECT_EQ(test_fitting_result(&r), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(r.max_slope_index == 2.2 && r.reserved5 == 6 && r.reserved4 == 14.0);
    EXPECT_TRUE(r.reserved6[4] == 0 && r.reserved6[5] == 5);
}

}  // namespace
