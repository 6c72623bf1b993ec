#pragma once

#include "platform/socket.h"
#include "server/connection.h"
#include "server/http_request.h"

#include <memory>
#include <span>
#include <string>
#include <vector>

namespace velmora {

class LocalServer;

// The plain HTTP connections of the server thread: each one is read, answered and closed as
// its socket allows, without a thread of its own, so a request costs no thread start and a slow
// peer costs nothing but its slot. An upgrade to a WebSocket leaves for a thread of its own.
class PlainRequests {
  public:
    explicit PlainRequests(LocalServer &server) : server_(server) {}
    ~PlainRequests();
    PlainRequests(const PlainRequests &) = delete;
    PlainRequests &operator=(const PlainRequests &) = delete;

    bool has_room() const;
    // Takes an accepted connection and serves what it already can.
    void add(platform::socket_t socket);
    // What each open connection waits for, appended in order.
    void add_waits(std::vector<platform::SocketWait> &waits) const;
    // Serves the connections after a wait; ready holds their entries in add_waits' order.
    void serve(std::span<const platform::SocketWait> ready);
    // Milliseconds until the earliest time limit, -1 when no connection is open.
    int wait_time_ms() const;
    std::size_t size() const { return open_.size(); }

  private:
    struct Open {
        platform::socket_t socket;
        RequestAssembler request;
        // The answer: its head (with a small body), then a large body, if any.
        std::string head;
        std::shared_ptr<const std::string> body;
        std::size_t sent = 0;
        bool writing = false;
        Clock::time_point deadline;
    };

    // False once the connection is done with (closed, or handed to a WebSocket thread).
    bool read_more(Open &open);
    bool write_more(Open &open);
    bool respond(Open &open);

    LocalServer &server_;
    std::vector<Open> open_;
};

} // namespace velmora
