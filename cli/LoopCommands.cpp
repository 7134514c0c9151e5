#include "CameraSession.h"
#include "Commands.h"
#include "LoopLibrary.h"
#include "Output.h"

#include "analysis/FaceDetector.h"
#include "analysis/LoopEntry.h"
#include "analysis/LoopEyeOpenness.h"
#include "analysis/LoopStabilizer.h"
#include "channel/PropertyFraming.h"
#include "channel/QuellonCMIOChannel.h"
#include "platform/FileIO.h"
#include "platform/TerminalText.h"
#include "playback/ClipDecoder.h"
#include "playback/ImageContext.h"
#include "playback/ImageDecoding.h"
#include "playback/JPEGEncoder.h"
#include "playback/LoopFrameProvider.h"
#include "playback/LoopRotation.h"
#include "playback/ParallelFor.h"
#include "state/QuellonMode.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <unistd.h>

namespace quellon::cli {

namespace {

using namespace std::chrono_literals;

// Still images given to --start-near: a photo, not a film.
constexpr std::uint64_t kMaxStartImageBytes = 64u * 1024 * 1024;

struct PlayOptions {
    std::vector<std::string> files;
    std::string mode = "pingpong";
    int fps = 30;
    std::int64_t maxFrames = 600;
    std::int64_t crossfade = 8;
    bool jitter = false;
    bool lag = false;
    bool alive = false;
    std::string startNear;
    double seconds = 0;
};

struct InspectOptions {
    std::string file;
    std::int64_t maxFrames = 600;
    bool json = false;
};

std::uint64_t residentBytes()
{
    unsigned long size = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%lu %lu", &size, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return static_cast<std::uint64_t>(resident) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

double threadCPUSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string fixed(double value, int digits)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(digits) << value;
    return text.str();
}

PixelBufferRef readStartImage(const std::string& file)
{
    const auto bytes = readRegularFile(file, kMaxStartImageBytes);
    if (!bytes)
        throw CommandError("cannot read " + file + " (missing, unreadable, not a regular file or over 64 MiB)");
    ImageContext context;
    auto image = decodeImage(std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()), context);
    if (!image)
        throw UsageError(file + " is not a JPEG or PNG image");
    return LoopFrameProvider::pixelBuffer(std::move(*image), context);
}

std::uint64_t freshSeed()
{
    std::random_device source;
    return (static_cast<std::uint64_t>(source()) << 32) | source();
}

void play(const PlayOptions& options)
{
    const LoopMode mode = loopModeFromRawValue(options.mode).value_or(LoopMode::pingpong);
    PixelBufferRef startFrame;
    if (!options.startNear.empty())
        startFrame = readStartImage(options.startNear);

    CameraClient client = cameraClient();
    LoopFrameProvider provider(mode, options.jitter ? LoopJitter::gentle(freshSeed()) : LoopJitter::disabled(),
                               options.lag ? SimulatedLag::realistic(freshSeed()) : SimulatedLag::disabled(),
                               options.alive ? AliveMotion::gentle(freshSeed()) : AliveMotion::disabled());
    const std::uint64_t before = residentBytes();
    const auto loadStart = std::chrono::steady_clock::now();
    try {
        std::vector<std::filesystem::path> files;
        for (const std::string& file : options.files)
            files.push_back(resolveLoop(file, LoopPlaces::anywhere).file);
        if (files.size() == 1)
            provider.load(files[0], options.maxFrames, options.crossfade);
        else
            provider.loadMultiple(files, options.maxFrames, options.crossfade);
    } catch (const LoopLoadError& error) {
        throw CommandError(std::string("cannot load the loop: ") + error.what());
    }
    const double loadSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - loadStart).count();
    const double memoryMiB = static_cast<double>(residentBytes() - std::min(before, residentBytes())) / (1024.0 * 1024.0);
    std::cout << "loaded " << provider.frameCount() << " frames of " << provider.width() << "x" << provider.height() << " ("
              << options.mode << ") in " << fixed(loadSeconds, 2) << " s, " << fixed(memoryMiB, 1) << " MiB\n";
    if (startFrame)
        provider.startNear(startFrame);

