#include "platform/https.h"

// The same on every system: only what a wake does differs, and the transfer brings that.
namespace velmora::platform {

void StopSignal::raise()
{
    raised_ = true;
    std::lock_guard lock(mutex_);
    if (wake_)
        wake_();
}

void StopSignal::clear()
{
    raised_ = false;
}

bool StopSignal::raised() const
{
    return raised_;
}

void StopSignal::attach(std::function<void()> wake)
{
    std::lock_guard lock(mutex_);
    wake_ = std::move(wake);
}

void StopSignal::detach()
{
    // Waits for a wake under way, so the transfer it wakes outlives it.
    std::lock_guard lock(mutex_);
    wake_ = nullptr;
}

} // namespace velmora::platform
