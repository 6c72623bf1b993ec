// The installer's hand-off at exit with the Windows folders, paths and file calls: the updates
// folder under LocalAppData, the installer held and verified again, and its command line.
#include "update/installer_handoff.h"
#include "update/update_state.h"
#include "update/verification.h"
#include "platform/files.h"
#include "platform/text.h"

#include "../integration/fixture_files.h"
#include "../unit/log_capture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdlib.h>

using namespace velmora;

namespace {

// Puts the signed test installer in the updates folder as version 1.0.2, ready to start; the
// recorded digest is the file's own unless told otherwise.
std::u16string make_ready(const std::string &recorded_digest = "")
{
    std::u16string folder = updates_folder();
    std::u16string installer = folder + u"\\Velmora-for-OBS-1.0.2-Setup.exe";
    std::filesystem::copy_file(fixture("installer-signed.exe"),
                               std::filesystem::path(platform::utf16_to_utf8(installer)),
                               std::filesystem::copy_options::overwrite_existing);
    std::uint64_t bytes = 0;
    std::string digest = sha256_file(installer, &bytes);
    std::lock_guard lock(update_lock());
    UpdateState &state = update_state();
    state.phase = "ready";
    state.version = "1.0.2";
    state.checksum = recorded_digest.empty() ? digest : recorded_digest;
    state.size = bytes;
    state.installer_path = installer;
    return installer;
}

} // namespace

TEST(Handoff, TheVerifiedInstallerGetsItsCommandLineWithWindowsPaths)
{
    std::u16string folder = updates_folder();
    EXPECT_EQ(folder, platform::local_app_data_folder() + u"\\Velmora for OBS\\updates");
    EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::path(platform::utf16_to_utf8(folder))));
    std::u16string installer = make_ready();
    restarting_flag() = true;
    _putenv_s("VELMORA_OBS_TEST_UPDATE_DRYRUN", "1");
    LogCapture log;
    hand_off_installer();
    std::string expected = "[velmora] Update 1.0.2 would start now (test dry run): /SILENT /SUPPRESSMSGBOXES "
                           "/NORESTART /SP- /VELMORAUPDATE /LOG=\"" +
                           platform::utf16_to_utf8(folder) + "\\install-1.0.2.log\" /RESTARTOBS=\"" +
                           platform::utf16_to_utf8(platform::executable_path()) + "\"";
    EXPECT_TRUE(log.contains(expected)) << (log.lines().empty() ? "nothing logged" : log.lines().back());
    EXPECT_TRUE(platform::delete_file(installer)) << "the hand-off let go of the installer";
}

TEST(Handoff, AnInstallerThatNoLongerMatchesItsCheckIsNotStarted)
{
    std::u16string installer = make_ready(std::string(64, '0'));
    _putenv_s("VELMORA_OBS_TEST_UPDATE_DRYRUN", "1");
    LogCapture log;
    hand_off_installer();
    EXPECT_TRUE(log.contains("[velmora] Update 1.0.2 not started: the file changed since it was checked"));
    EXPECT_TRUE(platform::delete_file(installer));
}
