// The call frame, the releases, the version and the layout probe.
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

struct DerivedInvalid : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

TEST(CallFrame, MapsExceptionsToCodesAndBoundedMessages) {
    const std::string long_text(300, 'x');
    const struct {
        std::function<void()> work;
        int code;
        std::string message;
    } cases[] = {
        {[] {}, ALG_OK, ""},
        {[] { throw DerivedInvalid("a"); }, ALG_ERR_INVALID_ARGUMENT, "a"},
        {[] { throw std::out_of_range("b"); }, ALG_ERR_OUT_OF_RANGE, "b"},
        {[] { throw std::range_error("c"); }, ALG_ERR_OUT_OF_RANGE, "c"},
        {[] { throw std::overflow_error("d"); }, ALG_ERR_FAILURE, "d"},
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
    // A shorter message leaves no trace of a longer one.
    for (int i = 2; i < 256; ++i) EXPECT_EQ(get_last_error()[i], '\0') << i;
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
    ASSERT_TRUE(set != nullptr && handle != nullptr && block != nullptr && count == 0);
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

TEST(Version, IsFixedAndLeavesTheMessageAlone) {
    ASSERT_EQ(alg_increasing(0, 1, 0, nullptr), ALG_ERR_INVALID_ARGUMENT);
    const std::string message = get_last_error();
    EXPECT_STREQ(version(), "1.1.1");
    EXPECT_EQ(get_last_error(), message);
    EXPECT_EQ(get_last_error(), get_last_error());  // the one buffer
}

// The record a host fills before calling the layout probe, by offset:
// doubles 1.1, 2.2, 3.3, 4.4 at 0..24 and 5.5 at 128; k at 32 + 8k; int16
// 1, 2, 3 at 96..100; bytes 1, 0, 1, ... at 136 + k.
struct Probe {
    unsigned char b[144];
    Probe() {
        std::memset(b, 0xEE, sizeof b);
        const double first[] = {1.1, 2.2, 3.3, 4.4, 5.5};
        for (int k = 0; k < 8; ++k) {
            put(32 + 8 * k, double(k));
            b[136 + k] = (k & 1) == 0;
            if (k < 5) put(k < 4 ? 8 * k : 128, first[k]);
        }
        const int16_t shorts[] = {1, 2, 3};
        std::memcpy(b + 96, shorts, sizeof shorts);
    }
    void put(int at, double v) { std::memcpy(b + at, &v, 8); }
    double d(int at) const {
        double v;
        std::memcpy(&v, b + at, 8);
        return v;
    }
    int16_t s(int at) const {
        int16_t v;
        std::memcpy(&v, b + at, 2);
        return v;
    }
    int run() { return test_fitting_result(reinterpret_cast<FittingResult*>(b)); }
};

TEST(LayoutProbe, RewritesEveryExaminedFieldAndNothingElse) {
    ASSERT_EQ(alg_increasing(0, 1, 0, nullptr), ALG_ERR_INVALID_ARGUMENT);
    const std::string message = get_last_error();
    Probe p;
    const Probe before = p;
    EXPECT_EQ(p.run(), ALG_OK);
    EXPECT_EQ(get_last_error(), message);  // the probe does not touch it
    for (int k = 0; k < 4; ++k) EXPECT_EQ(p.d(8 * k), before.d(8 * k) + before.d(8 * k)) << k;
    EXPECT_EQ(p.d(128), 11.0);
    EXPECT_TRUE(p.s(96) == 2 && p.s(98) == 4 && p.s(100) == 6);
    for (int k = 0; k < 8; ++k) EXPECT_TRUE(p.d(32 + 8 * k) == 2.0 * k && p.b[136 + k] == (k & 1)) << k;
    EXPECT_EQ(std::memcmp(p.b + 102, before.b + 102, 26), 0);  // the gap and the sigmoid doubles
}

TEST(LayoutProbe, StopsAtTheFirstMismatch) {
    Probe nan_first;
    nan_first.put(0, NAN);
    const Probe before = nan_first;
    EXPECT_EQ(nan_first.run(), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::memcmp(nan_first.b, before.b, 144), 0);
    Probe last_byte;
    last_byte.b[143] = 5;  // expected 0: everything before it is rewritten
    EXPECT_EQ(last_byte.run(), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_TRUE(last_byte.d(0) == 2.2 && last_byte.s(100) == 6 && last_byte.d(88) == 14.0);
    EXPECT_TRUE(last_byte.b[142] == 0 && last_byte.b[143] == 5);
}

}  // namespace
