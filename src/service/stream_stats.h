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

// OBS's figures for one stats event, read on the main thread.
struct StreamFigures {
    bool streaming = false; // the streaming output exists and is active
    long long kbps = 0;
    long long dropped_frames = 0;
    long long total_frames = 0;
    double congestion = 0.0;
    bool reconnecting = false;
    double fps = 0.0;
};

// Reads the streaming output's counters; updates the bitrate base. Main thread only.
StreamFigures read_stream_figures();
std::string stats_json(const StreamFigures &figures);
// The stats event from OBS's current figures; main thread only.
std::string stats_json();
// The stats timer's tick: while OBS streams, reads the figures here and leaves building and
// sending the event to the bridge's worker.
void stats_tick();
bool stream_reconnecting();
// The output's last error text; when the output gave none but stopped with a failure code (an
// RTMP connection refused, for one), a sentence for that code.
std::string stream_last_error();
// The same once the streaming output's stop signal has been seen (bounded wait); main thread, on
// STREAMING_STOPPED only.
std::string stream_stop_error();
const char *stop_code_text(long long code);

// Watches each stream's start (the bitrate base starts afresh, the output's stop code is
// recorded) until OBS's EXIT event; main thread, at start-up. Shut-down lets go of the output.
void stream_stats_init();
void stream_stats_shutdown();

} // namespace velmora
