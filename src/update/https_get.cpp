#include "update/https_get.h"

#include "core/module_info.h"
#include "platform/https.h"
#include "platform/text.h"
#include "update/update_state.h"

#include <vector>

namespace velmora {

bool split_url(const std::string &url, UrlParts &parts)
{
    std::string rest;
    if (url.starts_with("https://")) {
        parts.secure = true;
        parts.port = 443;
        rest = url.substr(8);
    } else if (url.starts_with("http://127.0.0.1:")) {
        parts.secure = false;
        rest = url.substr(7);
    } else {
        return false;
    }
    std::size_t slash = rest.find('/');
    std::string host_and_port = slash == std::string::npos ? rest : rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
    std::string host = host_and_port;
    std::size_t colon = host_and_port.find(':');
    if (colon != std::string::npos) {
        // Digits only, and a port that exists: 70000 is no port, not 4464.
        std::string digits = host_and_port.substr(colon + 1);
        unsigned long number = 0;
        for (char c : digits) {
            if (c < '0' || c > '9' || number > 65535)
                return false;
            number = number * 10 + static_cast<unsigned long>(c - '0');
        }
        if (digits.empty() || number > 65535)
            return false;
        parts.port = static_cast<std::uint16_t>(number);
        host = host_and_port.substr(0, colon);
    }
    parts.host = platform::utf8_to_utf16(host);
    parts.path = platform::utf8_to_utf16(path);
    return !parts.host.empty() && parts.port != 0;
}

namespace {

const std::string user_agent = std::string("VelmoraForOBS/") + module_version;
const std::string request_headers = std::string("X-Client-Name: velmora-obs\r\nX-Client-Version: ") +
                                    module_version +
                                    "\r\nX-Client-Platform: windows\r\nAccept: application/json, "
                                    "application/octet-stream\r\n";

// Takes the body chunk by chunk, applying the caller's limits in the order the caller expects.
class BodyReader : public platform::HttpsReader {
  public:
    BodyReader(std::string *body, platform::File *file, std::uint64_t cap, int &status,
               std::uint64_t &received, const DownloadProgress &progress)
        : body_(body), file_(file), cap_(cap), status_(status), received_(received), progress_(progress)
    {
    }

    void on_answer(int status, const std::string &content_length) override
    {
        status_ = status;
        total_ = std::strtoull(content_length.c_str(), nullptr, 10);
    }

    bool on_chunk(const char *bytes, std::size_t length) override
    {
        if (length == 0)
            return true;
        if (updater_stop_signal().raised())
            return fail("stopping");
        received_ += length;
        if (received_ > cap_)
            return fail("too big");
        if (body_)
            body_->append(bytes, length);
        if (file_ && file_->write(bytes, static_cast<unsigned long>(length)) != static_cast<long>(length))
            return fail("disk");
        if (progress_)
            progress_(received_, total_);
        return true;
    }

    const char *error() const { return error_; }

  private:
    bool fail(const char *word)
    {
        error_ = word;
        return false;
    }

    std::string *body_;
    platform::File *file_;
    std::uint64_t cap_;
    int &status_;
    std::uint64_t &received_;
    const DownloadProgress &progress_;
    std::uint64_t total_ = 0;
    const char *error_ = nullptr;
};

const char *error_word(platform::HttpsOutcome outcome)
{
    using enum platform::HttpsOutcome;
    switch (outcome) {
    case no_network:
        return "no network";
    case no_connection:
        return "no connection";
    case no_answer:
        return "no answer";
    case stopped:
        return "stopping";
    default:
        return "connection dropped";
    }
}

} // namespace

bool https_get(const std::string &url, std::string *body, platform::File *file, std::uint64_t cap,
               int &status, std::uint64_t &received, const DownloadProgress &progress, std::string &error)
{
    UrlParts parts;
    if (!split_url(url, parts)) {
        error = "bad url";
        return false;
    }
    status = 0;
    received = 0;
    platform::HttpsRequest request;
    request.target = {parts.secure, parts.host, parts.port, parts.path};
    request.user_agent = platform::utf8_to_utf16(user_agent);
    request.headers = platform::utf8_to_utf16(request_headers);
    BodyReader reader(body, file, cap, status, received, progress);
    platform::HttpsOutcome outcome = platform::https_fetch(request, updater_stop_signal(), reader);
    if (outcome == platform::HttpsOutcome::complete)
        return true;
    error = outcome == platform::HttpsOutcome::reader_ended ? reader.error() : error_word(outcome);
    return false;
}

} // namespace velmora
