// Overlay sources on a real libobs core, with a browser source type of the test's own where a test
// needs one (each test runs in a process of its own; the first runs without one). Adding into the
// scene OBS is working on, and the URLs' refresh, show in the real OBS (the end-to-end suite).
#include "overlay/overlays.h"
#include "core/page_language.h"

#include "obs_runtime.h"

#include <gtest/gtest.h>
#include <obs.hpp>

#include <tuple>
#include <vector>

using namespace velmora;

namespace {

void register_browser_source()
{
    static obs_source_info info = [] {
        obs_source_info info{};
        info.id = "browser_source";
        info.type = OBS_SOURCE_TYPE_INPUT;
        info.output_flags = OBS_SOURCE_VIDEO;
        info.get_name = [](void *) { return "Browser (test)"; };
        info.create = [](obs_data_t *, obs_source_t *source) -> void * { return source; };
        info.destroy = [](void *) {};
        info.get_width = [](void *) { return 420u; };
        info.get_height = [](void *) { return 640u; };
        info.video_render = [](void *, gs_effect_t *) {};
        return info;
    }();
    if (!obs_source_get_display_name("browser_source"))
        obs_register_source(&info);
}

class OverlaySources : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(ObsRuntime::instance().started()) << "OBS's core did not start: run under xvfb-run";
        scene = obs_scene_create_private("overlays");
    }

    obs_source_t *browser_source(const char *name, const char *marker, const char *url)
    {
        OBSDataAutoRelease settings = obs_data_create();
        if (marker)
            obs_data_set_string(settings, "velmora_overlay", marker);
        obs_data_set_string(settings, "url", url);
        obs_data_set_int(settings, "width", 7);
        return obs_source_create("browser_source", name, settings, nullptr);
    }
    std::string setting(const char *source_name, const char *name)
    {
        OBSSourceAutoRelease source = obs_get_source_by_name(source_name);
        if (!source)
            return "(no source)";
        OBSDataAutoRelease settings = obs_source_get_settings(source);
        return obs_data_get_string(settings, name) + std::string(" ") +
               std::to_string(obs_data_get_int(settings, "width"));
    }
    // Items of the source anywhere in the scene, groups included.
    int items_of(const char *source_name)
    {
        std::pair<std::string, int> count{source_name, 0};
        obs_scene_enum_items(scene, count_items, &count);
        return count.second;
    }
    static bool count_items(obs_scene_t *, obs_sceneitem_t *item, void *data)
    {
        auto *count = static_cast<std::pair<std::string, int> *>(data);
        count->second += obs_source_get_name(obs_sceneitem_get_source(item)) == count->first;
        if (obs_sceneitem_is_group(item))
            obs_sceneitem_group_enum_items(item, count_items, data);
        return true;
    }

    OBSSceneAutoRelease scene;
};

} // namespace

TEST_F(OverlaySources, WithoutTheBrowserModuleNothingIsCreatedAndTheUserIsToldWhy)
{
    EXPECT_FALSE(browser_sources_available());
    EXPECT_EQ(add_overlay_to(scene, "chat", ""), no_browser_sources);
    EXPECT_EQ(OBSSourceAutoRelease(obs_get_source_by_name("Velmora chat")).Get(), nullptr);
    EXPECT_EQ(items_of("Velmora chat"), 0);
}

TEST_F(OverlaySources, AGroupedOverlayIsFoundAndNotAddedTwice)
{
    register_browser_source();
    ASSERT_EQ(add_overlay_to(scene, "chat", ""), "");
    obs_sceneitem_t *item = obs_scene_find_source(scene, "Velmora chat");
    ASSERT_NE(item, nullptr);
    ASSERT_NE(obs_scene_insert_group(scene, "Streamer's group", &item, 1), nullptr);
    EXPECT_EQ(add_overlay_to(scene, "chat", "theme=dark"), "");
    EXPECT_EQ(items_of("Velmora chat"), 1);
}

