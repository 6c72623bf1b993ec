#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>

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

void lower_current_thread_priority()
{
    // A batch thread is never run in place of the thread that woke it.
    sched_param parameters{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters);
}

} // namespace velmora::platform
