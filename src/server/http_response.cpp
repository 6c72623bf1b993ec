#include "server/http_response.h"

#include "server/local_server.h"
#include "server/service_origins.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

namespace velmora {

namespace {

constexpr std::size_t max_send_piece = 1048576;
constexpr std::size_t small_body_bytes = 16384;
constexpr unsigned response_timeout_ms = 10000;

bool ends_with(const std::string &text, const char *suffix)
{
    std::string_view end(suffix);
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool starts_with(const std::string &text, const char *prefix)
{
    return text.rfind(prefix, 0) == 0;
}

void send_not_found(platform::socket_t socket)
{
    send_response(socket, 404, "text/plain", "Not found");
}

} // namespace

namespace {

using Clock = std::chrono::steady_clock;

// Sends everything, in pieces of at most 1 MiB; with a deadline, each piece may wait only for
// the time that is left.
bool send_all_until(platform::socket_t socket, const char *bytes, std::size_t length,
                    Clock::time_point deadline)
{
    std::size_t sent = 0;
    while (sent < length) {
        if (deadline != Clock::time_point::max()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || !platform::set_send_timeout(socket, static_cast<unsigned>(left.count())))
                return false;
        }
        std::size_t piece = std::min(length - sent, max_send_piece);
        long result = platform::send_some(socket, bytes + sent, piece);
        if (result <= 0)
            return false;
        sent += static_cast<std::size_t>(result);
    }
    return true;
}

} // namespace

bool send_all(platform::socket_t socket, const char *bytes, std::size_t length)
{
    return send_all_until(socket, bytes, length, Clock::time_point::max());
}

const char *status_text(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    default:
        return "Error";
    }
}

std::string response_head(int status, const std::string &content_type, std::size_t body_length,
                          const HeaderList &extra_headers)
{
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + status_text(status) + "\r\n";
    head += "Content-Type: " + content_type + "\r\n";
    head += "Content-Length: " + std::to_string(body_length) + "\r\n";
    head += "Connection: close\r\n";
    head += "X-Content-Type-Options: nosniff\r\n";
    head += "Referrer-Policy: no-referrer\r\n";
    for (const auto &[name, value] : extra_headers)
        head += name + ": " + value + "\r\n";
    head += "\r\n";
    return head;
}

void send_response(platform::socket_t socket, int status, const std::string &content_type,
                   const std::string &body, const HeaderList &extra_headers)
{
    // A peer that stops reading must not hold its connection thread, and with it the server's
    // stop, for ever: the whole answer gets the same 10 s a request gets.
    auto deadline = Clock::now() + std::chrono::milliseconds(response_timeout_ms);
    std::string head = response_head(status, content_type, body.size(), extra_headers);
    // A small body travels with its head: one write and one segment instead of two.
    if (body.size() <= small_body_bytes) {
        head += body;
        send_all_until(socket, head.data(), head.size(), deadline);
        return;
    }
    if (send_all_until(socket, head.data(), head.size(), deadline))
        send_all_until(socket, body.data(), body.size(), deadline);
}

std::string mime_type_for(const std::string &relative_path)
{
    static constexpr std::pair<const char *, const char *> types[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".webp", "image/webp"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".woff2", "font/woff2"},
        {".woff", "font/woff"},
        {".json", "application/json"},
        {".ico", "image/x-icon"},
        {".mp3", "audio/mpeg"},
    };
    for (const auto &[extension, type] : types) {
        if (ends_with(relative_path, extension))
            return type;
    }
    return "application/octet-stream";
}

bool is_safe_path(const std::string &relative_path)
{
    if (relative_path.empty() || relative_path.size() > 200)
        return false;
    if (relative_path[0] == '/' || relative_path.find("..") != std::string::npos)
        return false;
    return std::all_of(relative_path.begin(), relative_path.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '.' || c == '/' || c == '_';
    });
}

bool read_file(const std::string &full_path, std::string &content)
{
    content.clear();
    // The path is UTF-8 (it comes from OBS); a folder opens for reading on POSIX but is not a
    // file to serve.
    std::filesystem::path path(std::u8string(full_path.begin(), full_path.end()));
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return false;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    file.seekg(0, std::ios::end);
    std::streamoff size = file.tellg();
    if (size < 0)
        return false;
    file.seekg(0, std::ios::beg);
    content.resize(static_cast<std::size_t>(size));
    if (size > 0 && !file.read(content.data(), size)) {
        content.clear();
        return false;
    }
    return true;
}

std::string content_security_policy(std::uint16_t port)
{
    std::string policy = "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; "
                         "img-src 'self' data: blob: https:; font-src 'self' data:; media-src 'self' "
                         "data:; connect-src 'self' ws://127.0.0.1:" +
                         std::to_string(port);
    for (const char *origin : {service_api_origin, service_websocket_origin, identity_toolkit_origin,
                               secure_token_origin, firebase_installations_origin}) {
        policy += ' ';
        policy += origin;
    }
    policy += "; frame-src 'none'; object-src 'none'; base-uri 'none'; form-action 'none'; "
              "frame-ancestors 'none'";
    return policy;
}

void serve_file(const LocalServer &server, platform::socket_t socket, const std::string &relative_path)
{
    const std::string &web_root = server.state ? server.state->web_root : std::string();
    if (!is_safe_path(relative_path) || web_root.empty()) {
        send_not_found(socket);
        return;
    }
    std::string content;
    if (!read_file(web_root + relative_path, content)) {
        send_not_found(socket);
        return;
    }
    std::string type = mime_type_for(relative_path);
    HeaderList headers;
    if (starts_with(type, "text/html")) {
        headers.emplace_back("Cache-Control", "no-store");
        headers.emplace_back("Content-Security-Policy", content_security_policy(server.port));
    } else {
        headers.emplace_back("Cache-Control", starts_with(relative_path, "assets/")
                                                  ? "public, max-age=31536000, immutable"
                                                  : "no-cache");
    }
    send_response(socket, 200, type, content, headers);
}

std::string message_page(const std::string &title, const std::string &text)
{
    return "<!doctype html><html><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
           "content=\"width=device-width,initial-scale=1\"><title>" +
           title +
           "</title><style>body{margin:0;min-height:100vh;display:grid;place-items:center;"
           "background:#17122b;color:#fff8e8;font:600 18px/1.5 "
           "system-ui,sans-serif;text-align:center;padding:24px}b{display:block;font-size:28px;"
           "margin-bottom:8px;color:#ffd84a}</style></head><body><div><b>" +
           title + "</b>" + text + "</div></body></html>";
}

} // namespace velmora
