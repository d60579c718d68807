// Fuzz target of the interpolation and melting exports: the spline, the grid
// refinement, the melting derivative and the background removal.
#include "fuzz_input.h"

using exports::Call;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t n = in.count(0, 40);
    const fuzz::V x = in.temperatures(n), y = in.values(n);
    Call spline({{"x", x}, {"y", y}, {"xq", in.values(in.count(0, 40))}});
    FUZZ_REQUIRE(fuzz::run("alg_cubic_interpolation", spline) == (n < 3 ? ALG_ERR_INVALID_ARGUMENT : ALG_OK));

    // The grid ends on the last abscissa exactly; the table's buffer is as
    // long as the grid, so anything written past it is an overrun.
    Call grid({{"x", x}, {"factor", {double(in.count(0, 12))}}});
    int rc = fuzz::run("alg_interpolation_x", grid);
    FUZZ_REQUIRE(rc == (n < 3 ? ALG_ERR_INVALID_ARGUMENT : ALG_OK));
    if (rc == ALG_OK) {
        const double last = grid.out["out"].back();
        FUZZ_REQUIRE(last == x[n - 1] || (std::isnan(last) && std::isnan(x[n - 1])));
    }

    const size_t count = in.count(0, 64);
    const fuzz::V t = in.temperatures(count), f = in.values(count);
    Call melting({{"t", t}, {"f", f}});
    rc = fuzz::run("alg_melting", melting);
    if (count < 6) FUZZ_REQUIRE(rc == ALG_ERR_INVALID_ARGUMENT);
    if (rc == ALG_OK) FUZZ_REQUIRE(melting.out["grid"].size() == 10 * count - 9 && melting.out["derivative"].size() == 10 * count - 9);

    Call normalized({{"values", in.values(in.count(0, 64))}});
    FUZZ_REQUIRE(fuzz::run("alg_melting_normalization", normalized) == ALG_OK);
    return 0;
}
