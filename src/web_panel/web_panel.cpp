#include "web_panel/web_panel.h"

#include "module/log.h"
#include "web_panel/web_panel_page.h"

#include <obs-module.h>

#include <QNetworkCookie>
#include <QVBoxLayout>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>

#include <regex>
#include <set>
#include <utility>

#include <unistd.h>

namespace velmora::web_panel {

namespace {

// Chromium's sandbox needs privileges a root process does not hand down; it must be off before
// the first engine object exists, and is left on for everyone else.
void prepare_engine()
{
    static bool prepared = false;
    if (prepared)
        return;
    prepared = true;
    if (geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX")) {
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
        VELMORA_LOG(LOG_WARNING,
                    "Web panel: OBS runs as root, where Chromium's sandbox cannot work; it is off");
    }
}

class PanelCookieManager : public QCefCookieManager {
  public:
    PanelCookieManager(const QString &name, const QString &path, bool persist_session_cookies)
        : profile_(new QWebEngineProfile(name))
    {
        SetStoragePath(path.toStdString(), persist_session_cookies);
        QWebEngineCookieStore *store = profile_->cookieStore();
        QObject::connect(store, &QWebEngineCookieStore::cookieAdded, store, [this](const QNetworkCookie &c) {
            cookies_.insert({c.domain(), c.name()});
        });
        QObject::connect(store, &QWebEngineCookieStore::cookieRemoved, store,
                         [this](const QNetworkCookie &c) {
                             cookies_.erase({c.domain(), c.name()});
                         });
        store->loadAllCookies();
    }
    // Pages are gone by now (the dock deletes its widget first); the profile writes what is left.
    ~PanelCookieManager() override
    {
        delete profile_;
        VELMORA_LOG(LOG_INFO, "Web panel: store closed");
    }

    QWebEngineProfile *profile() const { return profile_; }

    bool DeleteCookies(const std::string &url, const std::string &name) override
    {
        if (!url.empty() || !name.empty())
            return false;
        profile_->cookieStore()->deleteAllCookies();
        return true;
    }
    bool SetStoragePath(const std::string &storage_path, bool persist_session_cookies) override
    {
        QString path = QString::fromStdString(storage_path);
        profile_->setPersistentStoragePath(path);
        profile_->setCachePath(path + "/cache");
        profile_->setPersistentCookiesPolicy(persist_session_cookies
                                                 ? QWebEngineProfile::ForcePersistentCookies
                                                 : QWebEngineProfile::AllowPersistentCookies);
        return true;
    }
    // Qt WebEngine writes cookies and local storage as they change and when the profile closes; there
    // is nothing held back to force out.
    bool FlushStore() override
    {
        VELMORA_LOG(LOG_INFO, "Web panel: store flushed");
        return true;
    }
    void CheckForCookie(const std::string &site, const std::string &cookie,
                        std::function<void(bool)> callback) override
    {
        QString domain = QString::fromStdString(site);
        QByteArray name = QByteArray::fromStdString(cookie);
        bool found = cookies_.count({domain, name}) || cookies_.count({"." + domain, name});
        if (callback)
            callback(found);
    }

  private:
    QWebEngineProfile *profile_;
    std::set<std::pair<QString, QByteArray>> cookies_;
};

class PanelWidget : public QCefWidget {
  public:
    PanelWidget(QWidget *parent, const std::string &url, QWebEngineProfile *profile)
        : QCefWidget(parent), view_(new QWebEngineView(this)), page_(new PanelPage(profile, view_))
    {
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(view_);
        view_->setPage(page_);
        view_->setContextMenuPolicy(Qt::NoContextMenu);
        setURL(url);
    }
    ~PanelWidget() override { VELMORA_LOG(LOG_INFO, "Web panel: widget deleted"); }

    void setURL(const std::string &url) override
    {
        if (page_)
            page_->setUrl(QUrl(QString::fromStdString(url)));
    }
    void setStartupScript(const std::string &script) override
    {
        if (!page_)
            return;
        QWebEngineScript startup;
        startup.setSourceCode(QString::fromStdString(script));
        startup.setInjectionPoint(QWebEngineScript::DocumentCreation);
        startup.setWorldId(QWebEngineScript::MainWorld);
        page_->scripts().insert(startup);
    }
    // Pop-ups never open here, allowed or not: the dock's links go through the bridge.
    void allowAllPopups(bool) override {}
    void closeBrowser() override
    {
        if (!page_)
            return;
        view_->setPage(nullptr);
        delete page_;
        page_ = nullptr;
        VELMORA_LOG(LOG_INFO, "Web panel: browser closed");
    }
    // obs-browser's further virtuals, in its order.
    virtual void reloadPage()
    {
        if (page_)
            page_->triggerAction(QWebEnginePage::Reload);
    }
    virtual bool zoomPage(int direction)
    {
        if (!page_)
            return false;
        qreal zoom = direction == 0 ? 1.0 : page_->zoomFactor() + (direction > 0 ? 0.1 : -0.1);
        page_->setZoomFactor(qBound<qreal>(0.25, zoom, 5.0));
        return true;
    }
    virtual void executeJavaScript(const std::string &script)
    {
        if (page_)
            page_->runJavaScript(QString::fromStdString(script));
    }

  private:
    QWebEngineView *view_;
    PanelPage *page_;
};

class Panel : public QCef {
  public:
    ~Panel() override { VELMORA_LOG(LOG_INFO, "Web panel: panel deleted"); }

    bool init_browser() override
    {
        prepare_engine();
        return true;
    }
    bool initialized() override { return true; }
    bool wait_for_browser_init() override { return true; }

    QCefWidget *create_widget(QWidget *parent, const std::string &url,
                              QCefCookieManager *cookie_manager) override
    {
        prepare_engine();
        // Cookie managers come from create_cookie_manager only: this provider's own.
        auto *manager = static_cast<PanelCookieManager *>(cookie_manager);
        QWebEngineProfile *profile = manager ? manager->profile() : QWebEngineProfile::defaultProfile();
        return new PanelWidget(parent, url, profile);
    }
    QCefCookieManager *create_cookie_manager(const std::string &storage_path,
                                             bool persist_session_cookies) override
    {
        prepare_engine();
        BPtr<char> path = obs_module_config_path(storage_path.c_str());
        if (!path)
            return nullptr;
        return new PanelCookieManager(QString::fromStdString(storage_path), QString::fromUtf8(path.Get()),
                                      persist_session_cookies);
    }
    BPtr<char> get_cookie_path(const std::string &storage_path) override
    {
        return obs_module_config_path(storage_path.c_str());
    }
    void add_popup_whitelist_url(const std::string &, QObject *) override {}
    void add_force_popup_url(const std::string &, QObject *) override {}
};

} // namespace

QCef *create_panel()
{
    return new Panel();
}

std::string redact_tokens(const std::string &text)
{
    static const std::regex token(R"((token=|#t=|#o=)[A-Za-z0-9_%-]+)");
    return std::regex_replace(text, token, "$1…");
}

} // namespace velmora::web_panel
