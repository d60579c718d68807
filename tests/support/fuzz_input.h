// Shared pieces of the fuzz targets: turning the fuzzer's bytes into bounded
// counts and doubles, and running the calls through the table of exports,
// checking what the public header promises of every call. A broken promise
// aborts, which the fuzzer (and the replay) reports.
//
// Byte format, read front to back (bytes past the end read as 0):
//   count(lo, hi)  two bytes, little-endian u16 v: lo + v % (hi - lo + 1)
//   value()        a tag byte, then by tag & 3:
//                    0  eight bytes, the raw bit pattern (little-endian)
//                    1  an awkward constant, kAwkward[(tag >> 2) % size]
//                    2  one byte d: the previous value + (int8)d * 2^((tag >> 2) - 24)
//                    3  two bytes u: (int16)u * 2^((tag >> 2) - 24)
// Form 2 draws smooth curves, form 3 plausible magnitudes; the real-data
// seeds (tests/support/make_fuzz_seeds.py) use form 0.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "export_calls.h"

#define FUZZ_REQUIRE(cond) ((cond) ? (void)0 : ::fuzz::broken(#cond, __FILE__, __LINE__))

namespace fuzz {

using exports::V;

[[noreturn]] inline void broken(const char* what, const char* file, int line) {
    std::fprintf(stderr, "broken promise: %s (%s:%d), last error \"%s\"\n", what, file, line, get_last_error());
    std::abort();
}

inline const double kAwkward[] = {
    NAN, -NAN, HUGE_VAL, -HUGE_VAL, 0.0, -0.0, DBL_MAX, -DBL_MAX, DBL_MIN, DBL_TRUE_MIN, -DBL_TRUE_MIN,
    1.0, -1.0, 0.5, 1e-8, 1e-300, 1e300, 2147483648.0, -2147483649.0, 9007199254740993.0, 0x1p63, 0x1p64,
    10.0, 0.01, 100.0, 300.0, 1.7, 2.3548, 9.99, 1e7, 2.0, 3.0};

class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

    uint8_t byte() { return p_ < end_ ? *p_++ : 0; }

    size_t count(size_t lo, size_t hi) {
        const unsigned v = byte() | static_cast<unsigned>(byte()) << 8;
        return lo + v % (hi - lo + 1);
    }

    double value() {
        const uint8_t tag = byte();
        const double scale = std::ldexp(1.0, (tag >> 2) - 24);
        switch (tag & 3) {
            case 0: {
                uint64_t bits = 0;
                for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(byte()) << (8 * i);
                std::memcpy(&last_, &bits, sizeof last_);
                break;
            }
            case 1: last_ = kAwkward[(tag >> 2) % std::size(kAwkward)]; break;
            case 2: last_ += static_cast<int8_t>(byte()) * scale; break;
            default: last_ = static_cast<int16_t>(count(0, 0xFFFF)) * scale; break;
        }
        return last_;
    }

    V values(size_t n) {
        V v(n);
        for (double& x : v) x = value();
        return v;
    }

    // Temperatures as a melting instrument reads them (start, step from the
    // input; the usual case), or any n values.
    V temperatures(size_t n) {
        if (byte() % 4 == 0) return values(n);
        const double start = value(), step = value();
        V t(n);
        for (size_t i = 0; i < n; ++i) t[i] = start + step * static_cast<double>(i);
        return t;
    }

private:
    const uint8_t* p_;
    const uint8_t* end_;
    double last_ = 0.0;
};

// Runs export `name` through the table of tests/support/export_calls.h and
// settles the call, then checks what the header promises of every call: a
// known result code, the last error empty exactly on success, nothing
// written past an array or into a reserved record field, and on failure
// every output as it was, save the one named may_change (which the target
// checks itself). Returns the code.
inline int run(const char* name, exports::Call& c, const std::string& may_change = "") {
    exports::kTable.at(name)(c);
    c.settle();
    FUZZ_REQUIRE(c.code == ALG_OK || c.code == ALG_ERR_INVALID_ARGUMENT || c.code == ALG_ERR_OUT_OF_RANGE ||
                 c.code == ALG_ERR_FAILURE);
    FUZZ_REQUIRE((c.code == ALG_OK) == c.message.empty());
    FUZZ_REQUIRE(c.bounds_kept);
    if (c.code != ALG_OK)
        for (const auto& [key, intact] : c.intact) FUZZ_REQUIRE(intact || key == may_change);
    return c.code;
}

// A known result code, the last error empty exactly on success: for the calls
// made directly.
inline int check(int rc) {
    FUZZ_REQUIRE(rc == ALG_OK || rc == ALG_ERR_INVALID_ARGUMENT || rc == ALG_ERR_OUT_OF_RANGE ||
                 rc == ALG_ERR_FAILURE);
    FUZZ_REQUIRE((rc == ALG_OK) == (get_last_error()[0] == '\0'));
    return rc;
}

}  // namespace fuzz
