// The update check's state machine, the verifier and the updates folder, against the test update
// server and the signed test installers.
#include "bridge/events.h"
#include "platform/files.h"
#include "platform/program.h"
#include "platform/text.h"
#include "update/installer_handoff.h"
#include "update/update_check.h"
#include "update/update_state.h"
#include "update/verification.h"
#include "../unit/log_capture.h"
#include "../unit/test_folder.h"
#include "update_server_process.h"

#include <gtest/gtest.h>
#include <obs.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

using namespace velmora;
namespace fs = std::filesystem;

namespace {

std::string fixture(const std::string &name)
{
    return std::string(VELMORA_TEST_FIXTURES) + "/" + name;
}

std::u16string wide(const std::string &text)
{
    return platform::utf8_to_utf16(text);
}

} // namespace

TEST(Verification, TellsWhySignaturesAreRefused)
{
    struct Case {
        const char *file;
        const char *reason; // empty: accepted
    } cases[] = {
        {"installer-signed.exe", ""},
        {"installer-other.exe", "signed by someone else (Someone Else Ltd)"},
        {"installer-lowercase.exe", "signed by someone else (velmora test publisher)"},
        {"installer-unsigned.exe", "not trusted by Windows (0x800b0100)"},
        {"installer-modified.exe", "not trusted by Windows (0x80096010)"},
        {"installer-stranger.exe", "not trusted by Windows (0x800b0109)"},
        {"installer-server-usage.exe", "not trusted by Windows (0x800b0110)"},
        {"trust-root.pem", "not trusted by Windows (0x800b0003)"},
        {"missing.exe", "not trusted by Windows (0x80092003)"},
    };
    for (const Case &c : cases) {
        std::string reason = "untouched";
        bool accepted = check_installer_signature(wide(fixture(c.file)), reason);
        EXPECT_EQ(accepted, *c.reason == '\0') << c.file;
        EXPECT_EQ(reason, *c.reason ? c.reason : "untouched") << c.file;
    }
}

