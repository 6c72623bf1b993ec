#include "service/stream_stats.h"

#include "bridge/event_json.h"
#include "module/profile_scope.h"
#include "server/websocket.h"

#include <obs-frontend-api.h>
#include <obs.h>
#include <util/platform.h>

#include <atomic>

namespace velmora {

namespace {

BitrateMeter stream_bitrate;
// Written by the output's stop signal on its own thread, read on the main thread.
std::atomic<long long> last_stop_code{0};
obs_weak_output_t *watched_output = nullptr;

void on_output_stop(void *, calldata_t *data)
{
    last_stop_code = calldata_int(data, "code");
}

// The frontend's streaming output, released when it goes out of scope.
class StreamingOutput {
  public:
    StreamingOutput() : output_(obs_frontend_get_streaming_output()) {}
    ~StreamingOutput() { obs_output_release(output_); }
    StreamingOutput(const StreamingOutput &) = delete;
    StreamingOutput &operator=(const StreamingOutput &) = delete;
    obs_output_t *get() const { return output_; }

  private:
    obs_output_t *output_;
};

} // namespace

double BitrateMeter::sample(std::uint64_t bytes, std::uint64_t now_ns)
{
    double kbps = 0.0;
    if (last_time != 0 && now_ns > last_time && bytes >= last_bytes) {
        double seconds = static_cast<double>(now_ns - last_time) / 1000000000.0;
        kbps = static_cast<double>(bytes - last_bytes) * 8.0 / seconds / 1000.0;
    }
    last_bytes = bytes;
    last_time = now_ns;
    return kbps;
}

void BitrateMeter::reset()
{
    last_bytes = 0;
    last_time = 0;
}

long long rounded_kbps(double kbps)
{
    return static_cast<long long>(kbps + 0.5);
}

std::string stats_json()
{
    EventJson stats("stats");
    StreamingOutput output;
    if (!output.get() || !obs_output_active(output.get())) {
        stats.add_bool("streaming", false);
        stream_bitrate.reset();
    } else {
        obs_output_t *out = output.get();
        double kbps = stream_bitrate.sample(obs_output_get_total_bytes(out), os_gettime_ns());
        stats.add_bool("streaming", true)
            .add_int("kbps", rounded_kbps(kbps))
            .add_int("droppedFrames", obs_output_get_frames_dropped(out))
            .add_int("totalFrames", obs_output_get_total_frames(out))
            .add_double("congestion", static_cast<double>(obs_output_get_congestion(out)))
            .add_bool("reconnecting", obs_output_reconnecting(out));
    }
    stats.add_double("fps", obs_get_active_fps());
    return stats.text();
}

void stats_tick()
{
    ProfileScope profile("velmora_stats_tick");
    if (obs_frontend_streaming_active())
        broadcast_bridge(stats_json());
}

bool stream_reconnecting()
{
    StreamingOutput output;
    return output.get() && obs_output_reconnecting(output.get());
}

std::string stream_last_error()
{
    StreamingOutput output;
    if (!output.get())
        return {};
    const char *error = obs_output_get_last_error(output.get());
    if (error && *error)
        return error;
    const char *words = stop_code_text(last_stop_code.load());
    return words ? words : "";
}

const char *stop_code_text(long long code)
{
    switch (code) {
    case OBS_OUTPUT_BAD_PATH:
        return "The stream address is not valid.";
    case OBS_OUTPUT_CONNECT_FAILED:
        return "Could not connect to the server.";
    case OBS_OUTPUT_INVALID_STREAM:
        return "The server refused the stream key.";
    case OBS_OUTPUT_ERROR:
        return "The stream stopped because of an error.";
    case OBS_OUTPUT_DISCONNECTED:
        return "The connection to the server was lost.";
    case OBS_OUTPUT_UNSUPPORTED:
        return "The server does not support this stream's format.";
    case OBS_OUTPUT_NO_SPACE:
        return "There is no space left on the device.";
    case OBS_OUTPUT_ENCODE_ERROR:
        return "The encoder failed.";
    default:
        return nullptr;
    }
}

void watch_stream_output()
{
    stream_bitrate.reset();
    last_stop_code = 0;
    StreamingOutput output;
    if (!output.get())
        return;
    if (watched_output) {
        // Compare with the live output: a freed one's address may have been reused.
        obs_output_t *watched = obs_weak_output_get_output(watched_output);
        obs_output_release(watched);
        if (watched == output.get())
            return;
    }
    unwatch_stream_output();
    signal_handler_connect(obs_output_get_signal_handler(output.get()), "stop", on_output_stop, nullptr);
    watched_output = obs_output_get_weak_output(output.get());
}

void unwatch_stream_output()
{
    if (!watched_output)
        return;
    if (obs_output_t *output = obs_weak_output_get_output(watched_output)) {
        signal_handler_disconnect(obs_output_get_signal_handler(output), "stop", on_output_stop, nullptr);
        obs_output_release(output);
    }
    obs_weak_output_release(watched_output);
    watched_output = nullptr;
}

} // namespace velmora
