#pragma once

#include "platform/socket.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace velmora {

class LocalServer;
using HeaderList = std::vector<std::pair<std::string, std::string>>;

bool send_all(platform::socket_t socket, const char *bytes, std::size_t length);
const char *status_text(int status);
std::string response_head(int status, const std::string &content_type, std::size_t body_length,
                          const HeaderList &extra_headers);
void send_response(platform::socket_t socket, int status, const std::string &content_type,
                   const std::string &body, const HeaderList &extra_headers = {});

std::string mime_type_for(const std::string &relative_path);
bool is_safe_path(const std::string &relative_path);
bool read_file(const std::string &full_path, std::string &content);
std::string content_security_policy(std::uint16_t port);
void serve_file(const LocalServer &server, platform::socket_t socket, const std::string &relative_path);
std::string message_page(const std::string &title, const std::string &text);

} // namespace velmora
