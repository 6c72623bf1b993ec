// The update check's state machine, the verifier and the updates folder, against the test update
// server and the signed test installers.
#include "bridge/events.h"
#include "platform/files.h"
#include "platform/program.h"
#include "platform/text.h"
#include "update/update_check.h"
#include "update/update_state.h"
#include "update/verification.h"
#include "../unit/log_capture.h"
#include "../unit/test_folder.h"
#include "fixture_files.h"
#include "update_servers.h"

#include <gtest/gtest.h>
#include <obs.hpp>

#include <atomic>
#include <chrono>
#include <mutex>
#include <filesystem>
#include <functional>
#include <thread>

using namespace velmora;
namespace fs = std::filesystem;

TEST(HeldFile, StartsTheBytesThatWereHeld)
{
    TestFolder folder;
    fs::copy_file("/usr/bin/touch", folder.file("installer"));
    platform::HeldFile held;
    ASSERT_TRUE(held.hold(wide(folder.file("installer")), std::uint64_t{200} * 1024 * 1024));
    std::string before = sha256_file(wide(folder.file("installer")), nullptr);
    // Whatever happens to the file now, the held copy stays as it was and cannot be written.
    folder.write("installer", "#!/bin/sh\nexit 1\n");
    EXPECT_EQ(sha256_file(held.readable_path(), nullptr), before);
    platform::File writer = platform::File::open_for_reading(held.readable_path());
    EXPECT_EQ(writer.write("x", 1), -1);

    std::string made = folder.file("made by the installer");
    EXPECT_EQ(platform::start_program(held, wide("\"" + made + "\"")), 0u);
    for (int i = 0; i < 100 && !fs::exists(made); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(fs::exists(made));
}

class UpdateCheck : public UpdateServerTest {
  protected:
    void SetUp() override
    {
        UpdateServerTest::SetUp();
        setenv("VELMORA_OBS_TEST_UPDATE_ORIGIN", server->origin().c_str(), 1);
        setenv("XDG_DATA_HOME", fs::path(data_home.file("")).parent_path().c_str(), 1);
        reset();
        set_event_outbox([this](const std::string &text) {
            OBSDataAutoRelease event = obs_data_create_from_json(text.c_str());
            events.push_back({obs_data_get_string(event, "phase"), obs_data_get_string(event, "message"),
                              static_cast<int>(obs_data_get_int(event, "progress"))});
            return std::size_t{1};
        });
        signed_digest = sha256_file(wide(fixture("installer-signed.exe")), &signed_size);
    }
    void TearDown() override { set_event_outbox(nullptr); }
    // Forgets the events and what an earlier check left in the update state.
    void reset()
    {
        events.clear();
        std::lock_guard lock(update_lock());
        update_state() = UpdateState{};
    }

    std::string installer_path()
    {
        return fs::path(data_home.file("")).parent_path() /
               "Velmora for OBS/updates/Velmora-for-OBS-1.0.2-Setup.exe";
    }
    std::string url_base() { return server->origin() + "/builds/velmora-obs-plugin/windows/"; }
    std::string download_url() { return url_base() + "setup.exe"; }

    // The service's answer for version 1.0.2 of the signed installer, changed by edit.
    std::string record(const std::function<void(obs_data_t *)> &edit = nullptr)
    {
        OBSDataAutoRelease answer = obs_data_create();
        obs_data_set_string(answer, "latestVersion", "1.0.2");
        obs_data_set_string(answer, "downloadUrl", download_url().c_str());
        obs_data_set_string(answer, "checksum", signed_digest.c_str());
        obs_data_set_string(answer, "releaseNotes", "Faster");
        obs_data_set_bool(answer, "isRequired", true);
        obs_data_set_string(answer, "fileSize", std::to_string(signed_size).c_str());
        if (edit)
            edit(answer);
        return obs_data_get_json(answer);
    }
    static std::function<void(obs_data_t *)> set(const char *key, const std::string &value)
    {
        return [=](obs_data_t *r) { obs_data_set_string(r, key, value.c_str()); };
    }
    // Routes: the check answers with check_route, the installer is served as file_route says.
    void serve(const std::string &check_route, const std::string &file_route = R"({"file": "FILE"})")
    {
        std::string file = file_route;
        if (auto at = file.find("FILE"); at != std::string::npos)
            file.replace(at, 4, fixture("installer-signed.exe"));
        server->set_routes(R"({"/api/v1/version/check": )" + check_route +
                           R"(, "/builds/velmora-obs-plugin/windows/setup.exe": )" + file + "}");
    }
    static std::string answer_with(const std::string &json)
    {
        OBSDataAutoRelease route = obs_data_create();
        obs_data_set_string(route, "body", json.c_str());
        return obs_data_get_json(route);
    }
    std::string last_phase() { return events.empty() ? "" : events.back().phase; }
    std::vector<std::string> phases()
    {
        std::vector<std::string> seen;
        for (auto &event : events)
            if (seen.empty() || seen.back() != event.phase)
                seen.push_back(event.phase);
        return seen;
    }

    struct Event {
        std::string phase, message;
        int progress;
    };
    std::vector<Event> events;
    TestFolder data_home;
    std::string signed_digest;
    std::uint64_t signed_size = 0;
};

TEST_F(UpdateCheck, AnswersThatOfferNothingToInstall)
{
    auto version = [&](const char *v) { return answer_with(record(set("latestVersion", v))); };
    const std::pair<std::string, const char *> cases[] = {
        {R"({"status": 500, "body": "{}"})", "idle"},
        {R"({"body": "<html>"})", "idle"},
        {answer_with(std::string(200, '[') + std::string(200, ']')), "idle"},
        {answer_with("[]"), "idle"}, // no record at all: not "up to date"
        {answer_with(" \n[" + record() + "]"), "idle"},
        {version("1.0.1"), "current"},
        {version("1.0.0"), "current"},
        {version("v1.0.2"), "current"},
        {version("1.0"), "current"},
        {version("1.0.2.3"), "current"},
        {version("1..2"), "current"},
        {version("1.0.4294967298"), "current"},
        {version(""), "current"}};
    for (const auto &[route, phase] : cases) {
        reset();
        serve(route);
        run_check();
        EXPECT_EQ(phases(), (std::vector<std::string>{"checking", phase})) << route;
    }
    setenv("VELMORA_OBS_TEST_UPDATE_ORIGIN", "http://127.0.0.1:1", 1); // no server at all
    reset();
    run_check();
    EXPECT_EQ(phases(), (std::vector<std::string>{"checking", "idle"}));
}

TEST_F(UpdateCheck, RefusesRecordsWeDoNotInstallFrom)
{
    std::string url = download_url();
    const std::pair<const char *, std::function<void(obs_data_t *)>> refused[] = {
        {"63 hex digits", set("checksum", signed_digest.substr(1))},
        {"65 hex digits", set("checksum", signed_digest + "0")},
        {"not hex", set("checksum", "g" + signed_digest.substr(1))},
        {"other host",
         set("downloadUrl", "https://evil.example/builds/velmora-obs-plugin/windows/setup.exe")},
        {"dot dot", set("downloadUrl", server->origin() + "/builds/velmora-obs-plugin/windows/../x.exe")},
        {"encoded dots", set("downloadUrl", url_base() + "%2e%2e/%2E%2e/other/evil.exe")},
        {"one encoded dot", set("downloadUrl", url_base() + ".%2e/x.exe")},
        {"tab", set("downloadUrl", url_base() + "a\tb.exe")},
        {"newline", set("downloadUrl", url_base() + "a\nb.exe")},
        {"unit separator", set("downloadUrl", url_base() + "a\x1f.exe")},
        {"space", set("downloadUrl", url + " x")},
        {"backslash", set("downloadUrl", url + "\\x")},
        {"quote", set("downloadUrl", url + "'")},
        {"size 0", set("fileSize", "0")},
        {"size missing", [](obs_data_t *r) { obs_data_erase(r, "fileSize"); }},
        {"size over 200 MiB", set("fileSize", "209715201")}};
    LogCapture log;
    for (auto &[name, edit] : refused) {
        reset();
        serve(answer_with(record(edit)));
        run_check();
        ASSERT_EQ(last_phase(), "failed") << name;
        EXPECT_EQ(events.back().message,
                  "The update didn't look right, so we skipped it. Download it from velmora.app instead.")
            << name;
    }
    EXPECT_EQ(log.count("[velmora] Update 1.0.2 refused: its record is not one we install from"),
              static_cast<int>(std::size(refused)));
    EXPECT_EQ(server->requests().find("setup.exe"), std::string::npos) << "nothing refused is downloaded";
}

// The flow, the log line and a quiet check while ready are shown in OBS itself.
TEST_F(UpdateCheck, DownloadsVerifiesAndReportsProgress)
{
    // An upper-case checksum and a size given as a JSON number are read; the body comes in pieces.
    serve(answer_with(record([&](obs_data_t *r) {
              std::string upper = signed_digest;
              for (char &c : upper)
                  c = static_cast<char>(std::toupper(c));
              obs_data_set_string(r, "checksum", upper.c_str());
              obs_data_erase(r, "fileSize");
              obs_data_set_int(r, "fileSize", static_cast<long long>(signed_size));
          })),
          R"({"file": "FILE", "chunkBytes": 1500, "chunkDelayMs": 2})");
    run_check();
    EXPECT_EQ(phases(), (std::vector<std::string>{"checking", "downloading", "ready"}));
    std::vector<int> reported;
    for (auto &event : events)
        if (event.phase == "downloading" && event.progress > 0)
            reported.push_back(event.progress);
    // Once per tens step, rising, ending at 100.
    ASSERT_GE(reported.size(), 5u);
    for (std::size_t i = 1; i < reported.size(); ++i)
        EXPECT_GT(reported[i] / 10, reported[i - 1] / 10);
    EXPECT_GE(reported.front(), 10);
    EXPECT_EQ(reported.back(), 100);
    UpdateState state = update_state_copy();
    EXPECT_EQ(state.checksum, signed_digest);
    EXPECT_TRUE(state.required);
    EXPECT_EQ(state.installer_path, wide(installer_path()));
    EXPECT_FALSE(fs::exists(installer_path() + ".part"));

    // A chunked body whose length header (which means nothing then) is far too small.
    reset();
    fs::remove(installer_path());
    serve(answer_with(record()), R"({"file": "FILE", "chunked": true, "length": 100, "chunkBytes": 4000})");
    run_check();
    EXPECT_EQ(last_phase(), "ready");
    for (auto &event : events)
        EXPECT_LE(event.progress, 100) << "clamped to what the dock can show";
}

TEST_F(UpdateCheck, DocksGetUpdateEventsInTheOrderTheStateChanged)
{
    // Answers to hello go out while a download reports its progress; a dock keeps the last event it
    // got, so an older one arriving late would stick.
    std::mutex lock;
    std::vector<std::pair<int, int>> seen; // phase rank, progress
    static thread_local bool answering_hello = false;
    set_event_outbox([&](const std::string &text) {
        OBSDataAutoRelease event = obs_data_create_from_json(text.c_str());
        std::string phase = obs_data_get_string(event, "phase");
        // A slow moment in the answers' sends, in which the download moves on.
        if (answering_hello)
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        std::lock_guard guard(lock);
        seen.emplace_back(phase == "checking"      ? 1
                          : phase == "downloading" ? 2
                          : phase == "ready"       ? 3
                                                   : 0,
                          static_cast<int>(obs_data_get_int(event, "progress")));
        return std::size_t{1};
    });
    serve(answer_with(record()), R"({"file": "FILE", "chunkBytes": 500, "chunkDelayMs": 1})");
    std::atomic<bool> done{false};
    std::thread hellos([&] {
        answering_hello = true;
        while (!done)
            broadcast_update();
    });
    run_check();
    done = true;
    hellos.join();
    std::lock_guard guard(lock);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), std::make_pair(3, 100));
    for (std::size_t i = 1; i < seen.size(); ++i)
        ASSERT_GE(seen[i], seen[i - 1]) << "event " << i << " went back";
}

