#pragma once

#include <string>

namespace velmora {

// Where installers are downloaded to, created if missing; empty when the user has no
// application data folder.
std::u16string updates_folder();
// Deletes partial downloads and installers not newer than the running version.
void clean_updates_folder(const std::u16string &folder);
// The installer's parameters: silent, logging into the updates folder, and restarting OBS when
// obs_path is not empty.
std::u16string installer_command_line(const std::u16string &folder, const std::string &version,
                                      const std::u16string &obs_path);
// At OBS's exit, once per process: starts the verified installer if it is still the file that was
// verified.
void hand_off_installer();
// Whether OBS's exit has been seen.
bool installer_handed_off();

} // namespace velmora
