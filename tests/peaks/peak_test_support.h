// Helpers of the peak decomposition tests: owners that give sets, handles and
// arrays back to the library, so that failing assertions leak nothing.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "QuelmarAlg.h"

namespace peaks_test {

using V = std::vector<double>;

// A pointer value no call hands out: an out-parameter still holding it was
// not written.
inline char untouched_marker;
inline GaussCoeff* const kUntouchedSet = reinterpret_cast<GaussCoeff*>(&untouched_marker);

// A set filled through the interface, or (default) an owner for a set that
// a call hands out.
struct Set {
    GaussCoeff* p = nullptr;
    Set() = default;
    Set(const V& a, const V& b, const V& c) {
        EXPECT_EQ(alg_create_gausscoeff(&p), ALG_OK);
        EXPECT_EQ(alg_set_gausscoeff_data(p, a.size(), a.data(), b.size(), b.data(), c.size(), c.data()), ALG_OK);
    }
    Set(const Set&) = delete;
    Set& operator=(const Set&) = delete;
    ~Set() { alg_gausscoeff_release(&p); }
};

struct Handle {
    MgfHandle* p = nullptr;
    Handle(const V& x, const V& y, double peak_width = 1.0, double other_options = 0.0) {
        const MgfOptions options{other_options, other_options, peak_width, other_options, other_options};
        EXPECT_EQ(alg_mgf_create(x.data(), x.size(), y.data(), y.size(), &options, &p), ALG_OK);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { alg_mgf_release(&p); }
};

// An array the library handed out, copied and released.
inline V take(double* block, std::size_t n) {
    V v;
    if (block != nullptr) v.assign(block, block + n);
    alg_darray_release(&block);
    return v;
}

// The three fields of a set, read through the interface.
struct Fields {
    V amplitude, center, sigma;
};

inline Fields read(const GaussCoeff* set) {
    std::size_t na = 0, nb = 0, nc = 0;
    double *a = nullptr, *b = nullptr, *c = nullptr;
    EXPECT_EQ(alg_get_gausscoeff_data(set, &na, &a, &nb, &b, &nc, &c), ALG_OK);
    return Fields{take(a, na), take(b, nb), take(c, nc)};
}

// Temperatures start, start + step, ... (n values, each from the index).
inline V grid(double start, double step, std::size_t n) {
    V x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = start + step * static_cast<double>(i);
    return x;
}

}  // namespace peaks_test
