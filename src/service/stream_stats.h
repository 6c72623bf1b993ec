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
    long long reconnect_attempt = 0;
    long long live_seconds = 0;
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
// A new stream's first tick reports 0 kb/s; main thread.
void reset_stream_bitrate();

} // namespace velmora
