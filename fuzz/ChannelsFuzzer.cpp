// The state and name channels as the daemon decodes them. The first byte picks the channel.
// A decoded state encodes and decodes to itself; a decoded name is trimmed, valid UTF-8 within
// its cap and decodes to itself.

#include "FuzzSupport.h"
#include "channel/QuellonCMIOChannel.h"
#include "state/QuellonState.h"
#include "state/UnicodeText.h"

using namespace quellon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::string_view input = fuzz::text(data + 1, size - 1);
    if (data[0] & 1) {
        const auto name = QuellonCMIOChannel::decodeName(input);
        if (!name)
            return 0;
        fuzz::require(!name->empty() && name->size() <= QuellonCMIOChannel::maxNameBytes, "a name is 1 to 64 bytes");
        fuzz::require(isValidUTF8(*name), "a name is valid UTF-8");
        fuzz::require(trimWhitespaceAndNewlines(*name) == *name, "a name is trimmed");
        fuzz::require(QuellonCMIOChannel::encodeName(*name) == name, "a name encodes to itself");
        fuzz::require(QuellonCMIOChannel::decodeName(*name) == name, "a name decodes to itself");
        fuzz::require(isValidUTF8(labelSafeText(*name)), "its label is valid UTF-8");
        return 0;
    }
    const auto state = QuellonCMIOChannel::decodeState(input);
    if (!state)
        return 0;
    const auto encoded = QuellonCMIOChannel::encodeState(*state);
    fuzz::require(encoded.has_value(), "a decoded state encodes");
    fuzz::require(QuellonCMIOChannel::decodeState(*encoded) == state, "a state round-trips through the channel");
    return 0;
}
