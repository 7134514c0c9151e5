#include "Commands.h"
#include "LoopLibrary.h"
#include "Output.h"

#include "analysis/DlibFaceDetector.h"
#include "analysis/FaceDetector.h"
#include "analysis/LoopImport.h"
#include "analysis/TrimMath.h"
#include "capture/ClipEncoder.h"
#include "capture/FFmpegCapture.h"
#include "platform/DateTime.h"
#include "platform/Log.h"
#include "platform/TemporaryFiles.h"
#include "platform/TerminalText.h"
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
#include <sys/stat.h>

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

// A clip's size and modification time: what a cached quality report is valid for.
std::optional<std::pair<std::int64_t, std::int64_t>> clipIdentity(const fs::path& file)
{
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return std::pair<std::int64_t, std::int64_t>(status.st_size, std::int64_t{status.st_mtim.tv_sec} * 1'000'000'000 + status.st_mtim.tv_nsec);
}

std::optional<LoopQualityReport> cachedReport(const ClipMetadata& metadata, std::pair<std::int64_t, std::int64_t> identity)
{
    const auto& cache = metadata.qualityCache;
    if (!cache || std::pair(cache->clipBytes, cache->clipModifiedNanoseconds) != identity)
        return std::nullopt;
    return LoopQualityReport::evaluate(cache->brightness, cache->motion, cache->boundaryJump, cache->seconds);
}

// Keeps the report in the sidecar for the next listing. Best effort: a sidecar that changed
// meanwhile (a rename) is left as the other command wrote it, and a failed write only means the
// clip is measured again next time.
void storeReport(const std::string& name, const ClipMetadata& read, std::pair<std::int64_t, std::int64_t> identity,
                 const LoopQualityReport& report, double seconds)
{
    auto current = QuellonStorage::readMetadata(name);
    if (!current || *current != read)
        return;
    current->qualityCache = ClipQualityCache{identity.first, identity.second, report.brightness, report.motion, report.boundaryJump, seconds};
    try {
        QuellonStorage::writeMetadata(*current, name);
    } catch (const std::exception&) {
    }
}

void list(bool asJSON)
{
    const fs::path directory = QuellonStorage::clipsDirectory();
    json loops = json::array();
    // Each loop is decoded for its grade: seconds per loop, so a terminal shows the work.
    ProgressLine progress("Grading the loops");
    for (const LibraryLoop& entry : libraryLoops()) {
        const std::string& name = entry.filename;
        const fs::path file = directory / name;
        const auto metadata = QuellonStorage::readMetadata(name);
        json loop{{"name", name}, {"displayName", entry.displayName}};
        if (metadata) {
            loop["duration"] = metadata->duration;
            loop["resolution"] = metadata->resolution;
            loop["fps"] = metadata->fps;
            loop["createdAt"] = InternetDateTime::format(metadata->createdAt).value_or("");
        }
        try {
            const auto identity = clipIdentity(file);
            const auto cached = metadata && identity ? cachedReport(*metadata, *identity) : std::nullopt;
            if (cached) {
                loop["grade"] = LoopQualityReport::rawValue(cached->grade());
            } else {
                const ClipAnalysisResult result = analyseClip(file, LoopClipAnalysis::EyeFrames::none);
                const LoopQualityReport report = result.analysis.report(0, result.duration);
                loop["grade"] = LoopQualityReport::rawValue(report.grade());
                if (!metadata) {
                    loop["duration"] = result.duration;
                    loop["resolution"] = std::to_string(result.format.width) + "x" + std::to_string(result.format.height);
                    loop["fps"] = std::llround(result.format.fps);
                } else if (identity) {
                    storeReport(name, *metadata, *identity, report, result.analysis.seconds(0, result.duration));
                }
            }
        } catch (const CommandError&) {
            loop["grade"] = nullptr; // unreadable: listed, so the user can remove it
        }
        loops.push_back(std::move(loop));
    }
    progress.done();
    if (asJSON) {
        std::cout << loops.dump(2) << "\n";
        return;
    }
    if (loops.empty()) {
        std::cout << "No loops in " << visibleText(directory.string()) << "\n";
        return;
    }
    for (const json& loop : loops) {
        std::cout << visibleText(loop["name"].get<std::string>()) << "  " << quotedText(loop["displayName"].get<std::string>());
        if (loop.contains("duration"))
            std::cout << "  " << seconds(loop["duration"].get<double>()) << " s  " << visibleText(loop["resolution"].get<std::string>())
                      << " @ " << loop["fps"].get<std::int64_t>() << " fps";
        if (loop.contains("createdAt") && !loop["createdAt"].get<std::string>().empty())
            std::cout << "  created " << loop["createdAt"].get<std::string>();
        std::cout << "  grade " << (loop["grade"].is_null() ? std::string("?") : loop["grade"].get<std::string>()) << "\n";
    }
}

void importLoop(const std::string& source, const std::optional<std::string>& name)
{
    const std::string offered = fs::path(source).filename().string();
    const std::string shownSource = visibleText(source);
    if (!LoopImport::isImportable(offered))
        throw UsageError("Cannot import " + shownSource + ": only .mov, .mp4 and .m4v files can be imported.");
    std::error_code error;
    if (!fs::is_regular_file(source, error))
        throw CommandError("Cannot import " + shownSource + ": no such file.");
    DecodedClip decoded;
    try {
        FFmpegClipDecoder decoder;
        decoded = decoder.decode(source, 1);
    } catch (const LoopLoadError& failure) {
        throw CommandError("Cannot import " + shownSource + ": it is not a video Quellon can play (" + failure.what() + ").");
    }

    // Placed without replacing: an import running beside this one cannot take the same name.
    std::string filename;
    reportingFileErrors("Cannot import " + shownSource, [&] {
        ProgressLine progress("Copying " + shownSource);
        filename = LoopImport::atomicCopyAsNewFile(source, QuellonStorage::clipsDirectory(), [&](const std::set<std::string>& names) {
            return LoopImport::uniqueDestinationName(name.value_or(offered), names);
        });
    });
    const fs::path destination = QuellonStorage::clipURL(filename);
    const std::string displayName = name.value_or(fs::path(offered).stem().string());
    ClipMetadata metadata{"imported", decoded.seconds, std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now()),
                          std::to_string(decoded.width) + "x" + std::to_string(decoded.height),
                          std::llround(decoded.fps), "pingpong", filename, displayName};
    try {
        QuellonStorage::writeMetadata(metadata, filename);
    } catch (...) {
        fs::remove(destination, error); // no clip without its sidecar
        throw;
    }
    std::cout << "Imported " << quotedText(displayName) << " as " << visibleText(filename) << "\n";
}

