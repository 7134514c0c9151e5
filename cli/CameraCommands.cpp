#include "CameraSession.h"
#include "Commands.h"
#include "Output.h"

#include "channel/CameraClient.h"
#include "channel/CameraInfo.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/FileIO.h"
#include "playback/ImageContext.h"
#include "playback/ImageDecoding.h"
#include "platform/TerminalText.h"
#include "state/QuellonState.h"
#include "state/QuellonStorage.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <iostream>
#include <memory>
#include <thread>

namespace quellon::cli {

namespace {

using namespace std::chrono_literals;

// Below 2 sends a second the picture would age out between pushes and the card would flash.
constexpr int kMinRepeatFPS = 2;
constexpr int kMaxRepeatFPS = 60;
// How long to wait for the renamed device before leaving it to the next state the host sends.
constexpr auto kRenameWait = 5s;

bool looksLikeImage(std::string_view bytes)
{
    const bool jpeg = bytes.size() >= 3 && bytes.substr(0, 3) == "\xFF\xD8\xFF";
    const bool png = bytes.size() >= 8 && bytes.substr(0, 8) == std::string_view("\x89PNG\r\n\x1A\n", 8);
    return jpeg || png;
}

std::string readImage(const std::string& file)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (!error && size > PropertyFraming::kMaxFrameBytes)
        throw UsageError(file + " is " + std::to_string(size) + " bytes; the camera takes images of at most "
                         + std::to_string(PropertyFraming::kMaxFrameBytes) + " bytes");
    auto bytes = readRegularFile(file, PropertyFraming::kMaxFrameBytes);
    if (!bytes)
        throw CommandError("cannot read " + file + " (missing, unreadable or not a regular file)");
    if (!looksLikeImage(*bytes))
        throw UsageError(file + " is not a JPEG or PNG image");
    // The camera drops a picture larger than this without a word to us, so it is refused here.
    ImageContext context;
    const std::span<const std::uint8_t> span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size());
    if (const auto size = declaredImageSize(span, context);
        size && !isAcceptableImageSize(size->first, size->second, kPushedImageLimit))
        throw UsageError(file + " is " + std::to_string(size->first) + "x" + std::to_string(size->second)
                         + " pixels; the camera shows pictures of at most "
                         + std::to_string(kPushedImageLimit.maxSide) + " pixels a side and "
                         + std::to_string(kPushedImageLimit.maxPixels / 1'000'000) + " megapixels");
    return std::move(*bytes);
}

struct PushOptions {
    std::string file;
    bool repeat = false;
    int fps = 10;
};

void push(const PushOptions& options)
{
    const std::string image = readImage(options.file);
    talkToCamera([&] {
        CameraClient client = cameraClient();
        if (!options.repeat) {
            client.setProperty(QuellonCMIOChannel::frameSelector, image);
            std::cout << "Sent " << visibleText(options.file) << " (" << image.size() << " bytes) to the camera\n";
            return;
        }
        InterruptCatcher catcher;
        const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(1.0 / options.fps));
        const auto start = std::chrono::steady_clock::now();
        std::uint64_t sent = 0;
        std::cout << "sending " << options.file << " " << options.fps << " times a second; Ctrl-C stops\n" << std::flush;
        do {
            client.setProperty(QuellonCMIOChannel::frameSelector, image);
            ++sent;
            // Deadlines from the start, not from the last send, so the rate does not drift.
        } while (sleepUntil(start + period * static_cast<long>(sent)));
        std::cout << "sent " << options.file << " " << sent << " times\n";
    });
}

