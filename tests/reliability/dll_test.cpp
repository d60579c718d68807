// QuelmarAlg.dll as Windows loads it. The library keeps no per-thread state,
// so the loader may spare it every thread's start and end; the C++ runtime
// inside it still keeps a little per thread (the exception state of a failed
// call), which must go when the thread ends, notifications or not.
#include <gtest/gtest.h>

#include <windows.h>
#include <malloc.h>

#include "QuelmarAlg.h"
#include "threads.h"

namespace {

HMODULE library() { return GetModuleHandleW(L"QuelmarAlg.dll"); }

// Blocks in use on the C runtime's heap, which the DLL shares with this
// program; -1 when the heap cannot be walked. A walk can meet a block that
// changes under it (under an emulator, threads of its own share the heap), so
// a failed walk is tried again before it counts.
constexpr int kWalkAttempts = 5;

long blocks_in_use() {
    for (int attempt = 0; attempt < kWalkAttempts; ++attempt) {
        _HEAPINFO entry{};
        long blocks = 0;
        int status;
        while ((status = _heapwalk(&entry)) == _HEAPOK)
            if (entry._useflag == _USEDENTRY) ++blocks;
        if (status == _HEAPEND) return blocks;
    }
    return -1;
}

TEST(Dll, IsLoadedByItsName) {
    ASSERT_NE(library(), nullptr);
    EXPECT_STREQ(version(), "1.1.1");
}

#if defined(QUELMARALG_DLL_WITHOUT_TLS)
TEST(Dll, HasNoTlsDirectoryAndIsSparedThreadNotifications) {
    const auto* base = reinterpret_cast<const unsigned char*>(library());
    ASSERT_NE(base, nullptr);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& tls = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
    EXPECT_EQ(tls.VirtualAddress, 0u);
    EXPECT_EQ(tls.Size, 0u);
    // What the DLL's own entry asked for, asked again: granted only to a DLL
    // without static TLS.
    EXPECT_NE(DisableThreadLibraryCalls(library()), FALSE) << GetLastError();
}
#endif

TEST(Dll, ThreadsWhoseCallsFailLeaveNoBlockBehind) {
    // A thread that kept its exception state would leave at least one block,
    // kThreads in all. The slack takes the blocks the runtime (or an
    // emulator) allocates once, or frees a little after a thread has ended,
    // on a loaded machine; it stays far below a block a thread.
    constexpr int kThreads = 200;
    constexpr long kSlack = kThreads / 4;
    const double x[] = {1, 2, 3}, y[] = {1, 2};
    double out[4] = {};
    // The first failure on this thread sets up what stays for the process.
    ASSERT_EQ(alg_calc_standard(x, 3, y, 2, out), ALG_ERR_INVALID_ARGUMENT);
    const long before = blocks_in_use();
    ASSERT_GE(before, 0) << "the heap cannot be walked";
    int failed = 0;
    for (int i = 0; i < kThreads; ++i) {
        quelmar_test::Threads thread;
        thread.start([&] {
            double result[4] = {};
            if (alg_calc_standard(x, 3, y, 2, result) == ALG_ERR_INVALID_ARGUMENT) ++failed;
        });
    }
    const long after = blocks_in_use();
    EXPECT_EQ(failed, kThreads);
    EXPECT_LE(after - before, kSlack) << "threads left " << after - before << " blocks";
}

}  // namespace
