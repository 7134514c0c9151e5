#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>

namespace quellon {

class LogSink;
class PropertyTarget;

/// The camera's property socket: a Unix stream socket (mode 0600) on which hosts of the same
/// user get and set the camera's properties with framed messages (channel/PropertyFraming.h).
/// It owns one I/O thread, the analogue of the platform's property callback queue: every call
/// into the target happens there, one at a time. A peer that breaks the format, exceeds a cap,
/// stalls mid-message, sends nothing for too long or runs as another user loses its connection
/// (logged); the server itself keeps serving. Nobody can hold it for themselves: when every
/// connection is taken, a newcomer takes the place of the one that has been idle longest (one
/// that never sent a byte first), else of the slowest message; and payload memory is taken as
/// bytes arrive, so a sender that announces a large message and trickles it holds little. A raw frame message brings one memory descriptor (channel/RawFrameChannel.h);
/// a connection holds at most that one, and every other descriptor a peer passes is closed on
/// arrival.
class PropertySocketServer {
public:
    struct Limits {
        /// Connections open at once; a newcomer beyond it takes the place of another (above).
        std::size_t maxConnections = 64;
        /// A message, once its first byte has arrived, must be read and answered within this.
        std::chrono::milliseconds messageTimeout{10000};
        /// A connection that starts no message for this long is closed; hosts reconnect.
        std::chrono::milliseconds idleTimeout{60000};
        /// How long start() waits for a daemon that may own an existing socket to accept.
        std::chrono::milliseconds staleProbeTimeout{1000};
        /// Payload bytes held at once over all connections, reserved when a header declares
        /// them. A message that would go beyond is rejected; the others carry on. Twice the
        /// frame cap by default, so a largest frame fits beside another.
        std::size_t maxBufferedBytes = 64u * 1024 * 1024;
    };

    PropertySocketServer(std::filesystem::path socketPath, PropertyTarget& target, LogSink& log);
    PropertySocketServer(std::filesystem::path socketPath, PropertyTarget& target, LogSink& log, Limits limits);
    ~PropertySocketServer();
    PropertySocketServer(const PropertySocketServer&) = delete;
    PropertySocketServer& operator=(const PropertySocketServer&) = delete;

    /// Binds the socket (creating its directory if needed), replacing a stale socket file but
    /// refusing to take over one that a live daemon answers on or a file that is no socket,
    /// and starts the I/O thread. Throws std::system_error. Does nothing while running.
    void start();

    /// Closes every connection, joins the I/O thread and removes the socket file (unless
    /// another process has put its own there since). Idempotent; must not be called from the
    /// I/O thread, i.e. from inside the target.
    void stop();

    const std::filesystem::path& socketPath() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace quellon
