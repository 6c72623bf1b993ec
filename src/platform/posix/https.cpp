#include "platform/https.h"

#include "platform/text.h"

#include <curl/curl.h>

#include <cctype>
#include <mutex>
#include <string_view>

namespace velmora::platform {

namespace {

struct Transfer {
    explicit Transfer(HttpsReader &taker) : reader(taker) {}

    HttpsReader &reader;
    CURL *easy = nullptr;
    std::string content_length;
    bool headers_done = false;
    bool answered = false;
    bool reader_ended = false;

    void answer()
    {
        if (answered)
            return;
        answered = true;
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        reader.on_answer(static_cast<int>(status), content_length);
    }
};

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    }
    return true;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() &&
           (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

std::size_t on_header_line(char *data, std::size_t size, std::size_t count, void *user)
{
    auto &transfer = *static_cast<Transfer *>(user);
    std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        // A new answer (after a redirect or an interim answer) replaces what the last one said.
        transfer.content_length.clear();
        transfer.headers_done = false;
    } else if (starts_with_ignoring_case(line, "content-length:")) {
        transfer.content_length = std::string(trimmed(line.substr(15)));
    } else if (trimmed(line).empty()) {
        long status = 0;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
        transfer.headers_done = status >= 200 && !(status >= 300 && status < 400);
    }
    return size * count;
}

std::size_t on_body(char *data, std::size_t size, std::size_t count, void *user)
{
    auto &transfer = *static_cast<Transfer *>(user);
    transfer.answer();
    if (!transfer.reader.on_chunk(data, size * count)) {
        transfer.reader_ended = true;
        return 0;
    }
    return size * count;
}

bool host_is_plain(const std::string &host)
{
    // A host with user information, a path or spaces would be read differently by the URL parser
    // than the caller split it; such a name cannot be connected to.
    if (host.empty())
        return false;
    for (unsigned char c : host) {
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_')
            return false;
    }
    return true;
}

struct CurlHeaders {
    curl_slist *list = nullptr;
    ~CurlHeaders() { curl_slist_free_all(list); }
    bool add(const std::string &line)
    {
        curl_slist *grown = curl_slist_append(list, line.c_str());
        if (grown)
            list = grown;
        return grown != nullptr;
    }
};

HttpsOutcome run(CURLM *multi, CURL *easy, StopSignal &stop, Transfer &transfer)
{
    if (curl_multi_add_handle(multi, easy) != CURLM_OK)
        return HttpsOutcome::no_network;
    stop.attach([multi] { curl_multi_wakeup(multi); });
    HttpsOutcome outcome = HttpsOutcome::no_answer;
    for (;;) {
        if (stop.raised()) {
            outcome = HttpsOutcome::stopped;
            break;
        }
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK)
            break;
        if (running == 0) {
            int left = 0;
            CURLcode result = CURLE_FAILED_INIT;
            while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
                if (message->msg == CURLMSG_DONE)
                    result = message->data.result;
            }
            if (result == CURLE_OK) {
                transfer.answer();
                outcome = HttpsOutcome::complete;
            } else if (transfer.reader_ended) {
                outcome = HttpsOutcome::reader_ended;
            } else if (result == CURLE_URL_MALFORMAT || result == CURLE_UNSUPPORTED_PROTOCOL) {
                outcome = HttpsOutcome::no_connection;
            } else {
                outcome = transfer.headers_done || transfer.answered ? HttpsOutcome::dropped
                                                                     : HttpsOutcome::no_answer;
            }
            break;
        }
        if (curl_multi_poll(multi, nullptr, 0, 1000, nullptr) != CURLM_OK)
            break;
    }
    stop.detach();
    curl_multi_remove_handle(multi, easy);
    return outcome;
}

} // namespace

HttpsOutcome https_fetch(const HttpsRequest &request, StopSignal &stop, HttpsReader &reader)
{
    static std::once_flag curl_started;
    static bool curl_ready = false;
    std::call_once(curl_started, [] { curl_ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    if (!curl_ready)
        return HttpsOutcome::no_network;

    const HttpsTarget &target = request.target;
    std::string host = utf16_to_utf8(target.host);
    if (!host_is_plain(host))
        return HttpsOutcome::no_connection;
    std::string url = (target.secure ? "https://" : "http://") + host + ":" + std::to_string(target.port) +
                      utf16_to_utf8(target.path);

    CurlHeaders headers;
    std::string block = utf16_to_utf8(request.headers);
    for (std::size_t start = 0; start < block.size();) {
        std::size_t end = block.find("\r\n", start);
        if (end == std::string::npos)
            end = block.size();
        if (end > start && !headers.add(block.substr(start, end - start)))
            return HttpsOutcome::no_network;
        start = end + 2;
    }

    CURLM *multi = curl_multi_init();
    CURL *easy = curl_easy_init();
    if (!multi || !easy) {
        curl_easy_cleanup(easy);
        curl_multi_cleanup(multi);
        return HttpsOutcome::no_network;
    }
    Transfer transfer(reader);
    transfer.easy = easy;
    std::string user_agent = utf16_to_utf8(request.user_agent);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, target.secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, user_agent.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, 15000L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 65536L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    // A stop must not wait for a name lookup that hangs: the resolver thread is left to end alone.
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, on_header_line);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);

    HttpsOutcome outcome = run(multi, easy, stop, transfer);
    curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    return outcome;
}

} // namespace velmora::platform