TEST_F(UpdateCheck, FindsAnInstallerFromAnEarlierRun)
{
    fs::create_directories(fs::path(installer_path()).parent_path());
    fs::copy_file(fixture("installer-signed.exe"), installer_path());
    serve(answer_with(record()), R"({"status": 404})");
    run_check();
    EXPECT_EQ(phases(), (std::vector<std::string>{"checking", "ready"}));
    EXPECT_EQ(server->requests().find("setup.exe"), std::string::npos);
}

TEST_F(UpdateCheck, DeletesWhatItCannotKeep)
{
    std::string unsigned_digest = sha256_file(wide(fixture("installer-unsigned.exe")), nullptr);
    std::string unsigned_size = std::to_string(fs::file_size(fixture("installer-unsigned.exe")));
    const std::string failed = "[velmora] Update 1.0.2 download failed ";
    struct Case {
        std::function<void(obs_data_t *)> edit;
        std::string file_route;
        const char *phase, *message;
        std::string log;
    } cases[] = {
        {set("fileSize", std::to_string(signed_size + 1)), R"({"file": "FILE"})", "idle", "",
         failed + "(200, )"},
        {set("fileSize", std::to_string(signed_size - 1)), R"({"file": "FILE"})", "idle", "",
         failed + "(200, too big)"},
        {nullptr, R"({"status": 404})", "idle", "", failed + "(404, )"},
        {nullptr, R"({"file": "FILE", "sendBytes": 1000})", "idle", "", failed + "(200, connection dropped)"},
        {set("checksum", unsigned_digest), R"({"file": "FILE"})", "failed",
         "The update didn't download cleanly. We'll try again later.",
         "[velmora] Update 1.0.2 refused: the download does not match its record"},
        {[&](obs_data_t *r) {
             set("checksum", unsigned_digest)(r);
             set("fileSize", unsigned_size)(r);
         },
         R"({"file": ")" + fixture("installer-unsigned.exe") + R"("})", "failed",
         "The update isn't signed by Velmora, so we didn't keep it.",
         "[velmora] Update 1.0.2 refused: not trusted by Windows (0x800b0100)"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.log);
        reset();
        LogCapture log;
        serve(answer_with(record(c.edit)), c.file_route);
        run_check();
        EXPECT_EQ(last_phase(), c.phase);
        EXPECT_EQ(events.back().message, c.message);
        EXPECT_TRUE(log.contains(c.log));
        EXPECT_FALSE(fs::exists(installer_path()));
        EXPECT_FALSE(fs::exists(installer_path() + ".part"));
    }
}

TEST_F(UpdateCheck, SaysWhenItCannotSave)
{
    serve(answer_with(record()));
    // A folder where the partial download must go, then where the installer must go.
    for (const std::string &blocked : {installer_path() + ".part", installer_path()}) {
        reset();
        fs::create_directories(blocked + "/inside");
        run_check();
        EXPECT_EQ(last_phase(), "failed") << blocked;
        EXPECT_EQ(events.back().message,
                  "We couldn't save the update. Download it from velmora.app instead.");
        fs::remove_all(blocked);
    }
    reset(); // no application data folder at all
    const char *set_home = getenv("HOME");
    std::string home = set_home ? set_home : "";
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    run_check();
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(last_phase(), "failed");
    EXPECT_EQ(events.back().message,
              "There's no room to save the update. Download it from velmora.app instead.");
}
