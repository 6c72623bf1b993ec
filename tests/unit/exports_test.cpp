// Loads the built module file as OBS does and checks what it exports.
#include <gtest/gtest.h>
#include <obs-config.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>

namespace {

std::set<std::string> exported_functions()
{
    std::set<std::string> names;
    std::string command = std::string("nm -D --defined-only '") + VELMORA_MODULE_FILE + "'";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return names;
    char line[512];
    while (fgets(line, sizeof line, pipe)) {
        char type = 0;
        char name[400] = {};
        if (sscanf(line, "%*s %c %399s", &type, name) == 2 && (type == 'T' || type == 'W'))
            names.insert(name);
    }
    pclose(pipe);
    return names;
}

class ModuleFile : public ::testing::Test {
  protected:
    void SetUp() override
    {
        handle = dlopen(VELMORA_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
    }
    void TearDown() override
    {
        if (handle)
            dlclose(handle);
    }
    template <typename Function> Function *find(const char *name)
    {
        return reinterpret_cast<Function *>(dlsym(handle, name));
    }
    void *handle = nullptr;
};

TEST_F(ModuleFile, ExportsExactlyTheNineEntryPoints)
{
    std::set<std::string> expected = {
        "obs_module_load",        "obs_module_unload",      "obs_module_name",
        "obs_module_description", "obs_module_ver",         "obs_module_set_pointer",
        "obs_module_set_locale",  "obs_module_free_locale", "obs_module_get_string",
    };
    EXPECT_EQ(exported_functions(), expected);
}

TEST_F(ModuleFile, ReportsNameDescriptionAndTheSdkVersion)
{
    auto name = find<const char *()>("obs_module_name");
    auto description = find<const char *()>("obs_module_description");
    auto version = find<uint32_t()>("obs_module_ver");
    ASSERT_TRUE(name && description && version);
    EXPECT_STREQ(name(), "Velmora");
    EXPECT_STREQ(description(),
                 "Stream from OBS into a Velmora voice hall or Stage, and on to your Twitch and "
                 "YouTube.");
    EXPECT_EQ(version(), static_cast<uint32_t>(LIBOBS_API_VER));
}

TEST_F(ModuleFile, LocaleLookupWithoutALocaleIsHarmless)
{
    auto get_string = find<bool(const char *, const char **)>("obs_module_get_string");
    auto free_locale = find<void()>("obs_module_free_locale");
    ASSERT_TRUE(get_string && free_locale);
    const char *out = nullptr;
    EXPECT_FALSE(get_string("Velmora", &out));
    free_locale();
    free_locale();
}

} // namespace
