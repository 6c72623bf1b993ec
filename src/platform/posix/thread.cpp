#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

namespace velmora::platform {

struct Thread::Impl {
    pthread_t handle{};
    std::function<void()> body;
};

namespace {

void *run_body(void *argument)
{
    auto *impl = static_cast<Thread::Impl *>(argument);
    try {
        impl->body();
    } catch (...) {
        // Nothing may leave a thread: an uncaught exception would end the whole process.
    }
    return nullptr;
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
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    if (stack_bytes > 0)
        pthread_attr_setstacksize(&attributes, stack_bytes);
    int result = pthread_create(&impl->handle, &attributes, run_body, impl.get());
    pthread_attr_destroy(&attributes);
    if (result != 0)
        return false;
    impl_ = std::move(impl);
    started_ = true;
    return true;
}

void Thread::join()
{
    if (!started_)
        return;
    pthread_join(impl_->handle, nullptr);
    started_ = false;
    impl_.reset();
}

bool Thread::join_within(int timeout_ms)
{
    if (!started_)
        return true;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000;
    }
    started_ = false;
    if (pthread_timedjoin_np(impl_->handle, nullptr, &deadline) == 0) {
        impl_.reset();
        return true;
    }
    pthread_detach(impl_->handle);
    static_cast<void>(impl_.release()); // the thread still runs its body from it
    return false;
}

void lower_current_thread_priority()
{
    // A batch thread is never run in place of the thread that woke it.
    sched_param parameters{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters);
}

} // namespace velmora::platform
