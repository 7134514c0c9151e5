#include "Commands.h"
#include "LoopLibrary.h"
#include "Output.h"

#include "analysis/FaceDetector.h"
#include "analysis/LoopImport.h"
#include "analysis/TrimMath.h"
#include "capture/CameraListing.h"
#include "capture/ClipEncoder.h"
#include "capture/FFmpegCapture.h"
#include "capture/LoopRecording.h"
#include "capture/LoopSaving.h"
#include "platform/TemporaryFiles.h"
#include "platform/TerminalText.h"
#include "state/ClipMetadata.h"
#include "state/QuellonState.h"
#include "state/QuellonStorage.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <atomic>
#include <cmath>
#include <csignal>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace quellon::cli {

namespace fs = std::filesystem;

namespace {

std::atomic<bool> interrupted = false;

extern "C" void onInterrupt(int)
{
    interrupted = true;
}

// Ctrl-C and termination set the flag instead of killing us, so we can clean up.
class InterruptGuard {
public:
    InterruptGuard()
    {
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &previousInt_);
        ::sigaction(SIGTERM, &action, &previousTerm_);
    }
    ~InterruptGuard()
    {
        ::sigaction(SIGINT, &previousInt_, nullptr);
        ::sigaction(SIGTERM, &previousTerm_, nullptr);
    }

private:
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

using Cancelled = RecordingCancelled;

// A camera is named by its id, its device path or its name as `quellon cameras` lists them.
std::string cameraInput(const std::string& camera)
{
    const auto cameras = listCameras();
    for (const auto& listed : cameras)
        if (listed.id == camera || listed.path == camera)
            return listed.id;
    std::vector<std::string> named;
    for (const auto& listed : cameras)
        if (listed.name == camera)
            named.push_back(listed.id);
    if (named.size() == 1)
        return named.front();
    if (named.size() > 1)
        throw UsageError("Several cameras are named " + quotedText(camera) + ": give its id from `quellon cameras`.");
    const auto input = CaptureInput::parse(camera);
    struct stat info {};
    if (input && input->kind == CaptureInput::Kind::camera && ::stat(camera.c_str(), &info) != 0)
        throw CommandError("No camera at " + visibleText(camera) + ": is it plugged in? `quellon cameras` lists the cameras there are.");
    if (!input || input->kind != CaptureInput::Kind::camera)
        throw CommandError("There is no camera " + quotedText(camera) + ": `quellon cameras` lists the cameras there are (record "
                           "from a file or a test pattern with --input).");
    return camera;
}

std::string chooseInput(const std::optional<std::string>& camera, const std::optional<std::string>& input)
{
    if (input)
        return *input;
    if (camera)
        return cameraInput(*camera);
    if (auto selected = QuellonStorage::readState().selectedCameraID)
        return *selected;
    const auto cameras = listCameras();
    if (cameras.empty())
        throw CommandError("No camera found. Connect one, or record from a file or a test pattern with --input "
                           "(for example --input lavfi:testsrc2=size=1280x720:rate=30).");
    return cameras.front().id;
}

void printBar(double elapsed, double total)
{
    constexpr int width = 30;
    const int filled = std::clamp(static_cast<int>(elapsed / total * width), 0, width);
    std::cerr << "\r[" << std::string(filled, '#') << std::string(width - filled, '-') << "] "
              << std::max(0, static_cast<int>(std::ceil(total - elapsed))) << " s left " << std::flush;
}

struct Options {
    double seconds = 12;
    std::optional<std::string> camera;
    std::optional<std::string> input;
    std::optional<std::string> name;
    bool force = false;
};

void record(const Options& options)
{
    if (!(options.seconds > 0) || options.seconds > 600)
        throw UsageError("--seconds must be more than 0 and at most 600.");
    const std::string spelling = chooseInput(options.camera, options.input);
    const auto input = CaptureInput::parse(spelling);
    if (!input)
        throw UsageError("\"" + spelling + "\" is not an input: give a camera device, a file or lavfi:GRAPH.");

    const fs::path clips = QuellonStorage::clipsDirectory();
    // A named loop keeps its name: one that is taken is refused before anything is recorded.
    std::string filename = options.name ? LoopImport::sanitizedBase(*options.name) + ".mov" : uniqueName(defaultLoopName(), clipNames());
    if (options.name && !options.force && clipNames().contains(filename))
        throw CommandError("A loop named " + quotedText(filename) + " exists already: give --force to replace it, or another --name.");
    removeStaleTemporaryFiles(clips, quellonTemporaryPrefixes());

    InterruptGuard guard;
    // Locked while we record and save, removed however we leave.
    const OwnedTemporaryFile recordingFile(clips, ".quellon-recording-", ".mov");
    const fs::path& recording = recordingFile.path();
    const bool terminal = ::isatty(STDERR_FILENO);

    // The landmark model takes seconds to load: it loads while we record, for the seam's eye
    // test afterwards. The hints need face boxes only.
    std::thread preload([] { preloadFaceLandmarks(); });
    struct Join {
        std::thread& thread;
        ~Join() { thread.join(); }
    } joinPreload{preload};
    FaceDetector& detector = boxDetector();
    std::unique_ptr<CaptureSource> source;
    try {
        source = openCapture(*input);
    } catch (const CaptureError& error) {
        throw CommandError(error.what());
    }
    const CaptureFormat format = source->format();
    std::cerr << "Recording " << options.seconds << " s from " << visibleText(spelling) << " (" << format.width << "x" << format.height
              << ", " << std::llround(format.fps) << " fps). Press Ctrl-C to cancel.\n";

    std::mutex output;
    RecordingObserver observer;
    observer.hintChanged = [&](std::optional<RecordingGuidance::Hint> hint) {
        std::lock_guard lock(output);
        if (terminal)
            std::cerr << "\r\033[K";
        std::cerr << (hint ? std::string("Hint: ") + std::string(RecordingGuidance::message(*hint)) : std::string("Looking good."))
                  << "\n";
    };
    if (terminal)
        observer.progress = [&](double elapsed) {
            std::lock_guard lock(output);
            printBar(elapsed, options.seconds);
        };

    LoopClipAnalysis analysis{LoopClipAnalysis::EyeFrames::none}; // the eye test reads its frames again from the file
    RecordingSummary summary;
    try {
        summary = recordLoop(*source, recording, options.seconds, analysis, &detector, observer, interrupted);
    } catch (const CaptureError& error) {
        throw CommandError(error.what());
    }
    source.reset();
    if (terminal)
        std::cerr << "\r\033[K";
    if (summary.cancelled || interrupted)
        throw Cancelled();
    if (summary.dropped > 0)
        std::cerr << summary.dropped << " frames were dropped while recording.\n";

    // A loop given the same name while we recorded is not replaced: this one takes the next
    // free name, and says so.
    if (!options.force && clipNames().contains(filename)) {
        const std::string taken = filename;
        filename = uniqueName(fs::path(filename).stem().string(), clipNames());
        std::cerr << "A loop named " << quotedText(taken) << " appeared while recording; this one is saved as " << quotedText(filename) << ".\n";
    }
    const fs::path clip = clips / filename;
    SavedLoop saved;
    try {
        ProgressLine progress("Saving and analysing the loop");
        saved = saveRecordedLoop(recording, analysis, format, summary.duration, clip, options.name, interrupted,
                                 options.force ? ExistingFile::replace : ExistingFile::keep);
    } catch (const CaptureError& error) {
        throw CommandError(error.what());
    }

    const LoopQualityReport& report = saved.report;
    const auto& seam = saved.seam;
    std::cout << "Saved " << quotedText(options.name.value_or(fs::path(saved.filename).stem().string())) << " as " << visibleText(saved.filename) << ": "
              << std::fixed << std::setprecision(2) << saved.duration << " s (" << saved.windowStart << " s to "
              << saved.windowStart + saved.duration << " s of the recording, " << (saved.copied ? "cut without re-encoding" : "re-encoded")
              << ", " << summary.codec << ")\n";
    std::cout << describeReport(report);
    std::cout << "Seam boundary jump: " << std::setprecision(4) << (seam ? seam->boundaryJump : report.boundaryJump) << "\n";
}

} // namespace

