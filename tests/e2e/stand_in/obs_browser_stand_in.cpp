// Test-only OBS module. Built twice:
//  - as "obs-browser" (VELMORA_PANEL_PROVIDER): a stand-in for OBS's browser module, whose panel
//    interface logs every call it gets and shows the URL in a label, and which registers a
//    "browser_source" type that only keeps its settings (Debian's OBS has none, and drops sources
//    of unknown types when it loads a scene collection);
//  - as "velmora-probe": only the probe below.
// The probe reads commands from $HOME/stand-in-command (one word, deleted once read) and answers
// in OBS's log: "report" describes the Velmora dock, "close" closes it as its close button would,
// "docks-menu" chooses Docks > Velmora, "move-left" docks it on the left, "tools" chooses Tools > Velmora,
// "record" and "stop-record" start and stop recording, "answer-no" declines the question OBS asks before
// closing, "defer-close" makes OBS put off its next close while an unrelated dialog comes and goes,
// "refuse-close" refuses the next close without a word, as another plug-in's close filter may,
// "stream-button" tells what OBS's own stream button says, "dialogs" names the message boxes OBS
// shows and closes them, and "failing-service" makes OBS's stream service one whose output cannot start
// (its initialize refuses), as a broken service plug-in's would.
#include "dock/browser_panel.h"

#include <obs-config.h>
#include <obs-frontend-api.h>
#include <obs-module.h>
#include <obs.hpp>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDockWidget>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
#include <QEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <thread>

OBS_DECLARE_MODULE()

namespace {

void say(const QString &text)
{
    blog(LOG_INFO, "[stand-in] %s", text.toUtf8().constData());
}

QMainWindow *main_window()
{
    return static_cast<QMainWindow *>(obs_frontend_get_main_window());
}

QDockWidget *velmora_dock()
{
    return main_window()->findChild<QDockWidget *>("velmora-obs-dock");
}

QString area_name(Qt::DockWidgetArea area)
{
    return area == Qt::RightDockWidgetArea ? "right" : area == Qt::LeftDockWidgetArea ? "left" : "elsewhere";
}

// The Docks menu's entry for the Velmora dock.
QAction *docks_menu_entry()
{
    auto *menu = main_window()->findChild<QMenu *>("menuDocks");
    for (QAction *action : menu ? menu->actions() : QList<QAction *>())
        if (action->text().remove('&') == "Velmora")
            return action;
    return nullptr;
}

void report()
{
    auto *dock = velmora_dock();
    if (!dock) {
        say("dock: none");
        return;
    }
    QStringList labels;
    for (QLabel *label : dock->findChildren<QLabel *>())
        if (label->isVisible() && !label->property("stand-in").toBool())
            labels << label->text().replace('\n', " | ");
    QAction *entry = docks_menu_entry();
    say(QString("dock: %1 %2 %3; labels: %4; docks menu: %5")
            .arg(dock->isVisible() ? "shown" : "hidden", dock->isFloating() ? "floating" : "docked",
                 area_name(main_window()->dockWidgetArea(dock)), labels.join(" || "),
                 !entry               ? "none"
                 : entry->isChecked() ? "checked"
                                      : "unchecked"));
}

// The question OBS asks before closing with active outputs: Yes/No on OBS 29, OK/Cancel on OBS 32.
void answer_no()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (!box || !box->isVisible())
            continue;
        for (QAbstractButton *button : box->buttons()) {
            QMessageBox::ButtonRole role = box->buttonRole(button);
            if (role == QMessageBox::NoRole || role == QMessageBox::RejectRole) {
                say("answering No to: " + box->text().replace('\n', " "));
                button->click();
                return;
            }
        }
    }
    say("no question to answer");
}

// A dialog that has nothing to do with closing, shown for 400 ms.
void show_unrelated_dialog()
{
    auto *dialog = new QDialog(main_window());
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    say("unrelated dialog shown");
    QTimer::singleShot(400, dialog, [dialog] {
        say("unrelated dialog closed");
        dialog->close();
    });
}

// Refuses OBS's next close; deferred, it closes again 2 s later, as OBS itself does while a nested
// event loop runs, and an unrelated dialog comes and goes meanwhile.
class CloseFilter : public QObject {
  public:
    explicit CloseFilter(bool deferred) : deferred(deferred) {}

  protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::Close)
            return false;
        main_window()->removeEventFilter(this);
        deleteLater();
        event->ignore();
        if (!deferred) {
            say("close refused");
            return true;
        }
        say("close put off");
        QTimer::singleShot(300, main_window(), show_unrelated_dialog);
        QTimer::singleShot(2000, main_window(), [] {
            say("closing again");
            main_window()->close();
        });
        return true;
    }

  private:
    bool deferred;
};

// OBS's own Start Streaming button: its words and whether it can be pressed.
void report_stream_button()
{
    auto *button = main_window()->findChild<QAbstractButton *>("streamButton");
    say(button ? QString("stream button: %1 (%2)")
                     .arg(button->text().remove('&'), button->isEnabled() ? "enabled" : "disabled")
               : QString("stream button: none"));
}

// The message boxes OBS shows (a failed start, say), each closed once named.
void report_dialogs()
{
    QStringList texts;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (!box || !box->isVisible())
            continue;
        texts << box->text().replace('\n', ' ');
        box->done(QMessageBox::Ok);
    }
    say("dialogs: " + (texts.isEmpty() ? QString("none") : texts.join(" || ")));
}

#ifndef VELMORA_PANEL_PROVIDER
// A stream service that refuses to let an output start.
obs_service_info failing_service_info()
{
    obs_service_info info{};
    info.id = "velmora_probe_failing";
    info.get_name = [](void *) { return "Failing (probe)"; };
    info.create = [](obs_data_t *, obs_service_t *) -> void * { return new int(0); };
    info.destroy = [](void *data) { delete static_cast<int *>(data); };
    info.initialize = [](void *, obs_output_t *) { return false; };
#if LIBOBS_API_MAJOR_VER >= 30
    info.get_protocol = [](void *) { return "RTMP"; };
    info.get_connect_info = [](void *, uint32_t type) -> const char * {
        return type == OBS_SERVICE_CONNECT_INFO_SERVER_URL ? "rtmp://127.0.0.1:9/probe" : "probe";
    };
#else
    info.get_url = [](void *) { return "rtmp://127.0.0.1:9/probe"; };
    info.get_key = [](void *) { return "probe"; };
#endif
    return info;
}
#endif

void use_failing_service()
{
    OBSServiceAutoRelease service =
        obs_service_create("velmora_probe_failing", "probe service", nullptr, nullptr);
    if (service)
        obs_frontend_set_streaming_service(service);
    say(service ? "failing service in use" : "no failing service");
}

void run_command()
{
    QFile file(QString(qgetenv("HOME")) + "/stand-in-command");
    if (!file.open(QIODevice::ReadOnly))
        return;
    QString command = QString::fromUtf8(file.readAll()).trimmed();
    file.remove();
    say("command " + command);
    if (command == "report")
        report();
    else if (auto *dock = velmora_dock(); command == "close" && dock)
        dock->close();
    else if (QAction *entry = docks_menu_entry(); command == "docks-menu" && entry)
        entry->trigger();
    else if (command == "move-left" && dock) {
        dock->setFloating(false);
        main_window()->addDockWidget(Qt::LeftDockWidgetArea, dock);
    } else if (auto *tools = main_window()->findChild<QMenu *>("menuTools"); command == "tools" && tools) {
        for (QAction *action : tools->actions())
            if (action->text() == "Velmora")
                action->trigger();
    } else if (command == "record")
        obs_frontend_recording_start();
    else if (command == "stop-record")
        obs_frontend_recording_stop();
    else if (command == "answer-no")
        answer_no();
    else if (command == "failing-service")
        use_failing_service();
    else if (command == "stream-button")
        report_stream_button();
    else if (command == "dialogs")
        report_dialogs();
    else if (command == "defer-close" || command == "refuse-close")
        main_window()->installEventFilter(new CloseFilter(command == "defer-close"));
}

void on_event(enum obs_frontend_event event, void *)
{
    if (event == OBS_FRONTEND_EVENT_FINISHED_LOADING) {
        if (QDockWidget *dock = velmora_dock())
            QObject::connect(dock, &QObject::destroyed, [] { say("dock destroyed"); });
        auto *timer = new QTimer(main_window());
        QObject::connect(timer, &QTimer::timeout, run_command);
        timer->start(100);
    } else if (event == OBS_FRONTEND_EVENT_EXIT) {
        obs_frontend_remove_event_callback(on_event, nullptr);
    }
}

#ifdef VELMORA_PANEL_PROVIDER
class StandInCookies : public QCefCookieManager {
  public:
    ~StandInCookies() override { say("cookie manager deleted"); }
    bool DeleteCookies(const std::string &, const std::string &) override { return true; }
    bool SetStoragePath(const std::string &, bool) override { return true; }
    bool FlushStore() override
    {
        say("FlushStore");
        return true;
    }
    void CheckForCookie(const std::string &, const std::string &, std::function<void(bool)>) override {}
};

