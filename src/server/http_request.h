#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace velmora {

struct HttpRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> query;
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
};

// Assembles one request from the bytes of a connection, whatever pieces they arrive in.
class RequestAssembler {
  public:
    static constexpr std::size_t max_head_bytes = 16384;
    static constexpr std::size_t max_body_bytes = 65536;

    enum class Status { need_more, failed, complete };

    Status feed(const char *bytes, std::size_t length);
    // The request, once feed has reported complete.
    HttpRequest &request() { return request_; }

  private:
    Status parse_head();

    std::string buffer_;
    bool head_done_ = false;
    bool has_length_ = false;
    std::size_t body_length_ = 0;
    HttpRequest request_;
};

std::map<std::string, std::string> parse_query(const std::string &text);
// Content-Length as strtoul reads it in base 10, wrapped to 32 bits.
std::uint32_t parse_content_length(const std::string &text);

} // namespace velmora
