// Every allocation of every export fails in turn: for k = 1, 2, ... the k-th
// allocation of the call returns NULL, until the call no longer allocates k
// times and succeeds. Each failed call must report 100 "bad allocation",
// leave the caller's arrays, counts, out-pointers, sets and handles as they
// were, and keep no block: nothing handed out, nothing leaked.
//
// The library's objects are linked with malloc and free routed through
// __wrap_malloc / __wrap_free below (-Wl,--wrap); the library takes all its
// storage from malloc, so the count below is its allocation sites.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unordered_set>

#include "scenarios.h"

extern "C" void* __real_malloc(size_t size);
extern "C" void __real_free(void* block);

namespace {

bool g_armed = false;  // only allocations of the call under test count
long g_fail_at = 0;
long g_allocations = 0;
std::unordered_set<void*> g_live;  // blocks the call under test took and nobody gave back yet

}  // namespace

extern "C" void* __wrap_malloc(size_t size) {
    if (!g_armed) return __real_malloc(size);
    if (++g_allocations == g_fail_at) return nullptr;
    void* block = __real_malloc(size);
    if (block != nullptr) g_live.insert(block);
    return block;
}

extern "C" void __wrap_free(void* block) {
    if (block != nullptr) g_live.erase(block);
    __real_free(block);
}

namespace {

using exports::Call;

int fail_kth_allocation(Call& c, const std::function<int()>& call) {
    const exports::Bytes before = c.state();
    g_live.clear();
    g_allocations = 0;
    g_armed = true;
    const int rc = call();
    g_armed = false;
    if (rc == ALG_OK) return rc;
    EXPECT_EQ(rc, ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad allocation");
    EXPECT_TRUE(g_live.empty()) << g_live.size() << " blocks kept by a failed call";
    EXPECT_TRUE(c.state() == before) << "a failed call changed the caller's memory, an out-pointer or a set";
    return rc;
}

class AllocationFailure : public testing::TestWithParam<std::string> {};

TEST_P(AllocationFailure, EveryAllocationFailsCleanly) {
    Call::around = fail_kth_allocation;
    long sites = -1;
    for (long k = 1; sites < 0 && !HasFailure(); ++k) {
        g_fail_at = k;
        {
            Call c(scenarios::inputs(GetParam(), 0));
            exports::kTable.at(GetParam())(c);
            if (c.code == ALG_OK) {
                sites = k - 1;
                EXPECT_EQ(g_allocations, sites) << "the successful call allocated less often than the failed ones";
                EXPECT_STREQ(get_last_error(), "");
            }
            c.settle();
        }
        // Whatever the call handed out or stored in a set went back with the
        // caller's objects.
        EXPECT_TRUE(g_live.empty()) << g_live.size() << " blocks leaked at k = " << k;
        ASSERT_LT(k, 100000) << "the call never succeeds";
    }
    Call::around = nullptr;
    RecordProperty("allocation_sites", static_cast<int>(sites));
    std::printf("allocation sites: %-34s %ld\n", GetParam().c_str(), sites);
}

INSTANTIATE_TEST_SUITE_P(EveryExport, AllocationFailure, testing::ValuesIn(scenarios::names()),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

}  // namespace
