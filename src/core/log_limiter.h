#pragma once

#include <chrono>
#include <mutex>

namespace velmora {

// Lets the first few lines of one kind into OBS's log each minute and sums up the rest in one
// line, so that a web page, which can trigger some warnings at will, cannot flood the log.
class LogLimiter {
  public:
    static constexpr int lines_per_window = 5;
    static constexpr std::chrono::seconds window{60};

    // summary_format takes the number of lines held back, e.g. "[velmora] %d more ...".
    explicit LogLimiter(const char *summary_format) : summary_format_(summary_format) {}

    // True when the caller may log its line now. Logs the summary of a past minute first.
    bool allow();
    // Logs the summary of what is held back so far, if anything.
    void flush();

  private:
    using Clock = std::chrono::steady_clock;
    void log_summary(int held_back) const;

    const char *summary_format_;
    std::mutex lock_;
    Clock::time_point window_start_{};
    int logged_ = 0;
    int held_back_ = 0;
};

} // namespace velmora
