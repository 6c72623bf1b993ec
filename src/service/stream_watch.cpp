#include "service/stream_watch.h"

#include "bridge/events.h"
#include "bridge/task_queue.h"
#include "core/event_json.h"
#include "core/guard.h"
#include "core/log.h"
#include "service/stream_stats.h"

#include <obs-frontend-api.h>
#include <obs.hpp>

#include <atomic>
#include <cstring>
#include <functional>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace velmora {

namespace {

using Clock = std::chrono::steady_clock;

// Set by the output's signals on its own threads, read on the main thread.
std::atomic<long long> last_stop_code{0};
std::atomic<bool> connecting{false};
std::atomic<bool> output_started{false};
std::atomic<int> attempts{0};
// Counts STREAMING_STARTING events, so a start asked for can tell whether OBS got that far.
unsigned starts_seen = 0;
std::mutex stop_lock;
std::condition_variable stop_seen_changed;
bool stop_seen = false;

Clock::time_point live_since{};
OBSSignal stop_connection;
OBSSignal starting_connection;
OBSSignal reconnect_connection;
OBSSignal reconnect_success_connection;
OBSWeakOutputAutoRelease watched_output;

void on_output_stop(void *, calldata_t *data)
{
    std::lock_guard guard(stop_lock);
    last_stop_code = calldata_int(data, "code");
    connecting = false;
    stop_seen = true;
    stop_seen_changed.notify_all();
}

void on_output_starting(void *, calldata_t *)
{
    output_started = true;
}

void on_reconnect(void *, calldata_t *)
{
    attempts++;
}

void on_reconnect_success(void *, calldata_t *)
{
    attempts = 0;
}

// Where the stream goes, for the words of a failure: a custom service's server URL, else the
// platform's name; never the key. Read from the settings only: asking a platform service for its
// URL may look the ingest up over the network on this thread (Twitch's "auto" does).
std::string current_server()
{
    obs_service_t *service = obs_frontend_get_streaming_service();
    if (!service)
        return {};
    OBSDataAutoRelease settings = obs_service_get_settings(service);
    const char *type = obs_service_get_type(service);
    bool custom = !type || std::strcmp(type, "rtmp_common") != 0;
    const char *where = obs_data_get_string(settings, custom ? "server" : "service");
    return where ? where : "";
}

// OBS emits STREAMING_STARTING and then starts its output in the same call; a start that failed
// there shows OBS's error dialog and sends no further event. This runs once that call is over (or
// inside the dialog's own event loop) and tells the docks what OBS shows.
void report_failed_start()
{
    connecting = false;
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    const char *error = output ? obs_output_get_last_error(output) : nullptr;
    std::string server = current_server();
    std::string words = "OBS couldn't start the stream";
    if (!server.empty())
        words += " to " + server;
    words += error && *error ? std::string(": ") + error : ". Help › Log Files in OBS says why.";
    VELMORA_LOG(LOG_INFO, "OBS did not start the stream output");
    send_event(EventJson("obs").add_string("type", "streaming_start_failed").add_string("lastError", words));
    send_state();
}

void check_start()
{
    if (connecting && !output_started && !obs_frontend_streaming_active())
        report_failed_start();
}

void watch_stream_output()
{
    {
        std::lock_guard guard(stop_lock);
        last_stop_code = 0;
        stop_seen = false;
    }
    attempts = 0;
    output_started = false;
    connecting = true;
    ++starts_seen;
    reset_stream_bitrate();
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    if (!output)
        return;
    // Compare with the live output: a freed one's address may have been reused.
    OBSOutputAutoRelease watched = obs_weak_output_get_output(watched_output);
    if (watched != output.Get()) {
        signal_handler_t *signals = obs_output_get_signal_handler(output);
        stop_connection.Connect(signals, "stop", on_output_stop, nullptr);
        starting_connection.Connect(signals, "starting", on_output_starting, nullptr);
        reconnect_connection.Connect(signals, "reconnect", on_reconnect, nullptr);
        reconnect_success_connection.Connect(signals, "reconnect_success", on_reconnect_success, nullptr);
        watched_output = obs_output_get_weak_output(output);
    }
    // After OBS's call that emitted this event: it starts the output after telling us.
    defer_ui_task([] { run_guarded("Watching the stream's start", check_start); });
}

void on_frontend_event(enum obs_frontend_event event, void *)
{
    switch (event) {
    case OBS_FRONTEND_EVENT_STREAMING_STARTING:
        run_guarded("Watching the stream", watch_stream_output);
        break;
    case OBS_FRONTEND_EVENT_STREAMING_STARTED:
        connecting = false;
        live_since = Clock::now();
        break;
    case OBS_FRONTEND_EVENT_STREAMING_STOPPED:
        connecting = false;
        break;
    case OBS_FRONTEND_EVENT_EXIT:
        // Nothing reaches OBS's frontend once it closes; only this handler is removed here, which
        // is safe inside OBS's loop over its callbacks.
        obs_frontend_remove_event_callback(on_frontend_event, nullptr);
        break;
    default:
        break;
    }
}

} // namespace

