#pragma once

#include <obs.hpp>

#include <cstdint>
#include <mutex>
#include <string>

namespace velmora {

// The one owner of config.json. Every change is written back at once through OBS's safe writer;
// members the module does not know are kept as they are.
class Settings {
  public:
    static constexpr std::uint16_t default_port = 41471;

    static Settings &instance();

    Settings() = default;
    ~Settings();
    Settings(const Settings &) = delete;
    Settings &operator=(const Settings &) = delete;

    // Reads config.json from the module's configuration folder.
    void load();
    // Reads the given file; an empty path keeps everything in memory only.
    void load_file(const std::string &file_path);
    // Releases the parsed file; reads then give defaults and changes are not saved.
    void close();
    // Writes the whole file through OBS's safe writer; false (and a warning) when it failed.
    bool save();

    std::uint16_t port();
    void set_port(std::uint16_t value);
    bool dock_closed();
    void set_dock_closed(bool value);
    std::string overlay_token();
    std::string reset_overlay_token();
    // An independent copy the caller releases, or null when no previous service is stored.
    obs_data_t *previous_service();
    // Stores a copy of the record; false when it could not be saved, and then the record stays
    // what it was, so nothing is believed stored that a crash would lose.
    bool set_previous_service(obs_data_t *service);
    bool clear_previous_service();

  private:
    std::mutex mutex;
    OBSDataAutoRelease data;
    std::string path;
};

} // namespace velmora