void exportLoop(const std::string& name, const std::string& dest, bool force)
{
    const LoopArgument loop = resolveLoop(name, LoopPlaces::library);
    fs::path destination = dest;
    std::error_code error;
    if (fs::is_directory(destination, error))
        destination /= LoopImport::exportFilename(loop.loop->displayName);
    refuseExisting(destination, force);
    try {
        LoopImport::atomicCopy(loop.file, destination, {}, force ? ExistingFile::replace : ExistingFile::keep);
    } catch (const std::system_error& failure) {
        if (failure.code() == std::errc::file_exists)
            throw CommandError(existsMessage(destination));
        throw CommandError("Cannot export " + loop.shownName() + ": " + failure.code().message() + " (" + failure.what() + ")");
    }
    std::cout << "Exported " << loop.shownName() << " to " << visibleText(destination.string()) << "\n";
}

void removeLoop(const std::string& name)
{
    const LoopArgument loop = resolveLoop(name, LoopPlaces::library);
    const fs::path sidecar = QuellonStorage::metadataURL(loop.loop->filename);
    reportingFileErrors("Cannot remove " + loop.shownName(), [&] {
        fs::remove(loop.file);
        fs::remove(sidecar);
    });
    std::cout << "Removed " << loop.shownName() << " (" << visibleText(loop.loop->filename) << ")\n";
}

