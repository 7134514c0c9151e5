#pragma once

#include "playback/PixelBuffer.h"

#include <filesystem>
#include <cstdint>
#include <system_error>
#include <vector>

namespace quellon {

/// Stores frames as PNG files, for the standby picture the camera may show instead of its card.
namespace PNGWriter {

/// Writes a BGRA frame (alpha premultiplied) as an 8-bit RGBA PNG at `url`, in place (no
/// temporary file). Best effort and silent: when anything fails, including a frame of another
/// format, there is no file at `url` afterwards (a previous file there is gone too once
/// writing has begun). The image is encoded in memory first, so a failed encode never touches
/// the file.
void writePNG(const PixelBuffer& buffer, const std::filesystem::path& url);

/// The same for a shared frame; nothing happens for a null one.
void writePNG(const PixelBufferRef& buffer, const std::filesystem::path& url);

/// The PNG file writePNG would write, for callers that store it themselves; empty when the
/// frame is not BGRA or cannot be encoded.
std::vector<std::uint8_t> encodedPNG(const PixelBuffer& buffer);

/// writePNG for callers that must tell the user: the reason it failed, or no error.
std::error_code tryWritePNG(const PixelBuffer& buffer, const std::filesystem::path& url);

} // namespace PNGWriter

} // namespace quellon
