#include "Commands.h"
#include "LoopLibrary.h"

#include "analysis/DlibFaceDetector.h"
#include "analysis/FaceDetector.h"
#include "analysis/LoopImport.h"
#include "analysis/TrimMath.h"
#include "capture/ClipEncoder.h"
#include "capture/FFmpegCapture.h"
#include "platform/DateTime.h"
#include "platform/Log.h"
#include "platform/TemporaryFiles.h"
#include "playback/ClipDecoder.h"
#include "playback/LoopLoadError.h"
#include "state/ClipMetadata.h"
#include "state/QuellonStorage.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <functional>
#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace quellon::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string seconds(double value)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << value;
    return text.str();
}

std::string stem(const std::string& filename)
{
    return fs::path(filename).stem().string();
}

bool isLoopFile(const fs::directory_entry& entry)
{
    const std::string name = entry.path().filename().string();
    std::error_code error;
    return entry.is_regular_file(error) && !name.starts_with(".") && entry.path().extension() != ".json";
}

// Runs body; a system error from the file system becomes the command's failure.
template <typename Body>
void reportingFileErrors(const std::string& what, Body body)
{
    try {
        body();
    } catch (const std::system_error& error) {
        throw CommandError(what + ": " + error.code().message() + " (" + error.what() + ")");
    }
}

void list(bool asJSON)
{
    const fs::path directory = QuellonStorage::clipsDirectory();
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory))
        if (isLoopFile(entry))
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());

    json loops = json::array();
    for (const fs::path& file : files) {
        const std::string name = file.filename().string();
        const auto metadata = QuellonStorage::readMetadata(name);
        json loop{{"name", name}};
        if (metadata) {
            loop["displayName"] = metadata->displayName.value_or(stem(name));
            loop["duration"] = metadata->duration;
            loop["resolution"] = metadata->resolution;
            loop["fps"] = metadata->fps;
            loop["createdAt"] = InternetDateTime::format(metadata->createdAt).value_or("");
        } else {
            loop["displayName"] = stem(name);
        }
        try {
            const ClipAnalysisResult result = analyseClip(file);
            const LoopQualityReport report = result.analysis.report(0, result.duration);
            loop["grade"] = LoopQualityReport::rawValue(report.grade());
            if (!metadata) {
                loop["duration"] = result.duration;
                loop["resolution"] = std::to_string(result.format.width) + "x" + std::to_string(result.format.height);
                loop["fps"] = std::llround(result.format.fps);
            }
        } catch (const CommandError&) {
            loop["grade"] = nullptr; // unreadable: listed, so the user can remove it
        }
        loops.push_back(std::move(loop));
    }
    if (asJSON) {
        std::cout << loops.dump(2) << "\n";
        return;
    }
    if (loops.empty()) {
        std::cout << "No loops in " << directory.string() << "\n";
        return;
    }
    for (const json& loop : loops) {
        std::cout << loop["name"].get<std::string>() << "  \"" << loop["displayName"].get<std::string>() << "\"";
        if (loop.contains("duration"))
            std::cout << "  " << seconds(loop["duration"].get<double>()) << " s  " << loop["resolution"].get<std::string>()
                      << " @ " << loop["fps"].get<std::int64_t>() << " fps";
        if (loop.contains("createdAt") && !loop["createdAt"].get<std::string>().empty())
            std::cout << "  created " << loop["createdAt"].get<std::string>();
        std::cout << "  grade " << (loop["grade"].is_null() ? std::string("?") : loop["grade"].get<std::string>()) << "\n";
    }
}

void importLoop(const std::string& source, const std::optional<std::string>& name)
{
    const std::string offered = fs::path(source).filename().string();
    if (!LoopImport::isImportable(offered))
        throw UsageError("Cannot import " + source + ": only .mov, .mp4 and .m4v files can be imported.");
    std::error_code error;
    if (!fs::is_regular_file(source, error))
        throw CommandError("Cannot import " + source + ": no such file.");
    DecodedClip decoded;
    try {
        FFmpegClipDecoder decoder;
        decoded = decoder.decode(source, 1);
    } catch (const LoopLoadError& failure) {
        throw CommandError("Cannot import " + source + ": it is not a video Quellon can play (" + failure.what() + ").");
    }

    // Placed without replacing: an import running beside this one cannot take the same name.
    std::string filename;
    reportingFileErrors("Cannot import " + source, [&] {
        filename = LoopImport::atomicCopyAsNewFile(source, QuellonStorage::clipsDirectory(), [&](const std::set<std::string>& names) {
            return LoopImport::uniqueDestinationName(name.value_or(offered), names);
        });
    });
    const fs::path destination = QuellonStorage::clipURL(filename);
    ClipMetadata metadata{"imported", decoded.seconds, std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now()),
                          std::to_string(decoded.width) + "x" + std::to_string(decoded.height),
                          std::llround(decoded.fps), "pingpong", filename,
                          name.value_or(fs::path(offered).stem().string())};
    try {
        QuellonStorage::writeMetadata(metadata, filename);
    } catch (...) {
        fs::remove(destination, error); // no clip without its sidecar
        throw;
    }
    std::cout << filename << "\n";
}

