#pragma once

#include <cstdint>
#include <string>

namespace velmora {

// Average bitrate between two readings of an output's byte counter.
class BitrateMeter {
  public:
    // Kilobits per second since the previous sample; 0 for the first sample, when time did not
    // advance or when the counter went backwards (a new output). The sample becomes the new base.
    double sample(std::uint64_t bytes, std::uint64_t now_ns);
    void reset();

  private:
    std::uint64_t last_bytes = 0;
    std::uint64_t last_time = 0;
};

// Rounds a non-negative bitrate half up, as the docks show it.
long long rounded_kbps(double kbps);

// The stats event; updates the bitrate base as a side effect. Main thread only.
std::string stats_json();
// The stats timer's tick: sends the stats event while OBS streams.
void stats_tick();
bool stream_reconnecting();
// The output's last error text; when the output gave none but stopped with a failure code (an
// RTMP connection refused, for one), a sentence for that code.
std::string stream_last_error();
const char *stop_code_text(long long code);

// A stream is starting: the bitrate base starts afresh and the output's stop code is watched.
void watch_stream_output();
void unwatch_stream_output();

} // namespace velmora
