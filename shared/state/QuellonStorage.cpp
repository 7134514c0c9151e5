#include "state/QuellonStorage.h"

#include "platform/Environment.h"
#include "platform/FileIO.h"
#include "platform/PlatformDirectories.h"
#include "state/ClipMetadata.h"
#include "state/JSONCoding.h"
#include "state/QuellonIdentifiers.h"
#include "state/QuellonState.h"
#include "state/UnicodeText.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace quellon {

namespace fs = std::filesystem;

StorageError::StorageError(Code code) : std::runtime_error(description(code)), code_(code) {}

const char* StorageError::description(Code code)
{
    switch (code) {
    case Code::containerUnavailable:
        return "Shared App Group container is unavailable. Check that the App Group entitlement is "
               "configured identically on the app and the camera extension.";
    }
    return "Shared storage error.";
}

const ContainerPlatform& ContainerPlatform::system()
{
    static const ContainerPlatform platform{Environment::process(), PlatformDirectories::system()};
    return platform;
}

namespace QuellonStorage {

namespace {

fs::path requireRoot(const ContainerPlatform& platform)
{
    if (auto root = containerURL(platform))
        return *root;
    throw StorageError(StorageError::Code::containerUnavailable);
}

void requireBareFileName(std::string_view filename)
{
    if (filename.empty() || filename == "." || filename == ".." || filename.find('/') != std::string_view::npos
        || filename.find('\0') != std::string_view::npos)
        throw std::invalid_argument("not a bare clip file name: \"" + std::string(filename) + "\"");
}

std::string sidecarName(std::string_view filename)
{
    const std::size_t dot = filename.rfind('.');
    // A name whose only dot is its first character (".hidden") has no extension.
    const std::string_view stem = (dot == std::string_view::npos || dot == 0) ? filename : filename.substr(0, dot);
    return std::string(stem) + ".json";
}

} // namespace

std::optional<fs::path> containerURL(const ContainerPlatform& platform)
{
    const bool appGroupDisabled = platform.environment.variable("QUELLON_NO_APP_GROUP") == "1";
    if (!appGroupDisabled) {
        if (auto group = platform.directories.appGroupContainer(QuellonIdentifiers::appGroup))
            return *group;
    }
    const auto support = platform.directories.applicationSupportDirectories();
    if (support.empty())
        return std::nullopt;
    fs::path root = support.front() / "Quellon";
    std::error_code ignored;
    fs::create_directories(root, ignored);
    return root;
}

fs::path clipsDirectory(const ContainerPlatform& platform)
{
    fs::path clips = requireRoot(platform) / "Clips";
    fs::create_directories(clips);
    return clips;
}

fs::path clipURL(std::string_view filename, const ContainerPlatform& platform)
{
    requireBareFileName(filename);
    return clipsDirectory(platform) / fs::path(filename);
}

fs::path metadataURL(std::string_view filename, const ContainerPlatform& platform)
{
    requireBareFileName(filename);
    return clipsDirectory(platform) / sidecarName(filename);
}

fs::path stateURL(const ContainerPlatform& platform)
{
    return requireRoot(platform) / "state.json";
}

fs::path heartbeatURL(const ContainerPlatform& platform)
{
    return requireRoot(platform) / "heartbeat";
}

fs::path standbyImageURL(const ContainerPlatform& platform)
{
    return requireRoot(platform) / "standby.png";
}

QuellonState readState(const ContainerPlatform& platform)
{
    const fs::path url = stateURL(platform);
    auto bytes = readRegularFile(url);
    if (!bytes)
        return QuellonState::defaultState();
    try {
        return decodeQuellonState(*bytes);
    } catch (const DecodingError&) {
        return QuellonState::defaultState();
    }
}

void writeState(const QuellonState& state, const ContainerPlatform& platform)
{
    const fs::path url = stateURL(platform);
    replaceFileAtomically(url, encodeJSON(state, JSONStyle::pretty) + "\n", Durability::durable);
}

std::optional<ClipMetadata> readMetadata(std::string_view filename, const ContainerPlatform& platform)
{
    try {
        auto bytes = readRegularFile(metadataURL(filename, platform));
        if (!bytes)
            return std::nullopt;
        return decodeClipMetadata(*bytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void writeMetadata(const ClipMetadata& metadata, std::string_view filename, const ContainerPlatform& platform)
{
    const fs::path url = metadataURL(filename, platform);
    replaceFileAtomically(url, encodeJSON(metadata, JSONStyle::pretty) + "\n", Durability::durable);
}

std::optional<std::string> heartbeatText(Date date)
{
    const double seconds = secondsSince1970(date);
    if (!std::isfinite(seconds))
        return std::nullopt;
    // Fixed notation with no precision is the shortest text that reads back to the same double.
    char buffer[400];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
    if (error != std::errc())
        return std::nullopt;
    std::string text(buffer, end);
    if (text.find('.') == std::string::npos)
        text += ".0";
    return text;
}

std::optional<Date> parseHeartbeat(std::string_view text)
{
    if (!isValidUTF8(text))
        return std::nullopt;
    text = trimWhitespaceAndNewlines(text);
    if (text.empty())
        return std::nullopt;
    double seconds = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return dateFromSecondsSince1970(seconds);
}

void writeHeartbeat(Date date, const ContainerPlatform& platform)
{
    auto root = containerURL(platform);
    auto text = heartbeatText(date);
    if (!root || !text)
        return;
    try {
        replaceFileAtomically(*root / "heartbeat", *text, Durability::fast);
    } catch (const std::exception&) {
        // Best effort: a missed heartbeat only makes the camera look idle for a moment.
    }
}

std::optional<Date> readHeartbeat(const ContainerPlatform& platform)
{
    auto root = containerURL(platform);
    if (!root)
        return std::nullopt;
    auto bytes = readRegularFile(*root / "heartbeat");
    if (!bytes)
        return std::nullopt;
    return parseHeartbeat(*bytes);
}

bool isExtensionStreaming(double seconds, Date now, const ContainerPlatform& platform)
{
    auto heartbeat = readHeartbeat(platform);
    if (!heartbeat)
        return false;
    // In seconds as doubles: a heartbeat near the ends of what a Date holds would overflow
    // the nanosecond difference and wrap to "streaming".
    return secondsSince1970(now) - secondsSince1970(*heartbeat) <= seconds;
}

} // namespace QuellonStorage

} // namespace quellon
