#include "update/installer_handoff.h"

#include "core/log.h"
#include "core/module_info.h"
#include "platform/files.h"
#include "platform/program.h"
#include "platform/text.h"
#include "update/update_record.h"
#include "update/update_state.h"
#include "update/verification.h"
#include "update/versions.h"

#include <atomic>
#include <cstdlib>
#include <vector>

namespace velmora {

namespace {

std::atomic<bool> handed_off{false};

bool should_delete(const std::string &name)
{
    if (name.size() >= 6 && name.ends_with(".part"))
        return true;
    const std::string head = "Velmora-for-OBS-", tail = "-Setup.exe";
    if (name.size() > 26 && name.starts_with(head) && name.ends_with(tail)) {
        std::string version = name.substr(head.size(), name.size() - head.size() - tail.size());
        return is_version(version) && compare_versions(version, module_version) <= 0;
    }
    return false;
}

} // namespace

std::u16string updates_folder()
{
    std::u16string base = platform::local_app_data_folder();
    if (base.empty())
        return {};
    std::u16string folder =
        base + platform::path_separator + u"Velmora for OBS" + platform::path_separator + u"updates";
    platform::create_folders(folder);
    return folder;
}

void clean_updates_folder(const std::u16string &folder)
{
    std::vector<std::u16string> names;
    if (!platform::list_folder(folder, names))
        return;
    for (const std::u16string &name : names) {
        if (name == u"." || name == u"..")
            continue;
        if (should_delete(platform::utf16_to_utf8(name))) {
            std::u16string file = folder;
            file += platform::path_separator;
            file += name;
            platform::delete_file(file);
        }
    }
}

std::u16string installer_command_line(const std::u16string &folder, const std::string &version,
                                      const std::u16string &obs_path)
{
    std::u16string line = u"/SILENT /SUPPRESSMSGBOXES /NORESTART /SP- /VELMORAUPDATE /LOG=\"" + folder +
                          platform::path_separator + u"install-" + platform::utf8_to_utf16(version) +
                          u".log\"";
    if (!obs_path.empty())
        line += u" /RESTARTOBS=\"" + obs_path + u"\"";
    return line;
}

bool installer_handed_off()
{
    return handed_off;
}

void hand_off_installer()
{
    if (handed_off.exchange(true))
        return;
    UpdateState state = update_state_copy();
    if (state.phase != "ready" || state.installer_path.empty())
        return;
    const char *version = state.version.c_str();

    // From here on the bytes checked are the bytes that start.
    platform::HeldFile installer;
    if (!installer.hold(state.installer_path, largest_installer))
        return;
    std::uint64_t bytes = 0;
    std::string reason;
    if (sha256_file(installer.readable_path(), &bytes) != state.checksum || bytes != state.size ||
        !check_installer_signature(installer.readable_path(), reason)) {
        VELMORA_LOG(LOG_WARNING, "Update %s not started: the file changed since it was checked", version);
        return;
    }
    std::u16string obs_path = restarting_flag() ? platform::executable_path() : u"";
    std::u16string parameters = installer_command_line(updates_folder(), state.version, obs_path);
    if (std::getenv("VELMORA_OBS_TEST_UPDATE_DRYRUN")) {
        VELMORA_LOG(LOG_INFO, "Update %s would start now (test dry run): %s", version,
                    platform::utf16_to_utf8(parameters).c_str());
        return;
    }
    unsigned long error = platform::start_program(installer, parameters);
    installer.release();
    if (error != 0)
        VELMORA_LOG(LOG_WARNING, "Update %s could not start (error %lu); it tries again next time OBS closes",
                    version, error);
    else
        VELMORA_LOG(LOG_INFO, "Update %s is installing (it waits for OBS to close)", version);
}

} // namespace velmora
