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
using Fields = std::array<V, 3>;

inline void append(Bytes& out, const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    out.insert(out.end(), b, b + n);
}

inline void append(Bytes& out, const V& v) {
    const size_t n = v.size();
    append(out, &n, sizeof n);
    append(out, v.data(), n * sizeof(double));
}

// A set's three fields, read back through the interface.
inline Fields fields(const GaussCoeff* set) {
    size_t n[3] = {};
    double* p[3] = {};
    Fields f;
    if (alg_get_gausscoeff_data(set, &n[0], &p[0], &n[1], &p[1], &n[2], &p[2]) != ALG_OK) return f;
    for (int i = 0; i < 3; ++i) {
        if (n[i] > 0) f[i].assign(p[i], p[i] + n[i]);
        alg_darray_release(&p[i]);
    }
    return f;
}

// Real inputs; the variant (0 to 3) picks other wells, another dye, other
// pairs, so that threads work on different data.
struct Data {
    V plate;                      // 8 wells x 45 cycles of the 384-well plate, well after well
    V temperature, fluorescence;  // one dye of the melting file
    V peak_x, peak_y;             // its -dF/dT, smoothed, freed of background, every 4th grid point
    Fields peaks;                 // the maxima of that curve above a tenth of its top
    V packed, summary;            // replicates (6 target values, 2 genes of 5) and their first 4 statistics
    V pairs_x, pairs_y;           // standard-curve pairs
};

