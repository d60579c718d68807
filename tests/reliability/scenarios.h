// One call of every export on real data, with everything the caller owns
// around it recorded: the allocation-failure test fails the call's
// allocations one by one, the concurrency test runs the calls on several
// threads, and both compare what a call left behind.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <tuple>
#include <vector>

#include "QuelmarAlg.h"
#include "csv_columns.h"

namespace scenarios {

using V = std::vector<double>;
using Bytes = std::vector<unsigned char>;

inline void append(Bytes& out, const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    out.insert(out.end(), b, b + n);
}

// A set's three fields, read back through the interface.
inline std::array<V, 3> fields(const GaussCoeff* set) {
    size_t n[3] = {};
    double* p[3] = {};
    std::array<V, 3> f;
    if (alg_get_gausscoeff_data(set, &n[0], &p[0], &n[1], &p[1], &n[2], &p[2]) != ALG_OK) return f;
    for (int i = 0; i < 3; ++i) {
        if (n[i] > 0) f[i].assign(p[i], p[i] + n[i]);
        alg_darray_release(&p[i]);
    }
    return f;
}

inline void append(Bytes& out, const V& v) {
    const size_t n = v.size();
    append(out, &n, sizeof n);
    append(out, v.data(), n * sizeof(double));
}

// Real inputs; the variant (0 to 3) picks other wells, another dye, other
// pairs, so that threads work on different data.
struct Data {
    V plate;                      // 8 wells x 45 cycles of the 384-well plate, well after well
    V temperature, fluorescence;  // one dye of the melting file
    V peak_x, peak_y;             // its -dF/dT, smoothed, freed of background, every 4th grid point
    std::array<V, 3> peaks;       // the maxima above a tenth of that curve's top
    V packed, summary;            // replicates (6 target values, 2 genes of 5) and their first 4 statistics
    V pairs_x, pairs_y;           // standard-curve pairs
};

inline Data make_data(int v) {
    using quelmar_test::read_csv_columns;
    static const auto wells = read_csv_columns(QUELMARALG_DATA_DIR "/reps384.csv");
    static const auto melt = read_csv_columns(QUELMARALG_DATA_DIR "/dyemelt.csv");
    static const auto norris = read_csv_columns(QUELMARALG_DATA_DIR "/nist_norris.csv");
    Data d;
    for (int w = 0; w < 8; ++w) d.plate.insert(d.plate.end(), wells[1 + 8 * v + w].begin(), wells[1 + 8 * v + w].end());
    const size_t dye = v % 3, skip = v / 3 * 10;
    d.temperature.assign(melt[2 * dye].begin() + skip, melt[2 * dye].end());
    d.fluorescence.assign(melt[2 * dye + 1].begin() + skip, melt[2 * dye + 1].end());

    // The melting road of the example program.
    size_t n = 0;
    double *t = nullptr, *dfdt = nullptr;
    alg_melting(d.temperature.size(), d.temperature.data(), d.fluorescence.data(), &n, &t, &dfdt);
    alg_super_smooth(dfdt, n, 20);
    alg_melting_normalization(dfdt, n);
    for (size_t i = 0; i < n; i += 4) d.peak_x.push_back(t[i]), d.peak_y.push_back(dfdt[i]);
    alg_darray_release(&t);
    alg_darray_release(&dfdt);
    const MgfOptions options{0, 0, 0.5, 0, 0};
    MgfHandle* handle = nullptr;
    GaussCoeff *maxima = nullptr, *peaks = nullptr;
    alg_mgf_create(d.peak_x.data(), d.peak_x.size(), d.peak_y.data(), d.peak_y.size(), &options, &handle);
    alg_mgf_local_max_value_id(handle, &maxima);
    const double limits[] = {0.1 * *std::max_element(d.peak_y.begin(), d.peak_y.end()), HUGE_VAL, 0.0};
    alg_mgf_coeff_filter(limits, maxima, &peaks);
    d.peaks = fields(peaks);
    alg_gausscoeff_release(&peaks);
    alg_gausscoeff_release(&maxima);
    alg_mgf_release(&handle);

    // Replicates: late readings of three wells, as quantities.
    const auto late = [&](int well, size_t k) { return V(&d.plate[45 * well + 30], &d.plate[45 * well + 30 + k]); };
    d.packed = {6};
    for (const V& block : {late(0, 6), V{2, 5}, late(1, 5), V{5}, late(2, 5)}) d.packed.insert(d.packed.end(), block.begin(), block.end());
    const int32_t quantities = 2;
    double* summary = nullptr;
    alg_calc_sd(&quantities, d.packed.data(), d.packed.size(), &summary, &n);
    d.summary.assign(summary, summary + 4);
    alg_darray_release(&summary);

    d.pairs_y.assign(norris[0].begin() + v, norris[0].end());
    d.pairs_x.assign(norris[1].begin() + v, norris[1].end());
    return d;
}

inline const Data& data(int variant) {
    static const std::array<Data, 4> all{make_data(0), make_data(1), make_data(2), make_data(3)};
    return all[variant];
}

// A value no call hands out: an out-pointer still holding it was not written.
inline char untouched_marker;
template <class T>
T* untouched() {
    return reinterpret_cast<T*>(&untouched_marker);
}

// Everything the caller owns around one export call.
class Call {
public:
    explicit Call(int variant) : d(data(variant)) {
        const V one{1.0}, centre{d.peak_x[d.peak_x.size() / 2]};
        alg_create_gausscoeff(&probe_);
        alg_set_gausscoeff_data(probe_, 1, one.data(), 1, centre.data(), 1, one.data());
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call() {
        for (GaussCoeff*& s : sets_) alg_gausscoeff_release(&s);
        for (MgfHandle*& h : handles_) alg_mgf_release(&h);
        alg_gausscoeff_release(&probe_);
    }

    const Data& d;
    int rc = -1;
    Bytes handed;  // what the call handed out, read back

    // Caller arrays: inputs, in/out arrays, out arrays filled with a pattern.
    double* in(const V& v) { return keep(arrays_.emplace_back(v)); }
    double* out(size_t n) { return in(V(n, -1.0 / 3.0)); }
    FittingResult* records(size_t n) { return keep(records_.emplace_back(n)); }
    size_t* count() { return keep(counts_.emplace_back(12345)); }
    // An out-pointer, holding a value that no call hands out.
    template <class T>
    T** slot() {
        return &std::get<std::deque<T*>>(slots_).emplace_back(untouched<T>());
    }
    GaussCoeff*& set(const std::array<V, 3>& f) {
        GaussCoeff*& s = sets_.emplace_back();
        alg_create_gausscoeff(&s);
        alg_set_gausscoeff_data(s, f[0].size(), f[0].data(), f[1].size(), f[1].data(), f[2].size(), f[2].data());
        return s;
    }
    MgfHandle*& handle() {
        const MgfOptions options{0, 0, 0.5, 0, 0};
        MgfHandle*& h = handles_.emplace_back();
        alg_mgf_create(d.peak_x.data(), d.peak_x.size(), d.peak_y.data(), d.peak_y.size(), &options, &h);
        return h;
    }

    // The one export call of a scenario, through the test's hook.
    static inline std::function<int(Call&, const std::function<int()>&)> around;
    int run(const std::function<int()>& call) { return rc = around ? around(*this, call) : call(); }

    // Outputs handed out by a successful call: read back, then released.
    void take(double*& block, size_t n) {
        if (rc != ALG_OK) return;
        append(handed, V(block, block + n));
        alg_darray_release(&block);
    }
    void take(GaussCoeff*& set) {
        if (rc != ALG_OK) return;
        for (const V& f : fields(set)) append(handed, f);
        alg_gausscoeff_release(&set);
    }
    void take(MgfHandle*& handle) {
        if (rc != ALG_OK) return;
        use(handed, handle);
        alg_mgf_release(&handle);
    }

    // The caller's memory and objects: every array and count, each set read
    // back, each handle used in a model evaluation. Addresses left out.
    Bytes state() const {
        Bytes b;
        for (const auto& r : regions_) append(b, r.first, r.second);
        for (GaussCoeff* s : sets_)
            if (s != nullptr)
                for (const V& f : fields(s)) append(b, f);
        for (MgfHandle* h : handles_)
            if (h != nullptr) use(b, h);
        return b;
    }
    Bytes outcome() const {
        Bytes b = state();
        append(b, &rc, sizeof rc);
        b.insert(b.end(), handed.begin(), handed.end());
        return b;
    }
    bool slots_untouched() const {
        return std::apply([](const auto&... deques) { return (untouched_in(deques) && ...); }, slots_);
    }

private:
    template <class C>
    typename C::value_type* keep(C& c) {
        regions_.emplace_back(c.data(), c.size() * sizeof(*c.data()));
        return c.data();
    }
    size_t* keep(size_t& n) {
        regions_.emplace_back(&n, sizeof n);
        return &n;
    }
    template <class T>
    static bool untouched_in(const std::deque<T*>& slots) {
        return std::all_of(slots.begin(), slots.end(), [](T* p) { return p == untouched<T>(); });
    }
    void use(Bytes& b, const MgfHandle* h) const {
        double* values = nullptr;
        size_t n = 0;
        const int rc = alg_mgf_multi_gauss(h, probe_, &values, &n);
        append(b, &rc, sizeof rc);
        append(b, V(values, values + n));
        alg_darray_release(&values);
    }

    std::deque<V> arrays_;
    std::deque<std::vector<FittingResult>> records_;
    std::deque<size_t> counts_;
    std::tuple<std::deque<double*>, std::deque<GaussCoeff*>, std::deque<MgfHandle*>> slots_;
    std::deque<GaussCoeff*> sets_;
    std::deque<MgfHandle*> handles_;
    std::vector<std::pair<const void*, size_t>> regions_;
    GaussCoeff* probe_ = nullptr;
};

// A threshold for the plate, from a call outside the one under test.
inline double plate_threshold(const Data& d) {
    std::vector<FittingResult> records(8);
    double threshold = 0;
    alg_calc_threshold(records.data(), 8, d.plate.data(), 8, 45, &threshold);
    return threshold;
}

struct Scenario {
    const char* name;
    void (*run)(Call&);
};

// clang-format off
inline const std::vector<Scenario> kAll = {
    {"alg_darray_release", [](Call& c) {
        double* block = nullptr;
        size_t n = 0;
        const int32_t kind = 1;
        alg_calc_sd(&kind, c.d.packed.data(), c.d.packed.size(), &block, &n);
        c.run([&] { return alg_darray_release(&block); });
        append(c.handed, &block, sizeof block);
    }},
    {"test_fitting_result", [](Call& c) {
        FittingResult* r = c.records(1);
        const double doubles[] = {1.1, 2.2, 3.3, 4.4, 0, 1, 2, 3, 4, 5, 6, 7};
        std::memcpy(r, doubles, sizeof doubles);
        r->baseline_start = 1, r->baseline_end = 2, r->reserved5 = 3, r->baseline_sd = 5.5;
        const unsigned char flags[] = {1, 0, 1, 0, 1, 0, 1, 0};
        std::memcpy(&r->low_signal, flags, sizeof flags);
        c.run([&] { return test_fitting_result(r); });
    }},
    {"alg_sample_data_fitting", [](Call& c) {
        const double* curve = c.in(c.d.plate);
        double* result = c.out(1);
        c.run([&] { return alg_sample_data_fitting(curve, 45, result); });
    }},
    {"alg_run_smooth", [](Call& c) {
        double* curve = c.in(c.d.plate);
        c.run([&] { return alg_run_smooth(curve, 45); });
    }},
    {"alg_super_smooth", [](Call& c) {
        double* curve = c.in(c.d.plate);
        c.run([&] { return alg_super_smooth(curve, 45, 3); });
    }},
    {"alg_increasing", [](Call& c) {
        double* out = c.out(45);
        c.run([&] { return alg_increasing(c.d.temperature[0], 0.125, 45, out); });
    }},
    {"alg_sigmoid", [](Call& c) {
        const double* params = c.in({c.d.plate[44] - c.d.plate[0], 22.0, 0.5});
        double* x = c.in(c.d.temperature);
        c.run([&] { return alg_sigmoid(params, x, c.d.temperature.size()); });
    }},
    {"alg_sigmoid_batch_calc_ct", [](Call& c) {
        FittingResult* records = c.records(8);
        double threshold = 0;
        alg_calc_threshold(records, 8, c.d.plate.data(), 8, 45, &threshold);
        double* ct = c.out(8);
        c.run([&] { return alg_sigmoid_batch_calc_ct(records, 8, 0, ct); });
    }},
    {"alg_calc_threshold", [](Call& c) {
        FittingResult* records = c.records(8);
        const double* plate = c.in(c.d.plate);
        double* threshold = c.out(1);
        c.run([&] { return alg_calc_threshold(records, 8, plate, 8, 45, threshold); });
    }},
    {"alg_linear_batch_calc_ct", [](Call& c) {
        FittingResult* records = c.records(8);
        const double* plate = c.in(c.d.plate);
        double *curves = c.out(8 * 45), *ct = c.out(8);
        const double threshold = plate_threshold(c.d);
        c.run([&] { return alg_linear_batch_calc_ct(records, 8, threshold, plate, 8, 45, curves, ct); });
    }},
    {"alg_cubic_interpolation", [](Call& c) {
        const size_t n = c.d.temperature.size();
        const double *x = c.in(c.d.temperature), *y = c.in(c.d.fluorescence), *xq = c.in(c.d.peak_x);
        double* yq = c.out(c.d.peak_x.size());
        c.run([&] { return alg_cubic_interpolation(x, y, n, xq, yq, c.d.peak_x.size()); });
    }},
    {"alg_interpolation_x", [](Call& c) {
        const size_t n = c.d.temperature.size();
        const double* x = c.in(c.d.temperature);
        double* out = c.out((n - 1) * 10 + 1);
        c.run([&] { return alg_interpolation_x(x, n, 10, out); });
    }},
    {"alg_melting", [](Call& c) {
        const double *temperature = c.in(c.d.temperature), *fluorescence = c.in(c.d.fluorescence);
        size_t* n = c.count();
        double **t = c.slot<double>(), **dfdt = c.slot<double>();
        c.run([&] { return alg_melting(c.d.temperature.size(), temperature, fluorescence, n, t, dfdt); });
        c.take(*t, *n);
        c.take(*dfdt, *n);
    }},
    {"alg_melting_normalization", [](Call& c) {
        double* values = c.in(c.d.peak_y);
        c.run([&] { return alg_melting_normalization(values, c.d.peak_y.size()); });
    }},
    {"alg_create_gausscoeff", [](Call& c) {
        GaussCoeff** set = c.slot<GaussCoeff>();
        c.run([&] { return alg_create_gausscoeff(set); });
        c.take(*set);
    }},
    {"alg_gausscoeff_release", [](Call& c) {
        GaussCoeff*& set = c.set(c.d.peaks);
        c.run([&] { return alg_gausscoeff_release(&set); });
    }},
    {"alg_set_gausscoeff_data", [](Call& c) {
        GaussCoeff* set = c.set(c.d.peaks);
        const double *a = c.in(c.d.peak_y), *b = c.in(c.d.peak_x), *s = c.in(c.d.fluorescence);
        c.run([&] { return alg_set_gausscoeff_data(set, 4, a, 5, b, 6, s); });
    }},
    {"alg_get_gausscoeff_data", [](Call& c) {
        GaussCoeff* set = c.set(c.d.peaks);
        size_t *na = c.count(), *nb = c.count(), *nc = c.count();
        double **a = c.slot<double>(), **b = c.slot<double>(), **s = c.slot<double>();
        c.run([&] { return alg_get_gausscoeff_data(set, na, a, nb, b, nc, s); });
        c.take(*a, *na);
        c.take(*b, *nb);
        c.take(*s, *nc);
    }},
    {"alg_mgf_create", [](Call& c) {
        const MgfOptions options{1, 2, 0.5, 3, 4};
        MgfHandle** handle = c.slot<MgfHandle>();
        const size_t n = c.d.peak_x.size();
        const double *x = c.in(c.d.peak_x), *y = c.in(c.d.peak_y);
        c.run([&] { return alg_mgf_create(x, n, y, n, &options, handle); });
        c.take(*handle);
    }},
    {"alg_mgf_release", [](Call& c) {
        MgfHandle*& handle = c.handle();
        c.run([&] { return alg_mgf_release(&handle); });
    }},
    {"alg_mgf_multi_gauss", [](Call& c) {
        const MgfHandle* handle = c.handle();
        const GaussCoeff* set = c.set(c.d.peaks);
        size_t* n = c.count();
        double** values = c.slot<double>();
        c.run([&] { return alg_mgf_multi_gauss(handle, set, values, n); });
        c.take(*values, *n);
    }},
    {"alg_mgf_solve", [](Call& c) {
        const MgfHandle* handle = c.handle();
        GaussCoeff* set = c.set(c.d.peaks);
        c.run([&] { return alg_mgf_solve(handle, set); });
    }},
    {"alg_mgf_local_max_value_id", [](Call& c) {
        const MgfHandle* handle = c.handle();
        GaussCoeff** set = c.slot<GaussCoeff>();
        c.run([&] { return alg_mgf_local_max_value_id(handle, set); });
        c.take(*set);
    }},
    {"alg_mgf_local_max_value_id_origin", [](Call& c) {
        GaussCoeff** set = c.slot<GaussCoeff>();
        const size_t n = c.d.peak_x.size();
        const double *x = c.in(c.d.peak_x), *y = c.in(c.d.peak_y);
        c.run([&] { return alg_mgf_local_max_value_id_origin(x, n, y, n, set); });
        c.take(*set);
    }},
    {"alg_mgf_melting_stim_peak", [](Call& c) {
        const MgfHandle* handle = c.handle();
        const GaussCoeff* set = c.set(c.d.peaks);
        const double* background = c.in({1.0, 85.0, 0.8});
        size_t* n = c.count();
        double** values = c.slot<double>();
        c.run([&] { return alg_mgf_melting_stim_peak(handle, set, background, values, n); });
        c.take(*values, *n);
    }},
    {"alg_mgf_melting_stimulate", [](Call& c) {
        const MgfHandle* handle = c.handle();
        const GaussCoeff* set = c.set(c.d.peaks);
        double* background = c.out(3);
        size_t* n = c.count();
        double** values = c.slot<double>();
        c.run([&] { return alg_mgf_melting_stimulate(handle, set, background, values, n); });
        c.take(*values, *n);
    }},
    {"alg_mgf_coeff_filter", [](Call& c) {
        const GaussCoeff* set = c.set(c.d.peaks);
        const double* limits = c.in({0.0, 5.0, 0.3});
        GaussCoeff** out = c.slot<GaussCoeff>();
        c.run([&] { return alg_mgf_coeff_filter(limits, set, out); });
        c.take(*out);
    }},
    {"alg_calc_sd", [](Call& c) {
        const int32_t kind = 2;
        const double* packed = c.in(c.d.packed);
        size_t* n = c.count();
        double** values = c.slot<double>();
        c.run([&] { return alg_calc_sd(&kind, packed, c.d.packed.size(), values, n); });
        c.take(*values, *n);
    }},
    {"alg_calc_rq", [](Call& c) {
        const RqOptions options{2, 2, 1, 2, 3};
        const double* summary = c.in(c.d.summary);
        double* result = c.out(7);
        c.run([&] { return alg_calc_rq(&options.dataKind, summary, 4, 1.5, result); });
    }},
    {"alg_calc_standard", [](Call& c) {
        const size_t n = c.d.pairs_x.size();
        const double *x = c.in(c.d.pairs_x), *y = c.in(c.d.pairs_y);
        double* line = c.out(4);
        c.run([&] { return alg_calc_standard(x, n, y, n, line); });
    }},
};
// clang-format on

}  // namespace scenarios
