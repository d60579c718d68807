// Exports of the melting peak decomposition: peak sets, fit handles, the
// model, the fit, peak detection, synthetic curves and the filter.
#include <utility>

#include "QuelmarAlg.h"
#include "boundary/call_frame.h"
#include "boundary/handed_array.h"
#include "boundary/objects.h"
#include "numeric/vector.h"
#include "peaks/coeff_filter.h"
#include "peaks/model.h"
#include "peaks/peak_detection.h"
#include "peaks/peak_set.h"
#include "peaks/simulation.h"

using quelmar::HandedArray;
using quelmar::Vector;

// The two objects of the peak decomposition that live between calls. The
// header declares them opaque at global scope, so they are defined here; the
// host owns them through the pointers the creating exports hand out.
struct GaussCoeff : quelmar::PeakSet {};

// A melting peak curve with the host's options, of which only peak_width is
// read. Never changed after creation.
struct MgfHandle {
    quelmar::PeakCurve curve;
    MgfOptions options;
};

extern "C" {

QUELMARALG_API int alg_create_gausscoeff(GaussCoeff** out) {
    return quelmar::call_frame([&] { *out = quelmar::create_object<GaussCoeff>(); });
}

QUELMARALG_API int alg_gausscoeff_release(GaussCoeff** set) {
    return quelmar::call_frame([&] { quelmar::release_slot(set, quelmar::destroy_object<GaussCoeff>); });
}

QUELMARALG_API int alg_set_gausscoeff_data(GaussCoeff* set, size_t amplitude_count, const double* amplitude,
                                           size_t center_count, const double* center, size_t sigma_count,
                                           const double* sigma) {
    return quelmar::call_frame([&] {
        // All three copies are made before the set is touched: a copy that
        // fails must leave the caller's peaks exactly as they were, not a set
        // that reads as empty and lets every later call succeed on nothing.
        Vector a = Vector::copy_of(amplitude, amplitude_count);
        Vector b = Vector::copy_of(center, center_count);
        Vector c = Vector::copy_of(sigma, sigma_count);
        set->amplitude = std::move(a);
        set->center = std::move(b);
        set->sigma = std::move(c);
    });
}

QUELMARALG_API int alg_get_gausscoeff_data(const GaussCoeff* set, size_t* amplitude_count, double** amplitude,
                                           size_t* center_count, double** center, size_t* sigma_count,
                                           double** sigma) {
    return quelmar::call_frame([&] {
        // An empty field is handed out as NULL.
        HandedArray a(set->amplitude, HandedArray::Empty::kNull);
        HandedArray b(set->center, HandedArray::Empty::kNull);
        HandedArray c(set->sigma, HandedArray::Empty::kNull);
        a.hand_out(amplitude, amplitude_count);
        b.hand_out(center, center_count);
        c.hand_out(sigma, sigma_count);
    });
}

QUELMARALG_API int alg_mgf_create(const double* x, size_t x_count, const double* y, size_t y_count,
                                  const MgfOptions* options, MgfHandle** out) {
    return quelmar::call_frame([&] {
        auto handle = quelmar::make_owned<MgfHandle>();
        handle->curve.x.assign_copy(x, x_count);
        handle->curve.y.assign_copy(y, y_count);
        handle->options = *options;
        *out = handle.release();
    });
}

QUELMARALG_API int alg_mgf_release(MgfHandle** handle) {
    return quelmar::call_frame([&] { quelmar::release_slot(handle, quelmar::destroy_object<MgfHandle>); });
}

QUELMARALG_API int alg_mgf_multi_gauss(const MgfHandle* handle, const GaussCoeff* set, double** values,
                                       size_t* count) {
    return quelmar::call_frame([&] { quelmar::hand_out(quelmar::multi_gauss(handle->curve, *set), values, count); });
}

QUELMARALG_API int alg_mgf_solve(const MgfHandle* handle, GaussCoeff* set) {
    return quelmar::call_frame([&] { quelmar::solve_peaks(handle->curve, *set); });
}

QUELMARALG_API int alg_mgf_local_max_value_id(const MgfHandle* handle, GaussCoeff** out) {
    return quelmar::call_frame([&] {
        auto set = quelmar::make_owned<GaussCoeff>();
        quelmar::estimate_peaks(handle->curve, handle->options.peak_width, *set);
        *out = set.release();
    });
}

QUELMARALG_API int alg_mgf_local_max_value_id_origin(const double* x, size_t x_count, const double* y,
                                                     size_t y_count, GaussCoeff** out) {
    return quelmar::call_frame([&] {
        auto set = quelmar::make_owned<GaussCoeff>();
        const Vector xv = Vector::copy_of(x, x_count);
        const Vector yv = Vector::copy_of(y, y_count);
        quelmar::raw_peaks(xv, yv, *set);
        *out = set.release();
    });
}

QUELMARALG_API int alg_mgf_melting_stim_peak(const MgfHandle* handle, const GaussCoeff* set,
                                             const double* background, double** values, size_t* count) {
    return quelmar::call_frame([&] {
        const quelmar::SimBackground bg{background[0], background[1], background[2]};
        quelmar::hand_out(quelmar::simulate_peak_values(handle->curve, *set, bg), values, count);
    });
}

QUELMARALG_API int alg_mgf_melting_stimulate(const MgfHandle* handle, const GaussCoeff* set, double* background,
                                             double** values, size_t* count) {
    return quelmar::call_frame([&] {
        quelmar::SimBackground bg{};
        quelmar::hand_out(quelmar::simulate_curve(handle->curve, *set, bg), values, count);
        background[0] = bg.level;
        background[1] = bg.midpoint;
        background[2] = bg.steepness;
    });
}

QUELMARALG_API int alg_mgf_coeff_filter(const double* limits, const GaussCoeff* set, GaussCoeff** out) {
    return quelmar::call_frame([&] {
        const quelmar::FilterLimits bounds{limits[0], limits[1], limits[2]};
        auto filtered = quelmar::make_owned<GaussCoeff>();
        quelmar::filter_peaks(bounds, *set, *filtered);
        *out = filtered.release();
    });
}

}  // extern "C"
