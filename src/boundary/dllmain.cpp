#if defined(_WIN32)  // the whole file: Linux builds have no load-time entry
// Windows load-time entry of QuelmarAlg.dll.
//
// The library keeps no per-thread state, so it asks the loader not to call it
// for every thread the host starts and ends (DisableThreadLibraryCalls). The
// loader grants that only to a DLL without a static TLS directory, and
// MinGW-w64 gives every DLL one: its DLL startup (dllcrt2.o) refers to
// __dyn_tls_init_callback, which only tlssup.o of libmingw32 defines, and
// tlssup.o defines _tls_used, the directory itself, with its callbacks. Those
// callbacks serve native thread-local variables and the destructors of
// thread keys; with GCC's win32 thread model the DLL has neither but one key:
// the C++ exception state (__cxa_get_globals), kept per thread by GCC's
// emulated TLS, whose blocks its key destructor would free at thread exit.
//
// So, when the build says the DLL can do without (QUELMARALG_DLL_WITHOUT_TLS,
// cmake/windows_dll.cmake), this file defines the callback pointer itself, as
// null (the startup calls it only when it is not), tlssup.o stays out and no
// TLS directory is made; and it provides GCC's emulated-TLS entry with its
// blocks in a fiber-local slot, whose callback frees them when the thread
// ends, with or without thread notifications. The tests check the result in
// the built DLL: no TLS directory, DisableThreadLibraryCalls granted, and no
// block left behind by threads whose calls failed.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // fiber-local storage: Windows Vista and later
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#if defined(QUELMARALG_DLL_WITHOUT_TLS) && defined(__MINGW32__) && defined(__GNUC__) && !defined(__clang__)
#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = nullptr;

namespace {

// GCC's descriptor of one emulated thread-local variable (libgcc emutls.c):
// size and alignment of its storage, an index given out on first use, and
// its initial bytes (none for zero-filled storage).
struct EmulatedVariable {
    std::uintptr_t size;
    std::uintptr_t align;
    std::uintptr_t index;
    const void* initial;
};

// A thread's storage: blocks[0] holds the number of slots after it, slot i
// the storage of the variable with index i (null until the thread uses it).
using Blocks = void**;
constexpr std::uintptr_t kSlotsAhead = 8;  // growth beyond the index asked for

SRWLOCK g_lock = SRWLOCK_INIT;
DWORD g_slot = FLS_OUT_OF_INDEXES;
std::uintptr_t g_variables = 0;
volatile LONG g_process_ending = 0;

void WINAPI release_blocks(void* data) {
    // At process exit the memory goes with the process, and the C runtime
    // may already be shut down.
    if (data == nullptr || g_process_ending != 0) return;
    const Blocks blocks = static_cast<Blocks>(data);
    const std::uintptr_t slots = reinterpret_cast<std::uintptr_t>(blocks[0]);
    for (std::uintptr_t i = 1; i <= slots; ++i) _aligned_free(blocks[i]);
    std::free(blocks);
}

// The fiber-local slot, allocated once; FLS_OUT_OF_INDEXES when the process
// has none left.
DWORD storage_slot() {
    DWORD slot = __atomic_load_n(&g_slot, __ATOMIC_ACQUIRE);
    if (slot != FLS_OUT_OF_INDEXES) return slot;
    AcquireSRWLockExclusive(&g_lock);
    slot = g_slot;
    if (slot == FLS_OUT_OF_INDEXES) __atomic_store_n(&g_slot, slot = FlsAlloc(release_blocks), __ATOMIC_RELEASE);
    ReleaseSRWLockExclusive(&g_lock);
    return slot;
}

std::uintptr_t index_of(EmulatedVariable& variable) {
    std::uintptr_t index = __atomic_load_n(&variable.index, __ATOMIC_ACQUIRE);
    if (index != 0) return index;
    AcquireSRWLockExclusive(&g_lock);
    index = variable.index;
    if (index == 0) __atomic_store_n(&variable.index, index = ++g_variables, __ATOMIC_RELEASE);
    ReleaseSRWLockExclusive(&g_lock);
    return index;
}

// This thread's slots, grown to hold `index`.
Blocks blocks_holding(DWORD slot, std::uintptr_t index) {
    Blocks blocks = static_cast<Blocks>(FlsGetValue(slot));
    const std::uintptr_t slots = blocks == nullptr ? 0 : reinterpret_cast<std::uintptr_t>(blocks[0]);
    if (index <= slots) return blocks;
    const std::uintptr_t grown = index + kSlotsAhead;
    const Blocks more = static_cast<Blocks>(std::realloc(blocks, (grown + 1) * sizeof(void*)));
    if (more == nullptr) std::abort();  // as libgcc's own emulated TLS does
    std::memset(more + slots + 1, 0, (grown - slots) * sizeof(void*));
    more[0] = reinterpret_cast<void*>(grown);
    if (!FlsSetValue(slot, more)) std::abort();
    return more;
}

}  // namespace

// The address of this thread's copy of an emulated thread-local variable.
extern "C" void* __emutls_get_address(void* descriptor) {
    EmulatedVariable& variable = *static_cast<EmulatedVariable*>(descriptor);
    const DWORD slot = storage_slot();
    if (slot == FLS_OUT_OF_INDEXES) std::abort();
    const std::uintptr_t index = index_of(variable);
    void*& block = blocks_holding(slot, index)[index];
    if (block == nullptr) {
        block = _aligned_malloc(variable.size, variable.align < sizeof(void*) ? sizeof(void*) : variable.align);
        if (block == nullptr) std::abort();
        if (variable.initial != nullptr)
            std::memcpy(block, variable.initial, variable.size);
        else
            std::memset(block, 0, variable.size);
    }
    return block;
}

namespace {

bool attach_storage() { return storage_slot() != FLS_OUT_OF_INDEXES; }

void detach_storage(bool process_ending) {
    if (process_ending) {
        InterlockedExchange(&g_process_ending, 1);
    } else if (g_slot != FLS_OUT_OF_INDEXES) {
        // FreeLibrary: every thread's blocks go now (FlsFree calls the
        // callback for each), and no callback may point here afterwards.
        FlsFree(g_slot);
        g_slot = FLS_OUT_OF_INDEXES;
    }
}

}  // namespace
#else
namespace {
bool attach_storage() { return true; }
void detach_storage(bool) {}
}  // namespace
#endif

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        if (!attach_storage()) return FALSE;  // the load fails; LoadLibrary says so
        // Refused only to a DLL with a static TLS directory (a MinGW-w64 build
        // with a posix thread model): the notifications then keep arriving,
        // and the cases below ignore them.
        DisableThreadLibraryCalls(module);
        return TRUE;
    case DLL_PROCESS_DETACH:
        detach_storage(reserved != nullptr);
        return TRUE;
    default:
        return TRUE;
    }
}
#endif
