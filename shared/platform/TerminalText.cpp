#include "platform/TerminalText.h"

#include <cstdint>
#include <cstdio>

namespace quellon {

namespace {

// Formatting characters that reorder or hide text: the bidirectional marks, embeddings,
// overrides and isolates, the zero-width ones and the byte-order mark.
bool isFormatCharacter(std::uint32_t code)
{
    return code == 0x061C || code == 0x200B || code == 0x200C || code == 0x200D || code == 0x200E || code == 0x200F
        || (code >= 0x202A && code <= 0x202E) || (code >= 0x2060 && code <= 0x2069) || code == 0xFEFF;
}

void appendByte(std::string& out, unsigned char byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", byte);
    out += text;
}

// The length of the well-formed UTF-8 sequence at text[i] and its code point; 0 when the
// bytes there are not one (overlong forms and surrogates included).
std::size_t decode(std::string_view text, std::size_t i, std::uint32_t& code)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    if (lead < 0x80)
        length = 1, code = lead;
    else if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, code = lead & 0x1Fu;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, code = lead & 0x0Fu;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, code = lead & 0x07u;
    else
        return 0;
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(k) & 0x3Fu);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

} // namespace

std::string visibleText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t code = 0;
        const std::size_t length = decode(text, i, code);
        if (length == 0) {
            appendByte(out, static_cast<unsigned char>(text[i]));
            ++i;
            continue;
        }
        if (code == '\n')
            out += "\\n";
        else if (code == '\t')
            out += "\\t";
        else if (code == '\r')
            out += "\\r";
        else if (code == 0x1B)
            out += "\\e";
        else if (code < 0x20 || code == 0x7F)
            appendByte(out, static_cast<unsigned char>(code));
        else if ((code >= 0x80 && code <= 0x9F) || isFormatCharacter(code)) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "<U+%04X>", static_cast<unsigned>(code));
            out += escaped;
        } else
            out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

} // namespace quellon
