// A plate's readings as the host passes them, and the conditioning that both
// plate analyses (the threshold and the linear Ct) give every well first.
#pragma once

#include <cstddef>

#include "amplification/record.h"
#include "numeric/vector.h"

namespace quelmar {

class Plate {
public:
    // data holds well_count curves of cycle_count readings, one well after
    // another; any other length is refused (std::invalid_argument). data must
    // outlive the plate.
    Plate(const Vector& data, std::size_t well_count, std::size_t cycle_count);

    // Well w's curve, conditioned: read from the plate, smoothed by a moving
    // average over +-3 cycles, baseline-corrected (correct_baseline, which
    // fills the record) and filtered by the amplification kernel.
    void condition_well(std::size_t w, WellRecord& record, Vector& curve) const;

private:
    // Well w's readings into curve, reusing its storage.
    void read_well(std::size_t w, Vector& curve) const;

    const Vector& data_;
    std::size_t cycle_count_;
    Vector kernel_;  // the amplification kernel, made once per plate
};

}  // namespace quelmar