void analyseLoop(const std::string& name, bool asJSON)
{
    const LoopArgument loop = resolveLoop(name, LoopPlaces::library);
    const ClipAnalysisResult result = [&] {
        ProgressLine progress("Analysing " + loop.shownName());
        return analyseClip(loop.file);
    }();
    const LoopQualityReport report = result.analysis.report(0, result.duration);
    const auto seam = findSeam(result.analysis, loop.file);
    if (asJSON) {
        json out = reportJSON(report);
        out["name"] = loop.loop->filename;
        out["frames"] = result.analysis.frameCount();
        out["duration"] = result.duration;
        if (seam)
            out["seam"] = {{"start", seam->start}, {"end", seam->end}, {"boundaryJump", seam->boundaryJump}};
        else
            out["seam"] = nullptr;
        std::cout << out.dump(2) << "\n";
        return;
    }
    std::cout << visibleText(loop.loop->filename) << ": " << result.analysis.frameCount() << " frames, " << seconds(result.duration)
              << " s, " << result.format.width << "x" << result.format.height << "\n";
    std::cout << "brightness " << std::setprecision(3) << report.brightness << ", motion " << report.motion
              << ", boundary jump " << report.boundaryJump << "\n";
    std::cout << describeReport(report);
    if (seam)
        std::cout << "Best seam: " << seconds(seam->start) << " s to " << seconds(seam->end) << " s, boundary jump "
                  << std::setprecision(4) << seam->boundaryJump << "\n";
    else
        std::cout << "No seam: the clip is shorter than " << seconds(TrimMath::minDuration) << " s.\n";
}

// The window a trim keeps, checked against the clip: a reversed, too short or out-of-range
// window is refused rather than moved, so the user gets the cut they asked for or none. A
// window over the longest loop is cut to it, and the caller says so.
TrimMath::Window checkedTrimWindow(const std::string& shown, double start, double end, double duration)
{
    // Some slack at the end: the length `loops list` shows, rounded, is the end.
    constexpr double slack = 0.01;
    if (!std::isfinite(start) || !std::isfinite(end) || start < 0)
        throw UsageError("--start and --end are seconds from the loop's start, 0 or more");
    if (!(end > start))
        throw UsageError("--end (" + seconds(end) + " s) must come after --start (" + seconds(start) + " s)");
    if (!(duration > TrimMath::minDuration))
        throw UsageError(shown + " is " + seconds(duration) + " s long: a loop of at most " + seconds(TrimMath::minDuration)
                         + " s cannot be trimmed");
    if (end > duration + slack)
        throw UsageError(shown + " is " + seconds(duration) + " s long: the window " + seconds(start) + " s to " + seconds(end)
                         + " s runs past its end");
    end = std::min(end, duration);
    if (end - start < TrimMath::minDuration - 1e-9)
        throw UsageError("the window " + seconds(start) + " s to " + seconds(end) + " s is " + seconds(end - start)
                         + " s long: a loop is at least " + seconds(TrimMath::minDuration) + " s");
    return {start, std::min(end, start + TrimMath::maxDuration)};
}

