// Fuzz target of the melting peak decomposition: sets, the fit handle, the
// model, both detectors, both simulations, the filter and the fit, on one
// handle and one set drawn from the input.
#include <algorithm>

#include "fuzz_input.h"

using fuzz::check;
using fuzz::Kept;

namespace {

// A set handed out by a call: its fields read back (equally long, as every
// set the library makes) and released. Returns them.
fuzz::V consume_set(GaussCoeff*& set) {
    const fuzz::V f = fuzz::fields(set);
    FUZZ_REQUIRE(f[0] == f[1] && f[1] == f[2]);
    FUZZ_REQUIRE(check(alg_gausscoeff_release(&set)) == ALG_OK && set == nullptr);
    return f;
}

// The out-parameters of a call that hands out an array.
struct Handed {
    double* values = fuzz::untouched<double>();
    size_t count = 3;
    Kept kept() const { return Kept()(&values, sizeof values)(&count, sizeof count); }
    void consume_if(int rc, size_t expected) {
        if (rc != ALG_OK) return;
        FUZZ_REQUIRE(count == expected);
        fuzz::consume(values, count);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t nx = in.count(0, 48);
    const size_t ny = in.byte() < 224 ? nx : in.count(0, 48);
    const fuzz::V x = in.temperatures(nx), y = in.values(ny);
    const MgfOptions options{in.value(), in.value(), in.value(), in.value(), in.value()};
    MgfHandle* handle = fuzz::untouched<MgfHandle>();
    FUZZ_REQUIRE(check(alg_mgf_create(x.data(), nx, y.data(), ny, &options, &handle)) == ALG_OK);

    const size_t peaks = in.count(0, 4);
    const bool ragged = in.byte() >= 224;
    const fuzz::V a = in.values(ragged ? in.count(0, 5) : peaks), b = in.values(ragged ? in.count(0, 5) : peaks),
                  c = in.values(ragged ? in.count(0, 5) : peaks);
    GaussCoeff* set = fuzz::untouched<GaussCoeff>();
    FUZZ_REQUIRE(check(alg_create_gausscoeff(&set)) == ALG_OK);
    FUZZ_REQUIRE(check(alg_set_gausscoeff_data(set, a.size(), a.data(), b.size(), b.data(), c.size(), c.data())) ==
                 ALG_OK);
    fuzz::V stored = fuzz::fields(set);
    FUZZ_REQUIRE(stored[0] == a.size() && stored[1] == b.size() && stored[2] == c.size());

    Handed model;
    model.consume_if(model.kept().check(alg_mgf_multi_gauss(handle, set, &model.values, &model.count)), ny);

    GaussCoeff* found = fuzz::untouched<GaussCoeff>();
    if (Kept()(&found, sizeof found).check(alg_mgf_local_max_value_id(handle, &found)) == ALG_OK) {
        // Over ascending temperatures no estimated width is negative. Not
        // std::is_sorted: a NaN between two temperatures hides a descent.
        const fuzz::V f = consume_set(found);
        const bool ascending = std::adjacent_find(x.begin(), x.end(), [](double s, double t) { return !(s <= t); }) ==
                               x.end();
        for (size_t i = f.size() - static_cast<size_t>(f[2]); ascending && i < f.size(); ++i)
            FUZZ_REQUIRE(!(f[i] < 0.0));
    }
    found = fuzz::untouched<GaussCoeff>();
    if (Kept()(&found, sizeof found).check(alg_mgf_local_max_value_id_origin(x.data(), nx, y.data(), ny, &found)) ==
        ALG_OK)
        consume_set(found);

    const double background[3] = {in.value(), in.value(), in.value()};
    Handed at_peaks;
    at_peaks.consume_if(
        at_peaks.kept().check(alg_mgf_melting_stim_peak(handle, set, background, &at_peaks.values, &at_peaks.count)),
        b.empty() ? 1 : b.size());  // an empty set is evaluated at its default peak
    double fitted_background[3] = {7.0, 7.0, 7.0};
    Handed curve;
    curve.consume_if(curve.kept()(fitted_background, sizeof fitted_background)
                         .check(alg_mgf_melting_stimulate(handle, set, fitted_background, &curve.values, &curve.count)),
                     nx);

    const double limits[3] = {in.value(), in.value(), in.value()};
    GaussCoeff* kept = fuzz::untouched<GaussCoeff>();
    if (Kept()(&kept, sizeof kept).check(alg_mgf_coeff_filter(limits, set, &kept)) == ALG_OK) consume_set(kept);

    // The calls above only read the set; a failed fit leaves it as it was.
    FUZZ_REQUIRE(fuzz::same_bits(fuzz::fields(set), stored));
    if (check(alg_mgf_solve(handle, set)) != ALG_OK) FUZZ_REQUIRE(fuzz::same_bits(fuzz::fields(set), stored));
    stored = fuzz::fields(set);
    FUZZ_REQUIRE(stored[0] == a.size() && stored[1] == b.size() && stored[2] == c.size());

    FUZZ_REQUIRE(check(alg_gausscoeff_release(&set)) == ALG_OK && set == nullptr);
    FUZZ_REQUIRE(check(alg_mgf_release(&handle)) == ALG_OK && handle == nullptr);
    return 0;
}
