// What the peak decomposition works on: a set of Gaussian peaks, and the
// melting peak curve they describe.
#pragma once

#include <cstddef>

#include "numeric/vector.h"

namespace quelmar {

// Peak i is amplitude[i] * exp(-(t - center[i])^2 / (2 sigma[i]^2)). The
// fields are meant to be equally long, but a set stores whatever it is
// given; every routine that reads it checks what it needs.
struct PeakSet {
    Vector amplitude;
    Vector center;
    Vector sigma;
};

// A melting peak curve: temperatures x and values y.
struct PeakCurve {
    Vector x;
    Vector y;
};

// The number of peaks of a set is the length of its centres. Refuses a set
// whose heights or widths are shorter, which would otherwise be read past
// their end.
std::size_t peak_count(const PeakSet& set);

}  // namespace quelmar
