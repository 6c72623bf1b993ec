#pragma once

namespace velmora::platform {

// The PEM bundle of roots a code signature must chain to; fixed when the module is linked.
const char *trust_anchor_file();

} // namespace velmora::platform
