#include "bridge/dispatch.h"
#include "bridge/event_json.h"
#include "bridge/events.h"
#include "bridge/task_queue.h"
#include "module/settings.h"
#include "service/service_switch.h"
#include "service/stream_stats.h"

#include "obs_runtime.h"

#include <gtest/gtest.h>
#include <obs-data.h>

#include <cstring>
#include <clocale>
#include <regex>
#include <thread>

using namespace velmora;

namespace {

struct Data {
    explicit Data(obs_data_t *data) : data(data) {}
    explicit Data(const char *json) : data(obs_data_create_from_json(json)) {}
    ~Data() { obs_data_release(data); }
    obs_data_t *data;
};

std::vector<std::string> member_names(const std::string &json)
{
    std::vector<std::string> names;
    std::regex member("\"([A-Za-z]+)\":");
    for (auto it = std::sregex_iterator(json.begin(), json.end(), member); it != std::sregex_iterator(); ++it)
        names.push_back((*it)[1]);
    return names;
}

} // namespace

TEST(Bitrate, AverageSinceThePreviousTick)
{
    BitrateMeter meter;
    EXPECT_EQ(meter.sample(5000, 1000000000ull), 0.0) << "the first tick has no base";
    EXPECT_DOUBLE_EQ(meter.sample(1005000, 3000000000ull), 4000.0);
    EXPECT_EQ(rounded_kbps(meter.sample(1005000 + 250062, 4000000000ull)), 2000) << "2000.496 rounds down";
    EXPECT_EQ(rounded_kbps(2000.5), 2001);
    EXPECT_EQ(rounded_kbps(0.0), 0);
}

TEST(Bitrate, NoFigureWithoutAdvancingTimeOrWithACounterGoingBack)
{
    BitrateMeter meter;
    meter.sample(1000, 10);
    EXPECT_EQ(meter.sample(9000, 10), 0.0) << "same time";
    EXPECT_EQ(meter.sample(500, 20), 0.0) << "a new output's counter";
    EXPECT_DOUBLE_EQ(meter.sample(500 + 125, 20 + 1000000000ull), 1.0) << "the new counter is the base";
    meter.reset();
    EXPECT_EQ(meter.sample(1 << 20, 50), 0.0) << "after a reset the next tick reports 0";
    EXPECT_EQ(meter.sample(1 << 20, 40), 0.0) << "time going back";
}

TEST(ServiceDescription, NamesTheRememberedService)
{
    EXPECT_EQ(describe_service_record(nullptr), "");
    EXPECT_EQ(describe_service_record(Data(R"({"type":"rtmp_common","settings":{"service":"Twitch"}})").data),
              "Twitch");
    EXPECT_EQ(describe_service_record(Data(R"({"type":"rtmp_common","settings":{"service":""}})").data),
              "your old service");
    EXPECT_EQ(describe_service_record(Data(R"({"type":"rtmp_common"})").data), "your old service");
    EXPECT_EQ(describe_service_record(Data(R"({"type":"rtmp_custom","settings":{}})").data),
              "your custom server");
    EXPECT_EQ(describe_service_record(Data(R"({"type":"whip_custom","settings":{}})").data),
              "your WHIP server");
    EXPECT_EQ(describe_service_record(Data(R"({"type":"custom_thing","settings":{}})").data),
              "your old service");
}

class WithObs : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(ObsRuntime::instance().started()) << "OBS's core did not start: run under xvfb-run";
        Settings::instance().load_file(ObsRuntime::instance().config().file("config.json"));
        ObsRuntime::instance().run_ui_tasks(); // whatever OBS itself queued at start
    }
    void TearDown() override
    {
        ObsRuntime::instance().run_ui_tasks();
        Settings::instance().close();
    }
    obs_service_t *create(const char *type, const char *json)
    {
        Data settings(json);
        return obs_service_create(type, "test", settings.data, nullptr);
    }
};

