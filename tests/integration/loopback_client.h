#pragma once

// A minimal blocking client for talking to the server over real loopback sockets.
#include "test_sockets.h"

#include <cstdint>
#include <string>

class LoopbackClient {
  public:
    // A receive buffer given is set before connecting, so the peer sees the small window at once.
    explicit LoopbackClient(std::uint16_t port, int receive_buffer = 0) : fd_(open_test_socket())
    {
        if (receive_buffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&receive_buffer),
                       sizeof receive_buffer);
        sockaddr_in address = loopback_address(port);
        set_receive_timeout(fd_, 10);
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            close_test_socket(fd_);
            fd_ = no_test_socket;
        }
    }
    ~LoopbackClient()
    {
        if (fd_ != no_test_socket)
            close_test_socket(fd_);
    }
    LoopbackClient(const LoopbackClient &) = delete;
    LoopbackClient &operator=(const LoopbackClient &) = delete;

    bool connected() const { return fd_ != no_test_socket; }
    test_socket_t fd() const { return fd_; }

    bool send(const std::string &bytes)
    {
        return ::send(fd_, bytes.data(), static_cast<int>(bytes.size()), send_no_signal) ==
               static_cast<int>(bytes.size());
    }
    // Everything until the server closes the connection (or 10 s pass).
    std::string read_all()
    {
        std::string out;
        char buffer[65536];
        for (ssize_t n; (n = ::recv(fd_, buffer, sizeof buffer, 0)) > 0;)
            out.append(buffer, static_cast<std::size_t>(n));
        return out;
    }
    bool read_exact(std::string &out, std::size_t count)
    {
        // A loop, not MSG_WAITALL: Wine's Winsock may return less.
        out.resize(count);
        for (std::size_t got = 0; got < count;) {
            ssize_t n = ::recv(fd_, out.data() + got, count - got, 0);
            if (n <= 0)
                return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }
    // The response head, up to and including the blank line.
    std::string read_head()
    {
        std::string head;
        char c;
        while (head.size() < 65536 && ::recv(fd_, &c, 1, 0) == 1 &&
               (head.push_back(c), head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0)) {
        }
        return head;
    }
    // True when the server has closed the connection within the time given; whatever it sent
    // before is read and dropped.
    bool closed_by_peer(int timeout_ms = 5000)
    {
        char buffer[65536];
        for (test_poll_entry entry{fd_, poll_readable, 0}; poll_test_sockets(&entry, 1, timeout_ms) > 0;)
            if (::recv(fd_, buffer, sizeof buffer, 0) <= 0)
                return true;
        return false;
    }

    // A WebSocket frame as a browser sends it: masked unless told otherwise.
    static std::string frame(std::uint8_t opcode, const std::string &payload, bool fin = true,
                             bool masked = true, std::uint64_t announced = UINT64_MAX)
    {
        std::uint64_t length = announced == UINT64_MAX ? payload.size() : announced;
        std::string out(1, static_cast<char>((fin ? 0x80 : 0) | opcode));
        char mask_bit = masked ? static_cast<char>(0x80) : 0;
        int extra = length < 126 ? 0 : length < 65536 ? 2 : 8;
        out.push_back(static_cast<char>(mask_bit | (extra == 0 ? length : extra == 2 ? 126 : 127)));
        for (int shift = 8 * (extra - 1); shift >= 0; shift -= 8)
            out.push_back(static_cast<char>(length >> shift));
        const char key[4] = {0x12, 0x34, 0x56, 0x78};
        if (masked)
            out.append(key, 4);
        for (std::size_t i = 0; i < payload.size(); ++i)
            out.push_back(masked ? static_cast<char>(payload[i] ^ key[i % 4]) : payload[i]);
        return out;
    }

    struct Frame {
        std::uint8_t first = 0;
        std::string payload;
        bool ok = false;
    };
    // Reads one server frame.
    Frame read_frame()
    {
        Frame got;
        std::string head, extended;
        if (!read_exact(head, 2))
            return got;
        got.first = static_cast<std::uint8_t>(head[0]);
        std::uint64_t length = static_cast<std::uint8_t>(head[1]) & 0x7f;
        if (length >= 126 && !read_exact(extended, length == 126 ? 2 : 8))
            return got;
        if (length >= 126)
            length = 0;
        for (unsigned char c : extended)
            length = (length << 8) | c;
        got.ok = read_exact(got.payload, static_cast<std::size_t>(length));
        return got;
    }

  private:
    test_socket_t fd_;
};
