#pragma once

#include <QUrl>
#include <QWebEnginePage>

namespace velmora::web_panel {

// The dock's page: it stays on the origin it was opened at, opens no windows (links leave through
// the bridge's open_url), and passes its warnings and errors to OBS's log.
class PanelPage : public QWebEnginePage {
  public:
    using QWebEnginePage::QWebEnginePage;

  protected:
    QWebEnginePage *createWindow(WebWindowType type) override;
    bool acceptNavigationRequest(const QUrl &url, NavigationType type, bool is_main_frame) override;
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel level, const QString &message, int line,
                                  const QString &source) override;
};

} // namespace velmora::web_panel
