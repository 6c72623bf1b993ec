// The bridge with the module's real action table on a real libobs core (no OBS window: the
// frontend answers with its defaults), its events read from a swapped outbox. The state's and
// stats' members, and every action of the protocol, show in the real OBS (the end-to-end suite).
#include "bridge/bridge.h"
#include "bridge/dispatch.h"
#include "bridge/events.h"
#include "bridge/task_queue.h"
#include "dock/link_opener.h"
#include "module/dock_protocol.h"
#include "core/event_json.h"
#include "core/json_depth.h"
#include "core/settings.h"
#include "service/service_switch.h"
#include "service/stream_stats.h"

#include "log_capture.h"
#include "obs_runtime.h"

#include <gtest/gtest.h>
#include <obs.hpp>

#include <clocale>
#include <future>
#include <regex>
#include <thread>

using namespace velmora;

namespace {

std::string nested(int depth)
{
    return R"({"action":"hello","x":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
}

class BridgeTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(ObsRuntime::instance().started()) << "OBS's core did not start: run under xvfb-run";
        Settings::instance().load_file(folder.file("config.json"));
        ObsRuntime::instance().run_ui_tasks(); // whatever OBS itself queued at start
        set_event_outbox([this](const std::string &text) {
            std::lock_guard guard(lock);
            events.push_back(text);
            return std::size_t{1};
        });
        bridge_init(dock_protocol());
    }
    void TearDown() override
    {
        bridge_shutdown();
        set_event_outbox(nullptr);
        ObsRuntime::instance().run_ui_tasks();
        Settings::instance().close();
    }
    // The names of the events sent so far, and forgets them.
    std::vector<std::string> take_events()
    {
        std::lock_guard guard(lock);
        std::vector<std::string> names;
        for (const auto &text : events) {
            OBSDataAutoRelease event = obs_data_create_from_json(text.c_str());
            names.push_back(obs_data_get_string(event, "event"));
        }
        events.clear();
        return names;
    }
    int run_tasks() { return ObsRuntime::instance().run_ui_tasks(); }

    TestFolder folder;
    LogCapture log;
    std::mutex lock;
    std::vector<std::string> events;
};

} // namespace