TEST(Verification, DigestsWholeFiles)
{
    TestFolder folder;
    folder.write("empty", "");
    std::uint64_t bytes = 99;
    EXPECT_EQ(sha256_file(wide(folder.file("empty")), &bytes),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(bytes, 0u);
    bytes = 99;
    EXPECT_EQ(sha256_file(wide(folder.file("missing")), &bytes), "");
    EXPECT_EQ(bytes, 99u);
    EXPECT_EQ(sha256_file(wide(folder.file("")), &bytes), ""); // a folder cannot be read as a file
}

TEST(UpdatesFolder, CleanUpDeletesOnlyStaleDownloads)
{
    TestFolder folder;
    struct Case {
        const char *name;
        bool kept;
    } cases[] = {
        {"Velmora-for-OBS-1.0.1-Setup.exe", false}, {"Velmora-for-OBS-1.0.0-Setup.exe", false},
        {"Velmora-for-OBS-0.9.99-Setup.exe", false}, {"Velmora-for-OBS-1.0.2-Setup.exe.part", false},
        {"x.part", false},                           {"Velmora-for-OBS-1.0.2-Setup.exe", true},
        {"Velmora-for-OBS-1.0.10-Setup.exe", true},  {"install-1.0.2.log", true},
        {"Velmora-for-OBS--Setup.exe", true},        {"Velmora-for-OBS-1.0.4294967298-Setup.exe", false},
        {".part", true},                             {"notes.txt", true},
    };
    for (const Case &c : cases)
        folder.write(c.name, "x");
    clean_updates_folder(wide(folder.file("")));
    for (const Case &c : cases)
        EXPECT_EQ(folder.exists(c.name), c.kept) << c.name;
}

TEST(HeldFile, StartsTheBytesThatWereHeld)
{
    TestFolder folder;
    fs::copy_file("/usr/bin/touch", folder.file("installer"));
    platform::HeldFile held;
    ASSERT_TRUE(held.hold(wide(folder.file("installer")), 200 * 1024 * 1024));
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

TEST(InstallerCommandLine, LogsBesideTheInstallerAndRestartsOnlyWhenAsked)
{
    EXPECT_EQ(platform::utf16_to_utf8(installer_command_line(u"/d/updates", "1.0.2", u"")),
              "/SILENT /SUPPRESSMSGBOXES /NORESTART /SP- /VELMORAUPDATE /LOG=\"/d/updates/install-1.0.2.log\"");
    EXPECT_EQ(platform::utf16_to_utf8(installer_command_line(u"/d/updates", "1.0.2", u"/usr/bin/obs")),
              "/SILENT /SUPPRESSMSGBOXES /NORESTART /SP- /VELMORAUPDATE /LOG=\"/d/updates/install-1.0.2.log\" "
              "/RESTARTOBS=\"/usr/bin/obs\"");
}

class UpdateCheck : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { server = new UpdateServerProcess(); }
    static void TearDownTestSuite() { delete server; }

    void SetUp() override
    {
        ASSERT_NE(server->port(), 0);
        setenv("VELMORA_OBS_TEST_UPDATE_ORIGIN", server->origin().c_str(), 1);
        setenv("XDG_DATA_HOME", fs::path(data_home.file("")).parent_path().c_str(), 1);
        {
            std::lock_guard lock(update_lock());
            update_state() = UpdateState{};
        }
        set_event_outbox([this](const std::string &text) {
            OBSDataAutoRelease event = obs_data_create_from_json(text.c_str());
            events.push_back({obs_data_get_string(event, "phase"), obs_data_get_string(event, "message"),
                              static_cast<int>(obs_data_get_int(event, "progress"))});
            return std::size_t{1};
        });
        signed_digest = sha256_file(wide(fixture("installer-signed.exe")), &signed_size);
    }
    void TearDown() override { set_event_outbox(nullptr); }

    std::string installer_path(const std::string &version = "1.0.2")
    {
        return fs::path(data_home.file("")).parent_path() / ("Velmora for OBS/updates/Velmora-for-OBS-" + version + "-Setup.exe");
    }
    std::string download_url() { return server->origin() + "/builds/velmora-obs-plugin/windows/setup.exe"; }

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
    static inline UpdateServerProcess *server = nullptr;
};

TEST_F(UpdateCheck, AnswersThatOfferNothingToInstall)
{
    struct Case {
        const char *name;
        std::string route;
        const char *phase;
    } cases[] = {
        {"not found", R"({"status": 404})", "current"},
        {"server error", R"({"status": 500, "body": "{}"})", "idle"},
        {"not JSON", R"({"body": "<html>"})", "idle"},
        {"nested too deep", answer_with(std::string(200, '[') + std::string(200, ']')), "idle"},
        {"same version", answer_with(record([](obs_data_t *r) { obs_data_set_string(r, "latestVersion", "1.0.1"); })),
         "current"},
        {"older", answer_with(record([](obs_data_t *r) { obs_data_set_string(r, "latestVersion", "1.0.0"); })),
         "current"},
    };
    std::vector<std::string> malformed = {"v1.0.2", "1.0", "1.0.2.3", "1..2", "1.0.4294967298", ""};
    for (const Case &c : cases) {
        events.clear();
        serve(c.route);
        run_check();
        EXPECT_EQ(phases(), (std::vector<std::string>{"checking", c.phase})) << c.name;
    }
    for (const std::string &version : malformed) {
        events.clear();
        serve(answer_with(record([&](obs_data_t *r) { obs_data_set_string(r, "latestVersion", version.c_str()); })));
        run_check();
        EXPECT_EQ(last_phase(), "current") << version;
    }
    // No server at all.
    setenv("VELMORA_OBS_TEST_UPDATE_ORIGIN", "http://127.0.0.1:1", 1);
    events.clear();
    run_check();
    EXPECT_EQ(phases(), (std::vector<std::string>{"checking", "idle"}));
}

TEST_F(UpdateCheck, RefusesRecordsWeDoNotInstallFrom)
{
    using Edit = std::function<void(obs_data_t *)>;
    auto text = [](const char *key, std::string value) -> Edit {
        return [=](obs_data_t *r) { obs_data_set_string(r, key, value.c_str()); };
    };
    std::string url = download_url();
    std::vector<std::pair<const char *, Edit>> refused = {
        {"63 hex digits", text("checksum", signed_digest.substr(1))},
        {"65 hex digits", text("checksum", signed_digest + "0")},
        {"not hex", text("checksum", "g" + signed_digest.substr(1))},
        {"other host", text("downloadUrl", "https://evil.example/builds/velmora-obs-plugin/windows/setup.exe")},
        {"dot dot", text("downloadUrl", server->origin() + "/builds/velmora-obs-plugin/windows/../x.exe")},
        {"space", text("downloadUrl", url + " x")},
        {"backslash", text("downloadUrl", url + "\\x")},
        {"quote", text("downloadUrl", url + "'")},
        {"size 0", text("fileSize", "0")},
        {"size missing", [](obs_data_t *r) { obs_data_erase(r, "fileSize"); }},
        {"size over 200 MiB", text("fileSize", "209715201")},
    };
    LogCapture log;
    for (auto &[name, edit] : refused) {
        events.clear();
        serve(answer_with(record(edit)));
        run_check();
        ASSERT_FALSE(events.empty()) << name;
        EXPECT_EQ(events.back().phase, "failed") << name;
        EXPECT_EQ(events.back().message,
                  "The update didn't look right, so we skipped it. Download it from velmora.app instead.")
            << name;
    }
    EXPECT_EQ(log.count("[velmora] Update 1.0.2 refused: its record is not one we install from"),
              static_cast<int>(refused.size()));
    EXPECT_EQ(server->requests().find("setup.exe"), std::string::npos) << "nothing refused is downloaded";
}

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
    LogCapture log;
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
    EXPECT_TRUE(log.contains("[velmora] Update 1.0.2 downloaded and verified; it installs when OBS closes"));
    UpdateState state = update_state_copy();
    EXPECT_EQ(state.checksum, signed_digest);
    EXPECT_EQ(state.notes, "Faster");
    EXPECT_TRUE(state.required);
    EXPECT_EQ(state.installer_path, wide(installer_path()));
    EXPECT_FALSE(fs::exists(installer_path() + ".part"));

    // While ready, a check does nothing and says nothing.
    events.clear();
    run_check();
    EXPECT_TRUE(events.empty());
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
    std::uint64_t unsigned_size = fs::file_size(fixture("installer-unsigned.exe"));
    struct Case {
        const char *name;
        std::function<void(obs_data_t *)> edit;
        std::string file_route;
        const char *phase, *message, *log;
    } cases[] = {
        {"fewer bytes than announced",
         [&](obs_data_t *r) { obs_data_set_string(r, "fileSize", std::to_string(signed_size + 1).c_str()); }, "",
         "idle", "", "[velmora] Update 1.0.2 download failed (200, )"},
        {"more bytes than announced",
         [&](obs_data_t *r) { obs_data_set_string(r, "fileSize", std::to_string(signed_size - 1).c_str()); }, "",
         "idle", "", "[velmora] Update 1.0.2 download failed (200, too big)"},
        {"not found", nullptr, R"({"status": 404})", "idle", "", "[velmora] Update 1.0.2 download failed (404, )"},
        {"dropped", nullptr, R"({"file": "FILE", "sendBytes": 1000})", "idle", "",
         "[velmora] Update 1.0.2 download failed (200, connection dropped)"},
        {"other digest", [&](obs_data_t *r) { obs_data_set_string(r, "checksum", unsigned_digest.c_str()); }, "",
         "failed", "The update didn't download cleanly. We'll try again later.",
         "[velmora] Update 1.0.2 refused: the download does not match its record"},
        {"unsigned",
         [&](obs_data_t *r) {
             obs_data_set_string(r, "checksum", unsigned_digest.c_str());
             obs_data_set_string(r, "fileSize", std::to_string(unsigned_size).c_str());
         },
         R"({"file": ")" + fixture("installer-unsigned.exe") + R"("})", "failed",
         "The update isn't signed by Velmora, so we didn't keep it.",
         "[velmora] Update 1.0.2 refused: not trusted by Windows (0x800b0100)"},
    };
    for (const Case &c : cases) {
        events.clear();
        {
            std::lock_guard lock(update_lock());
            update_state() = UpdateState{};
        }
        LogCapture log;
        if (c.file_route.empty())
            serve(answer_with(record(c.edit)));
        else
            serve(answer_with(record(c.edit)), c.file_route);
        run_check();
        EXPECT_EQ(last_phase(), c.phase) << c.name;
        EXPECT_EQ(events.back().message, c.message) << c.name;
        EXPECT_TRUE(log.contains(c.log)) << c.name;
        EXPECT_FALSE(fs::exists(installer_path())) << c.name;
        EXPECT_FALSE(fs::exists(installer_path() + ".part")) << c.name;
    }
}

