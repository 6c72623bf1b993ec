#include "server/static_files.h"

#include "core/build_constants.h"
#include "server/http_response.h"
#include "server/local_server.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string_view>

namespace velmora {

namespace {

bool ends_with(const std::string &text, std::string_view end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool starts_with(const std::string &text, std::string_view prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// HTML is never stored (it names the current port), hashed assets are kept for a year, and
// everything else is revalidated.
HeaderList cache_headers(const std::string &relative_path, const std::string &type, std::uint16_t port)
{
    if (starts_with(type, "text/html"))
        return {{"Cache-Control", "no-store"}, {"Content-Security-Policy", content_security_policy(port)}};
    return {{"Cache-Control",
             starts_with(relative_path, "assets/") ? "public, max-age=31536000, immutable" : "no-cache"}};
}

// The web application's files, kept in memory as long as they do not change on disk: serving
// one then costs a look at its size and time instead of a read into fresh memory.
class FileCache {
  public:
    std::shared_ptr<const std::string> get(const std::string &full_path)
    {
        std::filesystem::directory_entry entry;
        std::error_code error;
        entry.assign(std::filesystem::path(std::u8string(full_path.begin(), full_path.end())), error);
        if (error || !entry.is_regular_file(error))
            return nullptr;
        auto size = entry.file_size(error);
        auto time = entry.last_write_time(error);
        if (error)
            return nullptr;
        {
            std::lock_guard guard(lock_);
            auto found = files_.find(full_path);
            if (found != files_.end() && found->second.size == size && found->second.time == time)
                return found->second.content;
        }
        auto content = std::make_shared<std::string>();
        if (!read_file(full_path, *content))
            return nullptr;
        if (content->size() <= max_cached_file) {
            std::lock_guard guard(lock_);
            if (files_.size() >= max_cached_files)
                files_.clear();
            files_[full_path] = {content, size, time};
        }
        return content;
    }

  private:
    static constexpr std::size_t max_cached_files = 256;
    static constexpr std::uintmax_t max_cached_file = std::uintmax_t{4} * 1024 * 1024;
    struct Cached {
        std::shared_ptr<const std::string> content;
        std::uintmax_t size;
        std::filesystem::file_time_type time;
    };
    std::mutex lock_;
    std::map<std::string, Cached> files_;
};

FileCache file_cache;

} // namespace

std::string mime_type_for(const std::string &relative_path)
{
    static constexpr std::pair<std::string_view, const char *> types[] = {
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
    auto size = std::filesystem::file_size(path, error);
    if (error || !std::filesystem::is_regular_file(path, error))
        return false;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    content.resize(static_cast<std::size_t>(size));
    if (size > 0 && !file.read(content.data(), static_cast<std::streamsize>(size))) {
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
    using namespace constants;
    for (const char *origin : {api_origin, websocket_origin, identity_toolkit_origin, secure_token_origin,
                               firebase_installations_origin}) {
        policy += ' ';
        policy += origin;
    }
    policy += "; frame-src 'none'; object-src 'none'; base-uri 'none'; form-action 'none'; "
              "frame-ancestors 'none'";
    return policy;
}

Response serve_page(const LocalServer &server, const std::string &relative_path, const std::string &language)
{
    constexpr std::string_view page_suffix = ".html";
    // A language name is letters, digits and hyphens ("de-DE"): nothing else reaches the path.
    bool named = !language.empty() && language.size() <= 16 &&
                 std::all_of(language.begin(), language.end(),
                             [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; });
    if (named && relative_path.ends_with(page_suffix)) {
        std::string stem = relative_path.substr(0, relative_path.size() - page_suffix.size());
        Response variant = serve_file(server, stem + "." + language + std::string(page_suffix));
        if (variant.status == 200)
            return variant;
    }
    return serve_file(server, relative_path);
}

Response serve_file(const LocalServer &server, const std::string &relative_path)
{
    auto state = server.current_state();
    const std::string web_root = state ? state->web_root : std::string();
    Response response;
    if (is_safe_path(relative_path) && !web_root.empty())
        response.shared_body = file_cache.get(web_root + relative_path);
    if (!response.shared_body)
        return text_response(404, "Not found");
    response.content_type = mime_type_for(relative_path);
    response.extra_headers = cache_headers(relative_path, response.content_type, server.port);
    return response;
}

} // namespace velmora
