// The mapping from exceptions to result codes and the bounded message copy.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "frame/allocator.h"
#include "frame/call_frame.h"

namespace {

using quelmar::call_frame;

struct DerivedInvalid : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

TEST(CallFrame, MapsExceptionClassesInOrder) {
    EXPECT_EQ(call_frame([] {}), ALG_OK);
    EXPECT_EQ(call_frame([] { throw std::invalid_argument("a"); }), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(call_frame([] { throw DerivedInvalid("a"); }), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(call_frame([] { throw std::out_of_range("b"); }), ALG_ERR_OUT_OF_RANGE);
    EXPECT_EQ(call_frame([] { throw std::range_error("c"); }), ALG_ERR_OUT_OF_RANGE);
    EXPECT_EQ(call_frame([] { throw std::overflow_error("d"); }), ALG_ERR_FAILURE);
    EXPECT_STREQ(quelmar::last_error_text(), "d");
    EXPECT_EQ(call_frame([] { throw std::runtime_error("e"); }), ALG_ERR_FAILURE);
    EXPECT_EQ(call_frame([] { throw std::logic_error("f"); }), ALG_ERR_FAILURE);
    EXPECT_EQ(call_frame([] { throw 42; }), ALG_ERR_FAILURE);
    EXPECT_STREQ(quelmar::last_error_text(), "Unknown exception");
}

TEST(CallFrame, WordsAllocationFailuresAsTheHostRuntime) {
    EXPECT_EQ(call_frame([] { throw std::bad_alloc(); }), ALG_ERR_FAILURE);
    EXPECT_STREQ(quelmar::last_error_text(), "bad allocation");
    EXPECT_EQ(call_frame([] { throw std::bad_array_new_length(); }), ALG_ERR_FAILURE);
    EXPECT_STREQ(quelmar::last_error_text(), "bad array new length");
}

TEST(CallFrame, CutsLongMessagesAfter255Bytes) {
    const std::string long_text(300, 'x');
    EXPECT_EQ(call_frame([&] { throw std::invalid_argument(long_text); }), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(quelmar::last_error_text()), std::string(255, 'x'));
    // A shorter message afterwards leaves no trace of the longer one.
    EXPECT_EQ(call_frame([] { throw std::invalid_argument("ab"); }), ALG_ERR_INVALID_ARGUMENT);
    const char* text = quelmar::last_error_text();
    EXPECT_STREQ(text, "ab");
    for (int i = 2; i < 256; ++i) EXPECT_EQ(text[i], '\0') << i;
}

TEST(Allocator, RetriesThroughTheNewHandler) {
    static int calls = 0;
    calls = 0;
    std::new_handler previous = std::set_new_handler([] {
        ++calls;
        if (calls == 3) throw std::bad_alloc();
    });
    EXPECT_THROW(quelmar::allocate_bytes(SIZE_MAX), std::bad_alloc);
    EXPECT_EQ(calls, 3);
    std::set_new_handler(previous);
}

TEST(Allocator, OverflowingDoubleCountAsksForEverything) {
    EXPECT_EQ(quelmar::double_array_bytes(size_t{1} << 61), SIZE_MAX);
    EXPECT_EQ(quelmar::double_array_bytes((size_t{1} << 61) - 1), SIZE_MAX - 7);
    EXPECT_THROW(quelmar::allocate_doubles(size_t{1} << 61), std::bad_array_new_length);
}

}  // namespace
