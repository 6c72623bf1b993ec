#include "web_panel/web_panel_page.h"

#include "core/log.h"
#include "core/log_limiter.h"
#include "web_panel/web_panel.h"

namespace velmora::web_panel {

namespace {

LogLimiter console_lines("[velmora] Dock page: %d more console messages this minute not logged");
LogLimiter refused_navigations("[velmora] Dock page: %d more attempts to leave this minute not logged");

bool same_origin(const QUrl &a, const QUrl &b)
{
    return a.scheme() == b.scheme() && a.host() == b.host() && a.port() == b.port();
}

} // namespace

QWebEnginePage *PanelPage::createWindow(WebWindowType)
{
    return nullptr;
}

bool PanelPage::acceptNavigationRequest(const QUrl &target, NavigationType, bool is_main_frame)
{
    // The first load sets the origin; after it, reloads and moves within the module's own pages.
    if (!is_main_frame || url().isEmpty() || same_origin(url(), target))
        return true;
    if (refused_navigations.allow())
        VELMORA_LOG(LOG_WARNING, "The dock page tried to leave the module's pages; it stays");
    return false;
}

void PanelPage::javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString &message,
                                         int line, const QString &source)
{
    if (level == InfoMessageLevel || !console_lines.allow())
        return;
    std::string text = redact_tokens(message.toStdString());
    std::string where = redact_tokens(source.toStdString());
    blog(level == ErrorMessageLevel ? LOG_ERROR : LOG_WARNING, "[velmora] Dock page %s: %s (%s:%d)",
         level == ErrorMessageLevel ? "error" : "warning", text.c_str(), where.c_str(), line);
}

} // namespace velmora::web_panel
