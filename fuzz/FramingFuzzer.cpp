// The socket framing: request and reply headers from any 12 or 8 bytes. Only FramingError may
// escape the decoders, and whatever decodes encodes back to the same bytes.

#include "FuzzSupport.h"
#include "channel/PropertyFraming.h"

#include <cstring>

using namespace quellon;
using namespace quellon::PropertyFraming;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < kRequestHeaderSize)
        return 0;
    std::array<std::uint8_t, kRequestHeaderSize> request{};
    std::memcpy(request.data(), data, request.size());
    try {
        const RequestHeader header = decodeRequestHeader(request);
        fuzz::require(encodeRequestHeader(header) == request, "a decoded request header encodes to its bytes");
        fuzz::require(header.length <= payloadCap(header.selector), "a decoded length is within its cap");
        fuzz::require(header.operation == Operation::set || header.length == 0, "a get carries no payload");
        const std::string payload(header.length, 'p');
        const std::string whole = encodeRequest(header.operation, header.selector, payload);
        fuzz::require(whole.size() == request.size() + header.length && std::memcmp(whole.data(), request.data(), request.size()) == 0,
                      "encodeRequest writes the same header");
    } catch (const FramingError&) {
    }

    std::array<std::uint8_t, kReplyHeaderSize> reply{};
    std::memcpy(reply.data(), data + 4, reply.size());
    const Operation operation = (data[0] & 1) ? Operation::set : Operation::get;
    std::uint32_t selector = 0;
    std::memcpy(&selector, data, 4);
    try {
        const ReplyHeader header = decodeReplyHeader(reply, operation, selector);
        fuzz::require(encodeReplyHeader(header) == reply, "a decoded reply header encodes to its bytes");
        fuzz::require(header.status != ReplyStatus::noValue || header.length == 0, "noValue carries nothing");
    } catch (const FramingError&) {
    }
    return 0;
}
