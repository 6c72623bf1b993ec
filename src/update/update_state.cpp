#include "update/update_state.h"

#include "core/module_info.h"
#include "core/build_constants.h"

#include <cstdlib>
#include <cstring>

namespace velmora {

namespace {

const char *test_origin()
{
    const char *origin = std::getenv("VELMORA_OBS_TEST_UPDATE_ORIGIN");
    return origin && std::strncmp(origin, "http://127.0.0.1:", 17) == 0 ? origin : nullptr;
}

} // namespace

std::mutex &update_lock()
{
    static std::mutex lock;
    return lock;
}

std::condition_variable &update_wake()
{
    static std::condition_variable wake;
    return wake;
}

UpdateState &update_state()
{
    static UpdateState state;
    return state;
}

bool &check_requested()
{
    static bool requested = false;
    return requested;
}

UpdateState update_state_copy()
{
    std::lock_guard lock(update_lock());
    return update_state();
}

platform::StopSignal &updater_stop_signal()
{
    static platform::StopSignal stop;
    return stop;
}

std::atomic<bool> &restarting_flag()
{
    static std::atomic<bool> restarting{false};
    return restarting;
}

std::string update_origin()
{
    const char *origin = test_origin();
    return origin ? origin : constants::api_origin;
}

std::string download_prefix()
{
    const char *origin = test_origin();
    return std::string(origin ? origin : constants::download_prefix) + "/builds/velmora-obs-plugin/windows/";
}

} // namespace velmora
