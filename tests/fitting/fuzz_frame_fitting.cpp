// Fuzz target of the frame's exports (version, release, layout probe) and of
// the smoothing and fitting exports.
#include <cstring>
#include <string>

#include "fuzz_input.h"

using exports::Call;

namespace {

// The probe pattern test_fitting_result expects, with up to four bytes of
// the input written over it.
void probe(fuzz::Input& in) {
    unsigned char r[sizeof(FittingResult)] = {};
    const double d[] = {1.1, 2.2, 3.3, 4.4, 0, 1, 2, 3, 4, 5, 6, 7}, sd = 5.5;
    const int16_t s[] = {1, 2, 3};
    std::memcpy(r, d, sizeof d);
    std::memcpy(r + 96, s, sizeof s);
    std::memcpy(r + 128, &sd, sizeof sd);
    for (int k = 0; k < 8; k += 2) r[136 + k] = 1;
    for (size_t edits = in.count(0, 4); edits > 0; --edits) r[in.count(0, sizeof r - 1)] = in.byte();
    unsigned char before[sizeof r];
    std::memcpy(before, r, sizeof r);
    const std::string error = get_last_error();
    const int rc = test_fitting_result(reinterpret_cast<FittingResult*>(r));
    FUZZ_REQUIRE(rc == ALG_OK || rc == ALG_ERR_INVALID_ARGUMENT);
    FUZZ_REQUIRE(error == get_last_error());
    // Bytes 102 to 127 are never examined; on success the first double doubled.
    FUZZ_REQUIRE(std::memcmp(r + 102, before + 102, 26) == 0);
    if (rc == ALG_OK) FUZZ_REQUIRE(reinterpret_cast<FittingResult*>(r)->max_slope_index == 2.2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    FUZZ_REQUIRE(std::strcmp(version(), "1.1.1") == 0);
    double* none = nullptr;
    FUZZ_REQUIRE(fuzz::check(alg_darray_release(nullptr)) == ALG_OK && fuzz::check(alg_darray_release(&none)) == ALG_OK);
    probe(in);

    const fuzz::V curve = in.values(in.count(0, 64));
    const size_t n = curve.size();
    Call fitted({{"data", curve}});
    FUZZ_REQUIRE(fuzz::run("alg_sample_data_fitting", fitted) == (n < 3 ? ALG_ERR_INVALID_ARGUMENT : ALG_OK));

    Call smooth({{"data", curve}});
    FUZZ_REQUIRE(fuzz::run("alg_run_smooth", smooth) == ALG_OK);
    const fuzz::V& smoothed = smooth.out["data"];
    FUZZ_REQUIRE(n == 0 || std::memcmp(&smoothed[n - 1], &curve[n - 1], sizeof(double)) == 0);
    if (n < 6) FUZZ_REQUIRE(exports::same_bits(smoothed, curve));

    const uint8_t wide = in.byte();
    const int half = wide < 0xF0 ? static_cast<int>(wide % 24) - 2 : static_cast<int>(in.count(0, 0xFFFF) << 16 | in.count(0, 0xFFFF));
    Call average({{"data", curve}, {"half_window", {double(half)}}});
    FUZZ_REQUIRE(fuzz::run("alg_super_smooth", average) == ALG_OK);
    // Half window 0 divides each sum by one: the same values (a -0 becomes 0).
    for (size_t i = 0; i < n; ++i) {
        const double averaged = average.out["data"][i];
        if (half < 0) FUZZ_REQUIRE(std::isnan(averaged));
        if (half == 0) FUZZ_REQUIRE(averaged == curve[i] || std::isnan(curve[i]));
    }

    const double start = in.value(), step = in.value();
    const size_t length = in.count(0, 64);
    Call sequence({{"start", {start}}, {"step", {step}}, {"length", {double(length)}}});
    FUZZ_REQUIRE(fuzz::run("alg_increasing", sequence) == (length == 0 ? ALG_ERR_INVALID_ARGUMENT : ALG_OK));
    double sum = start;
    for (size_t i = 0; i < length; sum += step, ++i)
        FUZZ_REQUIRE(std::memcmp(&sequence.out["out"][i], &sum, sizeof sum) == 0);
    return 0;
}
