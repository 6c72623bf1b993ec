#pragma once

// The browser panel interface that OBS's browser module (obs-browser) publishes. The module never
// links against obs-browser; calls go through these vtables, so every virtual is declared in the
// order obs-browser declares it, with its parameter types. Trailing virtuals never called are left
// out.
#include <util/util.hpp>

#include <QWidget>

#include <functional>
#include <string>

class QCefCookieManager {
  public:
    virtual ~QCefCookieManager() {}
    virtual bool DeleteCookies(const std::string &url, const std::string &name) = 0;
    virtual bool SetStoragePath(const std::string &storage_path, bool persist_session_cookies = false) = 0;
    virtual bool FlushStore() = 0;
    virtual void CheckForCookie(const std::string &site, const std::string &cookie,
                                std::function<void(bool)> callback) = 0;
};

// obs-browser declares it with Q_OBJECT, which only overrides QObject's own virtuals: the new
// ones follow QWidget's.
class QCefWidget : public QWidget {
  protected:
    explicit QCefWidget(QWidget *parent) : QWidget(parent) {}

  public:
    virtual void setURL(const std::string &url) = 0;
    virtual void setStartupScript(const std::string &script) = 0;
    virtual void allowAllPopups(bool allow) = 0;
    virtual void closeBrowser() = 0;
};

class QCef {
  public:
    virtual ~QCef() {}
    virtual bool init_browser() = 0;
    virtual bool initialized() = 0;
    virtual bool wait_for_browser_init() = 0;
    virtual QCefWidget *create_widget(QWidget *parent, const std::string &url,
                                      QCefCookieManager *cookie_manager = nullptr) = 0;
    virtual QCefCookieManager *create_cookie_manager(const std::string &storage_path,
                                                     bool persist_session_cookies = false) = 0;
    virtual BPtr<char> get_cookie_path(const std::string &storage_path) = 0;
    virtual void add_popup_whitelist_url(const std::string &url, QObject *obj) = 0;
    virtual void add_force_popup_url(const std::string &url, QObject *obj) = 0;
};