void exportLoop(const std::string& name, const std::string& dest)
{
    const fs::path clip = loopFile(name);
    fs::path destination = dest;
    std::error_code error;
    if (fs::is_directory(destination, error)) {
        const auto metadata = QuellonStorage::readMetadata(name);
        const std::string loopName = metadata && metadata->displayName ? *metadata->displayName : stem(name);
        destination /= LoopImport::exportFilename(loopName);
    }
    reportingFileErrors("Cannot export " + name, [&] { LoopImport::atomicCopy(clip, destination); });
    std::cout << destination.string() << "\n";
}

void removeLoop(const std::string& name)
{
    const fs::path clip = loopFile(name);
    const fs::path sidecar = QuellonStorage::metadataURL(name);
    reportingFileErrors("Cannot remove " + name, [&] {
        fs::remove(clip);
        fs::remove(sidecar);
    });
}

void analyseLoop(const std::string& name, bool asJSON)
{
    const ClipAnalysisResult result = analyseClip(loopFile(name));
    const LoopQualityReport report = result.analysis.report(0, result.duration);
    const auto seam = findSeam(result.analysis);
    if (asJSON) {
        json out = reportJSON(report);
        out["name"] = name;
        out["frames"] = result.analysis.frameCount();
        out["duration"] = result.duration;
        if (seam)
            out["seam"] = {{"start", seam->start}, {"end", seam->end}, {"boundaryJump", seam->boundaryJump}};
        else
            out["seam"] = nullptr;
        std::cout << out.dump(2) << "\n";
        return;
    }
    std::cout << name << ": " << result.analysis.frameCount() << " frames, " << seconds(result.duration) << " s, "
              << result.format.width << "x" << result.format.height << "\n";
    std::cout << "brightness " << std::setprecision(3) << report.brightness << ", motion " << report.motion
              << ", boundary jump " << report.boundaryJump << "\n";
    std::cout << describeReport(report);
    if (seam)
        std::cout << "Best seam: " << seconds(seam->start) << " s to " << seconds(seam->end) << " s, boundary jump "
                  << std::setprecision(4) << seam->boundaryJump << "\n";
    else
        std::cout << "No seam: the clip is shorter than " << seconds(TrimMath::minDuration) << " s.\n";
}

void trimLoop(const std::string& name, double start, double end, bool replace)
{
    const fs::path clip = loopFile(name);
    const ClipAnalysisResult result = analyseClip(clip);
    const TrimMath::Window window = TrimMath::resolve(start, end, result.duration, TrimMath::maxDuration);
    // The window's end is the time the last kept frame ends; cutClip wants that frame's start.
    const double frame = result.format.fps > 0 ? 1 / result.format.fps : 0;
    const double lastFrame = std::max(window.start, window.end - frame);
    std::string filename = name;
    try {
        if (replace)
            cutClip(clip, clip, window.start, lastFrame);
        else
            filename = cutClipAsNewFile(
                           clip, QuellonStorage::clipsDirectory(),
                           [&](const std::set<std::string>& names) { return uniqueName(stem(name) + "-trim", names); },
                           window.start, lastFrame)
                           .file.filename()
                           .string();
    } catch (const CaptureError& error) {
        throw CommandError(std::string("Cannot trim ") + name + ": " + error.what());
    }
    ClipMetadata metadata = QuellonStorage::readMetadata(name).value_or(
        ClipMetadata{"recorded", 0, {}, std::to_string(result.format.width) + "x" + std::to_string(result.format.height),
                     std::llround(result.format.fps), "pingpong", name, std::nullopt});
    metadata.duration = window.end - window.start;
    metadata.filename = filename;
    if (!replace) {
        metadata.createdAt = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
        if (metadata.displayName)
            metadata.displayName = *metadata.displayName + " (trimmed)";
    }
    QuellonStorage::writeMetadata(metadata, filename);
    std::cout << filename << ": " << seconds(window.start) << " s to " << seconds(window.end) << " s\n";
}

// Every library command first removes what interrupted runs left in the clips directory, and
// from then on removes its own temporary files when interrupted.
template <typename Body>
std::function<void()> libraryCommand(Body body)
{
    return [body] {
        removeTemporaryFilesOnSignal();
        removeStaleTemporaryFiles(QuellonStorage::clipsDirectory(), quellonTemporaryPrefixes());
        body();
    };
}

} // namespace

fs::path loopFile(const std::string& name, bool mustExist)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos
        || name.find('\0') != std::string::npos)
        throw UsageError("\"" + name + "\" is not a loop name: give the file name of a clip (see \"quellon loops list\").");
    if (name.starts_with(".") || fs::path(name).extension() == ".json")
        throw UsageError("\"" + name + "\" is not a loop name.");
    const fs::path file = QuellonStorage::clipURL(name);
    std::error_code error;
    if (mustExist && !fs::is_regular_file(file, error))
        throw CommandError("No loop named \"" + name + "\".");
    return file;
}

