#include "channel/QuellonCMIOChannel.h"

#include "state/JSONCoding.h"
#include "state/QuellonState.h"
#include "state/UnicodeText.h"

namespace quellon::QuellonCMIOChannel {

std::string fourCharCodeText(std::uint32_t code)
{
    std::string text(4, '?');
    for (int i = 0; i < 4; ++i) {
        const auto byte = static_cast<unsigned char>(code >> (24 - 8 * i));
        if (byte >= 0x20 && byte < 0x7F)
            text[static_cast<std::size_t>(i)] = static_cast<char>(byte);
    }
    return text;
}

std::optional<std::string> encodeState(const QuellonState& state)
{
    try {
        return encodeJSON(state, JSONStyle::compact);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<QuellonState> decodeState(std::string_view bytes)
{
    try {
        return decodeQuellonState(bytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

namespace {

std::optional<std::string> validName(std::string_view text)
{
    const std::string_view trimmed = trimWhitespaceAndNewlines(text);
    if (trimmed.empty() || trimmed.size() > maxNameBytes)
        return std::nullopt;
    return std::string(trimmed);
}

} // namespace

std::optional<std::string> encodeName(std::string_view name)
{
    if (!isValidUTF8(name))
        return std::nullopt;
    return validName(name);
}

std::optional<std::string> decodeName(std::string_view bytes)
{
    return validName(replacingInvalidUTF8(bytes));
}

} // namespace quellon::QuellonCMIOChannel
