// Fuzz target of the melting peak decomposition: sets, the fit handle, the
// model, both detectors, both simulations, the filter and the fit, each call
// on a handle and a set drawn from the same input.
#include <algorithm>

#include "fuzz_input.h"

using exports::Call;

namespace {

// The fields of a set a call made: equally long, as every set the library
// makes.
bool equally_long(Call& c) { return c.out["a"].size() == c.out["b"].size() && c.out["b"].size() == c.out["c"].size(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t nx = in.count(0, 48);
    const size_t ny = in.byte() < 224 ? nx : in.count(0, 48);
    const fuzz::V x = in.temperatures(nx), y = in.values(ny);
    const double option0 = in.value();
    in.value();
    const double peak_width = in.value();
    in.value(), in.value();  // options nothing reads

    const size_t peaks = in.count(0, 4);
    const bool ragged = in.byte() >= 224;
    const fuzz::V a = in.values(ragged ? in.count(0, 5) : peaks), b = in.values(ragged ? in.count(0, 5) : peaks),
                  c = in.values(ragged ? in.count(0, 5) : peaks);
    // Every call's handle and set, and the set stored as the host gives it.
    const std::map<std::string, fuzz::V> curve = {{"x", x}, {"y", y}, {"width", {peak_width}}, {"other", {option0}},
                                                  {"a", a}, {"b", b}, {"c", c}};
    const auto with = [&curve](std::map<std::string, fuzz::V> more) {
        more.insert(curve.begin(), curve.end());
        return more;
    };
    Call stored(with({{"a", {}}, {"b", {}}, {"c", {}}, {"new_a", a}, {"new_b", b}, {"new_c", c}}));
    FUZZ_REQUIRE(fuzz::run("alg_set_gausscoeff_data", stored) == ALG_OK);
    FUZZ_REQUIRE(exports::same_bits(stored.out["a"], a) && exports::same_bits(stored.out["b"], b) &&
                 exports::same_bits(stored.out["c"], c));

    // The model, the simulations and the filter only read the set.
    Call model(with({}));
    if (fuzz::run("alg_mgf_multi_gauss", model) == ALG_OK) FUZZ_REQUIRE(model.out["values"].size() == ny);
    for (const char* field : {"a", "b", "c"}) FUZZ_REQUIRE(model.intact[field]);

    Call found(with({}));
    if (fuzz::run("alg_mgf_local_max_value_id", found) == ALG_OK) {
        // Over ascending temperatures no estimated width is negative. Not
        // std::is_sorted: a NaN between two temperatures hides a descent.
        FUZZ_REQUIRE(equally_long(found));
        const bool ascending = std::adjacent_find(x.begin(), x.end(), [](double s, double t) { return !(s <= t); }) ==
                               x.end();
        for (const double width : found.out["c"]) FUZZ_REQUIRE(!ascending || !(width < 0.0));
    }
    Call raw(with({}));
    if (fuzz::run("alg_mgf_local_max_value_id_origin", raw) == ALG_OK) FUZZ_REQUIRE(equally_long(raw));

    const double bg0 = in.value(), bg1 = in.value(), bg2 = in.value();
    Call at_peaks(with({{"bg", {bg0, bg1, bg2}}}));
    // An empty set is evaluated at its default peak.
    if (fuzz::run("alg_mgf_melting_stim_peak", at_peaks) == ALG_OK)
        FUZZ_REQUIRE(at_peaks.out["values"].size() == (b.empty() ? 1 : b.size()));
    Call synthetic(with({}));
    if (fuzz::run("alg_mgf_melting_stimulate", synthetic) == ALG_OK) FUZZ_REQUIRE(synthetic.out["values"].size() == nx);
    for (const char* field : {"a", "b", "c"}) FUZZ_REQUIRE(at_peaks.intact[field] && synthetic.intact[field]);

    const double l0 = in.value(), l1 = in.value(), l2 = in.value();
    Call kept(with({{"limits", {l0, l1, l2}}}));
    if (fuzz::run("alg_mgf_coeff_filter", kept) == ALG_OK) FUZZ_REQUIRE(equally_long(kept));

    // A failed fit leaves the set as it was (run checks it); a fit keeps the
    // fields' lengths.
    Call fit(with({}));
    fuzz::run("alg_mgf_solve", fit);
    FUZZ_REQUIRE(fit.out["a"].size() == a.size() && fit.out["b"].size() == b.size() && fit.out["c"].size() == c.size());

    Call set_released(with({})), handle_released(with({}));
    FUZZ_REQUIRE(fuzz::run("alg_gausscoeff_release", set_released) == ALG_OK);
    FUZZ_REQUIRE(fuzz::run("alg_mgf_release", handle_released) == ALG_OK);
    return 0;
}
