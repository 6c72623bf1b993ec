#include "platform/https.h"

#include "platform/text.h"

#include <windows.h>
#include <winhttp.h>

#include <charconv>
#include <cwchar>
#include <memory>
#include <optional>
#include <vector>

namespace velmora::platform {

namespace {

constexpr int resolve_timeout_ms = 10000;
constexpr int connect_timeout_ms = 15000;
constexpr int send_timeout_ms = 30000;
constexpr int receive_timeout_ms = 30000;
constexpr DWORD read_buffer_size = 65536;
// How long a closed request may take to hand its record back before it is left to WinHTTP.
// Windows hands it back at once; Wine only once the call it could not cancel has ended.
constexpr DWORD release_wait_ms = 1000;

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

// One request in WinHTTP's asynchronous mode: each call's completion comes through on_status on
// a WinHTTP thread, and the fetching thread waits for it or for the stop. So a stop ends the wait
// at once, and the request handle is closed only by the thread that uses it.
struct Transfer {
    HANDLE completed = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Set by the request handle's last call-back: WinHTTP no longer uses this record after it.
    HANDLE released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD error = 0; // of the call that completed last, 0 when it succeeded
    DWORD bytes = 0; // of the read that completed last
    std::vector<char> buffer = std::vector<char>(read_buffer_size);

    Transfer() = default;
    Transfer(const Transfer &) = delete;
    Transfer &operator=(const Transfer &) = delete;
    ~Transfer()
    {
        for (HANDLE event : {completed, stopped, released})
            if (event)
                CloseHandle(event);
    }
    bool valid() const { return completed && stopped && released; }
};

void CALLBACK on_status(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information, DWORD length)
{
    auto *transfer = reinterpret_cast<Transfer *>(context);
    if (!transfer)
        return;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        transfer->error = 0;
        SetEvent(transfer->completed);
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        transfer->error = 0;
        transfer->bytes = length;
        SetEvent(transfer->completed);
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        DWORD error = static_cast<WINHTTP_ASYNC_RESULT *>(information)->dwError;
        transfer->error = error ? error : ERROR_WINHTTP_INTERNAL_ERROR;
        SetEvent(transfer->completed);
        break;
    }
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        SetEvent(transfer->released);
        break;
    default:
        break;
    }
}

enum class Waited { done, failed, stopped };

Waited wait_for(const Transfer &transfer)
{
    // WinHTTP's own time-outs end every call that hangs.
    HANDLE events[] = {transfer.completed, transfer.stopped};
    DWORD which = WaitForMultipleObjects(2, events, FALSE, INFINITE);
    if (which != WAIT_OBJECT_0)
        return Waited::stopped;
    return transfer.error == 0 ? Waited::done : Waited::failed;
}

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
    wchar_t text[32] = {}; // 64 bytes
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
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    // Automatic proxy discovery is missing before Windows 8.1.
    if (!session)
        session = WinHttpOpen(wide(user_agent), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    return session;
}

HttpsOutcome exchange(HINTERNET request, Transfer &transfer, const HttpsRequest &asked, HttpsReader &reader)
{
    const wchar_t *headers = asked.headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : wide(asked.headers);
    DWORD headers_length = asked.headers.empty() ? 0 : static_cast<DWORD>(-1);
    auto context = reinterpret_cast<DWORD_PTR>(&transfer);
    auto answered = [&transfer](BOOL started) {
        if (!started)
            return HttpsOutcome::no_answer;
        Waited waited = wait_for(transfer);
        if (waited == Waited::done)
            return HttpsOutcome::complete;
        return waited == Waited::stopped ? HttpsOutcome::stopped : HttpsOutcome::no_answer;
    };
    HttpsOutcome sent = answered(
        WinHttpSendRequest(request, headers, headers_length, WINHTTP_NO_REQUEST_DATA, 0, 0, context));
    if (sent != HttpsOutcome::complete)
        return sent;
    HttpsOutcome headers_read = answered(WinHttpReceiveResponse(request, nullptr));
    if (headers_read != HttpsOutcome::complete)
        return headers_read;

    std::string content_length = content_length_of(request);
    std::optional<std::uint64_t> announced = announced_length(request, content_length);
    reader.on_answer(status_of(request), content_length);
    std::uint64_t received = 0;
    for (;;) {
        if (!WinHttpReadData(request, transfer.buffer.data(), read_buffer_size, nullptr))
            return HttpsOutcome::dropped;
        Waited waited = wait_for(transfer);
        if (waited != Waited::done)
            return waited == Waited::stopped ? HttpsOutcome::stopped : HttpsOutcome::dropped;
        if (transfer.bytes == 0) {
            // Some WinHTTP versions read a connection closed short of the announced length as
            // the body's end.
            return announced && received < *announced ? HttpsOutcome::dropped : HttpsOutcome::complete;
        }
        received += transfer.bytes;
        if (!reader.on_chunk(transfer.buffer.data(), transfer.bytes))
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

    // Call-backs on the request alone, so that none comes once its handle has gone.
    auto transfer = std::make_unique<Transfer>();
    auto context = reinterpret_cast<DWORD_PTR>(transfer.get());
    if (!transfer->valid() ||
        WinHttpSetStatusCallback(opened, on_status,
                                 WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK ||
        !WinHttpSetOption(opened, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
        WinHttpCloseHandle(opened);
        return HttpsOutcome::no_network;
    }
    HANDLE stopped = transfer->stopped;
    stop.attach([stopped] { SetEvent(stopped); });
    // A stop raised before the wake was attached has set nothing.
    HttpsOutcome outcome =
        stop.raised() ? HttpsOutcome::stopped : exchange(opened, *transfer, request, reader);
    stop.detach();
    if (outcome != HttpsOutcome::complete && stop.raised())
        outcome = HttpsOutcome::stopped;

    // Closing cancels a call still under way; its completion and then the closing call-back follow.
    WinHttpCloseHandle(opened);
    if (WaitForSingleObject(transfer->released, release_wait_ms) != WAIT_OBJECT_0)
        static_cast<void>(transfer.release()); // WinHTTP may still write into it
    return outcome;
}

} // namespace velmora::platform
