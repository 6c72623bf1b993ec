#pragma once

// A minimal blocking client for talking to the server over real loopback sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

class LoopbackClient {
  public:
    // A receive buffer given is set before connecting, so the peer sees the small window at once.
    explicit LoopbackClient(std::uint16_t port, int receive_buffer = 0)
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receive_buffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
        timeval timeout{10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~LoopbackClient()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    LoopbackClient(const LoopbackClient &) = delete;
    LoopbackClient &operator=(const LoopbackClient &) = delete;

    bool connected() const { return fd_ >= 0; }

    bool send(const std::string &bytes)
    {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Everything until the server closes the connection (or 10 s pass).
    std::string read_all()
    {
        std::string out;
        char buffer[65536];
        for (;;) {
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0)
                return out;
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }

    bool read_exact(std::string &out, std::size_t count)
    {
        out.resize(count);
        std::size_t got = 0;
        while (got < count) {
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
        while (head.size() < 65536 && ::recv(fd_, &c, 1, 0) == 1) {
            head.push_back(c);
            if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0)
                break;
        }
        return head;
    }

    // True when the server has closed the connection within the time given; whatever it sent
    // before is read and dropped.
    bool closed_by_peer(int timeout_ms = 5000)
    {
        for (;;) {
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, timeout_ms) <= 0)
                return false;
            char buffer[65536];
            if (::recv(fd_, buffer, sizeof buffer, 0) <= 0)
                return true;
        }
    }

    // A WebSocket frame as a browser sends it: masked, FIN as given.
    static std::string client_frame(std::uint8_t opcode, const std::string &payload, bool fin = true,
                                    bool masked = true, std::uint64_t announced = UINT64_MAX)
    {
        std::uint64_t length = announced == UINT64_MAX ? payload.size() : announced;
        std::string frame;
        frame.push_back(static_cast<char>((fin ? 0x80 : 0) | opcode));
        char mask_bit = masked ? static_cast<char>(0x80) : 0;
        if (length < 126) {
            frame.push_back(static_cast<char>(mask_bit | length));
        } else if (length < 65536) {
            frame.push_back(static_cast<char>(mask_bit | 126));
            frame.push_back(static_cast<char>(length >> 8));
            frame.push_back(static_cast<char>(length));
        } else {
            frame.push_back(static_cast<char>(mask_bit | 127));
            for (int shift = 56; shift >= 0; shift -= 8)
                frame.push_back(static_cast<char>(length >> shift));
        }
        const unsigned char key[4] = {0x12, 0x34, 0x56, 0x78};
        if (masked)
            frame.append(reinterpret_cast<const char *>(key), 4);
        for (std::size_t i = 0; i < payload.size(); ++i)
            frame.push_back(masked ? static_cast<char>(payload[i] ^ key[i % 4]) : payload[i]);
        return frame;
    }

    struct Frame {
        std::uint8_t first = 0;
        std::uint8_t length_code = 0;
        std::string payload;
        bool ok = false;
    };

    // Reads one server frame.
    Frame read_frame()
    {
        Frame frame;
        std::string head;
        if (!read_exact(head, 2))
            return frame;
        frame.first = static_cast<std::uint8_t>(head[0]);
        frame.length_code = static_cast<std::uint8_t>(head[1]) & 0x7f;
        std::uint64_t length = frame.length_code;
        if (length >= 126) {
            std::string extended;
            if (!read_exact(extended, length == 126 ? 2 : 8))
                return frame;
            length = 0;
            for (unsigned char c : extended)
                length = (length << 8) | c;
        }
        if (!read_exact(frame.payload, static_cast<std::size_t>(length)))
            return frame;
        frame.ok = true;
        return frame;
    }

    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};