std::set<std::string> clipNames()
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(QuellonStorage::clipsDirectory()))
        names.insert(entry.path().filename().string());
    return names;
}

ClipAnalysisResult analyseClip(const fs::path& file)
{
    ClipAnalysisResult result;
    try {
        auto source = openCapture(CaptureInput{CaptureInput::Kind::file, file.string()}, {.realtime = false});
        result.format = source->format();
        while (auto frame = source->read())
            result.analysis.add(*frame->image, frame->time);
    } catch (const CaptureError& error) {
        throw CommandError(error.what());
    }
    if (result.analysis.frameCount() == 0)
        throw CommandError("The file " + file.string() + " holds no pictures.");
    result.duration = result.analysis.times().back() + (result.format.fps > 0 ? 1 / result.format.fps : 0);
    return result;
}

std::string describeReport(const LoopQualityReport& report)
{
    std::ostringstream text;
    text << "Grade " << LoopQualityReport::rawValue(report.grade()) << " (" << LoopQualityReport::title(report.grade())
         << "), score " << report.score() << "\n";
    for (auto hint : report.hints)
        text << "  - " << LoopQualityReport::message(hint) << "\n";
    return text.str();
}

json reportJSON(const LoopQualityReport& report)
{
    json hints = json::array();
    for (auto hint : report.hints)
        hints.push_back({{"hint", LoopQualityReport::rawValue(hint)}, {"message", LoopQualityReport::message(hint)}});
    return {{"brightness", report.brightness},
            {"motion", report.motion},
            {"boundaryJump", report.boundaryJump},
            {"grade", LoopQualityReport::rawValue(report.grade())},
            {"title", LoopQualityReport::title(report.grade())},
            {"score", report.score()},
            {"healthy", report.isHealthy()},
            {"hints", hints}};
}

void addLoopLibraryCommands(CLI::App& app)
{
    auto* loops = app.add_subcommand("loops", "Manage the recorded loops in the clips directory.");
    loops->require_subcommand(1);

    auto* listCommand = loops->add_subcommand("list", "List the loops with their details and grade.");
    auto listJSON = std::make_shared<bool>(false);
    listCommand->add_flag("--json", *listJSON, "Print JSON.");
    listCommand->callback(libraryCommand([listJSON] { list(*listJSON); }));

    auto* importCommand = loops->add_subcommand("import", "Copy a .mov, .mp4 or .m4v file in as a loop.");
    auto importFile = std::make_shared<std::string>();
    auto importName = std::make_shared<std::string>();
    importCommand->add_option("FILE", *importFile, "The video file.")->required();
    auto* nameOption = importCommand->add_option("--name", *importName, "The loop's name.");
    importCommand->callback(libraryCommand([=] {
        importLoop(*importFile, nameOption->count() ? std::optional(*importName) : std::nullopt);
    }));

    auto* exportCommand = loops->add_subcommand("export", "Copy a loop out to a file or directory.");
    auto exportName = std::make_shared<std::string>();
    auto exportDest = std::make_shared<std::string>();
    exportCommand->add_option("NAME", *exportName, "The loop's file name.")->required();
    exportCommand->add_option("DEST", *exportDest, "A file, or a directory to put it in.")->required();
    exportCommand->callback([=] { exportLoop(*exportName, *exportDest); });

    auto* removeCommand = loops->add_subcommand("remove", "Delete a loop and its sidecar.");
    auto removeName = std::make_shared<std::string>();
    removeCommand->add_option("NAME", *removeName, "The loop's file name.")->required();
    removeCommand->callback(libraryCommand([=] { removeLoop(*removeName); }));

    auto* analyseCommand = loops->add_subcommand("analyse", "Grade a loop and find its best seam.");
    analyseCommand->alias("analyze");
    auto analyseName = std::make_shared<std::string>();
    auto analyseJSON = std::make_shared<bool>(false);
    analyseCommand->add_option("NAME", *analyseName, "The loop's file name.")->required();
    analyseCommand->add_flag("--json", *analyseJSON, "Print JSON.");
    analyseCommand->callback(libraryCommand([=] { analyseLoop(*analyseName, *analyseJSON); }));

    auto* trimCommand = loops->add_subcommand("trim", "Cut a loop to a window (a new clip unless --replace).");
    auto trimName = std::make_shared<std::string>();
    auto trimStart = std::make_shared<double>(0);
    auto trimEnd = std::make_shared<double>(0);
    auto trimReplace = std::make_shared<bool>(false);
    trimCommand->add_option("NAME", *trimName, "The loop's file name.")->required();
    trimCommand->add_option("--start", *trimStart, "Start in seconds.")->required();
    trimCommand->add_option("--end", *trimEnd, "End in seconds.")->required();
    trimCommand->add_flag("--replace", *trimReplace, "Replace the loop instead of keeping it.");
    trimCommand->callback(libraryCommand([=] { trimLoop(*trimName, *trimStart, *trimEnd, *trimReplace); }));
}

} // namespace quellon::cli
