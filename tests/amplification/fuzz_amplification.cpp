// Fuzz target of the amplification exports, in the order a host runs them:
// the logistic, the plate threshold, the linear Ct with that threshold and
// the sigmoid Ct, on one array of records whose baseline windows and sigmoid
// fields come from the input.
#include <cstring>

#include "fuzz_input.h"

using fuzz::check;
using fuzz::Kept;

namespace {

constexpr unsigned char kReserved = 0xA5;
// Byte ranges of the record no analysis reads or writes (reserved fields).
constexpr size_t kReservedRanges[][2] = {{16, 24}, {40, 48}, {64, 80}, {88, 96}, {100, 102}, {138, 144}};

int16_t window_end(fuzz::Input& in) {
    const uint8_t b = in.byte();
    if (b < 128) return 0;  // chosen by the analysis
    if (b < 240) return static_cast<int16_t>(b - 128);
    return static_cast<int16_t>(in.count(0, 0xFFFF));
}

bool reserved_untouched(const std::vector<FittingResult>& records) {
    for (const FittingResult& r : records) {
        const auto* b = reinterpret_cast<const unsigned char*>(&r);
        for (const auto& range : kReservedRanges)
            for (size_t i = range[0]; i < range[1]; ++i)
                if (b[i] != kReserved) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t wells = in.count(0, 2), cycles = in.count(0, 48);
    const fuzz::V plate = in.values(wells * cycles);
    const size_t record_count = in.byte() < 224 ? wells : in.count(0, wells + 1);
    std::vector<FittingResult> records(record_count);
    for (FittingResult& r : records) {
        std::memset(&r, kReserved, sizeof r);
        r.baseline_start = window_end(in);
        r.baseline_end = window_end(in);
        r.baseline_step = in.value();
        r.baseline_sd = in.value();
        r.sigmoid_amplitude = in.value();
        r.sigmoid_midpoint = in.value();
        r.sigmoid_steepness = in.value();
    }

    const double params[3] = {in.value(), in.value(), in.value()};
    fuzz::V x = in.values(in.count(0, 48));
    FUZZ_REQUIRE(check(alg_sigmoid(params, x.data(), x.size())) == ALG_OK);

    // A failed analysis leaves the records as they were, except the windows
    // and fields of an out-of-range failure, which the caller is told about.
    const auto records_kept = [&](int rc, const Kept& before) {
        if (rc == ALG_ERR_FAILURE || (rc == ALG_ERR_INVALID_ARGUMENT && record_count < wells))
            FUZZ_REQUIRE(before.unchanged());
        FUZZ_REQUIRE(reserved_untouched(records));
    };
    double threshold = -1.0;
    Kept before = Kept()(records);
    int rc = Kept()(&threshold, sizeof threshold)
                 .check(alg_calc_threshold(records.data(), record_count, plate.data(), wells, cycles, &threshold));
    records_kept(rc, before);
    if (rc == ALG_OK) FUZZ_REQUIRE(!(threshold < 100.0));
    if (rc != ALG_OK || in.byte() % 4 == 0) threshold = in.value();

    fuzz::V curves(wells * cycles, 7.0), ct(record_count, 7.0);
    before = Kept()(records);
    rc = Kept()(curves)(ct).check(alg_linear_batch_calc_ct(records.data(), record_count, threshold, plate.data(),
                                                           wells, cycles, curves.data(), ct.data()));
    records_kept(rc, before);

    before = Kept()(records);
    FUZZ_REQUIRE(check(alg_sigmoid_batch_calc_ct(records.data(), record_count, 0, ct.data())) == ALG_OK);
    FUZZ_REQUIRE(before.unchanged());
    for (size_t i = 0; i < record_count; ++i)
        if (!(records[i].sigmoid_amplitude >= 10.0) || !(records[i].sigmoid_steepness >= 0.01))
            FUZZ_REQUIRE(std::isnan(ct[i]));
    return 0;
}
