// Test-only OBS module. Built twice:
//  - as "obs-browser" (VELMORA_PANEL_PROVIDER): a stand-in for OBS's browser module, whose panel
//    interface logs every call it gets and shows the URL in a label, and which registers a
//    "browser_source" type that only keeps its settings (Debian's OBS has none, and drops sources
//    of unknown types when it loads a scene collection);
//  - as "velmora-probe": only the probe below.
// The probe reads commands from $HOME/stand-in-command (one word, deleted once read) and answers
// in OBS's log: "report" describes the Velmora dock, "close" closes it as its close button would,
// "tools" chooses Tools > Velmora, "record" and "stop-record" start and stop recording, and
// "answer-no" answers No to the question box OBS shows.
#include "dock/browser_panel.h"

#include <obs-frontend-api.h>
#include <obs-module.h>
#include <obs.hpp>

#include <QAction>
#include <QApplication>
#include <QDockWidget>
#include <QFile>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QShowEvent>
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

void report()
{
    auto *dock = main_window()->findChild<QDockWidget *>("velmora-obs-dock");
    if (!dock) {
        say("dock: none");
        return;
    }
    QStringList labels;
    for (QLabel *label : dock->findChildren<QLabel *>())
        if (label->isVisible() && !label->property("stand-in").toBool())
            labels << label->text().replace('\n', " | ");
    say(QString("dock: %1 %2 %3; labels: %4")
            .arg(dock->isVisible() ? "shown" : "hidden", dock->isFloating() ? "floating" : "docked",
                 main_window()->dockWidgetArea(dock) == Qt::RightDockWidgetArea ? "right" : "elsewhere",
                 labels.join(" || ")));
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
    else if (auto *dock = main_window()->findChild<QDockWidget *>("velmora-obs-dock");
             command == "close" && dock)
        dock->close();
    else if (auto *tools = main_window()->findChild<QMenu *>("menuTools"); command == "tools" && tools) {
        for (QAction *action : tools->actions())
            if (action->text() == "Velmora")
                action->trigger();
    } else if (command == "record")
        obs_frontend_recording_start();
    else if (command == "stop-record")
        obs_frontend_recording_stop();
    else if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
             command == "answer-no" && box && box->button(QMessageBox::No)) {
        say("answering No to: " + box->text().replace('\n', " "));
        box->button(QMessageBox::No)->click();
    }
}

void on_event(enum obs_frontend_event event, void *)
{
    if (event == OBS_FRONTEND_EVENT_FINISHED_LOADING) {
        auto *timer = new QTimer(main_window());
        QObject::connect(timer, &QTimer::timeout, run_command);
        timer->start(100);
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
    // Like the real runtime, not ready at once: the dock has to wait for it.
    bool init_browser() override
    {
        say("init_browser");
        return false;
    }
    bool initialized() override { return true; }
    bool wait_for_browser_init() override
    {
        say("wait_for_browser_init");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return true;
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
extern "C" MODULE_EXPORT QCef *obs_browser_create_qcef(void)
{
    return new StandInPanel();
}

extern "C" MODULE_EXPORT int obs_browser_qcef_version_export(void)
{
    return 3;
}
#endif

bool obs_module_load(void)
{
#ifdef VELMORA_PANEL_PROVIDER
    static obs_source_info info = browser_source_info();
    obs_register_source(&info);
#endif
    obs_frontend_add_event_callback(on_event, nullptr);
    return true;
}

void obs_module_unload(void)
{
    obs_frontend_remove_event_callback(on_event, nullptr);
}
