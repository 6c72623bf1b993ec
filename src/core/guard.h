#pragma once

#include "core/log.h"

#include <exception>

namespace velmora {

// Runs work that OBS called into; nothing thrown inside may cross back into OBS.
template <typename Work> void run_guarded(const char *where, Work &&work) noexcept
{
    try {
        work();
    } catch (const std::exception &error) {
        VELMORA_LOG(LOG_ERROR, "%s failed: %s", where, error.what());
    } catch (...) {
        VELMORA_LOG(LOG_ERROR, "%s failed", where);
    }
}

} // namespace velmora
