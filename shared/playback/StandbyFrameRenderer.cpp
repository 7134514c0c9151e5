#include "playback/StandbyFrameRenderer.h"

#include "state/UnicodeText.h"

#include <cairo-ft.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <numbers>
#include <string>

namespace quellon {

namespace {

static_assert(std::endian::native == std::endian::little, "Cairo's ARGB32 is BGRA in memory only on little-endian machines");

struct RGBA {
    double red, green, blue, alpha;
};

constexpr RGBA kGradientTop{0.10, 0.11, 0.16, 1};
constexpr RGBA kGradientBottom{0.06, 0.07, 0.10, 1};
constexpr RGBA kDotColor{0.38, 0.51, 0.94, 1};
constexpr RGBA kTitleColor{0.96, 0.97, 1.0, 1};
constexpr RGBA kSubtitleColor{0.72, 0.75, 0.82, 1};

struct CairoDestroy {
    void operator()(cairo_t* cr) const { cairo_destroy(cr); }
    void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
    void operator()(cairo_pattern_t* pattern) const { cairo_pattern_destroy(pattern); }
};

/// A font face found through fontconfig: Helvetica (Debian maps it to a metric clone), with
/// DejaVu Sans behind it for systems that lack one. Null when fontconfig finds nothing at all;
/// Cairo's own default face is used then.
cairo_font_face_t* matchFace(int weight)
{
    FcPattern* pattern = FcPatternCreate();
    if (!pattern)
        return nullptr;
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("Helvetica"));
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>("DejaVu Sans"));
    FcPatternAddInteger(pattern, FC_WEIGHT, weight);
    FcPatternAddInteger(pattern, FC_SLANT, FC_SLANT_ROMAN);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    if (!match)
        return nullptr;
    cairo_font_face_t* face = cairo_ft_font_face_create_for_pattern(match);
    FcPatternDestroy(match);
    if (cairo_font_face_status(face) != CAIRO_STATUS_SUCCESS) {
        cairo_font_face_destroy(face);
        return nullptr;
    }
    return face;
}

/// The two faces, looked up once per process: a fontconfig match costs milliseconds.
struct Faces {
    cairo_font_face_t* bold = nullptr;
    cairo_font_face_t* regular = nullptr;
};

const Faces& faces()
{
    static const Faces found = [] {
        Faces f;
        f.bold = matchFace(FC_WEIGHT_BOLD);
        f.regular = matchFace(FC_WEIGHT_REGULAR);
        return f;
    }();
    return found;
}

void setColor(cairo_t* cr, const RGBA& c)
{
    cairo_set_source_rgba(cr, c.red, c.green, c.blue, c.alpha);
}

/// One line of text centred on the card with its baseline at `baselineFromBottom` (measured
/// from the bottom edge, upwards).
void drawLine(cairo_t* cr, cairo_font_face_t* face, const std::string& text, double size, const RGBA& color,
              double width, double height, double baselineFromBottom)
{
    if (text.empty())
        return;
    if (face)
        cairo_set_font_face(cr, face);
    else
        cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text.c_str(), &extents);
    setColor(cr, color);
    cairo_move_to(cr, (width - extents.x_advance) * 0.5, height - baselineFromBottom);
    cairo_show_text(cr, text.c_str());
}

/// Text as Cairo needs it: valid UTF-8 and no embedded NUL (which would cut the line short).
std::string drawableText(std::string_view text)
{
    std::string cleaned = replacingInvalidUTF8(text);
    std::replace(cleaned.begin(), cleaned.end(), '\0', ' ');
    return cleaned;
}

void drawCard(cairo_t* cr, double W, double H, const std::string& title, const std::string& subtitle)
{
    // Geometry below is stated with the origin at the bottom left and y upwards; Cairo's y runs
    // downwards, so every y is flipped as H - y.
    std::unique_ptr<cairo_pattern_t, CairoDestroy> gradient(cairo_pattern_create_linear(0, 0, 0, H));
    cairo_pattern_add_color_stop_rgba(gradient.get(), 0, kGradientTop.red, kGradientTop.green, kGradientTop.blue,
                                      kGradientTop.alpha);
    cairo_pattern_add_color_stop_rgba(gradient.get(), 1, kGradientBottom.red, kGradientBottom.green,
                                      kGradientBottom.blue, kGradientBottom.alpha);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source(cr, gradient.get());
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);

    const double radius = std::max(H * 0.016, 8.0);
    const double dotBottom = H * 0.62;
    cairo_new_path(cr);
    cairo_arc(cr, W * 0.5, H - (dotBottom + radius), radius, 0, 2 * std::numbers::pi);
    setColor(cr, kDotColor);
    cairo_fill(cr);

    std::unique_ptr<cairo_font_options_t, decltype(&cairo_font_options_destroy)> options(cairo_font_options_create(),
                                                                                         &cairo_font_options_destroy);
    // Unhinted outlines and metrics: the layout then scales exactly with the card's size.
    cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_OFF);
    cairo_font_options_set_antialias(options.get(), CAIRO_ANTIALIAS_GRAY);
    cairo_set_font_options(cr, options.get());

    drawLine(cr, faces().bold, title, H * 0.085, kTitleColor, W, H, H * 0.46);
    drawLine(cr, faces().regular, subtitle, H * 0.04, kSubtitleColor, W, H, H * 0.37);
}

} // namespace

namespace StandbyFrameRenderer {

PixelBufferRef makeFrame(std::int64_t width, std::int64_t height, std::string_view title, std::string_view subtitle)
{
    PixelBufferRef buffer = PixelBuffer::create(width, height, kPixelFormatBGRA);
    if (!buffer)
        return nullptr;
    const std::string titleText = drawableText(title);
    const std::string subtitleText = drawableText(subtitle);
    {
        auto lock = buffer->lockForWriting();
        if (!lock.baseAddress())
            return nullptr;
        // Cairo's ARGB32 is premultiplied native-endian ARGB: B, G, R, A in memory on the
        // little-endian machines we run on, the frame's own layout.
        std::unique_ptr<cairo_surface_t, CairoDestroy> surface(cairo_image_surface_create_for_data(
            lock.baseAddress(), CAIRO_FORMAT_ARGB32, static_cast<int>(width), static_cast<int>(height),
            static_cast<int>(buffer->bytesPerRow())));
        if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
            return nullptr;
        std::unique_ptr<cairo_t, CairoDestroy> cr(cairo_create(surface.get()));
        if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS)
            return nullptr;
        drawCard(cr.get(), static_cast<double>(width), static_cast<double>(height), titleText, subtitleText);
        cairo_surface_flush(surface.get());
        if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS)
            return nullptr;
    }
    return buffer;
}

void prepare()
{
    // A tiny card draws every glyph path the real one does.
    makeFrame(64, 36, "Quellon", "ready");
}

} // namespace StandbyFrameRenderer

} // namespace quellon
