#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One answer of the server; every request gets exactly one, then the connection closes.
struct Response {
    int status = 200;
    std::string content_type;
    std::string body;
    HeaderList extra_headers;
    // When set, the body is this shared buffer (a cached file) instead of body.
    std::shared_ptr<const std::string> shared_body = nullptr;

    const std::string &body_bytes() const { return shared_body ? *shared_body : body; }
};

const char *status_text(int status);
std::string response_head(int status, const std::string &content_type, std::size_t body_length,
                          const HeaderList &extra_headers);
// The bytes on the wire: the head with the fixed headers, then the body.
std::string response_bytes(const Response &response);
std::string response_head(const Response &response);
Response text_response(int status, const char *text);
// A small self-contained HTML page in the given language: the title as a heading over the text.
std::string message_page(const std::string &title, const std::string &text, std::string_view language);

} // namespace velmora
