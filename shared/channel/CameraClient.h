#pragma once

#include "channel/PropertyFraming.h"
#include "platform/FileDescriptor.h"
#include "state/QuellonStorage.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quellon {

class PixelBuffer;
struct CameraInfo;
struct QuellonState;

/// A host could not talk to the camera daemon; code() says why, what() says it for people.
class CameraClientError : public std::runtime_error {
public:
    enum class Code {
        /// Nothing listens on the socket: the daemon is not running.
        notRunning,
        /// The daemon did not answer within the client's timeout.
        timedOut,
        /// The daemon refused the request (what() carries its reason) and closed the connection.
        refused,
        /// The connection ended before the reply was complete.
        connectionLost,
        /// The daemon's reply broke the wire format or its caps.
        protocolError,
        /// Any other system failure (permissions, a path too long for a socket, ...).
        systemError,
    };

    CameraClientError(Code code, const std::string& message);
    Code code() const { return code_; }

private:
    Code code_;
};

/// The host side of the camera socket: sets and gets the camera's properties over one
/// connection, opened on first use and reopened after any failure. Every call finishes or
/// fails within the timeout. Not thread-safe: one client per thread.
class CameraClient {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{5000};
    static constexpr const char* kSocketFilename = "camera.sock";

    /// "camera.sock" in the shared container; nothing when there is no container.
    static std::optional<std::filesystem::path> defaultSocketPath(const ContainerPlatform& platform = ContainerPlatform::system());

    explicit CameraClient(std::filesystem::path socketPath, std::chrono::milliseconds timeout = kDefaultTimeout);
    ~CameraClient();
    CameraClient(CameraClient&& other) noexcept;
    CameraClient& operator=(CameraClient&& other) noexcept;
    CameraClient(const CameraClient&) = delete;
    CameraClient& operator=(const CameraClient&) = delete;

    const std::filesystem::path& socketPath() const { return socketPath_; }

    /// Opens the connection if it is not open. Throws CameraClientError.
    void connect();
    bool isConnected() const { return fd_ >= 0; }
    void disconnect();

    /// Writes a property and waits until the daemon has handled it. Throws CameraClientError,
    /// or FramingError when the bytes exceed the selector's cap (nothing is sent then).
    void setProperty(std::uint32_t selector, std::string_view bytes);

    /// Sends one BGRA frame over the camera's raw frame channel (shared memory, no JPEG). False
    /// when the camera has no raw channel: the caller then sends JPEG. Whether it has one is
    /// asked once per connection. Returns once the camera has copied the frame, so one sealed
    /// memfd per frame size serves every frame. Throws std::invalid_argument for a frame that
    /// is not BGRA, and as setProperty (FramingError above the frame cap).
    bool setRawFrame(const PixelBuffer& frame);

    /// Reads a property: its value, or nothing when the camera has no such property. Throws
    /// CameraClientError.
    std::optional<std::string> property(std::uint32_t selector);

    /// Sends the record on the state channel. Throws std::invalid_argument when it cannot be
    /// encoded, and as setProperty.
    void sendState(const QuellonState& state);

    /// What the camera publishes. Throws CameraClientError (protocolError when the daemon does
    /// not report it or reports something undecodable).
    CameraInfo cameraInfo();

private:
    std::optional<std::string> exchange(PropertyFraming::Operation operation, std::uint32_t selector, std::string_view payload,
                                        int descriptor = -1);

    std::filesystem::path socketPath_;
    std::chrono::milliseconds timeout_;
    int fd_ = -1;
    /// Whether the camera on this connection takes raw frames; unknown until asked.
    std::optional<bool> rawChannel_;
    FileDescriptor rawMemory_;
    std::size_t rawMemoryBytes_ = 0;
};

} // namespace quellon
