// Fuzz target of the quantification statistics: replicate statistics of
// packed input, relative quantification from their summary, standard curve.
#include "fuzz_input.h"

using exports::Call;

namespace {

// Packed replicate input: m, m values, g, then g blocks of (count, values),
// mostly well formed, with any value from the input where a count stands
// now and then; or n values from the input.
fuzz::V packed(fuzz::Input& in) {
    if (in.byte() % 4 == 0) return in.values(in.count(0, 40));
    fuzz::V data;
    const auto count = [&](size_t hi) {
        const size_t c = in.count(0, hi);
        data.push_back(in.byte() < 240 ? static_cast<double>(c) : in.value());
        return c;
    };
    const size_t m = count(6);
    for (size_t i = 0; i < m; ++i) data.push_back(in.value());
    for (size_t g = count(4); g > 0; --g)
        for (size_t c = count(6); c > 0; --c) data.push_back(in.value());
    return data;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::V options(5);
    for (double& o : options)
        o = in.byte() < 224 ? static_cast<int32_t>(in.byte() % 8) : static_cast<int32_t>(in.count(0, 0xFFFF) << 16 | in.count(0, 0xFFFF));
    const fuzz::V replicates = packed(in);
    Call sd({{"kind", options}, {"data", replicates}});
    const int sd_rc = fuzz::run("alg_calc_sd", sd);
    const fuzz::V& summary = sd.out["values"];
    fuzz::V first(in.count(0, 6));
    if (sd_rc == ALG_OK) {
        // 3g + 10 values, g at least 1 and never more genes than values.
        const size_t count = summary.size();
        FUZZ_REQUIRE(count >= 13 && (count - 10) % 3 == 0 && count <= 3 * replicates.size() + 10);
        for (size_t i = 0; i < first.size() && i < count; ++i) first[i] = summary[i];
    }
    for (size_t i = sd_rc == ALG_OK ? 4 : 0; i < first.size(); ++i) first[i] = in.value();

    // A refused error bar leaves the bounds (4, 5) unwritten, too few values all seven.
    Call rq({{"options", options}, {"summary", first}, {"calibrator", {in.value()}}});
    const int rq_rc = fuzz::run("alg_calc_rq", rq, "result");
    const fuzz::V& result = rq.out["result"];
    if (rq_rc != ALG_OK) FUZZ_REQUIRE(result[4] == exports::kSentinel && result[5] == exports::kSentinel);
    if (first.size() < 4) FUZZ_REQUIRE(rq_rc == ALG_ERR_INVALID_ARGUMENT && rq.intact["result"]);

    const fuzz::V x = in.values(in.count(0, 24));
    Call line({{"x", x}, {"y", in.values(in.byte() < 224 ? x.size() : in.count(0, 24))}});
    FUZZ_REQUIRE(fuzz::run("alg_calc_standard", line) == (line.get("y").size() == x.size() ? ALG_OK : ALG_ERR_INVALID_ARGUMENT));
    return 0;
}
