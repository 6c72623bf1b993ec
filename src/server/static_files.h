#pragma once

#include <cstdint>
#include <string>

namespace velmora {

class LocalServer;
struct Response;

// The web application's files under web_root: which paths may be served, as what, and how
// browsers may keep them.
std::string mime_type_for(const std::string &relative_path);
bool is_safe_path(const std::string &relative_path);
bool read_file(const std::string &full_path, std::string &content);
std::string content_security_policy(std::uint16_t port);
// The answer for the file at relative_path: the file, or "Not found".
Response serve_file(const LocalServer &server, const std::string &relative_path);
// A page in the language its query names ("index.de-DE.html" for "index.html" with lang=de-DE),
// when the web build wrote one; else the page itself.
Response serve_page(const LocalServer &server, const std::string &relative_path, const std::string &language);

} // namespace velmora
