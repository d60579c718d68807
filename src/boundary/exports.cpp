// The frame's own exports: last error, version, array release, layout probe.
#include <cstdint>
#include <cstring>

#include "QuelmarAlg.h"
#include "base/allocator.h"
#include "boundary/call_frame.h"
#include "boundary/handed_array.h"

namespace {

constexpr char kVersion[] = "1.1.1";

// One step of the layout probe: the field must hold `expected` and becomes
// itself plus `increment`.
template <class T>
bool probe_field(T& field, T expected, T increment) {
    if (!(field == expected)) return false;
    field = static_cast<T>(field + increment);
    return true;
}

bool probe_record(FittingResult& r) {
    if (!probe_field(r.max_slope_index, 1.1, 1.1)) return false;
    if (!probe_field(r.amplification_ratio, 2.2, 2.2)) return false;
    if (!probe_field(r.reserved0, 3.3, 3.3)) return false;
    if (!probe_field(r.baseline_step, 4.4, 4.4)) return false;
    if (!probe_field(r.baseline_sd, 5.5, 5.5)) return false;
    if (!probe_field<int16_t>(r.baseline_start, 1, 1)) return false;
    if (!probe_field<int16_t>(r.baseline_end, 2, 2)) return false;
    if (!probe_field<int16_t>(r.reserved5, 3, 3)) return false;
    // The eight doubles from offset 32 and the eight bytes from offset 136,
    // interleaved: double k, then byte k. Addressed through the record's bytes
    // since they span several fields.
    unsigned char* base = reinterpret_cast<unsigned char*>(&r);
    for (int k = 0; k < 8; ++k) {
        double value;
        std::memcpy(&value, base + 32 + 8 * k, sizeof value);
        if (!probe_field(value, static_cast<double>(k), static_cast<double>(k))) return false;
        std::memcpy(base + 32 + 8 * k, &value, sizeof value);
        const unsigned char expected = (k & 1) == 0 ? 1 : 0;
        if (base[136 + k] != expected) return false;
        base[136 + k] = static_cast<unsigned char>(k & 1);
    }
    return true;
}

}  // namespace

extern "C" {

QUELMARALG_API const char* get_last_error(void) { return quelmar::last_error_text(); }

QUELMARALG_API const char* version(void) { return kVersion; }

QUELMARALG_API int alg_darray_release(double** array) {
    return quelmar::call_frame([&] { quelmar::release_slot(array, quelmar::release_block); });
}

QUELMARALG_API int test_fitting_result(FittingResult* record) {
    return probe_record(*record) ? ALG_OK : ALG_ERR_INVALID_ARGUMENT;
}

}  // extern "C"
