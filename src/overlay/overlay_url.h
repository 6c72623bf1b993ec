#pragma once

#include <string>

namespace velmora {

// The page URL of an overlay kind on the local server, carrying the overlay token in its fragment.
std::string overlay_url(const std::string &kind, const std::string &query);

} // namespace velmora
