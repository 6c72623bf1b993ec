#include "service/stream_stats.h"

#include "bridge/bridge.h"
#include "core/event_json.h"
#include "core/guard.h"
#include "core/profile_scope.h"

#include <obs-frontend-api.h>
#include <obs.hpp>
#include <util/platform.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace velmora {

namespace {

BitrateMeter stream_bitrate;
// Written by the output's stop signal on its own thread, read on the main thread.
std::atomic<long long> last_stop_code{0};
std::mutex stop_lock;
std::condition_variable stop_seen_changed;
bool stop_seen = false;
OBSSignal stop_connection;
OBSWeakOutputAutoRelease watched_output;

void on_output_stop(void *, calldata_t *data)
{
    std::lock_guard guard(stop_lock);
    last_stop_code = calldata_int(data, "code");
    stop_seen = true;
    stop_seen_changed.notify_all();
}

void watch_stream_output()
{
    stream_bitrate.reset();
    {
        std::lock_guard guard(stop_lock);
        last_stop_code = 0;
        stop_seen = false;
    }
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    if (!output)
        return;
    // Compare with the live output: a freed one's address may have been reused.
    OBSOutputAutoRelease watched = obs_weak_output_get_output(watched_output);
    if (watched == output.Get())
        return;
    stop_connection.Connect(obs_output_get_signal_handler(output), "stop", on_output_stop, nullptr);
    watched_output = obs_output_get_weak_output(output);
}

void on_frontend_event(enum obs_frontend_event event, void *)
{
    if (event == OBS_FRONTEND_EVENT_STREAMING_STARTING)
        run_guarded("Watching the stream", watch_stream_output);
    // Nothing reaches OBS's frontend once it closes; only this handler is removed here, which is
    // safe inside OBS's loop over its callbacks.
    else if (event == OBS_FRONTEND_EVENT_EXIT)
        obs_frontend_remove_event_callback(on_frontend_event, nullptr);
}

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

StreamFigures read_stream_figures()
{
    StreamFigures figures;
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    if (!output || !obs_output_active(output)) {
        stream_bitrate.reset();
    } else {
        figures.streaming = true;
        figures.kbps =
            rounded_kbps(stream_bitrate.sample(obs_output_get_total_bytes(output), os_gettime_ns()));
        figures.dropped_frames = obs_output_get_frames_dropped(output);
        figures.total_frames = obs_output_get_total_frames(output);
        figures.congestion = static_cast<double>(obs_output_get_congestion(output));
        figures.reconnecting = obs_output_reconnecting(output);
    }
    figures.fps = obs_get_active_fps();
    return figures;
}

std::string stats_json(const StreamFigures &figures)
{
    EventJson stats("stats");
    stats.add_bool("streaming", figures.streaming);
    if (figures.streaming) {
        stats.add_int("kbps", figures.kbps)
            .add_int("droppedFrames", figures.dropped_frames)
            .add_int("totalFrames", figures.total_frames)
            .add_double("congestion", figures.congestion)
            .add_bool("reconnecting", figures.reconnecting);
    }
    stats.add_double("fps", figures.fps);
    return stats.text();
}

std::string stats_json()
{
    return stats_json(read_stream_figures());
}

void stats_tick()
{
    ProfileScope profile("velmora_stats_tick");
    if (!obs_frontend_streaming_active())
        return;
    send_event_from_worker([figures = read_stream_figures()] { return stats_json(figures); });
}

bool stream_reconnecting()
{
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    return output && obs_output_reconnecting(output);
}

std::string stream_last_error()
{
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    if (!output)
        return {};
    const char *error = obs_output_get_last_error(output);
    if (error && *error)
        return error;
    const char *words = stop_code_text(last_stop_code.load());
    return words ? words : "";
}

std::string stream_stop_error()
{
    // OBS's own stop handler runs first in the same signal emission and queues STREAMING_STOPPED
    // to this thread; ours may still be a few instructions from recording the code.
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    OBSOutputAutoRelease watched = obs_weak_output_get_output(watched_output);
    if (output && watched == output.Get()) {
        std::unique_lock guard(stop_lock);
        stop_seen_changed.wait_for(guard, std::chrono::milliseconds(100), [] { return stop_seen; });
    }
    return stream_last_error();
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

void stream_stats_init()
{
    obs_frontend_add_event_callback(on_frontend_event, nullptr);
}

void stream_stats_shutdown()
{
    stop_connection.Disconnect();
    watched_output = nullptr;
}

} // namespace velmora
