#include "overlay/overlay_url.h"

#include "server/local_server.h"

namespace velmora {

std::string overlay_url(const std::string &kind, const std::string &query)
{
    LocalServer &server = local_server();
    std::string url = server.origin() + "/dock/";
    url += kind == "countdown" ? "overlay-countdown.html" : "overlay-chat.html";
    if (!query.empty())
        url += "?" + query;
    url += "#o=" + server.overlay_token();
    return url;
}

} // namespace velmora
