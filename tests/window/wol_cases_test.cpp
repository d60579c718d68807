// Runs the pinned cases of cases.txt through wol_analyse: every field of
// every well and target record, bit for bit (a NaN as NaN), and the result
// code. The format follows tests/cases (head of worked.txt), with the keys
//   data      the plate, well after well (numbers, v*n, @file:column:count)
//   cycles    readings per well
//   targets   one target index per well
//   ntargets  the target count
// and the outputs "wells" (17 values a well: cq efficiency n0 level slope
// plateau noise ground_first ground_last window_first window_last reason
// in_mean still_rising baseline_stop baseline_steps ground_passes) and
// "targets" (15 a target: low high threshold plateau_median mean_efficiency
// efficiency_sd window_cv wells amplified in_window in_mean window_stop
// window_steps common_plateau baseline_kept). With QUELMAR_PRINT_OUTPUTS set the program prints the
// outputs instead; tests/cases/pin.py writes them into the file.
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

#include "QuelmarAlgWol.h"
#include "case_tokens.h"

namespace {

using V = std::vector<double>;

struct Case {
    std::string name;
    std::map<std::string, std::vector<std::string>> in, expected;
    int code = WOL_OK;
};
std::vector<Case> cases;

void append(const std::string& token, V& values) {
    if (token[0] == '@')
        quelmar_test::append_columns(token, values);
    else
        quelmar_test::append_repeated(token, values);
}

V values_of(const std::vector<std::string>& tokens) {
    V v;
    for (const std::string& t : tokens) append(t, v);
    return v;
}

struct Outcome {
    int code;
    std::string message;
    std::map<std::string, V> out;
};

Outcome run(const Case& k) {
    const V data = values_of(k.in.at("data"));
    const std::size_t cycles = static_cast<std::size_t>(values_of(k.in.at("cycles")).at(0));
    const V t = values_of(k.in.at("targets"));
    const std::size_t target_count = static_cast<std::size_t>(values_of(k.in.at("ntargets")).at(0));
    std::vector<int32_t> targets(t.begin(), t.end());
    std::vector<WolWell> wells(targets.size());
    std::vector<WolTarget> results(target_count);
    Outcome o;
    o.code = wol_analyse(data.data(), targets.size(), cycles, targets.data(), target_count, wells.data(), results.data());
    o.message = wol_last_error();
    if (o.code != WOL_OK) return o;
    for (const WolWell& w : wells) {
        const V v = {w.cq, w.efficiency, w.n0, w.baseline_level, w.baseline_slope, w.plateau, w.noise,
                     double(w.ground_first), double(w.ground_last), double(w.window_first), double(w.window_last),
                     double(w.reason), double(w.in_mean), double(w.still_rising), double(w.baseline_stop),
                     double(w.baseline_steps), double(w.ground_passes)};
        o.out["wells"].insert(o.out["wells"].end(), v.begin(), v.end());
    }
    for (const WolTarget& r : results) {
        const V v = {r.window_low, r.window_high, r.threshold, r.plateau_median, r.mean_efficiency, r.efficiency_sd,
                     r.window_cv, double(r.wells), double(r.amplified), double(r.in_window), double(r.in_mean),
                     double(r.window_stop), double(r.window_steps), double(r.common_plateau),
                     double(r.baseline_kept)};
        o.out["targets"].insert(o.out["targets"].end(), v.begin(), v.end());
    }
    return o;
}

void load(const std::string& path) {
    std::ifstream in(path);
    for (std::string line, key; std::getline(in, line);) {
        std::istringstream words(line);
        if (!(words >> key) || key[0] == '#') continue;
        if (key == "case") {
            cases.emplace_back();
            std::getline(words >> std::ws, cases.back().name);
        } else if (key == "code") {
            words >> cases.back().code;
        } else {
            Case& c = cases.back();
            auto& tokens = key == "=>" && words >> key ? c.expected[key] : c.in[key];
            for (std::string t; words >> t;) tokens.push_back(t);
        }
    }
}

class WolCases : public testing::TestWithParam<std::size_t> {};

TEST_P(WolCases, GiveTheirOutputs) {
    const Case& k = cases[GetParam()];
    const Outcome o = run(k);
    ASSERT_EQ(o.code, k.code) << o.message;
    EXPECT_EQ(o.message.empty(), k.code == WOL_OK);
    for (const auto& [key, tokens] : k.expected) {
        const V want = values_of(tokens);
        ASSERT_TRUE(o.out.count(key)) << key;
        const V& got = o.out.at(key);
        ASSERT_EQ(got.size(), want.size()) << key;
        for (std::size_t i = 0; i < want.size(); ++i) {
            const bool same = std::isnan(want[i]) ? std::isnan(got[i])
                                                  : std::memcmp(&got[i], &want[i], sizeof(double)) == 0;
            EXPECT_TRUE(same) << key << "[" << i << "] = " << got[i] << ", want " << want[i];
        }
    }
}

std::size_t case_count() {
    load(CASES_FILE);
    if (std::getenv("QUELMAR_PRINT_OUTPUTS") != nullptr) {
        for (const Case& k : cases) {
            const Outcome o = run(k);
            std::printf("case %s\ncode %d %s\n", k.name.c_str(), o.code, o.message.c_str());
            for (const auto& [key, v] : o.out) {
                std::printf("=> %s", key.c_str());
                for (double x : v) std::printf(" %a", x);
                std::printf("\n");
            }
        }
        std::exit(0);
    }
    return cases.size();
}

INSTANTIATE_TEST_SUITE_P(All, WolCases, testing::Range(std::size_t{0}, case_count()), [](const auto& info) {
    return quelmar_test::test_name(cases[info.param].name);
});

}  // namespace
