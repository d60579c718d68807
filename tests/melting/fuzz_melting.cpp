// Fuzz target of the interpolation and melting exports: the spline, the grid
// refinement, the melting derivative and the background removal.
#include <cstring>

#include "fuzz_input.h"

using fuzz::check;
using fuzz::Kept;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t n = in.count(0, 40);
    const fuzz::V x = in.temperatures(n), y = in.values(n);
    const fuzz::V xq = in.values(in.count(0, 40));
    fuzz::V yq(xq.size(), 7.0);
    int rc = Kept()(yq).check(alg_cubic_interpolation(x.data(), y.data(), n, xq.data(), yq.data(), xq.size()));
    FUZZ_REQUIRE(rc == (n < 3 ? ALG_ERR_INVALID_ARGUMENT : ALG_OK));

    const size_t factor = in.count(0, 12);
    fuzz::V grid(n < 3 ? 1 : (n - 1) * factor + 2, 7.0);
    rc = Kept()(grid).check(alg_interpolation_x(x.data(), n, factor, grid.data()));
    FUZZ_REQUIRE(rc == (n < 3 ? ALG_ERR_INVALID_ARGUMENT : ALG_OK));
    if (rc == ALG_OK) {
        const double last = grid[(n - 1) * factor];
        FUZZ_REQUIRE(last == x[n - 1] || (std::isnan(last) && std::isnan(x[n - 1])));
        FUZZ_REQUIRE(grid.back() == 7.0);
    }

    const size_t count = in.count(0, 64);
    const fuzz::V t = in.temperatures(count), f = in.values(count);
    size_t out_count = 3;
    double* out_t = fuzz::untouched<double>();
    double* out_d = out_t;
    rc = Kept()(&out_count, sizeof out_count)(&out_t, sizeof out_t)(&out_d, sizeof out_d)
             .check(alg_melting(count, t.data(), f.data(), &out_count, &out_t, &out_d));
    if (count < 6) FUZZ_REQUIRE(rc == ALG_ERR_INVALID_ARGUMENT);
    if (rc == ALG_OK) {
        FUZZ_REQUIRE(out_count == 10 * count - 9);
        fuzz::consume(out_t, out_count);
        fuzz::consume(out_d, out_count);
    }

    fuzz::V values = in.values(in.count(0, 64));
    FUZZ_REQUIRE(check(alg_melting_normalization(values.data(), values.size())) == ALG_OK);
    return 0;
}
