#include "platform/https.h"

#include "platform/text.h"

#include <windows.h>
#include <winhttp.h>

#include <charconv>
#include <cwchar>
#include <mutex>
#include <optional>
#include <vector>

namespace velmora::platform {

namespace {

constexpr int resolve_timeout_ms = 10000;
constexpr int connect_timeout_ms = 15000;
constexpr int send_timeout_ms = 30000;
constexpr int receive_timeout_ms = 30000;
constexpr DWORD read_buffer_size = 65536;

const wchar_t *wide(const std::u16string &text)
{
    return reinterpret_cast<const wchar_t *>(text.c_str());
}

class Handle {
  public:
    explicit Handle(HINTERNET handle = nullptr) : handle_(handle) {}
    ~Handle()
    {
        if (handle_)
            WinHttpCloseHandle(handle_);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    HINTERNET get() const { return handle_; }

  private:
    HINTERNET handle_;
};

// The request handle, which a stop closes from another thread: closing it is the one way to end a
// synchronous WinHTTP call at once. Closed exactly once, by the stop or at the end of the transfer.
class Request {
  public:
    Request(HINTERNET handle, StopSignal &stop) : handle_(handle), stop_(stop)
    {
        // Runs under the signal's lock, which also serialises it with detach below.
        stop_.attach([this] {
            if (!closed_.exchange(true))
                WinHttpCloseHandle(handle_);
        });
    }
    ~Request()
    {
        stop_.detach();
        if (!closed_.exchange(true))
            WinHttpCloseHandle(handle_);
    }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    HINTERNET get() const { return handle_; }

    // Whether the transfer must end as stopped. Asked before each call, so a closed handle is not
    // passed again but in the instant between the question and the call, where the call fails. A
    // call that fails or ends early once the handle has been closed under it failed because of the
    // stop, whatever error it gives.
    bool stopped() const { return closed_ || stop_.raised(); }

    HttpsOutcome failed(HttpsOutcome otherwise) const
    {
        return stopped() ? HttpsOutcome::stopped : otherwise;
    }

  private:
    HINTERNET handle_;
    StopSignal &stop_;
    std::atomic<bool> closed_{false};
};

int status_of(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return 0;
    return static_cast<int>(status);
}

std::string content_length_of(HINTERNET request)
{
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return {};
    std::size_t length = wcsnlen(text, sizeof text / sizeof text[0]);
    return utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t *>(text), length));
}

// The length a body must reach to be whole, when its answer says so: with a transfer coding the
// length header means nothing.
std::optional<std::uint64_t> announced_length(HINTERNET request, const std::string &content_length)
{
    DWORD size = 0;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_TRANSFER_ENCODING, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() != ERROR_WINHTTP_HEADER_NOT_FOUND)
        return std::nullopt;
    std::uint64_t length = 0;
    const char *end = content_length.data() + content_length.size();
    auto [at, error] = std::from_chars(content_length.data(), end, length);
    if (content_length.empty() || error != std::errc() || at != end)
        return std::nullopt;
    return length;
}

HINTERNET open_session(const std::u16string &user_agent)
{
    HINTERNET session = WinHttpOpen(wide(user_agent), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    // Automatic proxy discovery is missing before Windows 8.1.
    if (!session)
        session = WinHttpOpen(wide(user_agent), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    return session;
}

HttpsOutcome receive(Request &request, HttpsReader &reader)
{
    int status = status_of(request.get());
    std::string content_length = content_length_of(request.get());
    // A query on a handle the stop closed reads nothing worth passing on.
    if (request.stopped())
        return HttpsOutcome::stopped;
    std::optional<std::uint64_t> announced = announced_length(request.get(), content_length);
    reader.on_answer(status, content_length);

    std::vector<char> buffer(read_buffer_size);
    std::uint64_t received = 0;
    for (;;) {
        if (request.stopped())
            return HttpsOutcome::stopped;
        DWORD got = 0;
        if (!WinHttpReadData(request.get(), buffer.data(), read_buffer_size, &got))
            return request.failed(HttpsOutcome::dropped);
        if (got == 0) {
            // Some WinHTTP versions read a connection closed short of the announced length as
            // the body's end.
            if (announced && received < *announced)
                return request.failed(HttpsOutcome::dropped);
            return request.failed(HttpsOutcome::complete);
        }
        received += got;
        if (request.stopped())
            return HttpsOutcome::stopped;
        if (!reader.on_chunk(buffer.data(), got))
            return HttpsOutcome::reader_ended;
    }
}

} // namespace

HttpsOutcome https_fetch(const HttpsRequest &request, StopSignal &stop, HttpsReader &reader)
{
    if (stop.raised())
        return HttpsOutcome::stopped;
    const HttpsTarget &target = request.target;

    Handle session(open_session(request.user_agent));
    if (!session.get())
        return HttpsOutcome::no_network;
    WinHttpSetTimeouts(session.get(), resolve_timeout_ms, connect_timeout_ms, send_timeout_ms,
                       receive_timeout_ms);

    Handle connection(WinHttpConnect(session.get(), wide(target.host), target.port, 0));
    if (!connection.get())
        return HttpsOutcome::no_connection;
    HINTERNET opened =
        WinHttpOpenRequest(connection.get(), L"GET", wide(target.path), nullptr, WINHTTP_NO_REFERER,
                           WINHTTP_DEFAULT_ACCEPT_TYPES, target.secure ? WINHTTP_FLAG_SECURE : 0);
    if (!opened)
        return HttpsOutcome::no_connection;
    // Declared after the connection so that it is closed first.
    Request transfer(opened, stop);
    // A stop raised before the wake was attached has woken nothing.
    if (transfer.stopped())
        return HttpsOutcome::stopped;

    const wchar_t *headers = request.headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wide(request.headers);
    DWORD headers_length = request.headers.empty() ? 0 : static_cast<DWORD>(-1);
    if (!WinHttpSendRequest(transfer.get(), headers, headers_length, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(transfer.get(), nullptr))
        return transfer.failed(HttpsOutcome::no_answer);
    return receive(transfer, reader);
}

} // namespace velmora::platform