class StandInWidget : public QCefWidget {
  public:
    StandInWidget(QWidget *parent, const std::string &url) : QCefWidget(parent)
    {
        auto *label = new QLabel(QString::fromStdString(url), this);
        label->setProperty("stand-in", true);
        (new QVBoxLayout(this))->addWidget(label);
    }
    ~StandInWidget() override { say("widget deleted"); }
    void setURL(const std::string &) override {}
    void setStartupScript(const std::string &) override {}
    void allowAllPopups(bool) override {}
    void closeBrowser() override { say("closeBrowser"); }

  protected:
    void showEvent(QShowEvent *event) override
    {
        QCefWidget::showEvent(event);
        say("widget shown");
    }
};

class StandInPanel : public QCef {
  public:
    ~StandInPanel() override { say("QCef deleted"); }
    // Like the real runtime, not ready at once: ready 300 ms after it was started.
    bool init_browser() override
    {
        say("init_browser");
        started = std::chrono::steady_clock::now();
        return false;
    }
    bool initialized() override
    {
        if (never_starts())
            return false;
        bool ready = std::chrono::steady_clock::now() - started >= std::chrono::milliseconds(300);
        if (ready && !said_ready)
            say("initialized");
        said_ready = said_ready || ready;
        return ready;
    }
    bool wait_for_browser_init() override
    {
        say("wait_for_browser_init");
        std::this_thread::sleep_until(started + std::chrono::milliseconds(never_starts() ? 60000 : 300));
        return !never_starts();
    }
    QCefWidget *create_widget(QWidget *parent, const std::string &url, QCefCookieManager *) override
    {
        say("create_widget " + QString::fromStdString(url));
        return new StandInWidget(parent, url);
    }
    QCefCookieManager *create_cookie_manager(const std::string &path, bool persist) override
    {
        say(QString("create_cookie_manager %1 %2").arg(QString::fromStdString(path)).arg(persist));
        return new StandInCookies();
    }
    BPtr<char> get_cookie_path(const std::string &) override { return nullptr; }
    void add_popup_whitelist_url(const std::string &, QObject *) override {}
    void add_force_popup_url(const std::string &, QObject *) override {}

  private:
    // VELMORA_STAND_IN_RUNTIME=never: a runtime that never comes up.
    static bool never_starts() { return qgetenv("VELMORA_STAND_IN_RUNTIME") == "never"; }

    std::chrono::steady_clock::time_point started;
    bool said_ready = false;
};

// A browser source that only keeps its settings.
obs_source_info browser_source_info()
{
    obs_source_info info{};
    info.id = "browser_source";
    info.type = OBS_SOURCE_TYPE_INPUT;
    info.output_flags = OBS_SOURCE_VIDEO;
    info.get_name = [](void *) { return "Browser (stand-in)"; };
    info.create = [](obs_data_t *, obs_source_t *source) -> void * { return source; };
    info.destroy = [](void *) {};
    info.get_width = [](void *data) {
        OBSDataAutoRelease settings = obs_source_get_settings(static_cast<obs_source_t *>(data));
        return static_cast<uint32_t>(obs_data_get_int(settings, "width"));
    };
    info.get_height = [](void *data) {
        OBSDataAutoRelease settings = obs_source_get_settings(static_cast<obs_source_t *>(data));
        return static_cast<uint32_t>(obs_data_get_int(settings, "height"));
    };
    info.video_render = [](void *, gs_effect_t *) {};
    return info;
}
#endif

} // namespace

#ifdef VELMORA_PANEL_PROVIDER
// VELMORA_STAND_IN_PANEL=none: browser sources but no panels, so the dock takes the next provider.
MODULE_EXPORT QCef *obs_browser_create_qcef(void)
{
    return qgetenv("VELMORA_STAND_IN_PANEL") == "none" ? nullptr : new StandInPanel();
}

MODULE_EXPORT int obs_browser_qcef_version_export(void)
{
    return 3;
}
#endif

bool obs_module_load(void)
{
#ifdef VELMORA_PANEL_PROVIDER
    static obs_source_info info = browser_source_info();
    obs_register_source(&info);
#else
    static obs_service_info failing = failing_service_info();
    obs_register_service(&failing);
#endif
    obs_frontend_add_event_callback(on_event, nullptr);
    return true;
}
