#include "web_panel/web_panel.h"

#include "core/log.h"
#include "web_panel/web_panel_page.h"

#include <obs-module.h>

#include <QNetworkCookie>
#include <QVBoxLayout>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineView>

#include <set>
#include <utility>

namespace velmora::web_panel {

namespace {

class PanelCookieManager final : public QCefCookieManager {
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
    // Without a profile of the dock's, the widget keeps an off-the-record one of its own rather
    // than the default profile every other plug-in shares.
    PanelWidget(QWidget *parent, const std::string &url, QWebEngineProfile *profile)
        : QCefWidget(parent), own_profile_(profile ? nullptr : new QWebEngineProfile()),
          view_(new QWebEngineView(this)), page_(new PanelPage(profile ? profile : own_profile_, view_))
    {
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(view_);
        view_->setPage(page_);
        view_->setContextMenuPolicy(Qt::NoContextMenu);
        PanelWidget::setURL(url); // this class's own, as no derived one exists yet
    }
    ~PanelWidget() override
    {
        PanelWidget::closeBrowser(); // this class's own: the derived part is gone already
        delete own_profile_;
        VELMORA_LOG(LOG_INFO, "Web panel: widget deleted");
    }

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
    // The view goes with the page: left alone, it would make itself a new page on the default
    // profile the next time it is shown or hidden.
    void closeBrowser() override
    {
        if (!view_)
            return;
        delete view_;
        view_ = nullptr;
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
    QWebEngineProfile *own_profile_;
    QWebEngineView *view_;
    PanelPage *page_;
};

class Panel : public QCef {
  public:
    explicit Panel(obs_module_t *provider) : provider_(provider) {}
    ~Panel() override { VELMORA_LOG(LOG_INFO, "Web panel: panel deleted"); }

    // The engine starts with the first view; there is nothing to wait for.
    bool init_browser() override { return true; }
    bool initialized() override { return true; }
    bool wait_for_browser_init() override { return true; }

    QCefWidget *create_widget(QWidget *parent, const std::string &url,
                              QCefCookieManager *cookie_manager) override
    {
        // Cookie managers come from create_cookie_manager only: this provider's own.
        auto *manager = static_cast<PanelCookieManager *>(cookie_manager);
        return new PanelWidget(parent, url, manager ? manager->profile() : nullptr);
    }
    QCefCookieManager *create_cookie_manager(const std::string &storage_path,
                                             bool persist_session_cookies) override
    {
        BPtr<char> path = get_cookie_path(storage_path);
        if (!path)
            return nullptr;
        return new PanelCookieManager(QString::fromStdString(storage_path), QString::fromUtf8(path.Get()),
                                      persist_session_cookies);
    }
    BPtr<char> get_cookie_path(const std::string &storage_path) override
    {
        return obs_module_get_config_path(provider_, storage_path.c_str());
    }
    void add_popup_whitelist_url(const std::string &, QObject *) override {}
    void add_force_popup_url(const std::string &, QObject *) override {}

  private:
    obs_module_t *provider_;
};

} // namespace

std::string redact_tokens(const std::string &text)
{
    auto token_char = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
               c == '%' || c == '-';
    };
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t next = std::string::npos;
        std::size_t key_length = 0;
        for (const char *key : {"token=", "#t=", "#o="}) {
            std::size_t found = text.find(key, at);
            if (found < next) {
                next = found;
                key_length = std::char_traits<char>::length(key);
            }
        }
        if (next == std::string::npos) {
            out.append(text, at, std::string::npos);
            break;
        }
        std::size_t value = next + key_length;
        std::size_t end = value;
        while (end < text.size() && token_char(text[end]))
            ++end;
        out.append(text, at, value - at);
        if (end > value)
            out += "…";
        at = end;
    }
    // A log line, not a dump: cut at a character boundary.
    std::size_t limit = 2048;
    if (out.size() > limit) {
        while (limit > 0 && (static_cast<unsigned char>(out[limit]) & 0xC0) == 0x80)
            --limit;
        out.resize(limit);
        out += "…";
    }
    return out;
}

} // namespace velmora::web_panel

extern "C" __attribute__((visibility("default"))) QCef *velmora_web_panel_create(obs_module_t *provider)
{
    try {
        return new velmora::web_panel::Panel(provider);
    } catch (...) {
        return nullptr;
    }
}
