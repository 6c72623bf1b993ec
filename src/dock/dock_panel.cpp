#include "dock/dock_panel.h"

#include "dock/browser_panel.h"
#include "core/build_constants.h"
#include "core/guard.h"
#include "core/log.h"
#include "core/page_language.h"
#include "core/settings.h"
#include "core/timer_end.h"
#include "server/local_server.h"

#include <obs-frontend-api.h>
#include <obs-module.h>
#include <util/platform.h>

#include <QAction>
#include <QCoreApplication>
#include <QDockWidget>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

namespace velmora {

namespace {

constexpr const char *dock_id = "velmora-obs-dock";
// How often a browser runtime that is still starting is asked whether it is ready.
constexpr int runtime_poll_ms = 100;

QPointer<QWidget> container;
QPointer<QLabel> placeholder;
std::string no_browser_words;
QPointer<QCefWidget> browser;
QCefCookieManager *cookie_manager = nullptr;
QCef *browser_interface = nullptr;
bool exiting = false;
// Asks a starting browser runtime whether it is ready, on the main thread, until it is or OBS exits.
QTimer *runtime_poll = nullptr;

QMainWindow *main_window()
{
    return static_cast<QMainWindow *>(obs_frontend_get_main_window());
}

// OBS's own browser module first; the module's Qt WebEngine panel where OBS ships without one.
constexpr const char *panel_providers[] = {"obs-browser", "velmora-web-panel"};

void *provider_function(const char *provider, const char *name)
{
    obs_module_t *module = obs_get_module(provider);
    void *library = module ? obs_get_module_lib(module) : nullptr;
    return library ? os_dlsym(library, name) : nullptr;
}

// The first provider that gives an interface, and its name.
std::pair<QCef *, const char *> create_browser_interface()
{
    for (const char *provider : panel_providers) {
        auto create = reinterpret_cast<QCef *(*)()>(provider_function(provider, "obs_browser_create_qcef"));
        if (QCef *made = create ? create() : nullptr)
            return {made, provider};
    }
    return {nullptr, nullptr};
}

bool register_dock(QWidget *widget, const char *title)
{
#if LIBOBS_API_MAJOR_VER >= 30
    return obs_frontend_add_dock_by_id(dock_id, title, widget);
#else
    // This SDK has no docks by id: the dock widget is ours, hidden until shown, and one of that name
    // means a second copy. It starts docked: a floating one costs a window of its own, some 50 ms
    // of OBS's start.
    QMainWindow *window = main_window();
    if (!window || window->findChild<QDockWidget *>(dock_id))
        return false;
    auto *dock = new QDockWidget(window);
    dock->setObjectName(dock_id);
    dock->setWindowTitle(QString::fromUtf8(title));
    dock->setWidget(widget);
    obs_frontend_add_dock(dock);
    window->addDockWidget(Qt::RightDockWidgetArea, dock);
    dock->hide();
    return true;
#endif
}

void on_dock_toggled(bool checked)
{
    // Docks hidden while OBS shuts down, or while its window is hidden, are not the user's choice.
    if (exiting || QCoreApplication::closingDown())
        return;
    if (QMainWindow *window = main_window(); window && window->isVisible())
        Settings::instance().set_dock_closed(!checked);
}

void show_no_browser()
{
    if (placeholder) {
        placeholder->setText(QString::fromStdString(no_browser_words).arg(constants::obs_site_host));
    }
    VELMORA_LOG(LOG_WARNING, "obs-browser is not available; the dock cannot load");
}

// The second half of attaching, once the browser runtime is up; main thread.
void finish_attach(const std::string &url)
{
    if (exiting || !container || !browser_interface)
        return;
    cookie_manager = browser_interface->create_cookie_manager("velmora_obs_plugin", true);
    browser = browser_interface->create_widget(container, url, cookie_manager);
    if (!browser) {
        VELMORA_LOG(LOG_WARNING, "The dock's browser could not be created");
        return;
    }
    if (placeholder) {
        placeholder->hide();
        placeholder->deleteLater();
    }
    container->layout()->addWidget(browser);

    QDockWidget *dock = dock_find();
    if (!dock)
        return;
    // OBS 30 and later keep a new dock floating and hidden until they restore its place, and they
    // restore none for a dock that was closed: it goes on the right, for whenever it is shown.
    if (dock->isHidden() && dock->isFloating()) {
        dock->setFloating(false);
        main_window()->addDockWidget(Qt::RightDockWidgetArea, dock);
        dock->hide();
    }
    if (dock->isHidden() && !Settings::instance().dock_closed()) {
        dock->show();
        dock->raise();
        VELMORA_LOG(LOG_INFO, "Opened the Velmora dock");
    }
    QAction *toggle = dock->toggleViewAction();
    QObject::connect(toggle, &QAction::toggled, toggle, on_dock_toggled, Qt::DirectConnection);
}

} // namespace

std::string dock_url()
{
    LocalServer &server = local_server();
    return server.origin() + "/dock/" + page_language_query() + "#t=" + server.bridge_token;
}

void dock_init(const DockWords &words)
{
    auto *widget = new QWidget();
    widget->setMinimumSize(300, 420);
    auto *layout = new QVBoxLayout(widget);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    no_browser_words = words.no_browser;
    auto *label = new QLabel(QString::fromStdString(words.waiting));
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setStyleSheet(
        "QLabel { background:#17122b; color:#fff8e8; font-size:14px; font-weight:600; padding:24px; }");
    layout->addWidget(label);
    if (!register_dock(widget, words.title.c_str())) {
        VELMORA_LOG(LOG_WARNING,
                    "The Velmora dock could not be added (another copy of the plugin installed?)");
        delete widget;
        return;
    }
    container = widget;
    placeholder = label;
}

void dock_attach_browser(const std::string &url)
{
    if (!container)
        return;
    auto [made, provider] = create_browser_interface();
    browser_interface = made;
    if (!browser_interface) {
        show_no_browser();
        return;
    }
    auto version =
        reinterpret_cast<int (*)()>(provider_function(provider, "obs_browser_qcef_version_export"));
    VELMORA_LOG(LOG_INFO, "Browser panels from %s", provider);
    VELMORA_LOG(LOG_INFO, "Browser panel interface version %d", version ? version() : 0);
    if (browser_interface->init_browser()) {
        finish_attach(url);
        return;
    }
    // The runtime is still starting. Waiting for it here would freeze OBS's window, for good if it
    // never comes; a thread waiting for it could outlive the module. Ask it again at each tick.
    end_timer(runtime_poll);
    runtime_poll = new QTimer();
    QObject::connect(runtime_poll, &QTimer::timeout, [url] {
        run_guarded("Attaching the dock's browser", [&url] {
            if (exiting || !browser_interface || !browser_interface->initialized())
                return;
            runtime_poll->stop();
            finish_attach(url);
        });
    });
    runtime_poll->start(runtime_poll_ms);
}

QDockWidget *dock_find()
{
    QMainWindow *window = main_window();
    return window ? window->findChild<QDockWidget *>(QString::fromLatin1(dock_id)) : nullptr;
}

bool dock_show()
{
    QDockWidget *dock = dock_find();
    if (!dock)
        return false;
    dock->show();
    dock->raise();
    if (dock->isFloating())
        dock->activateWindow();
    return true;
}

void dock_close_browser()
{
    exiting = true;
    end_timer(runtime_poll);
    if (QCefWidget *widget = browser) {
        browser = nullptr;
        widget->closeBrowser();
        delete widget;
    }
    if (cookie_manager) {
        cookie_manager->FlushStore();
        delete cookie_manager;
        cookie_manager = nullptr;
    }
    delete browser_interface;
    browser_interface = nullptr;
#if LIBOBS_API_MAJOR_VER >= 30
    // The dock's place is saved before EXIT; the dock itself goes once, with the frontend still here.
    if (container)
        obs_frontend_remove_dock(dock_id);
#endif
    container = nullptr;
}

} // namespace velmora
