// Loads the built module file as OBS does and checks what it exports.
#include <gtest/gtest.h>
#include <obs-config.h>

#include <dlfcn.h>

#include <cstdio>
#include <set>
#include <string>

TEST(ModuleFile, ExportsExactlyTheTenEntryPointsWithTheirAnswers)
{
    std::set<std::string> names;
    // NOLINTNEXTLINE(cert-env33-c): nm on the module file the build names, nothing from outside
    FILE *pipe = popen((std::string("nm -D --defined-only '") + VELMORA_MODULE_FILE + "'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[512], name[400];
    char type;
    while (fgets(line, sizeof line, pipe))
        if (sscanf(line, "%*s %c %399s", &type, name) == 2 && (type == 'T' || type == 'W'))
            names.insert(name);
    pclose(pipe);
    EXPECT_EQ(names, (std::set<std::string>{"obs_module_load", "obs_module_post_load", "obs_module_unload",
                                            "obs_module_name", "obs_module_description", "obs_module_ver",
                                            "obs_module_set_pointer", "obs_module_set_locale",
                                            "obs_module_free_locale", "obs_module_get_string"}));

    void *module = dlopen(VELMORA_MODULE_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    auto find = [module](const char *symbol) { return dlsym(module, symbol); };
    EXPECT_STREQ(reinterpret_cast<const char *(*)()>(find("obs_module_name"))(), "Velmora");
    EXPECT_EQ(reinterpret_cast<uint32_t (*)()>(find("obs_module_ver"))(),
              static_cast<uint32_t>(LIBOBS_API_VER));
    // Without a locale the lookups answer nothing, and freeing twice is harmless.
    const char *out = nullptr;
    EXPECT_FALSE(reinterpret_cast<bool (*)(const char *, const char **)>(find("obs_module_get_string"))(
        "Velmora", &out));
    reinterpret_cast<void (*)()>(find("obs_module_free_locale"))();
    reinterpret_cast<void (*)()>(find("obs_module_free_locale"))();
    dlclose(module);
}