TEST_F(UpdateCheck, SaysWhenItCannotSave)
{
    const std::string could_not_save = "We couldn't save the update. Download it from velmora.app instead.";
    serve(answer_with(record()));
    // A folder where the partial download must go, then where the installer must go.
    for (std::string blocked : {installer_path() + ".part", installer_path()}) {
        events.clear();
        {
            std::lock_guard lock(update_lock());
            update_state() = UpdateState{};
        }
        fs::create_directories(blocked + "/inside");
        run_check();
        EXPECT_EQ(last_phase(), "failed") << blocked;
        EXPECT_EQ(events.back().message, could_not_save) << blocked;
        fs::remove_all(blocked);
    }
    // No application data folder at all.
    events.clear();
    {
        std::lock_guard lock(update_lock());
        update_state() = UpdateState{};
    }
    std::string home = getenv("HOME");
    unsetenv("XDG_DATA_HOME");
    unsetenv("HOME");
    run_check();
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(last_phase(), "failed");
    EXPECT_EQ(events.back().message, "There's no room to save the update. Download it from velmora.app instead.");
}

TEST_F(UpdateCheck, ClampsProgressToWhatTheDockCanShow)
{
    // A chunked body whose length header (which means nothing then) is far too small.
    serve(answer_with(record()), R"({"file": "FILE", "chunked": true, "length": 100, "chunkBytes": 4000})");
    run_check();
    EXPECT_EQ(last_phase(), "ready");
    for (auto &event : events)
        EXPECT_LE(event.progress, 100);
}
