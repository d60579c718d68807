#include "peaks/peak_objects.h"

#include <stdexcept>

#include "frame/messages.h"

namespace quelmar {

std::size_t peak_count(const GaussCoeff& set) {
    const std::size_t n = set.center.size();
    if (set.amplitude.size() < n || set.sigma.size() < n) throw std::invalid_argument(msg::kGaussCoeffInvalid);
    return n;
}

}  // namespace quelmar
