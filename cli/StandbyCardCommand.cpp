#include "Commands.h"
#include "Output.h"

#include "platform/FileIO.h"
#include "platform/TerminalText.h"
#include "playback/ImageDecoding.h"
#include "playback/PNGWriter.h"
#include "playback/StandbyFrameRenderer.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace quellon::cli {

namespace {

// The largest "standby.png" the camera daemon takes: a bigger card would only be refused there.
constexpr std::int64_t kMaxCardSide = kPushedImageLimit.maxSide;

struct StandbyCardOptions {
    std::string output;
    std::string size = "1280x720";
    std::string caption = "Camera paused";
    bool force = false;
};

std::optional<std::int64_t> parseSide(std::string_view text)
{
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > kMaxCardSide)
        return std::nullopt;
    return value;
}

} // namespace

void addStandbyCardCommand(CLI::App& app)
{
    auto options = std::make_shared<StandbyCardOptions>();
    auto* command = app.add_subcommand("standby-card",
                                       "Draw the standby card into a PNG file: a preview, or a start for a custom standby.png.");
    command->add_option("OUT", options->output, "PNG file to write")->required();
    command->add_option("--size", options->size, "Card size as WIDTHxHEIGHT")->capture_default_str();
    command->add_option("--caption", options->caption, "Line under the title")->capture_default_str();
    command->add_flag("--force", options->force, "Replace OUT if it exists");
    command->callback([options] {
        const std::string_view size = options->size;
        const auto x = size.find('x');
        const auto width = x == std::string_view::npos ? std::nullopt : parseSide(size.substr(0, x));
        const auto height = x == std::string_view::npos ? std::nullopt : parseSide(size.substr(x + 1));
        if (!width || !height)
            throw UsageError("--size must be WIDTHxHEIGHT with each side from 1 to " + std::to_string(kMaxCardSide)
                             + ", not \"" + options->size + "\"");
        refuseExisting(options->output, options->force);
        PixelBufferRef card = StandbyFrameRenderer::makeFrame(*width, *height, "Quellon", options->caption);
        const std::vector<std::uint8_t> png = card ? PNGWriter::encodedPNG(*card) : std::vector<std::uint8_t>{};
        if (png.empty())
            throw CommandError("could not draw a " + options->size + " card");
        const std::string_view bytes(reinterpret_cast<const char*>(png.data()), png.size());
        try {
            if (options->force)
                replaceFileAtomically(options->output, bytes);
            else
                createFileAtomically(options->output, bytes);
        } catch (const std::system_error& error) {
            if (error.code() == std::errc::file_exists)
                throw CommandError(existsMessage(options->output));
            throw CommandError("could not write " + visibleText(options->output) + ": " + error.code().message());
        }
        std::cout << "Wrote a " << *width << "x" << *height << " standby card to " << visibleText(options->output) << "\n";
    });
}

} // namespace quellon::cli
