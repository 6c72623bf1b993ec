#pragma once

// OBS's log, as the Windows test build has it: the server's code logs through these without
// libobs, which cannot be had for Windows here.
#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    LOG_ERROR = 100,
    LOG_WARNING = 200,
    LOG_INFO = 300,
    LOG_DEBUG = 400,
};

typedef void (*log_handler_t)(int level, const char *format, va_list args, void *param);

void base_set_log_handler(log_handler_t handler, void *param);
void blog(int log_level, const char *format, ...) __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif
