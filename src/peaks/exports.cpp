// Exports of the melting peak decomposition: peak sets, fit handles, the
// model, the fit, peak detection, synthetic curves and the filter.
#include <optional>
#include <utility>

#include "QuelmarAlg.h"
#include "frame/boundary.h"
#include "frame/call_frame.h"
#include "numeric/vector.h"
#include "peaks/coeff_filter.h"
#include "peaks/lm_solve.h"
#include "peaks/model.h"
#include "peaks/peak_detection.h"
#include "peaks/peak_objects.h"
#include "peaks/simulation.h"

using quelmar::HandedArray;
using quelmar::Vector;

namespace {

// A copy of one field for the caller: a block, or NULL for an empty field.
class FieldCopy {
public:
    explicit FieldCopy(const Vector& field) {
        if (!field.empty()) block_.emplace(field);
    }
    double* hand_out() noexcept { return block_ ? block_->hand_out() : nullptr; }

private:
    std::optional<HandedArray> block_;
};

// Hands a computed curve to the caller.
void hand_out_values(const Vector& v, double** values, size_t* count) {
    HandedArray block(v);
    *count = block.size();
    *values = block.hand_out();
}

}  // namespace

extern "C" {

QUELMARALG_API int alg_create_gausscoeff(GaussCoeff** out) {
    return quelmar::call_frame([&] { *out = quelmar::create_object<GaussCoeff>(); });
}

QUELMARALG_API int alg_gausscoeff_release(GaussCoeff** set) {
    return quelmar::call_frame([&] {
        if (set != nullptr && *set != nullptr) {
            quelmar::destroy_object(*set);
            *set = nullptr;
        }
    });
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
        FieldCopy a(set->amplitude);
        FieldCopy b(set->center);
        FieldCopy c(set->sigma);
        *amplitude_count = set->amplitude.size();
        *center_count = set->center.size();
        *sigma_count = set->sigma.size();
        *amplitude = a.hand_out();
        *center = b.hand_out();
        *sigma = c.hand_out();
    });
}

QUELMARALG_API int alg_mgf_create(const double* x, size_t x_count, const double* y, size_t y_count,
                                  const MgfOptions* options, MgfHandle** out) {
    return quelmar::call_frame([&] {
        auto handle = quelmar::make_owned<MgfHandle>();
        handle->x.assign_copy(x, x_count);
        handle->y.assign_copy(y, y_count);
        handle->options = *options;
        *out = handle.release();
    });
}

QUELMARALG_API int alg_mgf_release(MgfHandle** handle) {
    return quelmar::call_frame([&] {
        if (handle != nullptr && *handle != nullptr) {
            quelmar::destroy_object(*handle);
            *handle = nullptr;
        }
    });
}

QUELMARALG_API int alg_mgf_multi_gauss(const MgfHandle* handle, const GaussCoeff* set, double** values,
                                       size_t* count) {
    return quelmar::call_frame([&] { hand_out_values(quelmar::multi_gauss(*handle, *set), values, count); });
}

QUELMARALG_API int alg_mgf_solve(const MgfHandle* handle, GaussCoeff* set) {
    return quelmar::call_frame([&] { quelmar::solve_peaks(*handle, *set); });
}

QUELMARALG_API int alg_mgf_local_max_value_id(const MgfHandle* handle, GaussCoeff** out) {
    return quelmar::call_frame([&] {
        auto set = quelmar::make_owned<GaussCoeff>();
        quelmar::estimate_peaks(*handle, *set);
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
        hand_out_values(quelmar::simulate_peak_values(*handle, *set, bg), values, count);
    });
}

QUELMARALG_API int alg_mgf_melting_stimulate(const MgfHandle* handle, const GaussCoeff* set, double* background,
                                             double** values, size_t* count) {
    return quelmar::call_frame([&] {
        quelmar::SimBackground bg{};
        const Vector curve = quelmar::simulate_curve(*handle, *set, bg);
        HandedArray block(curve);
        background[0] = bg.level;
        background[1] = bg.midpoint;
        background[2] = bg.steepness;
        *count = block.size();
        *values = block.hand_out();
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