    JPEGEncoder encoder;
    InterruptCatcher catcher;
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(1.0 / options.fps));
    const auto start = std::chrono::steady_clock::now();
    const auto stopAt = options.seconds > 0
        ? start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(options.seconds))
        : std::chrono::steady_clock::time_point::max();
    std::cout << "playing into the camera at " << options.fps << " fps; " << (options.seconds > 0 ? "stops after " + fixed(options.seconds, 1) + " s" : "Ctrl-C stops") << "\n"
              << std::flush;
    std::uint64_t sent = 0, late = 0;
    double nextFrameCPU = 0, encodeCPU = 0;
    auto deadline = start;
    talkToCamera([&] {
        while (!InterruptCatcher::interrupted() && std::chrono::steady_clock::now() < stopAt) {
            const double t0 = threadCPUSeconds();
            const PixelBufferRef frame = provider.nextFrame();
            if (!frame)
                throw CommandError("the loop has no frames to play");
            const double t1 = threadCPUSeconds();
            std::string_view jpeg;
            try {
                jpeg = encoder.encode(*frame);
            } catch (const JPEGEncodingError& error) {
                throw CommandError(error.what());
            }
            const double t2 = threadCPUSeconds();
            nextFrameCPU += t1 - t0;
            encodeCPU += t2 - t1;
            try {
                client.setProperty(QuellonCMIOChannel::frameSelector, jpeg);
            } catch (const FramingError& error) {
                throw CommandError(std::string("a frame is too large for the camera: ") + error.what());
            }
            ++sent;
            // The next deadline follows the last one, so the rate does not drift; after a stall
            // longer than a frame the schedule starts afresh instead of sending a burst.
            deadline += period;
            const auto now = std::chrono::steady_clock::now();
            if (now > deadline + period) {
                deadline = now;
                ++late;
            }
            if (!sleepUntil(std::min(deadline, stopAt)))
                break;
        }
    });
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double frames = static_cast<double>(std::max<std::uint64_t>(sent, 1));
    std::cout << "sent " << sent << " frames in " << fixed(elapsed, 2) << " s (" << fixed(static_cast<double>(sent) / std::max(elapsed, 1e-9), 1)
              << " fps, " << late << " late); CPU per frame: nextFrame " << fixed(nextFrameCPU / frames * 1000, 3)
              << " ms, JPEG " << fixed(encodeCPU / frames * 1000, 3) << " ms\n";
}

struct FrameReport {
    std::optional<LoopStabilizer::Offset> offset;
    std::optional<LoopEntry::FaceGeometry> face;
    std::optional<bool> eyesClosed;
};

void inspect(const InspectOptions& options)
{
    const LoopArgument loop = resolveLoop(options.file, LoopPlaces::anywhere);
    DecodedClip clip;
    try {
        ProgressLine progress("Decoding " + loop.shownName());
        clip = FFmpegClipDecoder().decode(loop.file, options.maxFrames);
    } catch (const LoopLoadError& error) {
        throw CommandError(std::string("cannot decode the clip: ") + error.what());
    }
    const auto& frames = clip.frames;
    std::vector<FrameReport> reports(frames.size());
    parallelFor(frames.size(), [&](std::size_t i) {
        reports[i].offset = i == 0 ? std::optional(LoopStabilizer::Offset::zero()) : LoopStabilizer::detectOffset(*frames[i], *frames[0]);
        // One search with landmarks gives both the face and its eyes.
        if (const auto faces = threadFaceDetector().detect(*frames[i], FaceDetector::Detail::landmarks)) {
            reports[i].face = LoopEntry::largestFaceGeometry(*faces);
            reports[i].eyesClosed = LoopEyeOpenness::eyesClosed(*faces);
        }
    });
    std::vector<LoopStabilizer::Offset> offsets;
    bool allMeasured = true;
    std::vector<std::size_t> closed;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        if (reports[i].offset)
            offsets.push_back(*reports[i].offset);
        else
            allMeasured = false;
        if (reports[i].eyesClosed == true)
            closed.push_back(i);
    }
    const LoopStabilizer::Offset crop = LoopStabilizer::cropMargin(offsets);

    if (options.json) {
        nlohmann::json out{{"file", loop.file.string()}, {"frames", frames.size()}, {"width", clip.width}, {"height", clip.height},
                           {"fps", clip.fps}, {"seconds", clip.seconds}, {"cropMargin", {{"dx", crop.dx}, {"dy", crop.dy}}},
                           {"allOffsetsMeasured", allMeasured}, {"closedEyeFrames", closed}};
        nlohmann::json list = nlohmann::json::array();
        for (std::size_t i = 0; i < reports.size(); ++i) {
            nlohmann::json entry{{"index", i}};
            if (reports[i].offset)
                entry["offset"] = {{"dx", reports[i].offset->dx}, {"dy", reports[i].offset->dy}};
            if (reports[i].face) {
                const auto& box = reports[i].face->box;
                entry["face"] = {{"x", box.x}, {"y", box.y}, {"width", box.width}, {"height", box.height}};
                if (reports[i].face->roll)
                    entry["face"]["roll"] = *reports[i].face->roll;
            }
            if (reports[i].eyesClosed)
                entry["eyesClosed"] = *reports[i].eyesClosed;
            list.push_back(std::move(entry));
        }
        out["perFrame"] = std::move(list);
        std::cout << out.dump(2) << "\n";
        return;
    }

    std::size_t withFace = 0;
    for (const auto& report : reports)
        withFace += report.face ? 1 : 0;
    std::cout << "file:        " << visibleText(loop.file.string()) << "\n"
              << "frames:      " << frames.size() << " of " << clip.width << "x" << clip.height << " at " << fixed(clip.fps, 3)
              << " fps, " << fixed(clip.seconds, 3) << " s\n"
              << "crop margin: dx " << fixed(crop.dx, 4) << ", dy " << fixed(crop.dy, 4)
              << (allMeasured ? "" : " (some offsets could not be measured: the stabiliser leaves this clip alone)") << "\n"
              << "faces:       " << withFace << " of " << frames.size() << " frames\n"
              << "eyes closed: ";
    if (closed.empty())
        std::cout << "none";
    for (std::size_t i = 0; i < closed.size(); ++i)
        std::cout << (i ? ", " : "") << closed[i];
    std::cout << "\n\nframe  offset dx  offset dy  face x  face y  face w  face h   roll  eyes\n";
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const FrameReport& r = reports[i];
        std::cout << std::setw(5) << i << "  ";
        if (r.offset)
            std::cout << std::setw(9) << fixed(r.offset->dx, 4) << "  " << std::setw(9) << fixed(r.offset->dy, 4) << "  ";
        else
            std::cout << std::setw(9) << "-" << "  " << std::setw(9) << "-" << "  ";
        if (r.face) {
            const auto& box = r.face->box;
            for (double v : {box.x, box.y, box.width, box.height})
                std::cout << std::setw(6) << fixed(v, 3) << "  ";
            std::cout << std::setw(5) << (r.face->roll ? fixed(*r.face->roll, 2) : "-") << "  ";
        } else {
            std::cout << std::setw(6) << "-" << "  " << std::setw(6) << "-" << "  " << std::setw(6) << "-" << "  " << std::setw(6) << "-"
                      << "  " << std::setw(5) << "-" << "  ";
        }
        std::cout << (r.eyesClosed ? (*r.eyesClosed ? "closed" : "open") : "-") << "\n";
    }
}

} // namespace

