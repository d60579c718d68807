// Fuzz target of the amplification exports, in the order a host runs them:
// the logistic, the plate threshold, the linear Ct with that threshold and
// the sigmoid Ct, each on the records the call before it left, whose
// baseline windows and sigmoid fields come from the input.
#include "fuzz_input.h"

using exports::Call;

namespace {

int16_t window_end(fuzz::Input& in) {
    const uint8_t b = in.byte();
    if (b < 128) return 0;  // chosen by the analysis
    if (b < 240) return static_cast<int16_t>(b - 128);
    return static_cast<int16_t>(in.count(0, 0xFFFF));
}

// A failed analysis leaves the records as they were, except the windows and
// fields of a failure the host is told about (a window out of range, a
// singular fit), when the records were enough for the wells.
void require_records_kept(Call& c, size_t record_count, size_t wells) {
    if (c.code == ALG_ERR_FAILURE || (c.code == ALG_ERR_INVALID_ARGUMENT && record_count < wells))
        FUZZ_REQUIRE(c.intact["records"]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t wells = in.count(0, 2), cycles = in.count(0, 48);
    const fuzz::V plate = in.values(wells * cycles);
    const size_t record_count = in.byte() < 224 ? wells : in.count(0, wells + 1);
    fuzz::V records;
    for (size_t r = 0; r < record_count; ++r) {
        fuzz::V fields(15);
        fields[7] = window_end(in);  // baseline_start
        fields[8] = window_end(in);  // baseline_end
        fields[2] = in.value();      // baseline_step
        fields[12] = in.value();     // baseline_sd
        for (size_t f = 9; f < 12; ++f) fields[f] = in.value();  // the sigmoid
        records.insert(records.end(), fields.begin(), fields.end());
    }

    const double p0 = in.value(), p1 = in.value(), p2 = in.value();
    Call sigmoid({{"params", {p0, p1, p2}}, {"values", in.values(in.count(0, 48))}});
    FUZZ_REQUIRE(fuzz::run("alg_sigmoid", sigmoid) == ALG_OK);

    const fuzz::V well_count = {double(wells)}, cycle_count = {double(cycles)};
    Call threshold({{"records", records}, {"data", plate}, {"wells", well_count}, {"cycles", cycle_count}});
    int rc = fuzz::run("alg_calc_threshold", threshold, "records");
    require_records_kept(threshold, record_count, wells);
    if (rc == ALG_OK) FUZZ_REQUIRE(!(threshold.out["threshold"][0] < 100.0));
    const double level = rc != ALG_OK || in.byte() % 4 == 0 ? in.value() : threshold.out["threshold"][0];

    Call linear({{"records", threshold.out["records"]}, {"threshold", {level}}, {"data", plate}, {"wells", well_count},
                 {"cycles", cycle_count}});
    fuzz::run("alg_linear_batch_calc_ct", linear, "records");
    require_records_kept(linear, record_count, wells);

    Call batch({{"records", linear.out["records"]}});
    FUZZ_REQUIRE(fuzz::run("alg_sigmoid_batch_calc_ct", batch) == ALG_OK && batch.intact["records"]);
    for (size_t i = 0; i < record_count; ++i) {
        const double* r = &batch.out["records"][15 * i];
        if (!(r[9] >= 10.0) || !(r[11] >= 0.01)) FUZZ_REQUIRE(std::isnan(batch.out["ct"][i]));
    }
    return 0;
}
