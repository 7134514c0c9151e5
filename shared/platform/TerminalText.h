#pragma once
// Stored strings (camera names, loop names, application names) come from files and other
// programs; printed raw, a newline or a right-to-left override in one would forge or reorder
// what the terminal shows.

#include <string>
#include <string_view>

namespace quellon {

/// text with every character that would move, hide or reorder what a terminal shows made
/// visible: "\n", "\t", "\r", "\e" and "\xNN" for other control bytes (C0, DEL, C1), "<U+202E>"
/// for the bidirectional and invisible format characters, "\xNN" for bytes that are not UTF-8.
/// Everything else, including other non-ASCII letters, is kept as it is.
std::string visibleText(std::string_view text);

} // namespace quellon