void trimLoop(const std::string& name, double start, double end, bool replace)
{
    const LoopArgument loop = resolveLoop(name, LoopPlaces::library);
    const std::string& original = loop.loop->filename;
    const ClipAnalysisResult result = [&] {
        ProgressLine progress("Reading " + loop.shownName());
        return analyseClip(loop.file);
    }();
    const TrimMath::Window window = checkedTrimWindow(loop.shownName(), start, end, result.duration);
    // The window's end is the time the last kept frame ends; cutClip wants that frame's start.
    const double frame = result.format.fps > 0 ? 1 / result.format.fps : 0;
    const double lastFrame = std::max(window.start, window.end - frame);
    std::string filename = original;
    try {
        ProgressLine progress("Cutting " + loop.shownName());
        if (replace)
            cutClip(loop.file, loop.file, window.start, lastFrame);
        else
            filename = cutClipAsNewFile(
                           loop.file, QuellonStorage::clipsDirectory(),
                           [&](const std::set<std::string>& names) { return uniqueName(stem(original) + "-trim", names); },
                           window.start, lastFrame)
                           .file.filename()
                           .string();
    } catch (const CaptureError& error) {
        throw CommandError("Cannot trim " + loop.shownName() + ": " + error.what());
    }
    ClipMetadata metadata = QuellonStorage::readMetadata(original).value_or(
        ClipMetadata{"recorded", 0, {}, std::to_string(result.format.width) + "x" + std::to_string(result.format.height),
                     std::llround(result.format.fps), "pingpong", original, std::nullopt});
    metadata.duration = window.end - window.start;
    metadata.filename = filename;
    if (!replace) {
        metadata.createdAt = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
        metadata.displayName = metadata.displayName.value_or(stem(original)) + " (trimmed)";
    }
    QuellonStorage::writeMetadata(metadata, filename);
    const double asked = std::min(end, result.duration) - window.start;
    std::cout << "Trimmed " << loop.shownName() << " to " << seconds(window.start) << " s \u2013 " << seconds(window.end) << " s ("
              << seconds(window.end - window.start) << " s";
    if (asked > window.end - window.start + 1e-9)
        std::cout << ", cut from the " << seconds(asked) << " s asked for: a loop is at most " << seconds(TrimMath::maxDuration) << " s";
    std::cout << ")" << (replace ? std::string(" in place") : " as " + visibleText(filename)) << "\n";
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

std::vector<LibraryLoop> libraryLoops()
{
    std::vector<LibraryLoop> loops;
    for (const auto& entry : fs::directory_iterator(QuellonStorage::clipsDirectory())) {
        if (!isLoopFile(entry))
            continue;
        const std::string name = entry.path().filename().string();
        const auto metadata = QuellonStorage::readMetadata(name);
        loops.push_back({name, metadata && metadata->displayName ? *metadata->displayName : stem(name)});
    }
    std::sort(loops.begin(), loops.end(), [](const LibraryLoop& a, const LibraryLoop& b) { return a.filename < b.filename; });
    return loops;
}

std::string LoopArgument::shownName() const
{
    return loop ? quotedText(loop->displayName) : visibleText(file.string());
}

LoopArgument resolveLoop(const std::string& argument, LoopPlaces places)
{
    const std::string shown = "\"" + visibleText(argument) + "\"";
    if (argument.empty() || argument == "." || argument == ".." || argument.find('\0') != std::string::npos)
        throw UsageError(shown + " is not a loop: give a name from \"quellon loops list\" or a path.");
    fs::path directory;
    std::vector<LibraryLoop> loops;
    try {
        directory = QuellonStorage::clipsDirectory();
        loops = libraryLoops();
    } catch (const std::exception&) {
        // Without a library a path still names a file to play.
        if (places == LoopPlaces::library)
            throw;
    }
    auto inLibrary = [&](const LibraryLoop& loop) { return LoopArgument{directory / loop.filename, loop}; };
    std::error_code error;

    if (argument.find('/') != std::string::npos) {
        // A path: a library loop when it leads into the clips directory.
        const fs::path file = argument;
        const fs::path folder = fs::weakly_canonical(file.parent_path(), error);
        if (!error && !directory.empty() && folder == fs::weakly_canonical(directory, error))
            for (const LibraryLoop& loop : loops)
                if (loop.filename == file.filename().string())
                    return inLibrary(loop);
        if (places == LoopPlaces::library)
            throw UsageError(shown + " is not a loop in the library (" + visibleText(directory.string())
                             + "): give a name from \"quellon loops list\".");
        if (!fs::is_regular_file(file, error))
            throw CommandError("No such file: " + visibleText(argument));
        return {file, std::nullopt};
    }

    for (const std::string& candidate : {argument, argument + ".mov"})
        for (const LibraryLoop& loop : loops)
            if (loop.filename == candidate)
                return inLibrary(loop);
    std::vector<const LibraryLoop*> named;
    for (const LibraryLoop& loop : loops)
        if (loop.displayName == argument)
            named.push_back(&loop);
    if (named.size() == 1)
        return inLibrary(*named.front());
    if (named.size() > 1) {
        std::string files;
        for (const LibraryLoop* loop : named)
            files += (files.empty() ? "" : ", ") + visibleText(loop->filename);
        throw UsageError(shown + " is the name of " + std::to_string(named.size()) + " loops (" + files + "): give the file name.");
    }
    if (places == LoopPlaces::anywhere && fs::is_regular_file(argument, error))
        return {argument, std::nullopt};
    if (argument.starts_with(".") || fs::path(argument).extension() == ".json")
        throw UsageError(shown + " is not a loop: hidden files and sidecars are not loops.");
    throw CommandError("No loop named " + shown + " (see \"quellon loops list\").");
}

std::set<std::string> clipNames()
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(QuellonStorage::clipsDirectory()))
        names.insert(entry.path().filename().string());
    return names;
}

