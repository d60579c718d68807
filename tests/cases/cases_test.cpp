// Runs the case files (the format is at the head of worked.txt) through the
// exports, and a few internal routines whose worked values no export shows.
// Every call is held to the shared contracts: a success leaves an empty
// message; a failure words its message in the GBK bytes iconv gives for the
// UTF-8 text and leaves every output it does not list as it was (arrays,
// peak sets, out-pointers); no call touches a record's reserved fields.
// pin.py rewrites a case file with the outputs the library gives now (how
// pinned.txt was made).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "amplification/baseline.h"
#include "amplification/linear_ct.h"
#include "amplification/sigmoid.h"
#include "csv_columns.h"
#include "curves/curve_primitives.h"
#include "gbk.h"
#include "peaks/model.h"

namespace {

using V = std::vector<double>;
constexpr double kSentinel = -7777.25;  // what caller arrays hold before a call

struct Case {
    std::string name, call, message;  // the message in UTF-8
    std::map<std::string, std::vector<std::string>> in, expected;
    int code = ALG_OK;
    double tol = 0;
    std::size_t every = 1;
};
std::vector<Case> cases;

const std::vector<double>& output_of(const std::string& name, const std::string& key);

// Why a fit stopped, by name (see the summary outputs).
const std::map<std::string, quelmar::FitStop> kStops = {
    {"small-gradient", quelmar::FitStop::kSmallGradient}, {"small-step", quelmar::FitStop::kSmallStep},
    {"small-residual", quelmar::FitStop::kSmallResidual}, {"no-descent", quelmar::FitStop::kNoDescent},
    {"damping-limit", quelmar::FitStop::kDampingLimit},   {"iteration-limit", quelmar::FitStop::kIterationLimit},
    {"singular", quelmar::FitStop::kSingularSystem}};

V summary(const quelmar::FitSummary& s) { return {double(s.stop), double(s.iterations), s.initial_cost, s.final_cost}; }

// A value token: a number, a reason a fit stopped, v*n (n copies of v), @file:column[:count] (whole
// columns of a bundled CSV file) or $case.key (an output of an earlier case).
void append(const std::string& token, V& values) {
    static std::map<std::string, std::vector<V>> files;
    if (token[0] == '@') {
        char file[64];
        std::size_t column = 0, count = 1;
        std::sscanf(token.c_str(), "@%63[^:]:%zu:%zu", file, &column, &count);
        if (!files.count(file)) files[file] = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/" + std::string(file) + ".csv");
        for (std::size_t c = column; c < column + count; ++c)
            values.insert(values.end(), files[file].at(c).begin(), files[file].at(c).end());
    } else if (token[0] == '$') {
        const std::size_t dot = token.find('.');
        const V& v = output_of(token.substr(1, dot - 1), token.substr(dot + 1));
        values.insert(values.end(), v.begin(), v.end());
    } else if (const auto stop = kStops.find(token); stop != kStops.end()) {
        values.push_back(double(stop->second));
    } else {
        const std::size_t star = token.find('*');
        values.insert(values.end(), star == std::string::npos ? 1 : std::stoull(token.substr(star + 1)),
                      std::strtod(token.c_str(), nullptr));
    }
}

// A FittingResult as 15 values: the fields' offsets and sizes in the case
// files' order, and the reserved bytes between them.
constexpr int kFields[][2] = {{0, 8},  {8, 8},   {24, 8},  {32, 8},  {48, 8},  {56, 8},  {80, 8}, {96, 2},
                              {98, 2}, {104, 8}, {112, 8}, {120, 8}, {128, 8}, {136, 1}, {137, 1}};
constexpr int kReservedBytes[][2] = {{16, 8}, {40, 8}, {64, 16}, {88, 8}, {100, 2}, {138, 6}};
constexpr unsigned char kReserved = 0x5A;

void put_field(unsigned char* at, int bytes, double value) {
    const int16_t s = static_cast<int16_t>(value);
    const uint8_t b = static_cast<uint8_t>(value);
    std::memcpy(at, bytes == 8 ? static_cast<const void*>(&value) : bytes == 2 ? static_cast<const void*>(&s) : &b, bytes);
}

double get_field(const unsigned char* at, int bytes) {
    double value = *at;
    int16_t s;
    if (bytes == 8) std::memcpy(&value, at, 8);
    return bytes == 2 ? (std::memcpy(&s, at, 2), s) : value;
}

// One call: its inputs, the caller's buffers, and what the call left: its
// code, message and outputs, and whether each output is as it was.
struct Call {
    explicit Call(const Case& c) : k(c) {}
    const Case& k;
    int code = ALG_OK;
    std::string message;
    std::map<std::string, V> out, inputs, arrays, before;
    std::map<std::string, bool> intact;
    struct Handed { double marker = 0, *p = &marker; std::size_t n = 12345; };
    std::map<std::string, Handed> handed;
    std::vector<FittingResult> records;
    GaussCoeff *set = nullptr, *out_set = nullptr;
    MgfHandle* handle = nullptr;
    bool read_set = false;