void addRecordCommand(CLI::App& app)
{
    auto* command = app.add_subcommand("record", "Record a loop from a camera, a file or a test pattern.");
    auto options = std::make_shared<Options>();
    auto camera = std::make_shared<std::string>();
    auto input = std::make_shared<std::string>();
    auto name = std::make_shared<std::string>();
    command->add_option("--seconds", options->seconds, "How long to record (default 12).");
    auto* cameraOption = command->add_option("--camera", *camera, "The camera: its id or /dev/videoN.");
    auto* inputOption = command->add_option("--input", *input, "Any input instead: a file, a device or lavfi:GRAPH.");
    cameraOption->excludes(inputOption);
    auto* nameOption = command->add_option("--name", *name, "The loop's name; refused if a loop has it, unless --force.");
    command->add_flag("--force", options->force, "Replace the loop of the same --name.");
    command->callback([=] {
        Options chosen = *options;
        if (cameraOption->count())
            chosen.camera = *camera;
        if (inputOption->count())
            chosen.input = *input;
        if (nameOption->count())
            chosen.name = *name;
        try {
            record(chosen);
        } catch (const Cancelled& cancelled) {
            std::cerr << "\n" << cancelled.what() << "\n";
            std::exit(130);
        }
    });

    auto* cameras = app.add_subcommand("cameras", "List the cameras that can be recorded from.");
    auto asJSON = std::make_shared<bool>(false);
    cameras->add_flag("--json", *asJSON, "Print JSON.");
    cameras->callback([cameras, asJSON] {
        if (!cameras->get_subcommands().empty())
            return; // "cameras use" did the work
        const auto list = listCameras();
        if (*asJSON) {
            nlohmann::json out = nlohmann::json::array();
            for (const auto& camera : list) {
                nlohmann::json modes = nlohmann::json::array();
                for (const auto& mode : camera.modes)
                    modes.push_back({{"pixelFormat", mode.pixelFormat}, {"width", mode.width}, {"height", mode.height}, {"fps", mode.fps}});
                out.push_back({{"name", camera.name}, {"id", camera.id}, {"path", camera.path}, {"modes", modes}});
            }
            std::cout << out.dump(2) << "\n";
            return;
        }
        if (list.empty())
            std::cout << "No cameras found.\n";
        for (const auto& camera : list) {
            std::cout << camera.name << "\n  id: " << camera.id << "\n  device: " << camera.path << "\n";
            for (const auto& mode : camera.modes) {
                std::cout << "  " << mode.pixelFormat << " " << mode.width << "x" << mode.height;
                for (double fps : mode.fps)
                    std::cout << " " << fps;
                std::cout << (mode.fps.empty() ? "\n" : " fps\n");
            }
        }
    });
}

} // namespace quellon::cli
