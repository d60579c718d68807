#include "peaks/peak_set.h"

#include "base/failures.h"
#include "base/messages.h"

namespace quelmar {

std::size_t peak_count(const PeakSet& set) {
    const std::size_t n = set.center.size();
    if (set.amplitude.size() < n || set.sigma.size() < n) fail_invalid_argument(msg::kGaussCoeffInvalid);
    return n;
}

}  // namespace quelmar
