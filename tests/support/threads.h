// Test helper: runs functions on threads of their own and waits for them all.
// std::thread where the C++ library has it; Win32 threads where it has not
// (GCC's win32 thread model before GCC 13).
#pragma once

#include <functional>
#include <utility>
#include <vector>

#if defined(_WIN32) && defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define QUELMAR_TEST_WIN32_THREADS 1
#include <windows.h>

#include <memory>
#include <stdexcept>
#else
#include <thread>
#endif

namespace quelmar_test {

class Threads {
public:
    Threads() = default;
    Threads(const Threads&) = delete;
    Threads& operator=(const Threads&) = delete;
    ~Threads() { join(); }

#if defined(QUELMAR_TEST_WIN32_THREADS)
    void start(std::function<void()> work) {
        auto owned = std::make_unique<std::function<void()>>(std::move(work));
        const HANDLE thread = CreateThread(nullptr, 0, run, owned.get(), 0, nullptr);
        if (thread == nullptr) throw std::runtime_error("CreateThread failed");
        owned.release();
        threads_.push_back(thread);
    }
    void join() {
        for (HANDLE thread : threads_) {
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
        }
        threads_.clear();
    }

private:
    static DWORD WINAPI run(void* work) {
        const std::unique_ptr<std::function<void()>> owned(static_cast<std::function<void()>*>(work));
        (*owned)();
        return 0;
    }
    std::vector<HANDLE> threads_;
#else
    void start(std::function<void()> work) { threads_.emplace_back(std::move(work)); }
    void join() {
        for (std::thread& thread : threads_) thread.join();
        threads_.clear();
    }

private:
    std::vector<std::thread> threads_;
#endif
};

}  // namespace quelmar_test
