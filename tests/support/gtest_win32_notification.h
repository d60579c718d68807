// GoogleTest's Notification made of a Windows event, for a C++ library
// without std::mutex (GCC's win32 thread model before GCC 13), where
// GoogleTest's own is made of std::mutex and std::condition_variable.
// tests/CMakeLists.txt includes this header ahead of every GoogleTest source
// there and says so with GTEST_HAS_NOTIFICATION_. GoogleTest uses it only to
// start its own helper threads.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdlib>

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
        if (event_ == nullptr) std::abort();
    }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    ~Notification() { CloseHandle(event_); }

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing
