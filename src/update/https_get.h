#pragma once

#include "platform/files.h"

#include <cstdint>
#include <functional>
#include <string>

namespace velmora {

struct UrlParts {
    bool secure = true;
    std::u16string host;
    std::uint16_t port = 443;
    std::u16string path;
};

// https URLs, and plain http to the loopback test origin "http://127.0.0.1:<port>" only.
bool split_url(const std::string &url, UrlParts &parts);

using DownloadProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// One GET into a string, a file or both, ending at cap bytes or when the updater stops. True when
// the whole body was read; any HTTP status counts. On failure error gets one of: "bad url",
// "no network", "no connection", "no answer", "connection dropped", "too big", "disk", "stopping".
bool https_get(const std::string &url, std::string *body, platform::File *file, std::uint64_t cap,
               int &status, std::uint64_t &received, const DownloadProgress &progress, std::string &error);

} // namespace velmora
