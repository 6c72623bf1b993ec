#include "service/stream_control.h"

#include "service/stream_watch.h"

#include <obs-config.h>
#include <obs-frontend-api.h>
#include <util/config-file.h>

namespace velmora {

namespace {

// OBS 31 moved the user's settings out of the global configuration into their own.
config_t *user_config()
{
#if LIBOBS_API_MAJOR_VER >= 31
    return obs_frontend_get_user_config();
#else
    return obs_frontend_get_global_config();
#endif
}

// OBS's own question, in OBS's words, when the streamer asked it to confirm; else empty.
std::string question_before(bool start)
{
    config_t *config = user_config();
    if (!config || !config_get_bool(config, "BasicWindow",
                                    start ? "WarnBeforeStartingStream" : "WarnBeforeStoppingStream"))
        return {};
    return start ? "Are you sure you want to start the stream?" : "Are you sure you want to stop the stream?";
}

} // namespace

bool obs_confirms_stream(bool start)
{
    return !question_before(start).empty();
}

ServiceResult start_streaming(bool confirmed)
{
    if (obs_frontend_streaming_active() || stream_connecting())
        return {true, {}, {}};
    if (std::string question = question_before(true); !question.empty() && !confirmed)
        return {false, {}, question};
    watch_start_request([] { obs_frontend_streaming_start(); });
    // What OBS made of it reaches the docks as its stream events, or as a failed start.
    return {true, {}, {}};
}

ServiceResult stop_streaming(bool confirmed)
{
    // While OBS connects its own button waits too: there is nothing to stop yet.
    if (!obs_frontend_streaming_active())
        return {true, {}, {}};
    if (std::string question = question_before(false); !question.empty() && !confirmed)
        return {false, {}, question};
    obs_frontend_streaming_stop();
    return {true, {}, {}};
}

} // namespace velmora
