// Fuzz target of the quantification statistics: replicate statistics of
// packed input, relative quantification from their summary, standard curve.
#include "fuzz_input.h"

using fuzz::check;
using fuzz::Kept;

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
    int32_t options[5];
    for (int32_t& o : options) o = in.byte() < 224 ? static_cast<int32_t>(in.byte() % 8) : static_cast<int32_t>(in.count(0, 0xFFFF) << 16 | in.count(0, 0xFFFF));
    const fuzz::V replicates = packed(in);
    double* summary = fuzz::untouched<double>();
    size_t count = 3;
    const int sd = Kept()(&summary, sizeof summary)(&count, sizeof count)
                       .check(alg_calc_sd(options, replicates.data(), replicates.size(), &summary, &count));
    fuzz::V first(in.count(0, 6));
    if (sd == ALG_OK) {
        // 3g + 10 values, g at least 1 and never more genes than values.
        FUZZ_REQUIRE(count >= 13 && (count - 10) % 3 == 0 && count <= 3 * replicates.size() + 10);
        for (size_t i = 0; i < first.size() && i < count; ++i) first[i] = summary[i];
        fuzz::consume(summary, count);
    }
    for (size_t i = sd == ALG_OK ? 4 : 0; i < first.size(); ++i) first[i] = in.value();

    // A refused error bar leaves the bounds (4, 5) unwritten, too few values all seven.
    fuzz::V result(8, 7.0);
    const int rq =
        Kept()(&result[4], 2 * sizeof(double)).check(alg_calc_rq(options, first.data(), first.size(), in.value(), result.data()));
    if (first.size() < 4) FUZZ_REQUIRE(rq == ALG_ERR_INVALID_ARGUMENT && result == fuzz::V(8, 7.0));
    FUZZ_REQUIRE(result[7] == 7.0);

    const fuzz::V x = in.values(in.count(0, 24));
    const fuzz::V y = in.values(in.byte() < 224 ? x.size() : in.count(0, 24));
    fuzz::V line(5, 7.0);
    const int rc = Kept()(line).check(alg_calc_standard(x.data(), x.size(), y.data(), y.size(), line.data()));
    FUZZ_REQUIRE(rc == (x.size() == y.size() ? ALG_OK : ALG_ERR_INVALID_ARGUMENT) && line[4] == 7.0);
    return 0;
}