TEST_F(WithObs, OnlyMarkedCustomServicesAreOurs)
{
    struct Case {
        const char *type, *settings;
        bool ours;
    } cases[] = {
        {"rtmp_custom", R"({"server":"rtmp://x/live","key":"k","velmora_obs":true})", true},
        {"rtmp_custom", R"({"server":"rtmp://x/live","key":"k"})", false},
        {"rtmp_custom", R"({"server":"rtmp://x/live","velmora_obs":false})", false},
        {"rtmp_custom", R"({"server":"rtmp://x/live","velmora_obs":1})", false},
        {"rtmp_common", R"({"service":"Twitch","velmora_obs":true})", false},
    };
    for (const Case &c : cases) {
        obs_service_t *service = create(c.type, c.settings);
        ASSERT_NE(service, nullptr) << c.type << " not registered";
        EXPECT_EQ(service_is_velmora(service), c.ours) << c.type << " " << c.settings;
        obs_service_release(service);
    }
    EXPECT_FALSE(service_is_velmora(nullptr));
    EXPECT_FALSE(current_service_is_velmora()) << "no frontend, no current service";
}

TEST_F(WithObs, TasksRunOnceWithTheirOwnCopies)
{
    int runs = 0;
    std::string seen;
    {
        std::string message = "copied";
        std::thread([&] {
            queue_ui_task([&runs, &seen, message] {
                seen = message;
                runs++;
            });
        }).join();
    }
    EXPECT_EQ(runs, 0) << "nothing runs on the queueing thread";
    EXPECT_EQ(ObsRuntime::instance().run_ui_tasks(), 1);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(seen, "copied");
    EXPECT_EQ(ObsRuntime::instance().run_ui_tasks(), 0);

    queue_ui_task([] { throw std::runtime_error("a failing task must not end OBS"); });
    EXPECT_EQ(ObsRuntime::instance().run_ui_tasks(), 1);
}

TEST_F(WithObs, MalformedAndUnknownMessagesDoNothing)
{
    for (const char *text :
         {"", "not json", "{", "[1]", "\"hello\"", "5", "null", "{}", R"({"action":""})",
          R"({"action":"HELLO"})", R"({"action":" hello"})", R"({"action":"hello "})", R"({"action":5})",
          R"({"action":"Get_State"})", R"({"action":"unknown"})",
          R"({"action":"overlay_publish","state":"text"})", R"({"action":"overlay_publish","state":5})",
          R"({"action":"overlay_publish"})"}) {
        handle_message(text);
        EXPECT_EQ(ObsRuntime::instance().pending_ui_tasks(), 0u) << text;
    }
}

TEST_F(WithObs, ActionsThatTouchObsAreQueuedForTheMainThread)
{
    for (const char *action :
         {"hello", "get_state", "use_velmora", "restore_service", "start_streaming", "stop_streaming"}) {
        handle_message(std::string(R"({"action":")") + action + R"("})");
        EXPECT_EQ(ObsRuntime::instance().pending_ui_tasks(), 1u) << action;
        EXPECT_EQ(ObsRuntime::instance().run_ui_tasks(), 1);
    }
}

TEST_F(WithObs, StateSnapshotMembersInOrder)
{
    std::string json = state_json();
    EXPECT_EQ(member_names(json),
              (std::vector<std::string>{"event", "version", "obsVersion", "streaming", "reconnecting",
                                        "serviceIsVelmora", "previousService", "lastError", "overlayChatUrl",
                                        "overlayCountdownUrl"}));
    Data state(json.c_str());
    EXPECT_STREQ(obs_data_get_string(state.data, "event"), "state");
    EXPECT_STREQ(obs_data_get_string(state.data, "version"), "1.0.1");
    EXPECT_STREQ(obs_data_get_string(state.data, "obsVersion"), obs_get_version_string());
    EXPECT_FALSE(obs_data_get_bool(state.data, "streaming"));
    EXPECT_STREQ(obs_data_get_string(state.data, "previousService"), "");
    EXPECT_STREQ(obs_data_get_string(state.data, "overlayChatUrl"),
                 "http://127.0.0.1:0/dock/overlay-chat.html#o=");

    Settings::instance().set_previous_service(
        Data(R"({"type":"rtmp_common","settings":{"service":"YouTube - RTMPS"}})").data);
    Data after(state_json().c_str());
    EXPECT_STREQ(obs_data_get_string(after.data, "previousService"), "YouTube - RTMPS");
    Settings::instance().clear_previous_service();
}

TEST_F(WithObs, StatsWithoutAStreamingOutput)
{
    std::string json = stats_json();
    EXPECT_EQ(member_names(json), (std::vector<std::string>{"event", "streaming", "fps"}));
    EXPECT_FALSE(stream_reconnecting());
    EXPECT_EQ(stream_last_error(), "");
}

TEST(EventJson, MembersInOrderWithEscapedText)
{
    std::string text = velmora::EventJson("demo")
                           .add_string("zeta", "a\"b\\c\n\t\x01/\xC3\xA9")
                           .add_bool("alpha", true)
                           .add_int("count", -42)
                           .add_double("whole", 10.0)
                           .add_double("part", 0.25)
                           .text();
    EXPECT_EQ(text, "{\"event\":\"demo\",\"zeta\":\"a\\\"b\\\\c\\n\\t\\u0001/\xC3\xA9\",\"alpha\":true,"
                    "\"count\":-42,\"whole\":10.0,\"part\":0.25}");
    // OBS's own parser reads it back.
    Data parsed(text.c_str());
    ASSERT_NE(parsed.data, nullptr);
    EXPECT_STREQ(obs_data_get_string(parsed.data, "zeta"), "a\"b\\c\n\t\x01/\xC3\xA9");
    EXPECT_EQ(obs_data_get_int(parsed.data, "count"), -42);
    EXPECT_DOUBLE_EQ(obs_data_get_double(parsed.data, "part"), 0.25);
}

TEST(StopCodes, FailuresHaveWordsAndSuccessHasNone)
{
    EXPECT_EQ(stop_code_text(OBS_OUTPUT_SUCCESS), nullptr);
    for (long long code :
         {OBS_OUTPUT_BAD_PATH, OBS_OUTPUT_CONNECT_FAILED, OBS_OUTPUT_INVALID_STREAM, OBS_OUTPUT_ERROR,
          OBS_OUTPUT_DISCONNECTED, OBS_OUTPUT_UNSUPPORTED, OBS_OUTPUT_NO_SPACE, OBS_OUTPUT_ENCODE_ERROR}) {
        ASSERT_NE(stop_code_text(code), nullptr) << code;
        EXPECT_GT(std::strlen(stop_code_text(code)), 10u);
    }
    EXPECT_EQ(stop_code_text(-1000), nullptr);
}

TEST(EventJson, TextThatIsNotUtf8BecomesReplacementCharacters)
{
    auto literal = [](const std::string &text) { return velmora::json_string(text); };
    EXPECT_EQ(literal("caf\xC3\xA9 \xF0\x9F\x8E\xA5"), "\"caf\xC3\xA9 \xF0\x9F\x8E\xA5\"");
    EXPECT_EQ(literal("a\xFF"), "\"a\xEF\xBF\xBD\"");
    EXPECT_EQ(literal("\xC3"), "\"\xEF\xBF\xBD\"") << "cut short";
    EXPECT_EQ(literal("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"") << "overlong";
    EXPECT_EQ(literal("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"") << "surrogate";
}

TEST(EventJson, NumbersIgnoreTheLocale)
{
    const char *old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
        GTEST_SKIP() << "no locale with a decimal comma installed";
    std::string text = velmora::EventJson("stats").add_double("fps", 29.97).text();
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(text, "{\"event\":\"stats\",\"fps\":29.97}");
}
