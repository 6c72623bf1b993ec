#include "platform/thread.h"

#include <windows.h>

#include <process.h>

namespace velmora::platform {

struct Thread::Impl {
    HANDLE handle = nullptr;
    std::function<void()> body;
};

namespace {

unsigned __stdcall run_body(void *argument)
{
    auto *impl = static_cast<Thread::Impl *>(argument);
    try {
        impl->body();
    } catch (...) {
        // Nothing may leave a thread: an uncaught exception would end the whole process.
    }
    return 0;
}

} // namespace

Thread::Thread() = default;

Thread::~Thread()
{
    // Never destroy a running thread's record; that would leave it using freed memory.
    join();
}

bool Thread::start(std::function<void()> body, std::size_t stack_bytes)
{
    if (started_)
        return false;
    auto impl = std::make_unique<Impl>();
    impl->body = std::move(body);
    // The C runtime's own start, so the thread may use it freely; the size is what is reserved,
    // not committed.
    std::uintptr_t handle = _beginthreadex(nullptr, static_cast<unsigned>(stack_bytes), run_body, impl.get(),
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle == 0)
        return false;
    impl->handle = reinterpret_cast<HANDLE>(handle);
    impl_ = std::move(impl);
    started_ = true;
    return true;
}

void Thread::join()
{
    if (!started_)
        return;
    WaitForSingleObject(impl_->handle, INFINITE);
    CloseHandle(impl_->handle);
    started_ = false;
    impl_.reset();
}

bool Thread::join_within(int timeout_ms)
{
    if (!started_)
        return true;
    started_ = false;
    DWORD waited = WaitForSingleObject(impl_->handle, timeout_ms < 0 ? 0 : static_cast<DWORD>(timeout_ms));
    CloseHandle(impl_->handle);
    if (waited == WAIT_OBJECT_0) {
        impl_.reset();
        return true;
    }
    static_cast<void>(impl_.release()); // the thread still runs its body from it
    return false;
}

void lower_current_thread_priority()
{
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

} // namespace velmora::platform