    void ran(int result) { code = result, message = get_last_error(); }  // before any release clears it
    bool has(const std::string& key) const { return k.in.count(key) != 0; }
    V& get(const std::string& key) {
        if (!inputs.count(key) && has(key))
            for (const std::string& t : k.in.at(key)) append(t, inputs[key]);
        return inputs[key];
    }
    double* in(const std::string& key) { return get(key).data(); }
    double num(const std::string& key, double otherwise = 0) { return has(key) ? get(key).at(0) : otherwise; }
    std::size_t size(const std::string& key) { return std::stoull(k.in.at(key).at(0)); }
    // The count passed with array `key` (of `width` values an element), or
    // "key.n" when the case gives one: an impossible count.
    std::size_t n(const std::string& key, std::size_t width = 1) {
        return has(key + ".n") ? size(key + ".n") : get(key).size() / width;
    }
    // A caller array holding `values`: n sentinels, or an in/out input.
    double* array(const std::string& key, const V& values) {
        before[key] = arrays[key] = values;
        return arrays[key].data();
    }
    double* buffer(const std::string& key, std::size_t n) { return array(key, V(n, kSentinel)); }
    double* inout(const std::string& key) { return array(key, get(key)); }
    double** block(const std::string& key) { return &handed[key].p; }
    std::size_t* count(const std::string& key) { return &handed[key].n; }
    FittingResult* recs() {
        const V& v = get("records");
        records.resize(v.size() / 15);
        for (FittingResult& r : records) std::memset(&r, kReserved, sizeof r);
        for (std::size_t r = 0; r < records.size(); ++r)
            for (int f = 0; f < 15; ++f)
                put_field(reinterpret_cast<unsigned char*>(&records[r]) + kFields[f][0], kFields[f][1], v[15 * r + f]);
        return records.data();
    }
    GaussCoeff* peaks(bool read_back = false) {
        const V &a = get("a"), &b = get("b"), &c = get("c");
        read_set = read_back;
        EXPECT_EQ(alg_create_gausscoeff(&set), ALG_OK);
        EXPECT_EQ(alg_set_gausscoeff_data(set, a.size(), a.data(), b.size(), b.data(), c.size(), c.data()), ALG_OK);
        return set;
    }
    GaussCoeff** peaks_out() { return &(out_set = reinterpret_cast<GaussCoeff*>(this)); }
    MgfHandle* curve() {
        const double other = num("other");
        const MgfOptions options{other, other, num("width", 1), other, other};
        EXPECT_EQ(alg_mgf_create(in("x"), n("x"), in("y"), n("y"), &options, &handle), ALG_OK);
        return handle;
    }
    // The result of an internal routine.
    void put(const std::string& key, const quelmar::Vector& v) { out[key] = V(v.begin(), v.end()); }
    quelmar::Vector vec(const std::string& key) { return quelmar::Vector::copy_of(in(key), n(key)); }

