#pragma once

#include <cstdint>
#include <string>

namespace velmora {

// What the service says about the newest version: the answer to a check.
struct UpdateRecord {
    std::string version;
    std::string download_url;
    std::string checksum; // lower case
    std::string notes;
    bool required = false;
    std::uint64_t size = 0;
};

inline constexpr std::uint64_t largest_installer = 209715200;

// False when the answer is not a JSON object; missing members read as empty, false or 0.
bool read_update_record(const std::string &answer, UpdateRecord &record);
// A 64-digit hexadecimal checksum, a download URL under our download prefix with nothing that
// could step out of it, and a size from 1 byte to 200 MiB.
bool record_is_installable(const UpdateRecord &record);

} // namespace velmora
