#include "server/http_response.h"

namespace velmora {

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
    case 503:
        return "Service Unavailable";
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
        head.append(name).append(": ").append(value).append("\r\n");
    head += "\r\n";
    return head;
}

std::string response_head(const Response &response)
{
    return response_head(response.status, response.content_type, response.body_bytes().size(),
                         response.extra_headers);
}

std::string response_bytes(const Response &response)
{
    return response_head(response) + response.body_bytes();
}

Response text_response(int status, const char *text)
{
    return {status, "text/plain", text, {}};
}

namespace {

// Translations are text, never markup.
std::string html_text(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

std::string message_page(const std::string &title, const std::string &text, std::string_view language)
{
    return "<!doctype html><html lang=\"" + html_text(std::string(language)) +
           "\"><head><meta charset=\"utf-8\"><meta name=\"viewport\" "
           "content=\"width=device-width,initial-scale=1\"><title>" +
           html_text(title) +
           "</title><style>body{margin:0;min-height:100vh;display:grid;place-items:center;"
           "background:#17122b;color:#fff8e8;font:600 18px/1.5 "
           "system-ui,sans-serif;text-align:center;padding:24px}b{display:block;font-size:28px;"
           "margin-bottom:8px;color:#ffd84a}</style></head><body><div><b>" +
           html_text(title) + "</b>" + html_text(text) + "</div></body></html>";
}

} // namespace velmora
