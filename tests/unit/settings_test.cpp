#include "module/settings.h"

#include "test_folder.h"

#include <gtest/gtest.h>
#include <obs-data.h>
#include <util/bmem.h>

#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

using velmora::Settings;

namespace {

bool is_token(const std::string &text)
{
    return std::regex_match(text, std::regex("[0-9a-f]{64}"));
}

// Reads the saved file with OBS's own parser, as the next start of OBS will.
struct SavedFile {
    explicit SavedFile(const std::string &path) : data(obs_data_create_from_json_file(path.c_str())) {}
    ~SavedFile() { obs_data_release(data); }
    obs_data_t *data;
};

class SettingsTest : public ::testing::Test {
  protected:
    void TearDown() override
    {
        settings.close();
        EXPECT_EQ(bnum_allocs(), allocs_before) << "OBS allocations leaked";
    }
    void load() { settings.load_file(folder.file("config.json")); }

    long allocs_before = bnum_allocs();
    TestFolder folder;
    Settings settings;
};

TEST_F(SettingsTest, MissingFileGivesDefaultsAndWritesNothingUntilAChange)
{
    load();
    EXPECT_EQ(settings.port(), 41471);
    EXPECT_FALSE(settings.dock_closed());
    EXPECT_EQ(settings.previous_service(), nullptr);
    EXPECT_FALSE(folder.exists("config.json"));

    std::string token = settings.overlay_token();
    EXPECT_TRUE(is_token(token)) << token;
    ASSERT_TRUE(folder.exists("config.json"));
    SavedFile saved(folder.file("config.json"));
    EXPECT_STREQ(obs_data_get_string(saved.data, "overlayToken"), token.c_str());
    EXPECT_EQ(settings.overlay_token(), token) << "a valid token is kept";
}

TEST_F(SettingsTest, PortOutsideTheUserRangeReadsAsDefault)
{
    const std::pair<const char *, int> cases[] = {
        {"1023", 41471}, {"65536", 41471}, {"-5", 41471},       {"80", 41471},         {"70000", 41471},
        {"1024", 1024},  {"65535", 65535}, {"\"5000\"", 41471}, {"4294977296", 41471}, {"41480", 41480},
    };
    for (auto [stored, expected] : cases) {
        folder.write("config.json", std::string("{\"port\": ") + stored + "}");
        load();
        EXPECT_EQ(settings.port(), expected) << "stored " << stored;
    }
}

TEST_F(SettingsTest, SetPortSavesAtOnceAndKeepsUnknownMembers)
{
    folder.write("config.json",
                 R"({"port": 41471, "theme": {"accent": "gold"}, "list": [{"a": 1}], "note": "kept"})");
    load();
    settings.set_port(41475);

    SavedFile saved(folder.file("config.json"));
    ASSERT_NE(saved.data, nullptr);
    EXPECT_EQ(obs_data_get_int(saved.data, "port"), 41475);
    EXPECT_STREQ(obs_data_get_string(saved.data, "note"), "kept");
    obs_data_t *theme = obs_data_get_obj(saved.data, "theme");
    EXPECT_STREQ(obs_data_get_string(theme, "accent"), "gold");
    obs_data_release(theme);
    obs_data_array_t *list = obs_data_get_array(saved.data, "list");
    EXPECT_EQ(obs_data_array_count(list), 1u);
    obs_data_array_release(list);
}

TEST_F(SettingsTest, ShortOrLongTokenIsReplacedAndSaved)
{
    for (size_t length : {0u, 63u, 65u}) {
        std::string stored(length, 'a');
        folder.write("config.json", R"({"overlayToken": ")" + stored + R"("})");
        load();
        std::string token = settings.overlay_token();
        EXPECT_TRUE(is_token(token)) << "stored length " << length;
        SavedFile saved(folder.file("config.json"));
        EXPECT_STREQ(obs_data_get_string(saved.data, "overlayToken"), token.c_str());
    }
}

TEST_F(SettingsTest, AnySixtyFourCharacterTokenIsAcceptedAsItIs)
{
    std::string stored(64, 'Z');
    folder.write("config.json", R"({"overlayToken": ")" + stored + R"("})");
    load();
    EXPECT_EQ(settings.overlay_token(), stored);
}

TEST_F(SettingsTest, ResetTokenGivesANewOne)
{
    load();
    std::string first = settings.overlay_token();
    std::string second = settings.reset_overlay_token();
    EXPECT_TRUE(is_token(second));
    EXPECT_NE(first, second);
    EXPECT_EQ(settings.overlay_token(), second);
}

TEST_F(SettingsTest, UnchangedDockClosedWritesNothing)
{
    folder.write("config.json", R"({"dockClosed": true})");
    load();
    auto written = std::filesystem::last_write_time(folder.file("config.json"));
    std::string before = folder.read("config.json");

    settings.set_dock_closed(true);
    EXPECT_FALSE(folder.exists("config.json.bak")) << "an unchanged value must not be saved";
    EXPECT_EQ(folder.read("config.json"), before);
    EXPECT_EQ(std::filesystem::last_write_time(folder.file("config.json")), written);

    settings.set_dock_closed(false);
    EXPECT_FALSE(settings.dock_closed());
    SavedFile saved(folder.file("config.json"));
    EXPECT_FALSE(obs_data_get_bool(saved.data, "dockClosed"));
    EXPECT_TRUE(obs_data_has_user_value(saved.data, "dockClosed"));
}

TEST_F(SettingsTest, CorruptFileFallsBackToTheBackup)
{
    load();
    settings.set_port(41490);
    settings.set_port(41491); // the safe writer keeps the previous file as the backup
    ASSERT_TRUE(folder.exists("config.json.bak"));

    folder.write("config.json", "{\"port\": 4149");
    load();
    EXPECT_EQ(settings.port(), 41490);

    // Neither file parses: everything reads as its default, and the next change overwrites.
    folder.write("config.json", "{\"port\": 4149");
    folder.write("config.json.bak", "not json");
    load();
    EXPECT_EQ(settings.port(), 41471);
    settings.set_port(41492);
    SavedFile saved(folder.file("config.json"));
    ASSERT_NE(saved.data, nullptr);
    EXPECT_EQ(obs_data_get_int(saved.data, "port"), 41492);
}

TEST_F(SettingsTest, PreviousServiceNeedsATypeAndIsAnIndependentCopy)
{
    folder.write("config.json", R"({"previous": {"type": "", "settings": {"server": "x"}}})");
    load();
    EXPECT_EQ(settings.previous_service(), nullptr);

    folder.write("config.json", R"({"previous": "rtmp_custom"})");
    load();
    EXPECT_EQ(settings.previous_service(), nullptr);

    obs_data_t *service = obs_data_create_from_json(
        R"({"type": "rtmp_common", "settings": {"service": "Twitch", "key": "live_1"}})");
    settings.set_previous_service(service);
    obs_data_release(service);

    obs_data_t *copy = settings.previous_service();
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(obs_data_get_string(copy, "type"), "rtmp_common");
    obs_data_set_string(copy, "type", "changed by the caller");
    obs_data_release(copy);

    obs_data_t *again = settings.previous_service();
    ASSERT_NE(again, nullptr);
    EXPECT_STREQ(obs_data_get_string(again, "type"), "rtmp_common");
    obs_data_t *inner = obs_data_get_obj(again, "settings");
    EXPECT_STREQ(obs_data_get_string(inner, "key"), "live_1");
    obs_data_release(inner);
    obs_data_release(again);

    SavedFile saved(folder.file("config.json"));
    EXPECT_TRUE(obs_data_has_user_value(saved.data, "previous"));

    settings.clear_previous_service();
    EXPECT_EQ(settings.previous_service(), nullptr);
    SavedFile cleared(folder.file("config.json"));
    EXPECT_FALSE(obs_data_has_user_value(cleared.data, "previous"));
}

TEST_F(SettingsTest, WithoutAPathChangesStayInMemory)
{
    settings.load_file("");
    settings.set_port(41500);
    EXPECT_EQ(settings.port(), 41500);
    EXPECT_TRUE(is_token(settings.overlay_token()));
    EXPECT_FALSE(folder.exists("config.json"));
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
    SavedFile saved(folder.file("config.json"));
    ASSERT_NE(saved.data, nullptr);
}

} // namespace
