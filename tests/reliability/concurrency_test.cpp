// Calls on several threads at once, each on its own data, must give what the
// same calls give one after another: every export on four threads, bit for
// bit. Under ThreadSanitizer (QUELMARALG_TSAN) this also proves the calls
// share no state but the last-error text, whose race is documented.
#include <gtest/gtest.h>

#include "scenarios.h"
#include "threads.h"

namespace {

using exports::Bytes;

const std::vector<std::string> kAll = scenarios::names();

Bytes outcome(size_t scenario, int variant) {
    exports::Call c(scenarios::inputs(kAll[scenario], variant));
    exports::kTable.at(kAll[scenario])(c);
    c.settle();
    return c.outcome();
}

TEST(Concurrency, EveryExportOnFourThreadsMatchesTheSerialRun) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2;
    std::vector<std::vector<Bytes>> serial(kThreads), parallel(kThreads, std::vector<Bytes>(kAll.size()));
    for (int v = 0; v < kThreads; ++v)
        for (size_t s = 0; s < kAll.size(); ++s) serial[v].push_back(outcome(s, v));

    // Thread v starts at another export, so that different families and the
    // same export both run at the same time.
    quelmar_test::Threads threads;
    for (int v = 0; v < kThreads; ++v)
        threads.start([&, v] {
            for (size_t i = 0; i < kRounds * kAll.size(); ++i) {
                const size_t s = (i + v * kAll.size() / kThreads) % kAll.size();
                Bytes got = outcome(s, v);
                if (i < kAll.size() || got != serial[v][s]) parallel[v][s] = std::move(got);
            }
        });
    threads.join();

    for (int v = 0; v < kThreads; ++v)
        for (size_t s = 0; s < kAll.size(); ++s)
            EXPECT_TRUE(parallel[v][s] == serial[v][s]) << kAll[s] << " on thread " << v;
}

}  // namespace
