#pragma once

#include "bridge/vendor.h"

namespace velmora {

// The requests and events obs-websocket's clients get, as the features answer them.
VendorSetup vendor_protocol();

} // namespace velmora