void stream_watch_init()
{
    obs_frontend_add_event_callback(on_frontend_event, nullptr);
}

void stream_watch_shutdown()
{
    stop_connection.Disconnect();
    starting_connection.Disconnect();
    reconnect_connection.Disconnect();
    reconnect_success_connection.Disconnect();
    watched_output = nullptr;
}

void watch_start_request(const std::function<void()> &start)
{
    unsigned before = starts_seen;
    start();
    // OBS may refuse before it tells of a start at all (its own error dialog, no event): what it
    // did shows once the call and whatever it queued is over.
    defer_ui_task([before] {
        run_guarded("Watching the stream's start", [before] {
            if (starts_seen == before && !obs_frontend_streaming_active())
                report_failed_start();
        });
    });
}

bool stream_connecting()
{
    return connecting && !obs_frontend_streaming_active();
}

bool stream_reconnecting()
{
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    return output && obs_output_reconnecting(output);
}

int reconnect_attempt()
{
    return stream_reconnecting() ? attempts.load() : 0;
}

long long live_seconds()
{
    if (!obs_frontend_streaming_active() || live_since == Clock::time_point{})
        return 0;
    return std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - live_since).count();
}

std::string stream_last_error()
{
    OBSOutputAutoRelease output = obs_frontend_get_streaming_output();
    if (!output)
        return {};
    long long code = last_stop_code.load();
    std::string words = code == 0 ? std::string() : stop_code_text(code, current_server());
    const char *error = obs_output_get_last_error(output);
    if (error && *error)
        return words.empty() ? error : words + " OBS says: " + error;
    return words;
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

std::string stop_code_text(long long code, const std::string &server)
{
    const std::string at = server.empty() ? std::string("the server") : server;
    switch (code) {
    case OBS_OUTPUT_BAD_PATH:
        return "The server URL " + (server.empty() ? std::string() : server + " ") + "isn't valid: check it.";
    case OBS_OUTPUT_CONNECT_FAILED:
        return "Couldn't connect to " + at + ": check the server URL.";
    case OBS_OUTPUT_INVALID_STREAM:
        return "The stream key was refused by " + at + ": check the key.";
    case OBS_OUTPUT_ERROR:
        return "The stream to " + at + " stopped because of an error.";
    case OBS_OUTPUT_DISCONNECTED:
        return "The connection to " + at + " was lost.";
    case OBS_OUTPUT_UNSUPPORTED:
        return "This stream's format doesn't suit " + at + ".";
    case OBS_OUTPUT_NO_SPACE:
        return "There is no space left on the device.";
    case OBS_OUTPUT_ENCODE_ERROR:
        return "The encoder failed.";
    default:
        return {};
    }
}

} // namespace velmora
