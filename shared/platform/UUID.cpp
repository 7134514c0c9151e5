#include "platform/UUID.h"

#include <uuid/uuid.h>

namespace quellon {

namespace {

constexpr std::size_t kTextLength = 36;

bool isHyphenPosition(std::size_t index)
{
    return index == 8 || index == 13 || index == 18 || index == 23;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

UUID UUID::random()
{
    uuid_t raw;
    uuid_generate_random(raw);
    UUID uuid;
    for (std::size_t i = 0; i < uuid.bytes.size(); ++i)
        uuid.bytes[i] = raw[i];
    return uuid;
}

std::optional<UUID> UUID::fromString(std::string_view text)
{
    if (text.size() != kTextLength)
        return std::nullopt;
    UUID uuid;
    std::size_t byteIndex = 0;
    int pendingHigh = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-')
                return std::nullopt;
            continue;
        }
        int value = hexValue(text[i]);
        if (value < 0)
            return std::nullopt;
        if (pendingHigh < 0) {
            pendingHigh = value;
        } else {
            uuid.bytes[byteIndex++] = static_cast<std::uint8_t>(pendingHigh << 4 | value);
            pendingHigh = -1;
        }
    }
    return uuid;
}

std::string UUID::uuidString() const
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(kTextLength);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

} // namespace quellon
