#pragma once

// Helpers for tests that talk to a camera socket byte by byte. Header-only, tests only.

#include "channel/CameraClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace quellon::testing {

inline sockaddr_un addressOf(const std::filesystem::path& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

/// A plain connected socket whose reads give up after 5 s, so a peer that never answers or
/// never hangs up fails the test instead of hanging it.
inline int connectRaw(const std::filesystem::path& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const sockaddr_un address = addressOf(path);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path << ": " << std::strerror(errno);
    return fd;
}

inline int listenOn(const std::filesystem::path& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = addressOf(path);
    EXPECT_TRUE(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 8) == 0)
        << path << ": " << std::strerror(errno);
    return fd;
}

inline void sendAll(int fd, std::string_view bytes)
{
    for (ssize_t sent; !bytes.empty() && (sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)) > 0;)
        bytes.remove_prefix(static_cast<std::size_t>(sent));
}

/// Exactly size bytes, or false when the peer hangs up or goes quiet first.
inline bool receiveExactly(int fd, void* buffer, std::size_t size)
{
    return size == 0 || ::recv(fd, buffer, size, MSG_WAITALL) == static_cast<ssize_t>(size);
}

struct Received {
    std::string bytes;
    bool hungUp = false;
};

/// Everything the peer sends until it hangs up (or the read times out: hungUp false).
inline Received receiveUntilHangUp(int fd)
{
    Received received;
    char buffer[4096];
    ssize_t got;
    while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        received.bytes.append(buffer, static_cast<std::size_t>(got));
    received.hungUp = got == 0 || errno == ECONNRESET;
    return received;
}

/// Polls a condition that another thread makes true, for up to 5 s.
inline bool eventually(const std::function<bool()>& condition)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > until)
            return false;
    return true;
}

/// The code of the CameraClientError that call throws; nothing when it throws none.
inline std::optional<CameraClientError::Code> clientErrorOf(const std::function<void()>& call, std::string* message = nullptr)
{
    try {
        call();
    } catch (const CameraClientError& error) {
        if (message)
            *message = error.what();
        return error.code();
    }
    return std::nullopt;
}

} // namespace quellon::testing