TEST_F(OverlaySources, OnlyOurSourcesOfTheSameKindAreTakenOver)
{
    register_browser_source();
    const char *chat_page = "http://127.0.0.1:5/dock/overlay-chat.html?size=2#o=x";
    const char *countdown_page = "http://127.0.0.1:5/dock/overlay-countdown.html#o=x";
    // Under the chat's name: what holds it, and whether a chat overlay takes it over.
    for (auto [marker, url, taken] : {std::tuple<const char *, const char *, bool>{"chat", "", true},
                                      {"countdown", countdown_page, false},
                                      {"countdown", chat_page, false},
                                      {"", chat_page, false},
                                      {nullptr, chat_page, true}, // from before markers
                                      {nullptr, countdown_page, false},
                                      {nullptr, "http://127.0.0.1:5/dock/overlay-chat.html.evil", false},
                                      {nullptr, "https://example.com/dock/overlay-chat.html", false}}) {
        OBSSourceAutoRelease held = browser_source("Velmora chat", marker, url);
        std::string before = setting("Velmora chat", "url");
        EXPECT_EQ(add_overlay_to(scene, "chat", ""), "");
        std::string after = setting("Velmora chat", "url");
        EXPECT_EQ(after != before, taken) << (marker ? marker : "(none)") << " " << url;
        if (!taken) {
            EXPECT_EQ(setting("Velmora chat 2", "velmora_overlay"), "chat 420") << url;
        }
        obs_source_remove(held);
        OBSSourceAutoRelease second = obs_get_source_by_name("Velmora chat 2");
        if (second)
            obs_source_remove(second);
    }
}

TEST_F(OverlaySources, WhenEveryNameIsTakenNothingIsCreated)
{
    register_browser_source();
    std::vector<OBSSceneAutoRelease> holders; // scenes are sources: they hold names too
    for (int suffix = 1; suffix <= 48; ++suffix)
        holders.emplace_back(obs_scene_create(
            suffix == 1 ? "Velmora countdown" : ("Velmora countdown " + std::to_string(suffix)).c_str()));
    EXPECT_EQ(add_overlay_to(scene, "countdown", ""),
              "Too many sources are named like \"Velmora countdown\". Rename one of them, then try again.");
    EXPECT_EQ(OBSSourceAutoRelease(obs_get_source_by_name("Velmora countdown 49")).Get(), nullptr);
    for (auto &holder : holders)
        obs_source_remove(obs_scene_get_source(holder));
}

TEST(Overlays, QueriesUrlsAndPlacement)
{
    for (auto [query, valid] : {std::pair<std::string, bool>{"", true},
                                {"theme=dark&size=2", true},
                                {"a,b-c.d_e", true},
                                {std::string(300, 'q'), true},
                                {std::string(301, 'q'), false},
                                {"a b", false},
                                {"a/b", false},
                                {"a?b", false},
                                {"a#b", false},
                                {"\xC3\xA9", false}})
        EXPECT_EQ(overlay_query_valid(query), valid) << query;
    EXPECT_EQ(overlay_query_of("http://127.0.0.1:1/dock/overlay-chat.html?theme=dark&size=2#o=t"),
              "theme=dark&size=2");
    EXPECT_EQ(overlay_query_of("a?b"), "b");
    EXPECT_EQ(overlay_url("x", "a=1"), "http://127.0.0.1:0/dock/overlay-chat.html?a=1#o=")
        << "any other kind: chat";
    // The small canvas (the chat's y clamped to the top, the countdown's x negative) shows in OBS.
    for (auto [kind, width, height, x, y] :
         {std::tuple{"chat", 1920u, 1080u, 32LL, 408LL}, {"countdown", 1920u, 1080u, 480LL, 410LL}}) {
        ItemPosition position = overlay_position(kind, width, height);
        EXPECT_EQ(std::pair(position.x, position.y), std::pair(x, y))
            << kind << " " << width << "x" << height;
    }
}

// Overlay links carry OBS's language, the nearest the pages have, and only one.
TEST(Overlays, PagesSpeakTheLanguageNearestToOBSs)
{
    for (auto [locale, page] : {std::pair{"de-DE", "de-DE"},
                                {"pt-PT", "pt-BR"},
                                {"zh-TW", "zh-CN"},
                                {"ja", "ja-JP"},
                                {"en-GB", "en-US"},
                                {"nl-NL", "en-US"},
                                {"", "en-US"}})
        EXPECT_EQ(page_language(locale), page) << locale;
    EXPECT_EQ(without_language("lang=de-DE&theme=dark&lang=x"), "theme=dark");
    ASSERT_TRUE(ObsRuntime::instance().started());
    obs_set_locale("de-DE");
    EXPECT_EQ(overlay_url("countdown", "lang=fr-FR&done=hide"),
              "http://127.0.0.1:0/dock/overlay-countdown.html?done=hide&lang=de-DE#o=");
    obs_set_locale("en-US");
    EXPECT_EQ(overlay_url("chat", "lang=de-DE"), "http://127.0.0.1:0/dock/overlay-chat.html#o=");
}
