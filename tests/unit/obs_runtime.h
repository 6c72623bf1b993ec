#pragma once

// A real libobs core for tests that need OBS objects (services, the task queue) without OBS's
// window: started once per test process, with the stock rtmp-services module loaded. It needs an
// X display on Linux; the test command runs CTest under xvfb-run.
#include "test_folder.h"

#include <obs-module.h>
#include <obs.h>

#include <QCoreApplication>

#include <mutex>
#include <vector>

class ObsRuntime {
  public:
    static ObsRuntime &instance()
    {
        static ObsRuntime runtime;
        return runtime;
    }
    bool started() const { return started_; }

    // Runs the UI tasks queued so far, as OBS's main thread would; returns how many.
    int run_ui_tasks()
    {
        std::vector<std::pair<obs_task_t, void *>> tasks;
        {
            std::lock_guard guard(lock);
            tasks.swap(queued);
        }
        for (auto &[task, param] : tasks)
            task(param);
        return static_cast<int>(tasks.size());
    }

    std::size_t queued_tasks()
    {
        std::lock_guard guard(lock);
        return queued.size();
    }

  private:
    ObsRuntime()
    {
        if (!QCoreApplication::instance()) // the bridge's timer needs Qt's event dispatcher
            new QCoreApplication(argc, argv);
        folder.write("rtmp-services", ""); // a file where it caches: no online update
        started_ = obs_startup("en-US", folder.file("").c_str(), nullptr);
        if (!started_)
            return;
        obs_set_ui_task_handler(&ObsRuntime::queue_task);
        obs_module_t *module = nullptr;
        if (obs_open_module(&module, "/usr/lib/x86_64-linux-gnu/obs-plugins/rtmp-services.so",
                            "/usr/share/obs/obs-plugins/rtmp-services") == MODULE_SUCCESS)
            obs_init_module(module);
    }
    ~ObsRuntime()
    {
        if (started_)
            obs_shutdown();
    }
    // Tasks may be queued while the runtime is still being built, so the queue is static.
    static void queue_task(obs_task_t task, void *param, bool)
    {
        std::lock_guard guard(lock);
        queued.emplace_back(task, param);
    }

    TestFolder folder;
    bool started_ = false;
    int argc = 1;
    char name[16] = "velmora-tests";
    char *argv[2] = {name, nullptr};
    static inline std::mutex lock;
    static inline std::vector<std::pair<obs_task_t, void *>> queued;
};
