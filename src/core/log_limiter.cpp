#include "core/log_limiter.h"

#include <util/base.h>

namespace velmora {

bool LogLimiter::allow()
{
    int summary = 0;
    bool allowed;
    {
        std::lock_guard guard(lock_);
        auto now = Clock::now();
        if (now - window_start_ >= window) {
            summary = held_back_;
            window_start_ = now;
            logged_ = 0;
            held_back_ = 0;
        }
        allowed = logged_ < lines_per_window;
        if (allowed)
            logged_++;
        else
            held_back_++;
    }
    if (summary > 0)
        log_summary(summary);
    return allowed;
}

void LogLimiter::flush()
{
    int summary;
    {
        std::lock_guard guard(lock_);
        summary = held_back_;
        held_back_ = 0;
    }
    if (summary > 0)
        log_summary(summary);
}

void LogLimiter::log_summary(int held_back) const
{
    blog(LOG_WARNING, summary_format_, held_back);
}

} // namespace velmora
