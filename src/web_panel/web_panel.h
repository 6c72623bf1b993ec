#pragma once

// Browser panels on Qt WebEngine, for OBS builds that ship without obs-browser. They offer the
// interface obs-browser publishes, so the dock finds and drives them the same way.
#include "dock/browser_panel.h"

#include <obs-module.h>

#include <string>

// The engine library's one entry: a panel interface whose stores live in the provider module's
// configuration folder. Loaded and called by the provider module.
extern "C" QCef *velmora_web_panel_create(obs_module_t *provider);

namespace velmora::web_panel {

// A console line as the log may hold it: at most 2 KiB, and the values after "token=", "#t=" and
// "#o=" cut out.
std::string redact_tokens(const std::string &text);

} // namespace velmora::web_panel
