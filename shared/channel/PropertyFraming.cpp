#include "channel/PropertyFraming.h"

#include "channel/CameraInfo.h"
#include "channel/QuellonCMIOChannel.h"

#include <limits>

namespace quellon::PropertyFraming {

namespace {

void putBigEndian32(std::uint8_t* out, std::uint32_t value)
{
    out[0] = static_cast<std::uint8_t>(value >> 24);
    out[1] = static_cast<std::uint8_t>(value >> 16);
    out[2] = static_cast<std::uint8_t>(value >> 8);
    out[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t bigEndian32(const std::uint8_t* in)
{
    return (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) | (std::uint32_t{in[2]} << 8) | std::uint32_t{in[3]};
}

std::string selectorText(std::uint32_t selector)
{
    return "'" + QuellonCMIOChannel::fourCharCodeText(selector) + "'";
}

void checkVersionAndReserved(const std::uint8_t* bytes)
{
    if (bytes[0] != kVersion)
        throw FramingError("unsupported message version " + std::to_string(bytes[0]));
    if (bytes[2] != 0 || bytes[3] != 0)
        throw FramingError("reserved header bytes are not zero");
}

std::uint32_t checkedLength(std::size_t size)
{
    if (size > std::numeric_limits<std::uint32_t>::max())
        throw FramingError("payload of " + std::to_string(size) + " bytes is too long for the wire");
    return static_cast<std::uint32_t>(size);
}

void checkRequest(const RequestHeader& header)
{
    if (header.operation == Operation::get && header.length != 0)
        throw FramingError("a get of " + selectorText(header.selector) + " carries " + std::to_string(header.length) + " bytes");
    const std::uint32_t cap = payloadCap(header.selector);
    if (header.length > cap)
        throw FramingError("a value of " + std::to_string(header.length) + " bytes for " + selectorText(header.selector)
                           + " exceeds the cap of " + std::to_string(cap) + " bytes");
}

} // namespace

std::uint32_t payloadCap(std::uint32_t selector)
{
    switch (selector) {
    case QuellonCMIOChannel::frameSelector:
        return kMaxFrameBytes;
    case QuellonCMIOChannel::stateSelector:
        return kMaxStateBytes;
    case QuellonCMIOChannel::nameSelector:
        return kMaxNameBytes;
    case kCameraInfoSelector:
        return kMaxCameraInfoBytes;
    case QuellonCMIOChannel::rawFrameSelector:
        return kMaxRawFrameMessageBytes;
    default:
        return kMaxOtherBytes;
    }
}

std::array<std::uint8_t, kRequestHeaderSize> encodeRequestHeader(const RequestHeader& header)
{
    std::array<std::uint8_t, kRequestHeaderSize> bytes{};
    bytes[0] = kVersion;
    bytes[1] = static_cast<std::uint8_t>(header.operation);
    putBigEndian32(&bytes[4], header.selector);
    putBigEndian32(&bytes[8], header.length);
    return bytes;
}

RequestHeader decodeRequestHeader(std::span<const std::uint8_t, kRequestHeaderSize> bytes)
{
    checkVersionAndReserved(bytes.data());
    RequestHeader header;
    switch (bytes[1]) {
    case static_cast<std::uint8_t>(Operation::get):
        header.operation = Operation::get;
        break;
    case static_cast<std::uint8_t>(Operation::set):
        header.operation = Operation::set;
        break;
    default:
        throw FramingError("unknown operation " + std::to_string(bytes[1]));
    }
    header.selector = bigEndian32(&bytes[4]);
    header.length = bigEndian32(&bytes[8]);
    checkRequest(header);
    return header;
}

std::string encodeRequest(Operation operation, std::uint32_t selector, std::string_view payload)
{
    const RequestHeader header{operation, selector, checkedLength(payload.size())};
    checkRequest(header);
    const auto head = encodeRequestHeader(header);
    std::string message(head.begin(), head.end());
    message.append(payload);
    return message;
}

std::array<std::uint8_t, kReplyHeaderSize> encodeReplyHeader(const ReplyHeader& header)
{
    std::array<std::uint8_t, kReplyHeaderSize> bytes{};
    bytes[0] = kVersion;
    bytes[1] = static_cast<std::uint8_t>(header.status);
    putBigEndian32(&bytes[4], header.length);
    return bytes;
}

ReplyHeader decodeReplyHeader(std::span<const std::uint8_t, kReplyHeaderSize> bytes, Operation operation,
                              std::uint32_t selector)
{
    checkVersionAndReserved(bytes.data());
    ReplyHeader header;
    header.length = bigEndian32(&bytes[4]);
    std::uint32_t cap = 0;
    switch (bytes[1]) {
    case static_cast<std::uint8_t>(ReplyStatus::ok):
        header.status = ReplyStatus::ok;
        cap = operation == Operation::get ? payloadCap(selector) : 0;
        break;
    case static_cast<std::uint8_t>(ReplyStatus::noValue):
        header.status = ReplyStatus::noValue;
        break;
    case static_cast<std::uint8_t>(ReplyStatus::rejected):
        header.status = ReplyStatus::rejected;
        cap = kMaxRejectionBytes;
        break;
    default:
        throw FramingError("unknown reply status " + std::to_string(bytes[1]));
    }
    if (header.length > cap)
        throw FramingError("a reply of " + std::to_string(header.length) + " bytes for " + selectorText(selector)
                           + " exceeds the cap of " + std::to_string(cap) + " bytes");
    return header;
}

std::string encodeReply(ReplyStatus status, std::string_view payload)
{
    const auto head = encodeReplyHeader({status, checkedLength(payload.size())});
    std::string message(head.begin(), head.end());
    message.append(payload);
    return message;
}

} // namespace quellon::PropertyFraming
