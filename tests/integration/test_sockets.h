#pragma once

// What the tests need of the system's sockets, environment and process, on Linux and Windows.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <process.h>
#include <stdlib.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <string>

#ifdef _WIN32
using test_socket_t = SOCKET;
inline constexpr test_socket_t no_test_socket = INVALID_SOCKET;
inline constexpr int send_no_signal = 0;
inline constexpr int shut_write = SD_SEND;
using test_poll_entry = WSAPOLLFD;
inline constexpr short poll_readable = POLLRDNORM;

inline bool start_test_networking()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
inline void close_test_socket(test_socket_t socket)
{
    closesocket(socket);
}
inline int poll_test_sockets(test_poll_entry *entries, unsigned long count, int timeout_ms)
{
    return WSAPoll(entries, count, timeout_ms);
}
inline void set_receive_timeout(test_socket_t socket, int seconds)
{
    DWORD timeout = static_cast<DWORD>(seconds) * 1000;
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout), sizeof timeout);
}
inline void set_test_env(const char *name, const std::string &value)
{
    _putenv_s(name, value.c_str());
}
inline void unset_test_env(const char *name)
{
    _putenv_s(name, "");
}
inline int test_process_id()
{
    return _getpid();
}
#else
using test_socket_t = int;
inline constexpr test_socket_t no_test_socket = -1;
inline constexpr int send_no_signal = MSG_NOSIGNAL;
inline constexpr int shut_write = SHUT_WR;
using test_poll_entry = pollfd;
inline constexpr short poll_readable = POLLIN;

inline bool start_test_networking()
{
    return true;
}
inline void close_test_socket(test_socket_t socket)
{
    ::close(socket);
}
inline int poll_test_sockets(test_poll_entry *entries, unsigned long count, int timeout_ms)
{
    return ::poll(entries, count, timeout_ms);
}
inline void set_receive_timeout(test_socket_t socket, int seconds)
{
    timeval timeout{seconds, 0};
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}
inline void set_test_env(const char *name, const std::string &value)
{
    setenv(name, value.c_str(), 1);
}
inline void unset_test_env(const char *name)
{
    unsetenv(name);
}
inline int test_process_id()
{
    return getpid();
}
#endif

inline test_socket_t open_test_socket()
{
    start_test_networking();
    return ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

inline sockaddr_in loopback_address(std::uint16_t port, bool any_address = false)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(any_address ? INADDR_ANY : INADDR_LOOPBACK);
    return address;
}
