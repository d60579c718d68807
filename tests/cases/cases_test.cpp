// Runs the case files (the format is at the head of worked.txt) through the
// exports (the table of tests/support/export_calls.h), and a few internal
// routines whose worked values no export shows. Every call is held to the
// shared contracts: a success leaves an empty message; a failure words its
// message in the GBK bytes iconv gives for the UTF-8 text and leaves every
// output it does not list as it was (arrays, peak sets, out-pointers); no
// call writes past a caller array or into a record's reserved fields.
// pin.py rewrites a case file with the outputs the library gives now (how
// pinned.txt was made).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "amplification/baseline.h"
#include "amplification/linear_ct.h"
#include "amplification/sigmoid.h"
#include "case_tokens.h"
#include "curves/curve_primitives.h"
#include "export_calls.h"
#include "gbk.h"
#include "peaks/model.h"

namespace {

using exports::Call;
using V = std::vector<double>;

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
    if (token[0] == '@') {
        quelmar_test::append_columns(token, values);
    } else if (token[0] == '$') {
        const std::size_t dot = token.find('.');
        const V& v = output_of(token.substr(1, dot - 1), token.substr(dot + 1));
        values.insert(values.end(), v.begin(), v.end());
    } else if (const auto stop = kStops.find(token); stop != kStops.end()) {
        values.push_back(double(stop->second));
    } else {
        quelmar_test::append_repeated(token, values);
    }
}

// The inputs of a case as a call takes them: values, and every count that is
// one whole number (which may be too large for a double).
std::unique_ptr<Call> make_call(const Case& k) {
    std::map<std::string, V> values;
    std::map<std::string, std::size_t> sizes;
    for (const auto& [key, tokens] : k.in) {
        for (const std::string& t : tokens) append(t, values[key]);
        if (tokens.size() == 1 && tokens[0].find_first_not_of("0123456789") == std::string::npos)
            sizes[key] = std::stoull(tokens[0]);
    }
    return std::make_unique<Call>(std::move(values), std::move(sizes));
}

quelmar::Vector vec(Call& c, const std::string& key) { return quelmar::Vector::copy_of(c.in(key), c.n(key)); }
void put(Call& c, const std::string& key, const quelmar::Vector& v) { c.out[key] = V(v.begin(), v.end()); }

// Internal routines, and what the exports do not show: the peak fit's summary.
const std::map<std::string, void (*)(Call&)> kRoutines = {
    {"alg_mgf_solve", [](Call& c) {
         exports::kTable.at("alg_mgf_solve")(c);
         quelmar::PeakSet set{vec(c, "a"), vec(c, "b"), vec(c, "c")};
         if (c.code == ALG_OK) c.out["summary"] = summary(quelmar::solve_peaks({vec(c, "x"), vec(c, "y")}, set));
     }},
    {"weighted_kernel_filter", [](Call& c) {
         quelmar::Vector v = vec(c, "data");
         quelmar::weighted_kernel_filter(quelmar::amplification_kernel(), v);
         put(c, "data", v);
     }},
    {"central_difference", [](Call& c) {
         quelmar::Vector v = vec(c, "data");
         quelmar::central_difference(v);
         put(c, "data", v);
         c.out["extremes"] = {double(quelmar::argmax(vec(c, "data"))), double(quelmar::argmin(vec(c, "data")))};
     }},
    {"crossing_ct", [](Call& c) {
         double ratio = -1;
         c.out["ct"] = {quelmar::crossing_ct(vec(c, "curve"), c.num("threshold"), ratio), ratio};
     }},
    {"correct_baseline", [](Call& c) {
         quelmar::WellRecord r{};
         r.baseline_start = int16_t(c.num("start"));
         r.baseline_end = int16_t(c.num("end"));
         quelmar::Vector w = vec(c, "curve");
         quelmar::correct_baseline(r, w);
         put(c, "curve", w);
         c.out["record"] = {double(r.baseline_start), double(r.baseline_end), r.baseline_step, double(r.low_signal),
                            double(r.no_growth)};
     }},
    {"fit_sigmoid", [](Call& c) {
         const quelmar::LogisticFitResult fit = quelmar::fit_sigmoid(vec(c, "curve"));
         c.out["params"] = {fit.params.amplitude, fit.params.midpoint, fit.params.steepness};
         c.out["summary"] = summary(fit.summary);
     }},
    {"fit_logistic", [](Call& c) {
         const V& s = c.get("start");
         const quelmar::LogisticFitResult fit = quelmar::fit_logistic(vec(c, "curve"), {s.at(0), s.at(1), s.at(2)});
         c.out["params"] = {fit.params.amplitude, fit.params.midpoint, fit.params.steepness};
         c.out["summary"] = summary(fit.summary);
     }},
};

const Call& outcome_of(const std::string& name) {
    static std::map<std::string, std::unique_ptr<Call>> outcomes;
    static std::map<std::string, const Case*> named;
    if (named.empty())
        for (const Case& c : cases) named.emplace(c.name, &c);
    std::unique_ptr<Call>& call = outcomes[name];
    if (call == nullptr) {
        const Case& k = *named.at(name);
        call = make_call(k);
        const auto routine = kRoutines.find(k.call);
        (routine != kRoutines.end() ? routine->second : exports::kTable.at(k.call))(*call);
        call->settle();
    }
    return *call;
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
    EXPECT_TRUE(o.bounds_kept) << "written past an array or into a reserved field of a record";
}

std::size_t case_count() {
    for (const char* file : {"worked.txt", "reference.txt", "failures.txt", "pinned.txt"})
        load(CASES_DIR "/" + std::string(file));
    if (std::getenv("QUELMAR_PRINT_OUTPUTS") != nullptr) print_outputs(), std::exit(0);
    return cases.size();
}

INSTANTIATE_TEST_SUITE_P(All, Cases, testing::Range(std::size_t{0}, case_count()), [](const auto& info) {
    return quelmar_test::test_name(cases[info.param].name);
});

}  // namespace
