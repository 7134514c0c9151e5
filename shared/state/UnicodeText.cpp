#include "state/UnicodeText.h"

#include <cstdint>
#include <optional>

namespace quellon {

namespace {

struct Decoded {
    char32_t codePoint;
    std::size_t length; // bytes consumed; for an invalid sequence, the maximal subpart (>= 1)
    bool valid;
};

// Decodes one UTF-8 sequence at the start of bytes (which must not be empty).
Decoded decodeOne(std::string_view bytes)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80)
        return {lead, 1, true};

    std::size_t needed;
    char32_t codePoint;
    std::uint8_t lower = 0x80, upper = 0xBF; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        needed = 1;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        needed = 2;
        codePoint = lead & 0x0F;
        if (lead == 0xE0)
            lower = 0xA0;
        if (lead == 0xED)
            upper = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        needed = 3;
        codePoint = lead & 0x07;
        if (lead == 0xF0)
            lower = 0x90;
        if (lead == 0xF4)
            upper = 0x8F;
    } else {
        return {0xFFFD, 1, false};
    }

    for (std::size_t i = 1; i <= needed; ++i) {
        if (i >= bytes.size())
            return {0xFFFD, i, false};
        const std::uint8_t next = byte(i);
        const std::uint8_t low = i == 1 ? lower : 0x80;
        const std::uint8_t high = i == 1 ? upper : 0xBF;
        if (next < low || next > high)
            return {0xFFFD, i, false};
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    return {codePoint, needed + 1, true};
}

bool isWhitespaceOrNewline(char32_t c)
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680
        || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F
        || c == 0x3000;
}

// Length of the valid UTF-8 character ending at `end`, if the bytes before `end` end in one.
std::optional<Decoded> decodeLast(std::string_view text, std::size_t end)
{
    for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
        Decoded decoded = decodeOne(text.substr(end - length, length));
        if (decoded.valid && decoded.length == length)
            return decoded;
    }
    return std::nullopt;
}

} // namespace

std::string_view trimWhitespaceAndNewlines(std::string_view text)
{
    std::size_t begin = 0;
    while (begin < text.size()) {
        Decoded decoded = decodeOne(text.substr(begin));
        if (!decoded.valid || !isWhitespaceOrNewline(decoded.codePoint))
            break;
        begin += decoded.length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        auto decoded = decodeLast(text, end);
        if (!decoded || !isWhitespaceOrNewline(decoded->codePoint))
            break;
        end -= decoded->length;
    }
    return text.substr(begin, end - begin);
}

std::string replacingInvalidUTF8(std::string_view bytes)
{
    std::string result;
    result.reserve(bytes.size());
    while (!bytes.empty()) {
        Decoded decoded = decodeOne(bytes);
        if (decoded.valid)
            result.append(bytes.substr(0, decoded.length));
        else
            result.append("\xEF\xBF\xBD");
        bytes.remove_prefix(decoded.length);
    }
    return result;
}

std::string labelSafeText(std::string_view bytes)
{
    const auto unsafe = [](char32_t c) {
        return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F || c == 0x2028
            || c == 0x2029 || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
    };
    std::string result;
    result.reserve(bytes.size());
    while (!bytes.empty()) {
        Decoded decoded = decodeOne(bytes);
        if (decoded.valid && !unsafe(decoded.codePoint))
            result.append(bytes.substr(0, decoded.length));
        else
            result.append("\xEF\xBF\xBD");
        bytes.remove_prefix(decoded.length);
    }
    return result;
}

bool isValidUTF8(std::string_view bytes)
{
    while (!bytes.empty()) {
        Decoded decoded = decodeOne(bytes);
        if (!decoded.valid)
            return false;
        bytes.remove_prefix(decoded.length);
    }
    return true;
}

} // namespace quellon
