#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

struct QuellonState;

/// The camera's three custom stream properties, shared by the daemon (receiving) and every
/// host (sending): their names, selectors and wire formats.
namespace QuellonCMIOChannel {

/// Four ASCII characters packed big-endian: the first character lands in the top byte.
constexpr std::uint32_t fourCharCode(const char (&code)[5])
{
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24)
        | (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16)
        | (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8)
        | static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

/// The four characters of a code, top byte first; bytes outside printable ASCII show as '?'
/// so a hostile selector can be logged safely.
std::string fourCharCodeText(std::uint32_t code);

inline constexpr const char* statePropertyRawValue = "4cc_qlst_glob_0000";
inline constexpr std::uint32_t stateSelector = fourCharCode("qlst");
inline constexpr const char* framePropertyRawValue = "4cc_qlfr_glob_0000";
inline constexpr std::uint32_t frameSelector = fourCharCode("qlfr");
inline constexpr const char* namePropertyRawValue = "4cc_qlnm_glob_0000";
inline constexpr std::uint32_t nameSelector = fourCharCode("qlnm");
/// One BGRA frame in shared memory: the message carries its layout (RawFrameChannel.h) and a
/// memory descriptor beside it. A get answers "BGRA" on cameras that take such frames.
inline constexpr const char* rawFramePropertyRawValue = "4cc_qlrw_glob_0000";
inline constexpr std::uint32_t rawFrameSelector = fourCharCode("qlrw");

/// Longest camera name, in UTF-8 bytes after trimming.
inline constexpr std::size_t maxNameBytes = 64;

/// The record's compact JSON (dates as ISO 8601 text); nothing when it cannot be encoded
/// (text that is not UTF-8, a date outside the years 0000 to 9999).
std::optional<std::string> encodeState(const QuellonState& state);

/// The record, or nothing when the bytes do not decode as a whole record.
std::optional<QuellonState> decodeState(std::string_view bytes);

/// The trimmed name's UTF-8 bytes; nothing when the name is not valid UTF-8, or is empty or
/// longer than 64 bytes once trimmed.
std::optional<std::string> encodeName(std::string_view name);

/// The bytes read as UTF-8 (each invalid sequence becomes U+FFFD) and trimmed; nothing when
/// that is empty or longer than 64 bytes.
std::optional<std::string> decodeName(std::string_view bytes);

} // namespace QuellonCMIOChannel

} // namespace quellon
