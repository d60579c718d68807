#include "amplification/plate.h"

#include "amplification/baseline.h"
#include "base/allocator.h"
#include "base/failures.h"
#include "base/messages.h"
#include "curves/curve_primitives.h"
#include "fitting/moving_average.h"

namespace quelmar {
namespace {

constexpr int kFirstSmoothingHalfWindow = 3;  // cycles on either side

}  // namespace

Plate::Plate(const Vector& data, std::size_t well_count, std::size_t cycle_count)
    : data_(data), cycle_count_(cycle_count) {
    if (data.size() != checked_product(well_count, cycle_count)) fail_invalid_argument(msg::kPlateDataLength);
    kernel_ = amplification_kernel();
}

void Plate::read_well(std::size_t w, Vector& curve) const {
    // A well's readings are contiguous in the plate data.
    curve.assign_copy(data_.data() + w * cycle_count_, cycle_count_);
}

void Plate::condition_well(std::size_t w, WellRecord& record, Vector& curve) const {
    read_well(w, curve);
    moving_average(curve, kFirstSmoothingHalfWindow);
    correct_baseline(record, curve);
    weighted_kernel_filter(kernel_, curve);
}

}  // namespace quelmar
