#pragma once

// A browser panel provider built on Qt WebEngine, for OBS builds that ship without obs-browser.
// It offers the interface obs-browser publishes, so the dock finds and drives it the same way.
#include "dock/browser_panel.h"

namespace velmora::web_panel {

// The interface version obs-browser reports with the same virtuals.
constexpr int interface_version = 3;

QCef *create_panel();

// A console line as the log may hold it: tokens in socket URLs and fragments are cut out.
std::string redact_tokens(const std::string &text);

} // namespace velmora::web_panel