void addLoopCommands(CLI::App& app)
{
    auto* loop = app.add_subcommand("loop", "Play recorded loops into the camera, or look inside a clip.");
    loop->require_subcommand(1);

    auto playOptions = std::make_shared<PlayOptions>();
    auto* play = loop->add_subcommand("play",
                                      "Load one clip (or several, played one after another) and push its frames into the running "
                                      "camera at the rate until interrupted.");
    play->add_option("LOOP", playOptions->files, "loops: names from `quellon loops list` (.mov optional) or paths to clip files (anything FFmpeg reads)")->required();
    play->add_option("--mode", playOptions->mode, "how the loop plays")
        ->capture_default_str()
        ->check(CLI::IsMember({"pingpong", "forward", "freeze", "natural"}));
    play->add_option("--fps", playOptions->fps, "frames pushed per second")->capture_default_str()->check(CLI::Range(1, 60));
    play->add_option("--max-frames", playOptions->maxFrames,
                     "frames kept from the clip's start, 30 a second (of all clips together: they share the time; each keeps at least 24)")
        ->capture_default_str()
        ->check(CLI::Range(std::int64_t{1}, FFmpegClipDecoder::kMaxFrames));
    play->add_option("--crossfade", playOptions->crossfade, "blended frames between clips and, in forward mode, at the wrap")
        ->capture_default_str()
        ->check(CLI::Range(std::int64_t{0}, LoopRotation::kMaxCrossfadeFrames));
    play->add_flag("--jitter", playOptions->jitter, "now and then show a frame twice (Away has it on unless the state says otherwise)");
    play->add_flag("--lag", playOptions->lag, "now and then stall for a moment, like a congested call");
    play->add_flag("--alive", playOptions->alive, "let the light drift slowly (brightness and a tilt across the picture) and the picture sway by a few pixels, never repeating (Away has it on unless the state says otherwise)");
    play->add_option("--start-near", playOptions->startNear, "start at the loop frame that best continues this JPEG or PNG");
    play->add_option("--seconds", playOptions->seconds, "stop after this many seconds")->check(CLI::Range(0.001, 1e9));
    play->callback([playOptions] { cli::play(*playOptions); });

    auto inspectOptions = std::make_shared<InspectOptions>();
    auto* inspect = loop->add_subcommand("inspect",
                                         "Decode a clip as a loop would and print its frames, the stabiliser's offsets and crop, "
                                         "the faces found and the frames with closed eyes.");
    inspect->add_option("LOOP", inspectOptions->file, "the clip: a loop's name or a path")->required();
    inspect->add_option("--max-frames", inspectOptions->maxFrames, "frames decoded from the clip's start, 30 a second")
        ->capture_default_str()
        ->check(CLI::Range(std::int64_t{1}, FFmpegClipDecoder::kMaxFrames));
    inspect->add_flag("--json", inspectOptions->json, "print it as JSON");
    inspect->callback([inspectOptions] { cli::inspect(*inspectOptions); });
}

} // namespace quellon::cli
