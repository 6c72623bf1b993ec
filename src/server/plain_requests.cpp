#include "server/plain_requests.h"

#include "server/http_response.h"
#include "server/local_server.h"
#include "server/router.h"
#include "server/websocket.h"

#include <algorithm>

namespace velmora {

namespace {

constexpr std::size_t max_send_piece = 1048576;
// A small body travels with its head: one write and one segment instead of two.
constexpr std::size_t small_body_bytes = 16384;

} // namespace

PlainRequests::~PlainRequests()
{
    for (Open &open : open_)
        close_socket(open.socket);
}

bool PlainRequests::has_room() const
{
    return open_.size() < static_cast<std::size_t>(max_open_requests);
}

void PlainRequests::add(platform::socket_t socket)
{
    open_.push_back(Open{socket, {}, {}, nullptr, 0, false, Clock::now() + server_.request_time_limit});
    // The request is often there already: no need to wait for the next round.
    if (!read_more(open_.back()))
        open_.pop_back();
}

void PlainRequests::add_waits(std::vector<platform::SocketWait> &waits) const
{
    for (const Open &open : open_)
        waits.push_back({open.socket, !open.writing, open.writing});
}

void PlainRequests::serve(std::span<const platform::SocketWait> ready)
{
    auto now = Clock::now();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < open_.size(); ++i) {
        Open &open = open_[i];
        bool keep = true;
        if (i < ready.size() && ready[i].readiness != platform::ready_none)
            keep = open.writing ? write_more(open) : read_more(open);
        if (keep && now >= open.deadline) {
            close_socket(open.socket);
            keep = false;
        }
        if (keep) {
            if (kept != i)
                open_[kept] = std::move(open);
            kept++;
        }
    }
    open_.resize(kept);
}

int PlainRequests::wait_time_ms() const
{
    if (open_.empty())
        return -1;
    auto earliest = std::min_element(open_.begin(), open_.end(), [](const Open &a, const Open &b) {
                        return a.deadline < b.deadline;
                    })->deadline;
    // Rounded up, so the wait does not end just before the limit and spin.
    return wait_time(earliest) + 1;
}

bool PlainRequests::read_more(Open &open)
{
    char piece[4096];
    for (;;) {
        long got = platform::receive_some(open.socket, piece, sizeof piece);
        if (got == platform::io_would_block)
            return true;
        if (got <= 0) {
            close_socket(open.socket);
            return false;
        }
        switch (open.request.feed(piece, static_cast<std::size_t>(got))) {
        case RequestAssembler::Status::need_more:
            continue;
        case RequestAssembler::Status::failed:
            // Unreadable or too large: no answer at all.
            close_socket(open.socket);
            return false;
        case RequestAssembler::Status::complete:
            return respond(open);
        }
    }
}

bool PlainRequests::respond(Open &open)
{
    const HttpRequest &request = open.request.request();
    Route route = route_of(request);
    Response response;
    if (route != Route::plain && host_allowed(server_, request)) {
        bool is_overlay = route == Route::overlay;
        std::optional<Response> refusal = upgrade_refusal(server_, request, is_overlay);
        if (!refusal) {
            auto key = request.headers.find("sec-websocket-key");
            server_.start_websocket(open.socket, key->second, is_overlay, request.query.at("token"));
            return false;
        }
        response = std::move(*refusal);
    } else {
        response = answer(server_, request);
    }
    if (response.body_bytes().size() <= small_body_bytes) {
        open.head = response_bytes(response);
    } else {
        open.head = response_head(response);
        open.body = response.shared_body ? response.shared_body
                                         : std::make_shared<const std::string>(std::move(response.body));
    }
    open.writing = true;
    open.deadline = Clock::now() + server_.request_time_limit;
    return write_more(open);
}

bool PlainRequests::write_more(Open &open)
{
    std::size_t total = open.head.size() + (open.body ? open.body->size() : 0);
    while (open.sent < total) {
        bool in_head = open.sent < open.head.size();
        const std::string &part = in_head ? open.head : *open.body;
        std::size_t offset = in_head ? open.sent : open.sent - open.head.size();
        long sent = platform::send_some(open.socket, part.data() + offset,
                                        std::min(part.size() - offset, max_send_piece));
        if (sent == platform::io_would_block)
            return true;
        if (sent <= 0)
            break; // the peer went away: it misses the answer
        open.sent += static_cast<std::size_t>(sent);
    }
    close_socket(open.socket);
    return false;
}

} // namespace velmora
