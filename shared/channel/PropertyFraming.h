#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quellon {

/// A property message broke the wire format: what() says how. The reader of such a message
/// cannot trust anything after it and drops the connection.
class FramingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The wire format of the camera socket. A host sends requests; the daemon answers each with
/// exactly one reply, in order.
///
/// Request: a 12-byte header, then `length` payload bytes.
///   [0] version (1)  [1] operation (1 get, 2 set)  [2..3] zero
///   [4..7] selector, big-endian four-character code  [8..11] length, big-endian
/// Reply: an 8-byte header, then `length` payload bytes.
///   [0] version (1)  [1] status  [2..3] zero  [4..7] length, big-endian
///
/// Every length is checked against its cap as soon as its header is complete, before any
/// payload memory is allocated, so a peer can never make the other side reserve more than the
/// caps below.
namespace PropertyFraming {

inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::size_t kRequestHeaderSize = 12;
inline constexpr std::size_t kReplyHeaderSize = 8;

inline constexpr std::uint32_t kMaxFrameBytes = 32u * 1024 * 1024;
inline constexpr std::uint32_t kMaxStateBytes = 1024u * 1024;
inline constexpr std::uint32_t kMaxNameBytes = 4 * 1024;
inline constexpr std::uint32_t kMaxCameraInfoBytes = 64 * 1024;
/// A raw frame's message carries only its layout; the pixels travel in shared memory.
inline constexpr std::uint32_t kMaxRawFrameMessageBytes = 64;
/// Selectors the camera does not know still travel (and are ignored), but only small ones.
inline constexpr std::uint32_t kMaxOtherBytes = 4 * 1024;
/// The reason text of a rejected request.
inline constexpr std::uint32_t kMaxRejectionBytes = 1024;

enum class Operation : std::uint8_t { get = 1, set = 2 };

enum class ReplyStatus : std::uint8_t {
    /// Set: done, no payload. Get: the payload is the value.
    ok = 0,
    /// Get of a property the camera does not have; no payload.
    noValue = 1,
    /// The request broke the format or a cap; the payload is the reason and the daemon closes
    /// the connection after it.
    rejected = 2,
};

struct RequestHeader {
    Operation operation = Operation::get;
    std::uint32_t selector = 0;
    std::uint32_t length = 0;
    bool operator==(const RequestHeader&) const = default;
};

struct ReplyHeader {
    ReplyStatus status = ReplyStatus::ok;
    std::uint32_t length = 0;
    bool operator==(const ReplyHeader&) const = default;
};

/// Largest value a property carries in either direction: the frame, state, name, raw frame and
/// camera information channels have their own caps, every other selector kMaxOtherBytes.
std::uint32_t payloadCap(std::uint32_t selector);

std::array<std::uint8_t, kRequestHeaderSize> encodeRequestHeader(const RequestHeader& header);

/// Throws FramingError for another version, an unknown operation, non-zero reserved bytes, a
/// get that carries a payload, or a length above the selector's cap.
RequestHeader decodeRequestHeader(std::span<const std::uint8_t, kRequestHeaderSize> bytes);

/// A whole request, header and payload. Throws FramingError when the payload exceeds the
/// selector's cap or a get carries one.
std::string encodeRequest(Operation operation, std::uint32_t selector, std::string_view payload);

std::array<std::uint8_t, kReplyHeaderSize> encodeReplyHeader(const ReplyHeader& header);

/// Checks the reply to a request for selector: ok may carry up to the selector's cap (and a
/// set's ok nothing at all), noValue nothing, rejected up to kMaxRejectionBytes. Throws
/// FramingError otherwise.
ReplyHeader decodeReplyHeader(std::span<const std::uint8_t, kReplyHeaderSize> bytes,
                              Operation operation, std::uint32_t selector);

/// A whole reply. Throws FramingError when the payload is longer than 32-bit lengths allow.
std::string encodeReply(ReplyStatus status, std::string_view payload = {});

} // namespace PropertyFraming

} // namespace quellon
