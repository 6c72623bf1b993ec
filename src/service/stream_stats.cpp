#include "service/stream_stats.h"

#include "bridge/bridge.h"
#include "core/event_json.h"
#include "core/profile_scope.h"
#include "service/stream_watch.h"

#include <obs-frontend-api.h>

#include <cmath>
#include <obs.hpp>
#include <util/platform.h>

namespace velmora {

namespace {

BitrateMeter stream_bitrate;

} // namespace

void reset_stream_bitrate()
{
    stream_bitrate.reset();
}

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
    return std::llround(kbps);
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
        figures.reconnect_attempt = reconnect_attempt();
        figures.live_seconds = live_seconds();
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
            .add_bool("reconnecting", figures.reconnecting)
            .add_int("reconnectAttempt", figures.reconnect_attempt)
            .add_int("liveSeconds", figures.live_seconds);
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

} // namespace velmora
