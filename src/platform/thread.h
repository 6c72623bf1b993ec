#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace velmora::platform {

// A joinable thread with a chosen stack size. Connection threads are short-lived and many:
// a small stack lets the C library reuse stacks instead of mapping and unmapping 8 MiB each time.
class Thread {
  public:
    Thread();
    ~Thread();
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;

    // False when the system could not create the thread; body then never runs.
    bool start(std::function<void()> body, std::size_t stack_bytes);
    bool joinable() const { return started_; }
    void join();
    // Joins when the thread ends within timeout_ms; otherwise leaves it to run on alone (its
    // record is then never freed) and returns false.
    bool join_within(int timeout_ms);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
    bool started_ = false;
};

// Lets the calling thread yield to OBS's own threads: waking it never interrupts the thread that
// woke it (OBS's main thread, handing over work).
void lower_current_thread_priority();

} // namespace velmora::platform
