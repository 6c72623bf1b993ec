#pragma once

#include <string>

class QString;

namespace velmora {

// Hands an https link on an allowed site to the system's browser; false, with a warning, for
// anything else. Main thread.
bool open_link(const std::string &url);
// Whether host is one of the allowed sites, compared whole and ignoring letter case.
bool host_allowed(const QString &host);

} // namespace velmora