    void read_fields(const GaussCoeff* s, bool compare) {
        Handed f[3];
        EXPECT_EQ(alg_get_gausscoeff_data(s, &f[0].n, &f[0].p, &f[1].n, &f[1].p, &f[2].n, &f[2].p), ALG_OK);
        for (int i = 0; i < 3; ++i) {
            const std::string key(1, char('a' + i));
            out[key] = f[i].p == nullptr ? V() : V(f[i].p, f[i].p + f[i].n);
            intact[key] = compare && out[key] == get(key);
            alg_darray_release(&f[i].p);
        }
    }
    // Settles the call: outputs read, blocks and objects given back.
    void settle() {
        for (auto& [key, v] : arrays) {
            out[key] = v;
            intact[key] = v.empty() || std::memcmp(v.data(), before[key].data(), v.size() * sizeof(double)) == 0;
        }
        for (auto& [key, h] : handed) {
            if ((intact[key] = h.p == &h.marker && h.n == 12345)) continue;
            out[key] = h.p == nullptr ? V() : V(h.p, h.p + h.n);
            alg_darray_release(&h.p);
        }
        for (const FittingResult& r : records) {
            const unsigned char* b = reinterpret_cast<const unsigned char*>(&r);
            for (const auto& [at, bytes] : kFields) out["records"].push_back(get_field(b + at, bytes));
            for (const auto& [at, bytes] : kReservedBytes)
                for (int i = at; i < at + bytes; ++i) EXPECT_EQ(b[i], kReserved) << "reserved byte " << i;
        }
        if (!records.empty()) intact["records"] = out["records"] == get("records");
        if (read_set) read_fields(set, true);
        if (out_set != nullptr && !(intact["set"] = out_set == reinterpret_cast<GaussCoeff*>(this))) {
            read_fields(out_set, false);
            alg_gausscoeff_release(&out_set);
        }
        alg_gausscoeff_release(&set);
        alg_mgf_release(&handle);
    }
};

// One runner per export: each argument is made independently of the others.
// Impossible lengths must fail before anything is written: their buffers stay
// small.
std::size_t small(std::size_t n) { return std::min<std::size_t>(n, 4096); }

const std::map<std::string, void (*)(Call&)> kRunners = {
    {"alg_super_smooth", [](Call& c) { c.ran(alg_super_smooth(c.inout("data"), c.n("data"), int(c.num("half_window")))); }},
    {"alg_run_smooth", [](Call& c) { c.ran(alg_run_smooth(c.inout("data"), c.n("data"))); }},
    {"alg_sample_data_fitting", [](Call& c) { c.ran(alg_sample_data_fitting(c.in("data"), c.n("data"), c.buffer("result", 1))); }},
    {"alg_increasing", [](Call& c) {
         c.ran(alg_increasing(c.num("start"), c.num("step"), c.size("length"), c.buffer("out", small(c.size("length")))));
     }},
    {"alg_sigmoid", [](Call& c) { c.ran(alg_sigmoid(c.in("params"), c.inout("values"), c.n("values"))); }},
    {"alg_sigmoid_batch_calc_ct", [](Call& c) {
         c.ran(alg_sigmoid_batch_calc_ct(c.recs(), c.n("records", 15), 45, c.buffer("ct", c.get("records").size() / 15)));
     }},
    {"alg_calc_threshold", [](Call& c) {
         c.ran(alg_calc_threshold(c.recs(), c.n("records", 15), c.in("data"), c.size("wells"), c.size("cycles"),
                                  c.buffer("threshold", 1)));
     }},
    {"alg_linear_batch_calc_ct", [](Call& c) {
         c.ran(alg_linear_batch_calc_ct(c.recs(), c.n("records", 15), c.num("threshold"), c.in("data"), c.size("wells"),
                                        c.size("cycles"), c.buffer("curves", c.get("data").size()),
                                        c.buffer("ct", c.get("records").size() / 15)));
     }},
    {"alg_cubic_interpolation", [](Call& c) {
         c.ran(alg_cubic_interpolation(c.in("x"), c.in("y"), c.n("x"), c.in("xq"), c.buffer("yq", c.get("xq").size()),
                                       c.n("xq")));
     }},
    {"alg_interpolation_x", [](Call& c) {
         c.ran(alg_interpolation_x(c.in("x"), c.n("x"), c.size("factor"),
                                   c.buffer("out", (c.get("x").size() - 1) * small(c.size("factor")) + 1)));
     }},
    {"alg_melting", [](Call& c) {
         c.ran(alg_melting(c.n("t"), c.in("t"), c.in("f"), c.count("grid"), c.block("grid"), c.block("derivative")));
         *c.count("derivative") = *c.count("grid");
     }},
    {"alg_melting_normalization", [](Call& c) { c.ran(alg_melting_normalization(c.inout("values"), c.n("values"))); }},
    {"alg_set_gausscoeff_data", [](Call& c) {
         c.ran(alg_set_gausscoeff_data(c.peaks(true), c.n("new_a"), c.in("new_a"), c.n("new_b"), c.in("new_b"),
                                       c.n("new_c"), c.in("new_c")));
     }},
    {"alg_mgf_create", [](Call& c) {
         const MgfOptions options{};
         MgfHandle *marker = reinterpret_cast<MgfHandle*>(&c), *h = marker;
         c.ran(alg_mgf_create(c.in("x"), c.n("x"), c.in("y"), c.n("y"), &options, &h));
         if (!(c.intact["handle"] = h == marker)) alg_mgf_release(&h);
     }},
    {"alg_mgf_multi_gauss", [](Call& c) { c.ran(alg_mgf_multi_gauss(c.curve(), c.peaks(), c.block("values"), c.count("values"))); }},
    {"alg_mgf_solve", [](Call& c) {
         c.ran(alg_mgf_solve(c.curve(), c.peaks(true)));
         quelmar::PeakSet set{c.vec("a"), c.vec("b"), c.vec("c")};
         if (c.code == ALG_OK) c.out["summary"] = summary(quelmar::solve_peaks({c.vec("x"), c.vec("y")}, set));
     }},
    {"alg_mgf_local_max_value_id", [](Call& c) { c.ran(alg_mgf_local_max_value_id(c.curve(), c.peaks_out())); }},
    {"alg_mgf_local_max_value_id_origin", [](Call& c) {
         c.ran(alg_mgf_local_max_value_id_origin(c.in("x"), c.n("x"), c.in("y"), c.n("y"), c.peaks_out()));
     }},
    {"alg_mgf_melting_stim_peak", [](Call& c) {
         c.ran(alg_mgf_melting_stim_peak(c.curve(), c.peaks(), c.in("bg"), c.block("values"), c.count("values")));
     }},
    {"alg_mgf_melting_stimulate", [](Call& c) {
         c.ran(alg_mgf_melting_stimulate(c.curve(), c.peaks(), c.buffer("bg", 3), c.block("values"), c.count("values")));
     }},
    {"alg_mgf_coeff_filter", [](Call& c) { c.ran(alg_mgf_coeff_filter(c.in("limits"), c.peaks(), c.peaks_out())); }},
    {"alg_calc_sd", [](Call& c) {
         const int32_t kind = int32_t(c.num("kind"));
         c.ran(alg_calc_sd(&kind, c.in("data"), c.n("data"), c.block("values"), c.count("values")));
     }},
    {"alg_calc_rq", [](Call& c) {
         const V& o = c.get("options");
         const RqOptions options{int32_t(o[0]), int32_t(o[1]), int32_t(o[2]), int32_t(o[3]), int32_t(o[4])};
         c.ran(alg_calc_rq(&options.dataKind, c.in("summary"), c.n("summary"), c.num("calibrator"), c.buffer("result", 7)));
     }},
    {"alg_calc_standard", [](Call& c) { c.ran(alg_calc_standard(c.in("x"), c.n("x"), c.in("y"), c.n("y"), c.buffer("out", 4))); }},
    // Internal routines: the amplification curve primitives and stages.
    {"weighted_kernel_filter", [](Call& c) {
         quelmar::Vector v = c.vec("data");
         quelmar::weighted_kernel_filter(quelmar::amplification_kernel(), v);
         c.put("data", v);
     }},
    {"central_difference", [](Call& c) {
         quelmar::Vector v = c.vec("data");
         quelmar::central_difference(v);
         c.put("data", v);
         c.out["extremes"] = {double(quelmar::argmax(c.vec("data"))), double(quelmar::argmin(c.vec("data")))};
     }},
    {"crossing_ct", [](Call& c) {
         double ratio = -1;
         c.out["ct"] = {quelmar::crossing_ct(c.vec("curve"), c.num("threshold"), ratio), ratio};
     }},
    {"correct_baseline", [](Call& c) {
         quelmar::WellRecord r{};
         r.baseline_start = int16_t(c.num("start"));
         r.baseline_end = int16_t(c.num("end"));
         quelmar::Vector w = c.vec("curve");
         quelmar::correct_baseline(r, w);
         c.put("curve", w);
         c.out["record"] = {double(r.baseline_start), double(r.baseline_end), r.baseline_step, double(r.low_signal),
                            double(r.no_growth)};
     }},
    {"fit_sigmoid", [](Call& c) {
         const quelmar::LogisticFitResult fit = quelmar::fit_sigmoid(c.vec("curve"));
         c.out["params"] = {fit.params.amplitude, fit.params.midpoint, fit.params.steepness};
         c.out["summary"] = summary(fit.summary);
     }},
    {"fit_logistic", [](Call& c) {
         const V& s = c.get("start");
         const quelmar::LogisticFitResult fit = quelmar::fit_logistic(c.vec("curve"), {s.at(0), s.at(1), s.at(2)});
         c.out["params"] = {fit.params.amplitude, fit.params.midpoint, fit.params.steepness};
         c.out["summary"] = summary(fit.summary);
     }},
};

const Call& outcome_of(const std::string& name) {
    static std::map<std::string, Call> outcomes;
    static std::map<std::string, const Case*> named;
    if (named.empty())
        for (const Case& c : cases) named.emplace(c.name, &c);
    auto [it, fresh] = outcomes.try_emplace(name, *named.at(name));
    if (fresh) kRunners.at(it->second.k.call)(it->second), it->second.settle();
    return it->second;
}

const V& output_of(const std::string& name, const std::string& key) { return outcome_of(name).out.at(key); }

// Long outputs are compared, and written, at every `every`-th index.
V thinned(const V& v, std::size_t every) {
    V t;
    for (std::size_t i = 0; i < v.size(); i += v.size() > 100 ? every : 1) t.push_back(v[i]);
    return t;
}

void load(const std::string& path) {
    std::ifstream in(path);
    for (std::string line, key; std::getline(in, line);) {
        std::istringstream words(line);
        if (!(words >> key) || key[0] == '#') continue;
        if (key == "case") cases.emplace_back();
        Case& c = cases.back();
        if (key == "case" || key == "call" || key == "code") {
            if (key == "code") words >> c.code;
            std::getline(words >> std::ws, key == "case" ? c.name : key == "call" ? c.call : c.message);
        } else if (key == "tol") {
            words >> c.tol;
        } else if (key == "every") {
            words >> c.every;
        } else {
            auto& tokens = key == "=>" && words >> key ? c.expected[key] : c.in[key];
            for (std::string t; words >> t;) tokens.push_back(t);
        }
    }
}

// With QUELMAR_PRINT_OUTPUTS set, the program prints the outputs of every
// case instead of checking them; pin.py writes them into a case file.
void print_outputs() {
    for (const Case& k : cases) {
        const Call& o = outcome_of(k.name);
        std::printf("case %s\ncode %d %s\n", k.name.c_str(), o.code, o.message.c_str());
        for (const auto& [key, v] : o.out) {
            if (o.intact.count(key) && o.intact.at(key)) continue;
            std::printf("=> %s", key.c_str());
            for (double x : thinned(v, k.every)) std::printf(" %a", x);
            std::printf("\n");
        }
    }
}

class Cases : public testing::TestWithParam<std::size_t> {};

TEST_P(Cases, GiveTheirOutputs) {
    const Case& k = cases[GetParam()];
    const Call& o = outcome_of(k.name);
    ASSERT_EQ(o.code, k.code) << o.message;
    EXPECT_EQ(o.message, k.code == ALG_OK ? "" : quelmar_test::gbk(k.message));
    for (const auto& [key, tokens] : k.expected) {
        // v, v*n, v~tol, or _ for any value (_*n for n of them).
        V want, tol;
        for (const std::string& t : tokens) {
            const std::size_t tilde = t.find('~');
            append(t[0] == '_' ? "nan" + t.substr(1) : t.substr(0, tilde), want);
            tol.resize(want.size(), t[0] == '_' ? INFINITY : tilde == std::string::npos ? k.tol : std::stod(t.substr(tilde + 1)));
        }
        ASSERT_TRUE(o.out.count(key)) << key;
        const V got = thinned(o.out.at(key), k.every);
        ASSERT_EQ(got.size(), want.size()) << key;
        for (std::size_t i = 0; i < want.size(); ++i) {
            // The same bits (a sign of zero included), or within the tolerance.
            const bool nan = std::isnan(got[i]) || std::isnan(want[i]);
            const bool same = std::signbit(got[i]) == std::signbit(want[i]) && got[i] == want[i];
            EXPECT_TRUE(std::isinf(tol[i]) || (nan ? std::isnan(got[i]) && std::isnan(want[i])
                                                   : same || (tol[i] > 0 && std::fabs(got[i] - want[i]) <= tol[i])))
                << key << "[" << i << "] = " << got[i] << ", want " << want[i];
        }
    }
    for (const auto& [key, intact] : o.intact)
        EXPECT_TRUE(o.code == ALG_OK || intact || k.expected.count(key)) << key << " changed by a failed call";
}

std::size_t case_count() {
    for (const char* file : {"worked.txt", "reference.txt", "failures.txt", "pinned.txt"})
        load(CASES_DIR "/" + std::string(file));
    if (std::getenv("QUELMAR_PRINT_OUTPUTS") != nullptr) print_outputs(), std::exit(0);
    return cases.size();
}

INSTANTIATE_TEST_SUITE_P(All, Cases, testing::Range(std::size_t{0}, case_count()), [](const auto& info) {
    std::string name = cases[info.param].name;
    for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
});

}  // namespace
