#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

/// The 128-bit identity of a stored record (a schedule, a meeting-app profile). Its text is the
/// 8-4-4-4-12 hexadecimal form; it is written upper-case and read in either case.
struct UUID {
    std::array<std::uint8_t, 16> bytes{};

    /// A fresh random (version 4) identifier.
    static UUID random();
    /// Nothing unless the text is exactly the 36-character hyphenated form.
    static std::optional<UUID> fromString(std::string_view text);

    /// Upper-case hyphenated text, e.g. "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string uuidString() const;

    auto operator<=>(const UUID&) const = default;
    bool operator==(const UUID&) const = default;
};

} // namespace quellon

template <>
struct std::hash<quellon::UUID> {
    std::size_t operator()(const quellon::UUID& uuid) const noexcept
    {
        // FNV-1a over the bytes: identifiers are random, so any mixing of all bytes will do.
        std::uint64_t hash = 14695981039346656037ULL;
        for (std::uint8_t byte : uuid.bytes) {
            hash ^= byte;
            hash *= 1099511628211ULL;
        }
        return static_cast<std::size_t>(hash);
    }
};