TEST_F(BridgeTest, ActionsThatTouchObsRunOnTheMainThreadOnly)
{
    for (const char *empty : {R"({"action":"use_velmora","mode":"rtmp","url":"","key":"k"})",
                              R"({"action":"use_velmora","mode":"rtmp","url":"rtmp://x/live"})"}) {
        handle_message(empty);
        EXPECT_EQ(run_tasks(), 1);
        EXPECT_EQ(take_events(), (std::vector<std::string>{"action_result", "state"}))
            << "the reason, and a state";
    }
    for (const auto &line : log.lines())
        EXPECT_EQ(line.find("[velmora]"), std::string::npos)
            << "without a url or key nothing is switched: " << line;
    handle_message(R"({"action":"use_velmora","mode":"rtmp","url":"rtmp://127.0.0.1:1/live","key":"k"})");
    EXPECT_TRUE(take_events().empty()) << "nothing may happen on the connection thread";
    EXPECT_FALSE(log.contains("[velmora] OBS now streams to Velmora (RTMP)"));
    EXPECT_EQ(run_tasks(), 1);
    EXPECT_TRUE(log.contains("[velmora] OBS now streams to Velmora (RTMP)"));
    EXPECT_EQ(take_events(), (std::vector<std::string>{"action_result", "state"}));

    handle_message(R"({"action":"restore_service"})");
    handle_message(R"({"action":"get_state"})");
    handle_message(R"({"action":"hello"})");
    {
        std::lock_guard guard(lock);
        ASSERT_FALSE(events.empty());
        EXPECT_TRUE(std::regex_match(events.front(),
                                     std::regex(R"(\{"event":"update","current":"[0-9.]+","phase":"\w*",)"
                                                R"("version":"","notes":"","required":false,)"
                                                R"("message":"","progress":0,"restarting":false\})")))
            << "the members in their documented order: " << events.front();
    }
    EXPECT_EQ(take_events(), (std::vector<std::string>{"update", "update"}))
        << "at once, on the connection thread";
    EXPECT_EQ(run_tasks(), 3);
    EXPECT_EQ(take_events(), (std::vector<std::string>{"action_result", "state", "state", "state"}));

    handle_message(R"({"action":"hello"})");
    bridge_frontend_event(OBS_FRONTEND_EVENT_EXIT, nullptr);
    run_tasks();
    EXPECT_EQ(take_events(), (std::vector<std::string>{"update", "obs"})) << "no task runs after OBS's exit";
}

TEST_F(BridgeTest, BadMessagesDoNothing)
{
    for (const std::string &text : std::vector<std::string>{
             "", "not json", "{", "[1]", "null", "{}", R"({"action":""})", R"({"action":"HELLO"})",
             R"({"action":" hello"})", R"({"action":5})", R"({"action":"unknown"})",
             R"({"action":"overlay_publish","state":"text"})", nested(33)}) {
        handle_message(text);
        EXPECT_EQ(run_tasks(), 0) << text.substr(0, 80);
    }
    EXPECT_TRUE(take_events().empty());
    handle_message(nested(32));
    EXPECT_EQ(run_tasks(), 1) << "32 levels are still a message";
    take_events();
    handle_message(R"({"action":"update_restart"})");
    EXPECT_EQ(run_tasks(), 1);
    EXPECT_TRUE(take_events().empty()) << "no restart before an update is ready";
}

TEST(Stats, FiguresInTheirMembersAndTheAverageBitrateSinceThePreviousTick)
{
    struct Step {
        std::uint64_t bytes, now;
        long long kbps;
    } steps[] = {
        {5000, 1000000000, 0},                // the first tick has no base
        {1005000, 3000000000, 4000},          // 1,000,000 bytes in 2 s
        {1005000 + 250062, 4000000000, 2000}, // 2000.496 rounds down
        {9000, 4000000000, 0},                // same time
        {500, 5000000000, 0},                 // a new output's counter
        {500 + 125, 6000000000, 1},           // which is the new base
    };
    BitrateMeter meter;
    for (const Step &step : steps)
        EXPECT_EQ(rounded_kbps(meter.sample(step.bytes, step.now)), step.kbps) << step.bytes;
    EXPECT_EQ(rounded_kbps(2000.5), 2001);
    meter.reset();
    EXPECT_EQ(meter.sample(1 << 20, 50), 0.0) << "after a reset the next tick reports 0";
    EXPECT_EQ(stats_json(StreamFigures{true, 4000, 3, 900, 0.25, true, 2, 75, 30.0}),
              R"({"event":"stats","streaming":true,"kbps":4000,"droppedFrames":3,)"
              R"("totalFrames":900,"congestion":0.25,"reconnecting":true,"reconnectAttempt":2,)"
              R"("liveSeconds":75,"fps":30.0})");
}

// What the dock is told about OBS's service, against the record a switch keeps: records written
// before the ingest was noted in them still read.
TEST(Services, OwnershipRecordsAndTheWordsForThem)
{
    ASSERT_TRUE(ObsRuntime::instance().started());
    auto service = [](const char *type, const char *settings) {
        OBSDataAutoRelease data = obs_data_create_from_json(settings);
        return OBSServiceAutoRelease(obs_service_create(type, "test", data, nullptr));
    };
    auto record = [](const char *json) { return OBSDataAutoRelease(obs_data_create_from_json(json)); };
    const char *twitch =
        R"({"type":"rtmp_common","settings":{"service":"Twitch","key":"live_1"},"target":"/p/service.json")";
    OBSDataAutoRelease old_record = record((std::string(twitch) + "}").c_str());
    OBSDataAutoRelease noted = record(
        (std::string(twitch) + R"(,"installed":{"type":"rtmp_custom","server":"rtmp://in.velmora/live"}})")
            .c_str());
    struct Case {
        const char *type, *settings;
        obs_data_t *record;
        ServiceKind kind;
    } cases[] = {
        {"rtmp_custom", R"({"server":"rtmp://in.velmora/live","key":"v","velmora_obs":true})", nullptr,
         ServiceKind::velmora},
        {"rtmp_custom", R"({"server":"rtmp://x/live","velmora_obs":1})", nullptr, ServiceKind::other},
        {"rtmp_common", R"({"service":"Twitch","velmora_obs":true})", nullptr, ServiceKind::other},
        // Edited in OBS's settings page: the marker is gone, the ingest is still ours.
        {"rtmp_custom", R"({"server":"rtmp://in.velmora/live","key":"new"})", noted, ServiceKind::velmora},
        {"rtmp_custom", R"({"server":"rtmp://elsewhere/live","key":"new"})", noted, ServiceKind::other},
        {"rtmp_custom", R"({"server":"rtmp://in.velmora/live","key":"new"})", old_record, ServiceKind::other},
        // The streamer's own service back in OBS, the record not yet cleared.
        {"rtmp_common", R"({"service":"Twitch","key":"live_1","bwtest":true})", old_record,
         ServiceKind::recorded},
        {"rtmp_common", R"({"service":"Twitch","key":"live_2"})", old_record, ServiceKind::other},
    };
    for (const Case &c : cases) {
        OBSServiceAutoRelease live = service(c.type, c.settings);
        EXPECT_EQ(classify_service(live, c.record), c.kind) << c.type << " " << c.settings;
    }
    EXPECT_EQ(classify_service(nullptr, noted), ServiceKind::none);
    EXPECT_FALSE(has_installed_ingest(old_record));
    set_installed_ingest(old_record, "rtmp_custom", "rtmp://in.velmora/live");
    EXPECT_TRUE(has_installed_ingest(old_record));
    EXPECT_EQ(describe_service_record(old_record), "Twitch") << "noting the ingest keeps the record";

    for (auto [json, words] :
         {std::pair{R"({"type":"rtmp_common","settings":{"service":""}})", "your old service"},
          {R"({"type":"rtmp_common"})", "your old service"},
          {R"({"type":"rtmp_custom","settings":{}})", "your custom server"},
          {R"({"type":"whip_custom","settings":{}})", "your WHIP server"},
          {R"({"type":"custom_thing","settings":{}})", "your old service"}}) {
        OBSDataAutoRelease data = obs_data_create_from_json(json);
        EXPECT_EQ(describe_service_record(data), words) << json;
    }
}

TEST(EventJson, MembersInOrderEscapedAsOBSReadsThemWhateverTheTextAndLocale)
{
    std::string text = EventJson("demo")
                           .add_string("zeta", "a\"b\\c\n\t\x01/\xC3\xA9")
                           .add_bool("alpha", true)
                           .add_int("count", -42)
                           .add_double("whole", 10.0)
                           .add_double("part", 0.25)
                           .text();
    EXPECT_EQ(text, "{\"event\":\"demo\",\"zeta\":\"a\\\"b\\\\c\\n\\t\\u0001/\xC3\xA9\",\"alpha\":true,"
                    "\"count\":-42,\"whole\":10.0,\"part\":0.25}");
    OBSDataAutoRelease parsed = obs_data_create_from_json(text.c_str());
    EXPECT_STREQ(obs_data_get_string(parsed, "zeta"), "a\"b\\c\n\t\x01/\xC3\xA9");
    // A browser drops a WebSocket whose text is not UTF-8.
    for (auto [bytes, written] : {std::pair<std::string, std::string>{"\xF0\x9F\x8E\xA5", "\xF0\x9F\x8E\xA5"},
                                  {"a\xFF", "a\xEF\xBF\xBD"},
                                  {"\xC3", "\xEF\xBF\xBD"},                                  // cut short
                                  {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong
                                  {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}}) // surrogate
        EXPECT_EQ(json_string(bytes), "\"" + written + "\"");

    std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) {
        EXPECT_EQ(EventJson("stats").add_double("fps", 29.97).text(), "{\"event\":\"stats\",\"fps\":29.97}");
        (void)std::setlocale(LC_NUMERIC, saved.c_str());
    }
}

TEST(JsonDepth, CountsOnlyBracketsOutsideStrings)
{
    const std::pair<std::string, bool> cases[] = {
        {R"({"a":")" + std::string(100, '[') + R"("})", true},
        {R"({"a":"\"[[[[",)" + std::string(31, '{') + "}", true},
        {std::string(40, ']') + std::string(33, '['), false}, // stray closers buy nothing
        {"[\"\\", true}};
    for (const auto &[text, within] : cases)
        EXPECT_EQ(json_nesting_within(text), within) << text.substr(0, 60);
}

TEST_F(BridgeTest, OverlayAddAnswersWithTheReasonItFailed)
{
    const std::pair<const char *, const char *> cases[] = {
        {R"({"action":"overlay_add","kind":"Chat"})",
         R"("kind":"Chat","ok":false,"message":"That overlay doesn't exist.")"},
        {R"({"action":"overlay_add","kind":"chat","query":"a b"})",
         R"("kind":"chat","ok":false,"message":"Those overlay options look off. Try again.")"},
        {R"({"action":"overlay_add","kind":"countdown"})",
         R"("ok":false,"message":"Pick a scene in OBS first, then try again.")"}, // no OBS window here
    };
    for (auto [message, answer] : cases) {
        handle_message(message);
        EXPECT_EQ(run_tasks(), 1);
        std::lock_guard guard(lock);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_NE(events[0].find(answer), std::string::npos) << events[0];
        events.clear();
    }
}

TEST(Links, OnlyHttpsOnTheAllowedSites)
{
    LogCapture log;
    for (const char *host : {"velmora.app", "www.velmora.app", "cdn.velmora.app", "twitch.tv",
                             "www.twitch.tv", "dashboard.twitch.tv", "youtube.com", "www.youtube.com",
                             "studio.youtube.com", "obsproject.com", "support.google.com", "WWW.YouTube.COM"})
        EXPECT_TRUE(host_allowed(host)) << host;
    for (const char *host :
         {"api.velmora.app", "velmora.app.evil.example", "evilvelmora.app", "google.com", ""})
        EXPECT_FALSE(host_allowed(host)) << host;
    for (const char *url :
         {"", "not a url", "http://velmora.app/", "https://user@velmora.app/", "https://user:pw@twitch.tv/",
          "https://www.twitch.tv.example/", "ftp://velmora.app/", "https://[::1]/", "javascript:alert(1)"})
        EXPECT_FALSE(open_link(url)) << url;
    EXPECT_EQ(log.count("[velmora] Refused to open a link that is not on an allowed site"), 9);
}

// obs-websocket's threads wait for the main thread: bounded in time and in number, ended at once
// when OBS closes, and a task given up on never runs later, so "not done" means nothing happened.
TEST_F(BridgeTest, WaitsForTheMainThreadBoundedAndNeverRunsWhatItGaveUpOn)
{
    using namespace std::chrono_literals;
    std::atomic<int> ran{0};
    auto ask = [&ran](std::chrono::milliseconds limit) {
        return std::async(std::launch::async,
                          [&ran, limit] { return run_ui_task_and_wait([&ran] { ++ran; }, limit); });
    };
    auto until_queued = [](std::size_t count) {
        while (ObsRuntime::instance().queued_tasks() < count)
            std::this_thread::sleep_for(1ms);
    };
    auto answered = ask(5000ms);
    until_queued(1);
    run_tasks();
    EXPECT_EQ(answered.get(), UiWait::done);
    EXPECT_EQ(ask(50ms).get(), UiWait::timed_out);
    run_tasks();
    EXPECT_EQ(ran, 1);

    std::vector<std::future<UiWait>> waiting;
    for (int i = 0; i < max_ui_waits; ++i)
        waiting.push_back(ask(5000ms));
    until_queued(max_ui_waits);
    EXPECT_EQ(ask(5000ms).get(), UiWait::busy);
    stop_ui_tasks();
    for (auto &wait : waiting)
        EXPECT_EQ(wait.wait_for(1000ms) == std::future_status::ready ? wait.get() : UiWait::timed_out,
                  UiWait::closing);
    EXPECT_EQ(ask(5000ms).get(), UiWait::closing);
    run_tasks();
    EXPECT_EQ(ran, 1);

    start_ui_tasks();
    EXPECT_EQ(run_ui_task_and_wait([&ran] { ++ran; }, 0ms), UiWait::done)
        << "on the main thread it runs at once";
    EXPECT_EQ(ran, 2);
}
