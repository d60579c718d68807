// Shared pieces of the fuzz targets: turning the fuzzer's bytes into bounded
// counts and doubles, and checking what the public header promises of every
// call. A broken promise aborts, which the fuzzer (and the replay) reports.
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
#include <utility>
#include <vector>

#include "QuelmarAlg.h"

#define FUZZ_REQUIRE(cond) ((cond) ? (void)0 : ::fuzz::broken(#cond, __FILE__, __LINE__))

namespace fuzz {

using V = std::vector<double>;

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

// A value no call hands out: an out-pointer still holding it was not written.
inline char untouched_marker;
template <class T>
T* untouched() {
    return reinterpret_cast<T*>(&untouched_marker);
}

// Caller memory that a failed call must leave byte for byte as it was.
class Kept {
public:
    Kept& operator()(const void* p, size_t bytes) {
        const auto* b = static_cast<const unsigned char*>(p);
        regions_.emplace_back(p, std::vector<unsigned char>(b, b + bytes));
        return *this;
    }
    template <class T>
    Kept& operator()(const std::vector<T>& v) {
        return (*this)(v.data(), v.size() * sizeof(T));
    }
    // Checks a call's result (below). Written kept(...).check(call(...)), the
    // memory is copied before the call runs.
    int check(int rc) const;
    bool unchanged() const {
        for (const auto& [at, bytes] : regions_)
            if (!bytes.empty() && std::memcmp(at, bytes.data(), bytes.size()) != 0) return false;
        return true;
    }

private:
    std::vector<std::pair<const void*, std::vector<unsigned char>>> regions_;
};

// A known result code, the last error empty exactly on success, and on
// failure the kept memory untouched. Returns the code.
inline int check(int rc, const Kept& kept = Kept()) {
    FUZZ_REQUIRE(rc == ALG_OK || rc == ALG_ERR_INVALID_ARGUMENT || rc == ALG_ERR_OUT_OF_RANGE ||
                 rc == ALG_ERR_FAILURE);
    FUZZ_REQUIRE((rc == ALG_OK) == (get_last_error()[0] == '\0'));
    if (rc != ALG_OK) FUZZ_REQUIRE(kept.unchanged());
    return rc;
}

inline int Kept::check(int rc) const { return fuzz::check(rc, *this); }

// Reads every element of an array the library handed out (a shorter block
// is an overread the address sanitizer reports) and gives it back.
inline void consume(double*& block, size_t n) {
    FUZZ_REQUIRE(n == 0 || block != nullptr);
    volatile double sink = 0.0;
    for (size_t i = 0; i < n; ++i) sink = block[i];
    (void)sink;
    FUZZ_REQUIRE(alg_darray_release(&block) == ALG_OK && block == nullptr);
}

// The three fields of a set, read back: counts, then values.
inline V fields(const GaussCoeff* set) {
    size_t n[3] = {7, 7, 7};
    double* p[3] = {untouched<double>(), untouched<double>(), untouched<double>()};
    FUZZ_REQUIRE(check(alg_get_gausscoeff_data(set, &n[0], &p[0], &n[1], &p[1], &n[2], &p[2])) == ALG_OK);
    V out(n, n + 3);
    for (int i = 0; i < 3; ++i) {
        FUZZ_REQUIRE((n[i] == 0) == (p[i] == nullptr));
        out.insert(out.end(), p[i], p[i] + n[i]);
        consume(p[i], n[i]);
    }
    return out;
}

inline bool same_bits(const V& a, const V& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace fuzz
