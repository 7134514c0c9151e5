#pragma once

#include <string>
#include <string_view>

namespace quellon {

/// Removes Unicode white space and line breaks (U+0009–U+000D, U+0020, U+0085, U+00A0,
/// U+1680, U+2000–U+200A, U+2028, U+2029, U+202F, U+205F, U+3000) from both ends of UTF-8
/// text. Bytes that are not valid UTF-8 are not white space and stop the trim.
std::string_view trimWhitespaceAndNewlines(std::string_view text);

/// The text with every invalid UTF-8 sequence replaced by U+FFFD, one replacement per
/// maximal invalid subpart (the WHATWG decoding rule).
std::string replacingInvalidUTF8(std::string_view bytes);

/// The text made safe to show as a label or write into a log line: invalid UTF-8, control
/// characters (C0 including NUL, DEL, C1), line and paragraph separators and the bidirectional
/// marks, embeddings, overrides and isolates (U+061C, U+200E, U+200F, U+202A–U+202E,
/// U+2066–U+2069) each become U+FFFD. Stored values keep what was received; only what is shown
/// goes through this.
std::string labelSafeText(std::string_view text);

/// True when the bytes are valid UTF-8.
bool isValidUTF8(std::string_view bytes);

} // namespace quellon