// A renamed camera is a new device that starts without a state, showing the paused card; as
// a host we hand it the state it held before (or the stored one) once the new device is up.
void renameCamera(const std::string& name)
{
    CameraClient client = cameraClient();
    const CameraInfo before = client.cameraInfo();
    const std::string heldState = client.property(QuellonCMIOChannel::stateSelector).value_or("");
    client.setProperty(QuellonCMIOChannel::nameSelector, name);
    std::cout << "Asked the camera to rename itself " << quotedText(name) << "\n";
    if (before.name == name)
        return;
    const auto deadline = std::chrono::steady_clock::now() + kRenameWait;
    for (;;) {
        const CameraInfo now = client.cameraInfo();
        if (now.deviceUUID != before.deviceUUID)
            break;
        if (now.storedNameHint) {
            std::cerr << "quellon: the camera keeps the name " << quotedText(now.name) << " for now: " << visibleText(*now.storedNameHint) << "\n";
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            std::cerr << "quellon: the camera has not renamed itself yet; the name applies at its next start\n";
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
    if (!heldState.empty()) {
        client.setProperty(QuellonCMIOChannel::stateSelector, heldState);
    } else if (std::filesystem::exists(QuellonStorage::stateURL())) {
        client.sendState(QuellonStorage::readState());
    } else {
        return;
    }
    std::cerr << "quellon: sent the state again to the renamed camera\n";
}

void printCameraInfo(bool json)
{
    talkToCamera([&] {
        const CameraInfo info = cameraClient().cameraInfo();
        if (json) {
            std::cout << encodeJSON(info) << "\n";
            return;
        }
        std::cout << "name:         " << visibleText(info.name) << "\n"
                  << "legacy ID:    " << visibleText(info.legacyID) << "\n"
                  << "device UUID:  " << visibleText(info.deviceUUID) << "\n"
                  << "stream UUID:  " << visibleText(info.streamUUID) << "\n"
                  << "frame rate:   " << info.fps << " fps\n"
                  << "sink:         " << visibleText(info.sink) << "\n";
        if (info.storedName)
            std::cout << "stored name:  " << visibleText(*info.storedName)
                      << (info.storedNameHint ? " (" + visibleText(*info.storedNameHint) + ")" : std::string(" (applies at the next start)")) << "\n";
    });
}

} // namespace

void sendStateToCamera(const QuellonState& state)
{
    const auto path = CameraClient::defaultSocketPath();
    if (!path)
        return;
    try {
        CameraClient client(*path, 2s);
        client.sendState(state);
        std::cerr << "quellon: sent the new state to the camera\n";
    } catch (const CameraClientError& error) {
        // Not running is normal: the daemon reads nothing at start and gets the state later.
        if (error.code() != CameraClientError::Code::notRunning)
            std::cerr << "quellon: the state is stored, but the camera did not take it: " << error.what() << "\n";
    } catch (const std::exception& error) {
        std::cerr << "quellon: the state is stored, but could not be sent to the camera: " << error.what() << "\n";
    }
}

std::optional<std::int64_t> cameraStateRevision()
{
    const auto path = CameraClient::defaultSocketPath();
    if (!path)
        return std::nullopt;
    try {
        CameraClient client(*path, 2s);
        const auto bytes = client.property(QuellonCMIOChannel::stateSelector);
        if (!bytes || bytes->empty())
            return std::nullopt;
        if (auto state = QuellonCMIOChannel::decodeState(*bytes))
            return state->revision;
    } catch (const std::exception&) {
        // Not running or not answering: the stored revision is all there is.
    }
    return std::nullopt;
}

void addCameraCommands(CLI::App& app)
{
    // "state get" joins the state group, which addStateCommands has made.
    CLI::App* stateGroup = nullptr;
    try {
        stateGroup = app.get_subcommand("state");
    } catch (const CLI::OptionNotFound&) {
        stateGroup = app.add_subcommand("state", "Show or change the shared state record.");
    }
    auto* get = stateGroup->add_subcommand("get", "Print the state the running camera holds, as it arrived (JSON).");
    get->callback([] {
        talkToCamera([] {
            const auto bytes = cameraClient().property(QuellonCMIOChannel::stateSelector);
            if (!bytes)
                throw CommandError("the camera does not report its state");
            if (bytes->empty()) {
                std::cerr << "quellon: the camera has not received a state yet\n";
                return;
            }
            std::cout << *bytes << "\n";
        });
    });

    auto pushOptions = std::make_shared<PushOptions>();
    auto* pushCommand = app.add_subcommand("push", "Show a JPEG or PNG image on the camera (it stays 0.7 s unless repeated).");
    pushCommand->add_option("FILE", pushOptions->file, "the image")->required();
    auto* repeat = pushCommand->add_flag("--repeat", pushOptions->repeat, "send it again and again until interrupted");
    pushCommand->add_option("--fps", pushOptions->fps, "sends per second with --repeat")
        ->capture_default_str()
        ->check(CLI::Range(kMinRepeatFPS, kMaxRepeatFPS))
        ->needs(repeat);
    pushCommand->callback([pushOptions] { push(*pushOptions); });

    auto name = std::make_shared<std::string>();
    auto* rename = app.add_subcommand("rename", "Rename the camera while it runs; the name is kept for its next start too.");
    rename->add_option("NAME", *name, "1 to 64 bytes once trimmed")->required();
    rename->callback([name] {
        const auto encoded = QuellonCMIOChannel::encodeName(*name);
        if (!encoded)
            throw UsageError("a camera name must be 1 to " + std::to_string(QuellonCMIOChannel::maxNameBytes)
                             + " bytes of UTF-8 once trimmed, not " + quotedText(*name));
        talkToCamera([&] { renameCamera(*encoded); });
    });

    auto json = std::make_shared<bool>(false);
    auto* camera = app.add_subcommand("camera", "Show what the running camera publishes: name, identifiers, rate, sink.");
    camera->add_flag("--json", *json, "print it as JSON");
    camera->callback([json] { printCameraInfo(*json); });
}

} // namespace quellon::cli
