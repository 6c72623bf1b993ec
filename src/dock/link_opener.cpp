#include "dock/link_opener.h"

#include "core/build_constants.h"
#include "core/log.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

#include <array>

namespace velmora {

namespace {

// The service's site with its www and cdn hosts, Twitch's and YouTube's sites with their
// dashboards, the OBS project, and Google's help: no wildcards, nothing else.
std::array<QString, 11> allowed_hosts()
{
    QString site = QUrl(QString::fromLatin1(constants::site_origin)).host();
    return {site,
            "www." + site,
            "cdn." + site,
            "twitch.tv",
            "www.twitch.tv",
            "dashboard.twitch.tv",
            "youtube.com",
            "www.youtube.com",
            "studio.youtube.com",
            QString::fromLatin1(constants::obs_site_host),
            "support.google.com"};
}

} // namespace

bool host_allowed(const QString &host)
{
    static const std::array<QString, 11> hosts = allowed_hosts();
    for (const QString &allowed : hosts) {
        if (host.compare(allowed, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool open_link(const std::string &url)
{
    QUrl link(QString::fromStdString(url), QUrl::StrictMode);
    if (!link.isValid() || link.scheme() != "https" || !link.userInfo().isEmpty() ||
        !host_allowed(link.host(QUrl::FullyDecoded))) {
        VELMORA_LOG(LOG_WARNING, "Refused to open a link that is not on an allowed site");
        return false;
    }
    return QDesktopServices::openUrl(link);
}

} // namespace velmora
