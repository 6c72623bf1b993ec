#include "update/update_record.h"

#include "core/json_depth.h"
#include "update/update_state.h"

#include <obs.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace velmora {

namespace {

bool contains_ignoring_case(const std::string &text, const std::string &lower_needle)
{
    std::string lower = text;
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find(lower_needle) != std::string::npos;
}

std::string text_of(obs_data_t *data, const char *key)
{
    const char *value = obs_data_get_string(data, key);
    return value ? value : "";
}

} // namespace

bool read_update_record(const std::string &answer, UpdateRecord &record)
{
    // A nesting the parser would follow to the end of the thread's stack is not a record either.
    if (!json_nesting_within(answer))
        return false;
    // libobs reads a top-level array as an empty object, which would pass for "no newer version".
    std::size_t first = answer.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || answer[first] != '{')
        return false;
    OBSDataAutoRelease data = obs_data_create_from_json(answer.c_str());
    if (!data)
        return false;
    record.version = text_of(data, "latestVersion");
    record.download_url = text_of(data, "downloadUrl");
    record.checksum = text_of(data, "checksum");
    record.notes = text_of(data, "releaseNotes");
    record.required = obs_data_get_bool(data, "isRequired");
    record.size = std::strtoull(text_of(data, "fileSize").c_str(), nullptr, 10);
    if (record.size == 0)
        record.size = static_cast<std::uint64_t>(obs_data_get_int(data, "fileSize"));
    for (char &c : record.checksum)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return true;
}

bool record_is_installable(const UpdateRecord &record)
{
    bool checksum_ok = record.checksum.size() == 64 &&
                       record.checksum.find_first_not_of("0123456789abcdef") == std::string::npos;
    std::string prefix = download_prefix();
    const std::string &url = record.download_url;
    // Dots may climb out of the download folder written plainly or percent-encoded; control bytes
    // and spaces would be read differently by the client than checked here.
    bool url_ok =
        (prefix.empty() || url.starts_with(prefix)) && url.find("..") == std::string::npos &&
        !contains_ignoring_case(url, "%2e") && url.find_first_of("\"'<>\\") == std::string::npos &&
        std::none_of(url.begin(), url.end(), [](char c) { return static_cast<unsigned char>(c) < 0x21; });
    bool size_ok = record.size >= 1 && record.size <= largest_installer;
    return checksum_ok && url_ok && size_ok;
}

} // namespace velmora
