#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace quellon {

/// One rendered size of a tray symbol in the StatusNotifierItem pixmap format: ARGB32 in
/// network byte order (A, R, G, B per pixel), not premultiplied, rows top to bottom.
struct IconPixmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> argb;
    bool operator==(const IconPixmap&) const = default;
};

/// The sizes sent to hosts that ignore icon themes.
inline constexpr int iconPixmapSizes[] = {16, 22, 24, 32, 48};

/// Draws a symbol ("person.fill", "zzz", "pause.fill", "exclamationmark.triangle.fill") with
/// Cairo, with the same shapes as our SVG icons, in the neutral grey of symbolic icons.
/// An unknown symbol draws nothing (a transparent square).
IconPixmap renderStatusSymbol(std::string_view symbolName, int size);

/// renderStatusSymbol at every size of iconPixmapSizes.
std::vector<IconPixmap> renderStatusSymbolSizes(std::string_view symbolName);

} // namespace quellon