ClipAnalysisResult analyseClip(const fs::path& file, LoopClipAnalysis::EyeFrames eyeFrames)
{
    ClipAnalysisResult result;
    result.analysis = LoopClipAnalysis(eyeFrames);
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
    static constexpr const char* kLoopArgument = "The loop: its file name (.mov optional), the name \"loops list\" shows, or a path.";
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
    auto exportForce = std::make_shared<bool>(false);
    exportCommand->add_option("NAME", *exportName, kLoopArgument)->required();
    exportCommand->add_option("DEST", *exportDest, "A file, or a directory to put it in.")->required();
    exportCommand->add_flag("--force", *exportForce, "Replace DEST (or the file in it) if it exists.");
    exportCommand->callback(libraryCommand([=] { exportLoop(*exportName, *exportDest, *exportForce); }));

    auto* removeCommand = loops->add_subcommand("remove", "Delete a loop and its sidecar.");
    auto removeName = std::make_shared<std::string>();
    removeCommand->add_option("NAME", *removeName, kLoopArgument)->required();
    removeCommand->callback(libraryCommand([=] { removeLoop(*removeName); }));

    auto* analyseCommand = loops->add_subcommand("analyse", "Grade a loop and find its best seam.");
    analyseCommand->alias("analyze");
    auto analyseName = std::make_shared<std::string>();
    auto analyseJSON = std::make_shared<bool>(false);
    analyseCommand->add_option("NAME", *analyseName, kLoopArgument)->required();
    analyseCommand->add_flag("--json", *analyseJSON, "Print JSON.");
    analyseCommand->callback(libraryCommand([=] { analyseLoop(*analyseName, *analyseJSON); }));

    auto* trimCommand = loops->add_subcommand("trim", "Cut a loop to a window (a new clip unless --replace).");
    auto trimName = std::make_shared<std::string>();
    auto trimStart = std::make_shared<double>(0);
    auto trimEnd = std::make_shared<double>(0);
    auto trimReplace = std::make_shared<bool>(false);
    trimCommand->add_option("NAME", *trimName, kLoopArgument)->required();
    trimCommand->add_option("--start", *trimStart, "Start in seconds.")->required();
    trimCommand->add_option("--end", *trimEnd, "End in seconds (3 to 15 s after the start).")->required();
    trimCommand->add_flag("--replace", *trimReplace, "Replace the loop instead of keeping it.");
    trimCommand->callback(libraryCommand([=] { trimLoop(*trimName, *trimStart, *trimEnd, *trimReplace); }));
}

} // namespace quellon::cli
