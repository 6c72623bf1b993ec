#include "obs-module.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

std::mutex handler_lock;
log_handler_t handler = nullptr;
void *handler_param = nullptr;

} // namespace

extern "C" void base_set_log_handler(log_handler_t new_handler, void *param)
{
    std::lock_guard guard(handler_lock);
    handler = new_handler;
    handler_param = param;
}

extern "C" void blog(int log_level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    {
        std::lock_guard guard(handler_lock);
        if (handler) {
            handler(log_level, format, args, handler_param);
            va_end(args);
            return;
        }
    }
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

extern "C" void bfree(void *pointer)
{
    std::free(pointer);
}

extern "C" char *obs_find_module_file(obs_module_t *, const char *)
{
    return nullptr;
}