inline Data make_data(int v) {
    using quelmar_test::read_csv_columns;
    static const auto wells = read_csv_columns(QUELMARALG_DATA_DIR "/reps384.csv");
    static const auto melt = read_csv_columns(QUELMARALG_DATA_DIR "/dyemelt.csv");
    static const auto norris = read_csv_columns(QUELMARALG_DATA_DIR "/nist_norris.csv");
    Data d;
    for (int w = 1 + 8 * v; w <= 8 + 8 * v; ++w) d.plate.insert(d.plate.end(), wells[w].begin(), wells[w].end());
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
    const double top = *std::max_element(d.peak_y.begin(), d.peak_y.end());
    for (size_t i = 1; i + 1 < d.peak_y.size(); ++i)
        if (d.peak_y[i] > 0.1 * top && d.peak_y[i] > d.peak_y[i - 1] && d.peak_y[i] > d.peak_y[i + 1])
            d.peaks[0].push_back(d.peak_y[i]), d.peaks[1].push_back(d.peak_x[i]), d.peaks[2].push_back(0.5);

    // Replicates: late readings of three wells, as quantities.
    d.packed = {6};
    const auto late = [&](int well, size_t k) { return V(&d.plate[45 * well + 30], &d.plate[45 * well + 30 + k]); };
    for (const V& part : {late(0, 6), V{2, 5}, late(1, 5), V{5}, late(2, 5)})
        d.packed.insert(d.packed.end(), part.begin(), part.end());
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

inline char untouched_marker;

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

    // Caller memory, set up before the call: inputs and in/out arrays, out
    // arrays holding a pattern, records, counts, and out-pointers holding a
    // value no call hands out (set to NULL again when their block is taken).
    double* in(const V& v) { return keep_all(arrays_.emplace_back(v)); }
    double* out(size_t n) { return in(V(n, -1.0 / 3.0)); }
    FittingResult* records(size_t n) { return keep_all(records_.emplace_back(n)); }
    size_t* count() { return keep(counts_.emplace_back(12345)); }
    template <class T>
    T** slot() {
        return keep(std::get<std::deque<T*>>(slots_).emplace_back(reinterpret_cast<T*>(&untouched_marker)));
    }
    GaussCoeff*& set() {  // the peaks of the data
        GaussCoeff*& s = sets_.emplace_back();
        const Fields& f = d.peaks;
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
    // The same for a call that hands out an array (values, count), a set or
    // a handle; what it hands out is read back and released.
    void run_array(const std::function<int(double**, size_t*)>& call) {
        size_t* n = count();
        double** values = slot<double>();
        if (run([&] { return call(values, n); }) == ALG_OK) take(*values, *n);
    }
    template <class T>
    void run_object(const std::function<int(T**)>& call) {
        T** object = slot<T>();
        if (run([&] { return call(object); }) == ALG_OK) take(*object);
    }
    void take(double*& block, size_t n) {
        append(handed, V(block, block + n));
        alg_darray_release(&block);
    }

    // The caller's memory and objects: every array and count, each set read
    // back, each handle used in a model evaluation. Addresses left out.
    Bytes state() const {
        Bytes b;
        for (const auto& r : regions_) append(b, r.first, r.second);
        for (GaussCoeff* s : sets_)
            if (s != nullptr) use(b, s);
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

private:
    template <class C>
    typename C::value_type* keep_all(C& c) {
        regions_.emplace_back(c.data(), c.size() * sizeof(*c.data()));
        return c.data();
    }
    template <class T>
    T* keep(T& scalar) {
        regions_.emplace_back(&scalar, sizeof scalar);
        return &scalar;
    }
    void take(GaussCoeff*& set) {
        use(handed, set);
        alg_gausscoeff_release(&set);
    }
    void take(MgfHandle*& handle) {
        use(handed, handle);
        alg_mgf_release(&handle);
    }
    static void use(Bytes& b, const GaussCoeff* set) {
        for (const V& f : fields(set)) append(b, f);
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

struct Scenario {
    const char* name;
    void (*run)(Call&);
};

// Objects and arrays a call uses are made in the lambdas' captures, before
// the call runs.
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
         const unsigned char flags[] = {1, 0, 1, 0, 1, 0, 1, 0};
         std::memcpy(r, doubles, sizeof doubles);
         std::memcpy(&r->low_signal, flags, sizeof flags);
         r->baseline_start = 1, r->baseline_end = 2, r->reserved5 = 3, r->baseline_sd = 5.5;
         c.run([&] { return test_fitting_result(r); });
     }},
    {"alg_sample_data_fitting", [](Call& c) {
         c.run([v = c.in(c.d.plate), out = c.out(1)] { return alg_sample_data_fitting(v, 45, out); });
     }},
    {"alg_run_smooth", [](Call& c) { c.run([v = c.in(c.d.plate)] { return alg_run_smooth(v, 45); }); }},
    {"alg_super_smooth", [](Call& c) { c.run([v = c.in(c.d.plate)] { return alg_super_smooth(v, 45, 3); }); }},
    {"alg_increasing", [](Call& c) {
         c.run([&, out = c.out(45)] { return alg_increasing(c.d.temperature[0], 0.125, 45, out); });
     }},
    {"alg_sigmoid", [](Call& c) {
         c.run([&, p = c.in({c.d.plate[44] - c.d.plate[0], 22.0, 0.5}), x = c.in(c.d.temperature)] {
             return alg_sigmoid(p, x, c.d.temperature.size());
         });
     }},
    {"alg_sigmoid_batch_calc_ct", [](Call& c) {
         FittingResult* records = c.records(8);
         double threshold = 0;
         alg_calc_threshold(records, 8, c.d.plate.data(), 8, 45, &threshold);
         c.run([&, ct = c.out(8)] { return alg_sigmoid_batch_calc_ct(records, 8, 0, ct); });
     }},
    {"alg_calc_threshold", [](Call& c) {
         c.run([r = c.records(8), plate = c.in(c.d.plate), out = c.out(1)] {
             return alg_calc_threshold(r, 8, plate, 8, 45, out);
         });
     }},
    {"alg_linear_batch_calc_ct", [](Call& c) {
         std::vector<FittingResult> scratch(8);
         double t = 0;
         alg_calc_threshold(scratch.data(), 8, c.d.plate.data(), 8, 45, &t);
         c.run([&, r = c.records(8), plate = c.in(c.d.plate), curves = c.out(8 * 45), ct = c.out(8)] {
             return alg_linear_batch_calc_ct(r, 8, t, plate, 8, 45, curves, ct);
         });
     }},
    {"alg_cubic_interpolation", [](Call& c) {
         const size_t n = c.d.temperature.size(), nq = c.d.peak_x.size();
         c.run([&, x = c.in(c.d.temperature), y = c.in(c.d.fluorescence), xq = c.in(c.d.peak_x), yq = c.out(nq)] {
             return alg_cubic_interpolation(x, y, n, xq, yq, nq);
         });
     }},
    {"alg_interpolation_x", [](Call& c) {
         const size_t n = c.d.temperature.size();
         c.run([&, x = c.in(c.d.temperature), out = c.out((n - 1) * 10 + 1)] {
             return alg_interpolation_x(x, n, 10, out);
         });
     }},
    {"alg_melting", [](Call& c) {
         const size_t n = c.d.temperature.size();
         double** grid = c.slot<double>();
         c.run_array([&, t = c.in(c.d.temperature), f = c.in(c.d.fluorescence)](double** dfdt, size_t* count) {
             return alg_melting(n, t, f, count, grid, dfdt);
         });
         if (c.rc == ALG_OK) c.take(*grid, n * 10 - 9);
     }},
    {"alg_melting_normalization", [](Call& c) {
         c.run([&, v = c.in(c.d.peak_y)] { return alg_melting_normalization(v, c.d.peak_y.size()); });
     }},
    {"alg_create_gausscoeff", [](Call& c) { c.run_object<GaussCoeff>(alg_create_gausscoeff); }},
    {"alg_gausscoeff_release", [](Call& c) { c.run([&s = c.set()] { return alg_gausscoeff_release(&s); }); }},
    {"alg_set_gausscoeff_data", [](Call& c) {
         c.run([s = c.set(), a = c.in(c.d.peak_y), b = c.in(c.d.peak_x), w = c.in(c.d.fluorescence)] {
             return alg_set_gausscoeff_data(s, 4, a, 5, b, 6, w);
         });
     }},
    {"alg_get_gausscoeff_data", [](Call& c) {
         size_t *na = c.count(), *nb = c.count();
         double **a = c.slot<double>(), **b = c.slot<double>();
         c.run_array([&, s = c.set()](double** w, size_t* nw) {
             return alg_get_gausscoeff_data(s, na, a, nb, b, nw, w);
         });
         if (c.rc == ALG_OK) c.take(*a, *na), c.take(*b, *nb);
     }},
    {"alg_mgf_create", [](Call& c) {
         static const MgfOptions kOptions{1, 2, 0.5, 3, 4};
         const size_t n = c.d.peak_x.size();
         c.run_object<MgfHandle>([&, x = c.in(c.d.peak_x), y = c.in(c.d.peak_y)](MgfHandle** h) {
             return alg_mgf_create(x, n, y, n, &kOptions, h);
         });
     }},
    {"alg_mgf_release", [](Call& c) { c.run([&h = c.handle()] { return alg_mgf_release(&h); }); }},
    {"alg_mgf_multi_gauss", [](Call& c) {
         c.run_array([h = c.handle(), s = c.set()](double** v, size_t* n) { return alg_mgf_multi_gauss(h, s, v, n); });
     }},
    {"alg_mgf_solve", [](Call& c) { c.run([h = c.handle(), s = c.set()] { return alg_mgf_solve(h, s); }); }},
    {"alg_mgf_local_max_value_id", [](Call& c) {
         c.run_object<GaussCoeff>([h = c.handle()](GaussCoeff** s) { return alg_mgf_local_max_value_id(h, s); });
     }},
    {"alg_mgf_local_max_value_id_origin", [](Call& c) {
         const size_t n = c.d.peak_x.size();
         c.run_object<GaussCoeff>([&, x = c.in(c.d.peak_x), y = c.in(c.d.peak_y)](GaussCoeff** s) {
             return alg_mgf_local_max_value_id_origin(x, n, y, n, s);
         });
     }},
    {"alg_mgf_melting_stim_peak", [](Call& c) {
         c.run_array([h = c.handle(), s = c.set(), bg = c.in({1.0, 85.0, 0.8})](double** v, size_t* n) {
             return alg_mgf_melting_stim_peak(h, s, bg, v, n);
         });
     }},
    {"alg_mgf_melting_stimulate", [](Call& c) {
         c.run_array([h = c.handle(), s = c.set(), bg = c.out(3)](double** v, size_t* n) {
             return alg_mgf_melting_stimulate(h, s, bg, v, n);
         });
     }},
    {"alg_mgf_coeff_filter", [](Call& c) {
         c.run_object<GaussCoeff>([s = c.set(), limits = c.in({0.0, 5.0, 0.3})](GaussCoeff** out) {
             return alg_mgf_coeff_filter(limits, s, out);
         });
     }},
    {"alg_calc_sd", [](Call& c) {
         static const int32_t kQuantities = 2;
         c.run_array([&, data = c.in(c.d.packed)](double** v, size_t* n) {
             return alg_calc_sd(&kQuantities, data, c.d.packed.size(), v, n);
         });
     }},
    {"alg_calc_rq", [](Call& c) {
         static const RqOptions kOptions{2, 2, 1, 2, 3};
         c.run([s = c.in(c.d.summary), out = c.out(7)] { return alg_calc_rq(&kOptions.dataKind, s, 4, 1.5, out); });
     }},
    {"alg_calc_standard", [](Call& c) {
         const size_t n = c.d.pairs_x.size();
         c.run([&, x = c.in(c.d.pairs_x), y = c.in(c.d.pairs_y), out = c.out(4)] {
             return alg_calc_standard(x, n, y, n, out);
         });
     }},
};

}  // namespace scenarios
