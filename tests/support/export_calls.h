// One call of an export with everything the caller owns around it, and the
// one table that calls every export with its arguments taken by name: the
// case runner (tests/cases) names them in its case files, the reliability
// scenarios (tests/reliability) take them from the bundled real data.
//
// Caller memory starts out recognisable: out arrays hold kSentinel, and so
// does one guard value past every caller array; out counts hold
// kUntouchedCount, out pointers the address of a marker that no call hands
// out, reserved record bytes kReserved. settle() reads back what the call
// left: its caller arrays, what it handed out, records, the set it worked on
// or made, each marked intact when it is as it was.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "QuelmarAlg.h"

namespace exports {

using V = std::vector<double>;
using Bytes = std::vector<unsigned char>;

inline constexpr double kSentinel = -7777.25;
inline constexpr std::size_t kUntouchedCount = 12345;
inline constexpr unsigned char kReserved = 0x5A;
inline char untouched_marker;
template <class T>
T* untouched() {
    return reinterpret_cast<T*>(&untouched_marker);
}

// A FittingResult as 15 values: the fields' offsets and sizes in that order,
// and the reserved bytes between them.
inline constexpr int kFields[][2] = {{0, 8},   {8, 8},   {24, 8},  {32, 8},  {48, 8},  {56, 8},  {80, 8}, {96, 2},
                                     {98, 2},  {104, 8}, {112, 8}, {120, 8}, {128, 8}, {136, 1}, {137, 1}};
inline constexpr int kReservedBytes[][2] = {{16, 8}, {40, 8}, {64, 16}, {88, 8}, {100, 2}, {138, 6}};

// The 16-bit and 8-bit fields are given whole numbers that fit them.
inline void put_field(unsigned char* at, int bytes, double value) {
    if (bytes == 8) {
        std::memcpy(at, &value, 8);
    } else if (bytes == 2) {
        const int16_t s = static_cast<int16_t>(value);
        std::memcpy(at, &s, 2);
    } else {
        *at = static_cast<uint8_t>(value);
    }
}

inline double get_field(const unsigned char* at, int bytes) {
    double value = *at;
    int16_t s;
    if (bytes == 8) std::memcpy(&value, at, 8);
    return bytes == 2 ? (std::memcpy(&s, at, 2), s) : value;
}

inline V record_values(const FittingResult& r) {
    V v;
    for (const auto& [at, bytes] : kFields) v.push_back(get_field(reinterpret_cast<const unsigned char*>(&r) + at, bytes));
    return v;
}

// The same doubles, bit for bit (a NaN is as it was when its bits are).
inline bool same_bits(const V& a, const V& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

inline void append(Bytes& out, const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    out.insert(out.end(), b, b + n);
}

inline void append(Bytes& out, const V& v) {
    const std::size_t n = v.size();
    append(out, &n, sizeof n);
    if (n > 0) append(out, v.data(), n * sizeof(double));
}

class Call {
public:
    // Inputs by name; sizes holds the counts too large for a double.
    explicit Call(std::map<std::string, V> values, std::map<std::string, std::size_t> sizes = {})
        : values_(std::move(values)), sizes_(std::move(sizes)) {}
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call() {
        release_handed();
        alg_gausscoeff_release(&set_);
        if (out_set_ != untouched<GaussCoeff>()) alg_gausscoeff_release(&out_set_);
        alg_mgf_release(&handle_);
        if (out_handle_ != untouched<MgfHandle>()) alg_mgf_release(&out_handle_);
    }

    int code = ALG_OK;
    std::string message;
    std::map<std::string, V> out;        // after settle(): every output by name
    std::map<std::string, bool> intact;  // and whether it is as it was
    bool bounds_kept = true;             // nothing written past an array or into a reserved field

    // Inputs.
    bool has(const std::string& key) const { return values_.count(key) != 0; }
    const V& get(const std::string& key) { return values_[key]; }
    const double* in(const std::string& key) { return get(key).data(); }
    double num(const std::string& key, double otherwise = 0) { return has(key) ? get(key).at(0) : otherwise; }
    std::size_t size(const std::string& key) { return sizes_.count(key) ? sizes_.at(key) : std::size_t(get(key).at(0)); }
    // The count passed with array `key` (of `width` values an element), or
    // "key.n" where given: an impossible count.
    std::size_t n(const std::string& key, std::size_t width = 1) {
        return has(key + ".n") ? size(key + ".n") : get(key).size() / width;
    }
    const int32_t* int32s(const std::string& key) {
        std::vector<int32_t>& v = ints_[key];
        for (double x : get(key)) v.push_back(int32_t(x));
        return v.data();
    }
    const MgfOptions* options() {
        const double other = num("other");
        options_ = MgfOptions{other, other, num("width", 1), other, other};
        return &options_;
    }

    // Caller arrays: an in/out copy of input `key`, or n sentinels to write.
    double* inout(const std::string& key) { return array(key, get(key)); }
    double* buffer(const std::string& key, std::size_t n) { return array(key, V(n, kSentinel)); }
    // An array handed out through (block, count); two blocks can share a count.
    double** block(const std::string& key, const std::string& count_key = "") {
        Handed& h = handed_[key];
        h.count_key = count_key.empty() ? key : count_key;
        return &h.p;
    }
    std::size_t* count(const std::string& key) { return &counts_.try_emplace(key, kUntouchedCount).first->second; }
    // A block the library handed out before the call, for a release.
    double** library_block() {
        double** p = block("released");
        alg_mgf_multi_gauss(handle(), set(), p, count("released"));
        return p;
    }
    // The records of input "records", 15 values each.
    FittingResult* records() {
        const V& v = get("records");
        records_.resize(v.size() / 15);
        for (FittingResult& r : records_) std::memset(&r, kReserved, sizeof r);
        for (std::size_t r = 0; r < records_.size(); ++r)
            for (int f = 0; f < 15; ++f)
                put_field(reinterpret_cast<unsigned char*>(&records_[r]) + kFields[f][0], kFields[f][1], v[15 * r + f]);
        return records_.data();
    }
    // A record as a host fills it in for the layout probe (see the header).
    FittingResult* probe() {
        probe_ = FittingResult{1.1, 2.2, 3.3, 4.4, 0, 1, 2, 3, 4, 5, 6, 7, 1, 2, 3, -1, -1, -1, 5.5, 1, 0, {1, 0, 1, 0, 1, 0}};
        return &probe_;
    }
    // The set of inputs a, b, c; the handle of inputs x and y with options().
    GaussCoeff*& set() {
        if (set_ != nullptr) return set_;
        const V &a = get("a"), &b = get("b"), &c = get("c");
        alg_create_gausscoeff(&set_);
        alg_set_gausscoeff_data(set_, a.size(), a.data(), b.size(), b.data(), c.size(), c.data());
        return set_;
    }
    MgfHandle*& handle() {
        if (handle_ == nullptr) alg_mgf_create(in("x"), n("x"), in("y"), n("y"), options(), &handle_);
        return handle_;
    }
    GaussCoeff** set_out() { return &out_set_; }
    MgfHandle** handle_out() { return &out_handle_; }

    // The call itself, through the test's hook when one is set.
    static inline std::function<int(Call&, const std::function<int()>&)> around;
    template <class F, class... Args>
    void call(F f, Args... args) {
        const std::function<int()> run = [&] { return f(args...); };
        code = around ? around(*this, run) : run();
        message = get_last_error();
    }

    // The caller's memory as it is: inputs, arrays, counts, out-pointers,
    // records, and the set as read back.
    Bytes state() {
        Bytes b;
        for (const auto& [key, v] : values_) append(b, v);
        for (const auto& [key, a] : arrays_) append(b, a.now);
        for (const auto& [key, n] : counts_) append(b, &n, sizeof n);
        for (const auto& [key, h] : handed_) append(b, &h.p, sizeof h.p);
        append(b, records_.data(), records_.size() * sizeof(FittingResult));
        append(b, &probe_, sizeof probe_);
        append(b, &out_set_, sizeof out_set_);
        append(b, &out_handle_, sizeof out_handle_);
        if (set_ != nullptr)
            for (const V& f : fields(set_)) append(b, f);
        return b;
    }

    // Reads what the call left into out and intact, and gives back what it
    // handed out.
    void settle() {
        for (const auto& [key, a] : arrays_) {
            out[key].assign(a.now.begin(), a.now.end() - 1);
            intact[key] = same_bits(a.now, a.before);
            bounds_kept &= a.now.back() == kSentinel;
        }
        for (auto& [key, h] : handed_) {
            const std::size_t n = counts_[h.count_key];
            if ((intact[key] = h.p == untouched<double>() && n == kUntouchedCount)) continue;
            out[key] = h.p == nullptr ? V() : V(h.p, h.p + n);
        }
        release_handed();
        for (const FittingResult& r : records_) {
            const V v = record_values(r);
            out["records"].insert(out["records"].end(), v.begin(), v.end());
            for (const auto& [at, bytes] : kReservedBytes)
                for (int i = at; i < at + bytes; ++i) bounds_kept &= reinterpret_cast<const unsigned char*>(&r)[i] == kReserved;
        }
        if (has("records")) intact["records"] = same_bits(out["records"], get("records"));
        if (probe_.max_slope_index != 0) append_bytes("probe", &probe_, sizeof probe_);
        if (set_ != nullptr) read_set(set_, true);
        if (!(intact["set"] = out_set_ == untouched<GaussCoeff>())) read_set(out_set_, false);
        intact["handle"] = out_handle_ == untouched<MgfHandle>();
    }

    // The code and every output, for comparing two calls. (Not the message:
    // calls on other threads may overwrite it.)
    Bytes outcome() const {
        Bytes b;
        append(b, &code, sizeof code);
        for (const auto& [key, v] : out) append(b, key.data(), key.size()), append(b, v);
        return b;
    }

    // A set's three fields, read back through the interface.
    static std::vector<V> fields(const GaussCoeff* set) {
        std::size_t n[3] = {};
        double* p[3] = {};
        std::vector<V> f(3);
        if (alg_get_gausscoeff_data(set, &n[0], &p[0], &n[1], &p[1], &n[2], &p[2]) != ALG_OK) return f;
        for (int i = 0; i < 3; ++i) {
            if (p[i] != nullptr) f[i].assign(p[i], p[i] + n[i]);
            alg_darray_release(&p[i]);
        }
        return f;
    }

private:
    struct Array {
        V now, before;
    };
    struct Handed {
        double* p = untouched<double>();
        std::string count_key;
    };

    double* array(const std::string& key, const V& values) {
        Array& a = arrays_[key];
        a.now = a.before = values;
        a.now.push_back(kSentinel), a.before.push_back(kSentinel);
        return a.now.data();
    }
    void release_handed() {
        for (auto& [key, h] : handed_)
            if (h.p != untouched<double>()) alg_darray_release(&h.p);
    }
    void append_bytes(const std::string& key, const void* p, std::size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        out[key].assign(b, b + n);
    }
    // Fields a, b, c of a set the call worked on (compared with its inputs)
    // or made, which is then released.
    void read_set(GaussCoeff*& s, bool worked_on) {
        const std::vector<V> f = fields(s);
        for (int i = 0; i < 3; ++i) {
            const std::string key(1, char('a' + i));
            out[key] = f[i];
            intact[key] = worked_on && same_bits(f[i], get(key));
        }
        if (!worked_on) alg_gausscoeff_release(&s);
    }

    std::map<std::string, V> values_;
    std::map<std::string, std::size_t> sizes_;
    std::map<std::string, std::vector<int32_t>> ints_;
    std::map<std::string, Array> arrays_;
    std::map<std::string, Handed> handed_;
    std::map<std::string, std::size_t> counts_;
    std::vector<FittingResult> records_;
    FittingResult probe_{};
    MgfOptions options_{};
    GaussCoeff* set_ = nullptr;
    GaussCoeff* out_set_ = untouched<GaussCoeff>();
    MgfHandle* handle_ = nullptr;
    MgfHandle* out_handle_ = untouched<MgfHandle>();
};

// Impossible lengths must fail before anything is written: their buffers
// stay small.
inline std::size_t small(std::size_t n) { return n < 4096 ? n : 4096; }

// Every export that returns a result code, each argument taken by name
// independently of the others.
inline const std::map<std::string, void (*)(Call&)> kTable = {
    {"alg_darray_release", [](Call& c) { c.call(alg_darray_release, c.library_block()); }},
    {"test_fitting_result", [](Call& c) { c.call(test_fitting_result, c.probe()); }},
    {"alg_super_smooth", [](Call& c) { c.call(alg_super_smooth, c.inout("data"), c.n("data"), int(c.num("half_window"))); }},
    {"alg_run_smooth", [](Call& c) { c.call(alg_run_smooth, c.inout("data"), c.n("data")); }},
    {"alg_sample_data_fitting", [](Call& c) { c.call(alg_sample_data_fitting, c.in("data"), c.n("data"), c.buffer("result", 1)); }},
    {"alg_increasing", [](Call& c) {
         c.call(alg_increasing, c.num("start"), c.num("step"), c.size("length"), c.buffer("out", small(c.size("length"))));
     }},
    {"alg_sigmoid", [](Call& c) { c.call(alg_sigmoid, c.in("params"), c.inout("values"), c.n("values")); }},
    {"alg_sigmoid_batch_calc_ct", [](Call& c) {
         c.call(alg_sigmoid_batch_calc_ct, c.records(), c.n("records", 15), std::size_t{45}, c.buffer("ct", c.get("records").size() / 15));
     }},
    {"alg_calc_threshold", [](Call& c) {
         c.call(alg_calc_threshold, c.records(), c.n("records", 15), c.in("data"), c.size("wells"), c.size("cycles"),
                c.buffer("threshold", 1));
     }},
    {"alg_linear_batch_calc_ct", [](Call& c) {
         c.call(alg_linear_batch_calc_ct, c.records(), c.n("records", 15), c.num("threshold"), c.in("data"), c.size("wells"),
                c.size("cycles"), c.buffer("curves", c.get("data").size()), c.buffer("ct", c.get("records").size() / 15));
     }},
    {"alg_cubic_interpolation", [](Call& c) {
         c.call(alg_cubic_interpolation, c.in("x"), c.in("y"), c.n("x"), c.in("xq"), c.buffer("yq", c.get("xq").size()), c.n("xq"));
     }},
    {"alg_interpolation_x", [](Call& c) {
         const std::size_t knots = c.get("x").size();
         c.call(alg_interpolation_x, c.in("x"), c.n("x"), c.size("factor"),
                c.buffer("out", knots == 0 ? 0 : (knots - 1) * small(c.size("factor")) + 1));
     }},
    {"alg_melting", [](Call& c) {
         c.call(alg_melting, c.n("t"), c.in("t"), c.in("f"), c.count("grid"), c.block("grid"), c.block("derivative", "grid"));
     }},
    {"alg_melting_normalization", [](Call& c) { c.call(alg_melting_normalization, c.inout("values"), c.n("values")); }},
    {"alg_create_gausscoeff", [](Call& c) { c.call(alg_create_gausscoeff, c.set_out()); }},
    {"alg_gausscoeff_release", [](Call& c) { c.call(alg_gausscoeff_release, &c.set()); }},
    {"alg_set_gausscoeff_data", [](Call& c) {
         c.call(alg_set_gausscoeff_data, c.set(), c.n("new_a"), c.in("new_a"), c.n("new_b"), c.in("new_b"), c.n("new_c"),
                c.in("new_c"));
     }},
    {"alg_get_gausscoeff_data", [](Call& c) {
         c.call(alg_get_gausscoeff_data, c.set(), c.count("a"), c.block("a"), c.count("b"), c.block("b"), c.count("c"),
                c.block("c"));
     }},
    {"alg_mgf_create", [](Call& c) { c.call(alg_mgf_create, c.in("x"), c.n("x"), c.in("y"), c.n("y"), c.options(), c.handle_out()); }},
    {"alg_mgf_release", [](Call& c) { c.call(alg_mgf_release, &c.handle()); }},
    {"alg_mgf_multi_gauss", [](Call& c) { c.call(alg_mgf_multi_gauss, c.handle(), c.set(), c.block("values"), c.count("values")); }},
    {"alg_mgf_solve", [](Call& c) { c.call(alg_mgf_solve, c.handle(), c.set()); }},
    {"alg_mgf_local_max_value_id", [](Call& c) { c.call(alg_mgf_local_max_value_id, c.handle(), c.set_out()); }},
    {"alg_mgf_local_max_value_id_origin", [](Call& c) {
         c.call(alg_mgf_local_max_value_id_origin, c.in("x"), c.n("x"), c.in("y"), c.n("y"), c.set_out());
     }},
    {"alg_mgf_melting_stim_peak", [](Call& c) {
         c.call(alg_mgf_melting_stim_peak, c.handle(), c.set(), c.in("bg"), c.block("values"), c.count("values"));
     }},
    {"alg_mgf_melting_stimulate", [](Call& c) {
         c.call(alg_mgf_melting_stimulate, c.handle(), c.set(), c.buffer("bg", 3), c.block("values"), c.count("values"));
     }},
    {"alg_mgf_coeff_filter", [](Call& c) { c.call(alg_mgf_coeff_filter, c.in("limits"), c.set(), c.set_out()); }},
    {"alg_calc_sd", [](Call& c) { c.call(alg_calc_sd, c.int32s("kind"), c.in("data"), c.n("data"), c.block("values"), c.count("values")); }},
    {"alg_calc_rq", [](Call& c) {
         c.call(alg_calc_rq, c.int32s("options"), c.in("summary"), c.n("summary"), c.num("calibrator"), c.buffer("result", 7));
     }},
    {"alg_calc_standard", [](Call& c) { c.call(alg_calc_standard, c.in("x"), c.n("x"), c.in("y"), c.n("y"), c.buffer("out", 4)); }},
};

}  // namespace exports
