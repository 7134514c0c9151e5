#include "StatusIcons.h"

#include <cairo.h>
#include <cmath>
#include <memory>

namespace quellon {

namespace {

// The shapes on the 16 × 16 grid of the SVG files in icons/.
void drawSymbol(cairo_t* cr, std::string_view symbol)
{
    if (symbol == "person.fill") {
        cairo_arc(cr, 8, 4.5, 3, 0, 2 * M_PI);
        cairo_fill(cr);
        cairo_move_to(cr, 2, 15);
        cairo_arc(cr, 8, 15, 6, M_PI, 2 * M_PI);
        cairo_close_path(cr);
        cairo_fill(cr);
    } else if (symbol == "zzz") {
        // Filled outlines, not strokes: desktops recolour symbolic icons by setting the fill.
        struct Letter {
            double x0, y0, x1, y1, thickness, slant;
        };
        const Letter letters[] = {{1.5, 8.5, 7, 14.5, 1.5, 3.4}, {7.5, 4.5, 11.5, 9, 1.25, 2.4}, {11.5, 1.5, 14.5, 5, 1, 1.6}};
        for (const Letter& l : letters) {
            const double t = l.thickness;
            cairo_move_to(cr, l.x0, l.y0);
            cairo_line_to(cr, l.x1, l.y0);
            cairo_line_to(cr, l.x1, l.y0 + t);
            cairo_line_to(cr, l.x1 - l.slant, l.y1 - t);
            cairo_line_to(cr, l.x1, l.y1 - t);
            cairo_line_to(cr, l.x1, l.y1);
            cairo_line_to(cr, l.x0, l.y1);
            cairo_line_to(cr, l.x0, l.y1 - t);
            cairo_line_to(cr, l.x0 + l.slant, l.y0 + t);
            cairo_line_to(cr, l.x0, l.y0 + t);
            cairo_close_path(cr);
        }
        cairo_fill(cr);
    } else if (symbol == "pause.fill") {
        for (double x : {3.0, 9.5}) {
            const double w = 3.5, h = 12, y = 2, r = 1;
            cairo_new_sub_path(cr);
            cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
            cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
            cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
            cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
            cairo_close_path(cr);
        }
        cairo_fill(cr);
    } else if (symbol == "exclamationmark.triangle.fill") {
        cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
        cairo_move_to(cr, 8, 1.5);
        cairo_line_to(cr, 15, 14.5);
        cairo_line_to(cr, 1, 14.5);
        cairo_close_path(cr);
        cairo_rectangle(cr, 7.25, 5.5, 1.5, 4.5);
        cairo_new_sub_path(cr);
        cairo_arc(cr, 8, 12.25, 1, 0, 2 * M_PI);
        cairo_fill(cr);
    }
}

} // namespace

IconPixmap renderStatusSymbol(std::string_view symbolName, int size)
{
    IconPixmap pixmap{size, size, std::vector<std::uint8_t>(static_cast<std::size_t>(size) * size * 4, 0)};
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface(
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size), cairo_surface_destroy);
    if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
        return pixmap;
    std::unique_ptr<cairo_t, decltype(&cairo_destroy)> cr(cairo_create(surface.get()), cairo_destroy);
    cairo_scale(cr.get(), size / 16.0, size / 16.0);
    cairo_set_source_rgb(cr.get(), 0xbe / 255.0, 0xbe / 255.0, 0xbe / 255.0);
    drawSymbol(cr.get(), symbolName);
    cairo_surface_flush(surface.get());

    // Cairo keeps premultiplied native-endian words; the tray wants straight A, R, G, B bytes.
    const unsigned char* data = cairo_image_surface_get_data(surface.get());
    const int stride = cairo_image_surface_get_stride(surface.get());
    for (int y = 0; y < size; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
        for (int x = 0; x < size; ++x) {
            const std::uint32_t word = row[x];
            const unsigned a = word >> 24;
            auto straight = [a](unsigned c) { return static_cast<std::uint8_t>(a ? (c * 255 + a / 2) / a : 0); };
            std::uint8_t* out = &pixmap.argb[(static_cast<std::size_t>(y) * size + x) * 4];
            out[0] = static_cast<std::uint8_t>(a);
            out[1] = straight((word >> 16) & 0xff);
            out[2] = straight((word >> 8) & 0xff);
            out[3] = straight(word & 0xff);
        }
    }
    return pixmap;
}

std::vector<IconPixmap> renderStatusSymbolSizes(std::string_view symbolName)
{
    std::vector<IconPixmap> pixmaps;
    for (int size : iconPixmapSizes)
        pixmaps.push_back(renderStatusSymbol(symbolName, size));
    return pixmaps;
}

} // namespace quellon
