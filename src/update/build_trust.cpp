// Compiled once per kind of build: the product's publisher and trust anchors, or the test ones.
#include "update/verification.h"

#ifndef _WIN32
#include "platform/posix/trust_anchors.h"
#endif

namespace velmora {

const char16_t *installer_publisher()
{
    return u"" VELMORA_INSTALLER_PUBLISHER_NAME;
}

} // namespace velmora

#ifndef _WIN32
namespace velmora::platform {

const char *trust_anchor_file()
{
    return VELMORA_TRUST_ANCHOR_FILE;
}

} // namespace velmora::platform
#endif
