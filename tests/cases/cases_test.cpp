// Runs the cases of worked.txt, failures.txt and pinned.txt through the public
// interface, as a host calls it; the format is described at the head of
// worked.txt. Every call is also held to the contracts all exports share: a
// success leaves an empty message; a failure words its message in the GBK
// bytes iconv gives for the UTF-8 text, hands out nothing and leaves every
// output it does not list exactly as it was (caller arrays, in/out arrays,
// peak sets, out-pointers); no call touches a record's reserved fields.
//
// QUELMAR_WRITE_CASES=<file> rewrites that case file with the outputs the
// library gives now, instead of checking them (how pinned.txt was made).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "csv_columns.h"
#include "gbk.h"

namespace {

using V = std::vector<double>;
using Tokens = std::vector<std::string>;
constexpr double kSentinel = -7777.25;  // what caller arrays hold before a call
constexpr std::size_t kUnsetCount = 12345;

struct Case {
    std::string name, call;
    std::map<std::string, Tokens> in, expected;
    int code = ALG_OK;
    std::string message;  // UTF-8
    double tol = 0;
    std::size_t every = 1;
};

struct Outcome {
    int code = ALG_OK;
    std::string message;
    std::map<std::string, V> out;
    std::map<std::string, bool> intact;  // the output is as it was before the call
};

std::vector<Case> cases;
std::map<std::string, Outcome> outcomes;
const Outcome& outcome_of(const std::string& name);

// A value token: a number, v*n (n copies of v), @file:column[:count] (whole
// columns of a bundled CSV file) or $case.key (an output of an earlier case).
void append(const std::string& token, V& values) {
    static std::map<std::string, std::vector<V>> files;
    if (token[0] == '@') {
        std::istringstream spec(token.substr(1));
        std::string file;
        std::size_t column = 0, count = 1;
        std::getline(spec, file, ':');
        spec >> column;
        if (spec.get() == ':') spec >> count;
        if (!files.count(file)) files[file] = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/" + file + ".csv");
        for (std::size_t c = column; c < column + count; ++c)
            values.insert(values.end(), files[file].at(c).begin(), files[file].at(c).end());
    } else if (token[0] == '$') {
        const std::size_t dot = token.find('.');
        const V& v = outcome_of(token.substr(1, dot - 1)).out.at(token.substr(dot + 1));
        values.insert(values.end(), v.begin(), v.end());
    } else {
        const std::size_t star = token.find('*');
        values.insert(values.end(), star == std::string::npos ? 1 : std::stoull(token.substr(star + 1)),
                      std::strtod(token.c_str(), nullptr));
    }
}

// The fields of a FittingResult by offset and size, in the case files' order.
constexpr std::pair<int, int> kFields[] = {{0, 8},  {8, 8},  {24, 8},  {32, 8},  {48, 8},  {56, 8},  {80, 8}, {96, 2},
                                           {98, 2}, {104, 8}, {112, 8}, {120, 8}, {128, 8}, {136, 1}, {137, 1}};
constexpr unsigned char kReserved = 0x5A;

template <class T>
void store(unsigned char* at, T value) { std::memcpy(at, &value, sizeof value); }
template <class T>
T load(const unsigned char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// One call: its inputs, the caller's buffers, and what the call left in them.
struct Call {
    explicit Call(const Case& c) : k(c) {}
    const Case& k;
    Outcome o;
    std::map<std::string, V> inputs, arrays, before;
    struct Handed {
        double marker = 0, *p = &marker;
        std::size_t n = kUnsetCount;
    };
    std::map<std::string, Handed> handed;
    std::vector<FittingResult> records;
    GaussCoeff *set = nullptr, *out_set = nullptr;
    MgfHandle* handle = nullptr;
    bool read_set = false;

    void ran(int code) {
        o.code = code;
        o.message = get_last_error();  // before any release clears it
    }
    bool has(const std::string& key) const { return k.in.count(key) != 0; }
    V& get(const std::string& key) {
        if (!inputs.count(key))
            for (const std::string& t : k.in.at(key)) append(t, inputs[key]);
        return inputs[key];
    }
    double* in(const std::string& key) { return get(key).data(); }
    double num(const std::string& key, double otherwise = 0) { return has(key) ? get(key).at(0) : otherwise; }
    std::size_t size(const std::string& key) { return std::stoull(k.in.at(key).at(0)); }
    // The count passed with array `key`: "key.n" when the case gives one.
    std::size_t n(const std::string& key) { return has(key + ".n") ? size(key + ".n") : has(key) ? get(key).size() : 0; }
    // A caller array of n sentinels, or a copy of input `from` (in/out).
    double* buffer(const std::string& key, std::size_t n) {
        before[key] = arrays[key] = V(n, kSentinel);
        return arrays[key].data();
    }
    double* inout(const std::string& key) {
        before[key] = arrays[key] = get(key);
        return arrays[key].data();
    }
    Handed& hand(const std::string& key) { return handed[key]; }
    FittingResult* recs() {
        const V& v = get("records");
        records.resize(v.size() / 15);
        std::memset(records.data(), kReserved, records.size() * sizeof(FittingResult));
        for (std::size_t r = 0; r < records.size(); ++r)
            for (int f = 0; f < 15; ++f) {
                unsigned char* at = reinterpret_cast<unsigned char*>(&records[r]) + kFields[f].first;
                const double x = v[15 * r + f];
                if (kFields[f].second == 8) std::memcpy(at, &x, 8);
                if (kFields[f].second == 2) store(at, static_cast<int16_t>(x));
                if (kFields[f].second == 1) *at = static_cast<uint8_t>(x);
            }
        return records.data();
    }
    GaussCoeff* peaks(bool read_back = false) {
        read_set = read_back;
        const V a = has("a") ? get("a") : V(), b = has("b") ? get("b") : V(), c = has("c") ? get("c") : V();
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

    void read_fields(const GaussCoeff* s, bool compare) {
        const char* keys[] = {"a", "b", "c"};
        Handed f[3];
        EXPECT_EQ(alg_get_gausscoeff_data(s, &f[0].n, &f[0].p, &f[1].n, &f[1].p, &f[2].n, &f[2].p), ALG_OK);
        for (int i = 0; i < 3; ++i) {
            o.out[keys[i]] = f[i].p == nullptr ? V() : V(f[i].p, f[i].p + f[i].n);
            o.intact[keys[i]] = compare && o.out[keys[i]] == (has(keys[i]) ? get(keys[i]) : V());
            alg_darray_release(&f[i].p);
        }
    }
    // Settles the call: outputs read, blocks and objects given back.
    void settle() {
        for (auto& [key, v] : arrays) {
            o.out[key] = v;
            o.intact[key] = std::memcmp(v.data(), before[key].data(), v.size() * sizeof(double)) == 0;
        }
        for (auto& [key, h] : handed) {
            o.intact[key] = h.p == &h.marker && h.n == kUnsetCount;
            if (!o.intact[key]) o.out[key] = h.p == nullptr ? V() : V(h.p, h.p + h.n);
            if (!o.intact[key]) alg_darray_release(&h.p);
        }
        if (!records.empty()) {
            V& v = o.out["records"];
            for (const FittingResult& r : records) {
                const unsigned char* b = reinterpret_cast<const unsigned char*>(&r);
                for (const auto& [at, bytes] : kFields)
                    v.push_back(bytes == 8 ? load<double>(b + at) : bytes == 2 ? load<int16_t>(b + at) : b[at]);
                // Reserved fields are neither read nor written by any analysis.
                for (int i : {16, 40, 64, 72, 88, 100, 138, 139, 140, 141, 142, 143})
                    for (int j = i; j < i + (i < 100 ? 8 : i == 100 ? 2 : 1); ++j) EXPECT_EQ(b[j], kReserved) << j;
            }
            o.intact["records"] = v == get("records");
        }
        if (read_set) read_fields(set, true);
        if (out_set != nullptr && !(o.intact["set"] = out_set == reinterpret_cast<GaussCoeff*>(this))) {
            read_fields(out_set, false);
            alg_gausscoeff_release(&out_set);
        }
        alg_gausscoeff_release(&set);
        alg_mgf_release(&handle);
    }
};

// One runner per export.
const std::map<std::string, void (*)(Call&)> kRunners = {
    {"alg_super_smooth", [](Call& c) { c.ran(alg_super_smooth(c.inout("data"), c.n("data"), int(c.num("half_window")))); }},
    {"alg_run_smooth", [](Call& c) { c.ran(alg_run_smooth(c.inout("data"), c.n("data"))); }},
    {"alg_sample_data_fitting", [](Call& c) { c.ran(alg_sample_data_fitting(c.in("data"), c.n("data"), c.buffer("result", 1))); }},
    // Impossible lengths must fail before anything is written: the buffer stays small.
    {"alg_increasing", [](Call& c) {
         c.ran(alg_increasing(c.num("start"), c.num("step"), c.size("length"),
                              c.buffer("out", std::min<std::size_t>(c.size("length"), 4096))));
     }},
    {"alg_sigmoid", [](Call& c) { c.ran(alg_sigmoid(c.in("params"), c.inout("values"), c.n("values"))); }},
    {"alg_sigmoid_batch_calc_ct", [](Call& c) {
         FittingResult* r = c.recs();
         c.ran(alg_sigmoid_batch_calc_ct(r, c.has("records.n") ? c.size("records.n") : c.records.size(), 45,
                                         c.buffer("ct", c.records.size())));
     }},
    {"alg_calc_threshold", [](Call& c) {
         FittingResult* r = c.recs();
         c.ran(alg_calc_threshold(r, c.has("records.n") ? c.size("records.n") : c.records.size(), c.in("data"),
                                  c.size("wells"), c.size("cycles"), c.buffer("threshold", 1)));
     }},
    {"alg_linear_batch_calc_ct", [](Call& c) {
         FittingResult* r = c.recs();
         c.ran(alg_linear_batch_calc_ct(r, c.has("records.n") ? c.size("records.n") : c.records.size(),
                                        c.num("threshold"), c.in("data"), c.size("wells"), c.size("cycles"),
                                        c.buffer("curves", c.get("data").size()), c.buffer("ct", c.records.size())));
     }},
    {"alg_cubic_interpolation", [](Call& c) {
         c.ran(alg_cubic_interpolation(c.in("x"), c.in("y"), c.n("x"), c.in("xq"), c.buffer("yq", c.get("xq").size()),
                                       c.n("xq")));
     }},
    {"alg_interpolation_x", [](Call& c) {
         const std::size_t factor = std::min<std::size_t>(c.size("factor"), 4096), knots = c.get("x").size();
         c.ran(alg_interpolation_x(c.in("x"), c.n("x"), c.size("factor"), c.buffer("out", (knots - 1) * factor + 1)));
     }},
    {"alg_melting", [](Call& c) {
         Call::Handed &grid = c.hand("grid"), &derivative = c.hand("derivative");
         c.ran(alg_melting(c.n("t"), c.in("t"), c.in("f"), &grid.n, &grid.p, &derivative.p));
         derivative.n = grid.n;
     }},
    {"alg_melting_normalization", [](Call& c) { c.ran(alg_melting_normalization(c.inout("values"), c.n("values"))); }},
    {"alg_set_gausscoeff_data", [](Call& c) {
         c.ran(alg_set_gausscoeff_data(c.peaks(true), c.n("new_a"), c.in("new_a"), c.n("new_b"), c.in("new_b"),
                                       c.n("new_c"), c.in("new_c")));
     }},
    {"alg_mgf_create", [](Call& c) {
         const MgfOptions options{};
         MgfHandle* marker = reinterpret_cast<MgfHandle*>(&c);
         MgfHandle* h = marker;
         c.ran(alg_mgf_create(c.in("x"), c.n("x"), c.in("y"), c.n("y"), &options, &h));
         if (!(c.o.intact["handle"] = h == marker)) alg_mgf_release(&h);
     }},
    {"alg_mgf_multi_gauss", [](Call& c) {
         Call::Handed& v = c.hand("values");
         c.ran(alg_mgf_multi_gauss(c.curve(), c.peaks(), &v.p, &v.n));
     }},
    {"alg_mgf_solve", [](Call& c) { c.ran(alg_mgf_solve(c.curve(), c.peaks(true))); }},
    {"alg_mgf_local_max_value_id", [](Call& c) { c.ran(alg_mgf_local_max_value_id(c.curve(), c.peaks_out())); }},
    {"alg_mgf_local_max_value_id_origin", [](Call& c) {
         c.ran(alg_mgf_local_max_value_id_origin(c.in("x"), c.n("x"), c.in("y"), c.n("y"), c.peaks_out()));
     }},
    {"alg_mgf_melting_stim_peak", [](Call& c) {
         Call::Handed& v = c.hand("values");
         c.ran(alg_mgf_melting_stim_peak(c.curve(), c.peaks(), c.in("bg"), &v.p, &v.n));
     }},
    {"alg_mgf_melting_stimulate", [](Call& c) {
         Call::Handed& v = c.hand("values");
         c.ran(alg_mgf_melting_stimulate(c.curve(), c.peaks(), c.buffer("bg", 3), &v.p, &v.n));
     }},
    {"alg_mgf_coeff_filter", [](Call& c) { c.ran(alg_mgf_coeff_filter(c.in("limits"), c.peaks(), c.peaks_out())); }},
    {"alg_calc_sd", [](Call& c) {
         const int32_t kind = int32_t(c.num("kind"));
         Call::Handed& v = c.hand("values");
         c.ran(alg_calc_sd(&kind, c.in("data"), c.n("data"), &v.p, &v.n));
     }},
    {"alg_calc_rq", [](Call& c) {
         const V& o = c.get("options");
         const RqOptions options{int32_t(o[0]), int32_t(o[1]), int32_t(o[2]), int32_t(o[3]), int32_t(o[4])};
         c.ran(alg_calc_rq(&options.dataKind, c.in("summary"), c.n("summary"), c.num("calibrator"), c.buffer("result", 7)));
     }},
    {"alg_calc_standard", [](Call& c) { c.ran(alg_calc_standard(c.in("x"), c.n("x"), c.in("y"), c.n("y"), c.buffer("out", 4))); }},
};

const Case& case_named(const std::string& name) {
    for (const Case& c : cases)
        if (c.name == name) return c;
    throw std::runtime_error("no case " + name);
}

const Outcome& outcome_of(const std::string& name) {
    if (!outcomes.count(name)) {
        Call call(case_named(name));
        kRunners.at(call.k.call)(call);
        call.settle();
        outcomes[name] = call.o;
    }
    return outcomes[name];
}

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
        if (key == "case" || key == "call") {
            std::getline(words >> std::ws, key == "case" ? c.name : c.call);
        } else if (key == "code") {
            words >> c.code;
            std::getline(words >> std::ws, c.message);
        } else if (key == "tol") {
            words >> c.tol;
        } else if (key == "every") {
            words >> c.every;
        } else {
            Tokens& tokens = key == "=>" && words >> key ? c.expected[key] : c.in[key];
            for (std::string t; words >> t;) tokens.push_back(t);
        }
    }
}

// Rewrites a case file, each case followed by the outputs it gives now.
void write_outputs(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream out;
    std::string name;
    const auto outputs = [&] {
        if (name.empty()) return;
        const Outcome& o = outcome_of(name);
        out << "code " << o.code << (o.code == ALG_OK ? "" : " " + quelmar_test::utf8(o.message)) << "\n";
        for (const auto& [key, v] : o.out) {
            if (o.intact.at(key)) continue;
            out << "=> " << key;
            char text[32];
            for (double x : thinned(v, case_named(name).every)) {
                std::snprintf(text, sizeof text, " %a", x);
                out << text;
            }
            out << "\n";
        }
    };
    for (std::string line, key; std::getline(in, line);) {
        std::istringstream(line) >> key;
        if (key == "=>" || key == "code") continue;
        if (key == "case") outputs(), name = line.substr(5);
        out << line << "\n";
    }
    outputs();
    std::ofstream(path) << out.str();
}

// The expected values of an output and the tolerance of each: v, v~t, or _.
void expectation(const Case& k, const Tokens& tokens, V& want, V& tol) {
    for (const std::string& t : tokens) {
        const std::size_t tilde = t.find('~');
        append(t == "_" ? "nan" : t.substr(0, tilde), want);
        tol.resize(want.size(), t == "_" ? INFINITY : tilde == std::string::npos ? k.tol : std::stod(t.substr(tilde + 1)));
    }
}

class Cases : public testing::TestWithParam<std::size_t> {};

TEST_P(Cases, GiveTheirOutputs) {
    const Case& k = cases[GetParam()];
    const Outcome& o = outcome_of(k.name);
    ASSERT_EQ(o.code, k.code) << o.message;
    EXPECT_EQ(o.message, k.code == ALG_OK ? "" : quelmar_test::gbk(k.message));
    for (const auto& [key, tokens] : k.expected) {
        ASSERT_TRUE(o.out.count(key)) << key;
        V want, tol;
        expectation(k, tokens, want, tol);
        const V got = thinned(o.out.at(key), k.every);
        ASSERT_EQ(got.size(), want.size()) << key;
        for (std::size_t i = 0; i < want.size(); ++i) {
            const bool nan = std::isnan(got[i]) || std::isnan(want[i]);
            EXPECT_TRUE(std::isinf(tol[i]) || (nan ? std::isnan(got[i]) && std::isnan(want[i])
                                                   : got[i] == want[i] || std::fabs(got[i] - want[i]) <= tol[i]))
                << key << "[" << i << "] = " << got[i] << ", want " << want[i];
        }
    }
    for (const auto& [key, intact] : o.intact)
        EXPECT_TRUE(o.code == ALG_OK || intact || k.expected.count(key)) << key << " changed by a failed call";
}

std::vector<std::size_t> case_indices() {
    for (const char* file : {"worked.txt", "failures.txt", "pinned.txt"}) load(CASES_DIR "/" + std::string(file));
    if (const char* path = std::getenv("QUELMAR_WRITE_CASES")) write_outputs(path), std::exit(0);
    std::vector<std::size_t> indices(cases.size());
    for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = i;
    return indices;
}

INSTANTIATE_TEST_SUITE_P(All, Cases, testing::ValuesIn(case_indices()), [](const auto& info) {
    std::string name = cases[info.param].name;
    for (char& ch : name) ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
});

}  // namespace
