#pragma once

#include <util/base.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

// Captures what is logged through OBS's log handler while it exists.
class LogCapture {
  public:
    LogCapture() { base_set_log_handler(&LogCapture::handle, this); }
    ~LogCapture() { base_set_log_handler(nullptr, nullptr); }

    std::vector<std::string> lines()
    {
        std::lock_guard guard(lock_);
        return lines_;
    }
    int count(const std::string &line)
    {
        auto all = lines();
        return static_cast<int>(std::count(all.begin(), all.end(), line));
    }
    bool contains(const std::string &line) { return count(line) > 0; }

  private:
    static void handle(int, const char *format, va_list args, void *self)
    {
        char text[4096];
        (void)std::vsnprintf(text, sizeof text, format, args); // a longer line is cut, as OBS's own log does
        std::lock_guard guard(static_cast<LogCapture *>(self)->lock_);
        static_cast<LogCapture *>(self)->lines_.emplace_back(text);
    }
    std::mutex lock_;
    std::vector<std::string> lines_;
};
