#include "core/settings.h"

#include "test_folder.h"

#include <gtest/gtest.h>
#include <obs.hpp>
#include <util/bmem.h>

#include <regex>
#include <thread>
#include <vector>

using velmora::Settings;

namespace {

bool is_token(const std::string &text)
{
    return std::regex_match(text, std::regex("[0-9a-f]{64}"));
}

class SettingsTest : public ::testing::Test {
  protected:
    void TearDown() override
    {
        settings.close();
        EXPECT_EQ(bnum_allocs(), allocs_before) << "OBS allocations leaked";
    }
    void load(const std::string &content = "")
    {
        if (!content.empty())
            folder.write("config.json", content);
        settings.load_file(folder.file("config.json"));
    }
    // The saved file as OBS's own parser reads it at the next start.
    obs_data_t *saved() { return obs_data_create_from_json_file(folder.file("config.json").c_str()); }

    long allocs_before = bnum_allocs();
    TestFolder folder;
    Settings settings;
};

} // namespace

TEST_F(SettingsTest, DefaultsAndValidationOfWhatIsStored)
{
    load();
    EXPECT_FALSE(settings.dock_closed());
    EXPECT_EQ(settings.previous_service(), nullptr);
    EXPECT_FALSE(folder.exists("config.json")) << "reading writes nothing";

    for (auto [stored, port] : {std::pair{"1023", 41471},
                                {"65536", 41471},
                                {"-5", 41471},
                                {"\"5000\"", 41471},
                                {"4294977296", 41471},
                                {"1024", 1024},
                                {"65535", 65535}}) {
        load(std::string("{\"port\": ") + stored + "}");
        EXPECT_EQ(settings.port(), port) << "stored " << stored;
    }
    for (const char *stored :
         {R"({"previous": {"type": "", "settings": {"server": "x"}}})", R"({"previous": "rtmp_custom"})"}) {
        load(stored);
        EXPECT_EQ(settings.previous_service(), nullptr) << stored;
    }
    for (size_t length : {0u, 63u, 65u, 64u}) {
        std::string stored(length, 'Z');
        load(R"({"overlayToken": ")" + stored + R"("})");
        std::string token = settings.overlay_token();
        EXPECT_EQ(token == stored, length == 64) << "any 64 characters are kept, nothing else";
        EXPECT_TRUE(length == 64 || is_token(token));
        OBSDataAutoRelease file = saved();
        EXPECT_STREQ(obs_data_get_string(file, "overlayToken"), token.c_str());
    }

    std::filesystem::remove(folder.file("config.json"));
    settings.load_file(""); // without a path changes stay in memory
    settings.set_port(41500);
    EXPECT_EQ(settings.port(), 41500);
    EXPECT_TRUE(is_token(settings.overlay_token()));
    EXPECT_FALSE(folder.exists("config.json"));
}

TEST_F(SettingsTest, ChangesSaveAtOnceKeepUnknownMembersAndSurviveACorruptFile)
{
    load(R"({"port": 41471, "theme": {"accent": "gold"}, "list": [{"a": 1}], "dockClosed": true})");
    settings.set_dock_closed(true);
    EXPECT_FALSE(folder.exists("config.json.bak")) << "an unchanged value must not be saved";
    settings.set_port(41475);
    {
        OBSDataAutoRelease file = saved();
        EXPECT_EQ(obs_data_get_int(file, "port"), 41475);
        OBSDataAutoRelease theme = obs_data_get_obj(file, "theme");
        EXPECT_STREQ(obs_data_get_string(theme, "accent"), "gold");
        OBSDataArrayAutoRelease list = obs_data_get_array(file, "list");
        EXPECT_EQ(obs_data_array_count(list), 1u);
    }
    settings.set_port(41476); // the safe writer keeps the previous file as the backup
    folder.write("config.json", "{\"port\": 4149");
    load();
    EXPECT_EQ(settings.port(), 41475) << "from the backup";
    folder.write("config.json.bak", "not json");
    load("{\"port\": 4149");
    EXPECT_EQ(settings.port(), 41471) << "neither parses: defaults";
    settings.set_port(41492);
    OBSDataAutoRelease file = saved();
    EXPECT_EQ(obs_data_get_int(file, "port"), 41492);
}

TEST_F(SettingsTest, TheRecordOfThePreviousServiceIsACopyAndOnlyKeptWhenSaved)
{
    load();
    OBSDataAutoRelease service =
        obs_data_create_from_json(R"({"type": "rtmp_common", "settings": {"key": "a"}})");
    EXPECT_TRUE(settings.set_previous_service(service));
    OBSDataAutoRelease copy = settings.previous_service();
    obs_data_set_string(copy, "type", "changed by the caller");
    OBSDataAutoRelease again = settings.previous_service();
    EXPECT_STREQ(obs_data_get_string(again, "type"), "rtmp_common");

    // A folder where the safe writer wants its temporary file: the write really fails (its log line
    // shows in OBS itself).
    std::filesystem::create_directory(folder.file("config.json.tmp"));
    OBSDataAutoRelease other = obs_data_create_from_json(R"({"type": "rtmp_custom", "settings": {}})");
    EXPECT_FALSE(settings.set_previous_service(other));
    OBSDataAutoRelease kept = settings.previous_service();
    EXPECT_STREQ(obs_data_get_string(kept, "type"), "rtmp_common") << "the record the file still holds";
    std::filesystem::remove(folder.file("config.json.tmp"));

    EXPECT_TRUE(settings.clear_previous_service());
    EXPECT_EQ(settings.previous_service(), nullptr);
    OBSDataAutoRelease file = saved();
    EXPECT_FALSE(obs_data_has_user_value(file, "previous"));
}

TEST_F(SettingsTest, ConcurrentReadersAndWritersSeeConsistentValues)
{
    load();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 50; ++i) {
                settings.set_port(static_cast<uint16_t>(42000 + t));
                uint16_t port = settings.port();
                EXPECT_TRUE(port >= 42000 && port < 42004) << port;
                settings.set_dock_closed(i % 2 == 0);
                EXPECT_EQ(settings.overlay_token().size(), 64u);
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    OBSDataAutoRelease file = saved();
    EXPECT_NE(file, nullptr);
}
