#include "capture/LoopSaving.h"

#include "analysis/DlibFaceDetector.h"
#include "analysis/FaceDetector.h"
#include "analysis/TrimMath.h"
#include "capture/ClipEncoder.h"
#include "capture/FFmpegCapture.h"
#include "platform/Log.h"
#include "state/ClipMetadata.h"
#include "state/QuellonStorage.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <iomanip>
#include <memory>
#include <sstream>

namespace quellon {

namespace fs = std::filesystem;

FaceDetector& boxDetector()
{
    // An empty model path: boxes without landmarks, and the loader's complaint goes nowhere.
    static CapturingLogSink ignored;
    thread_local const std::unique_ptr<FaceDetector> detector = DlibFaceDetection::make({}, ignored);
    return *detector;
}

std::optional<LoopSeamFinder::Seam> findSeam(const LoopClipAnalysis& analysis, const fs::path& clip)
{
    auto landmarks = []() -> FaceDetector& { return threadFaceDetector(); };
    if (clip.empty())
        return analysis.seam(TrimMath::minDuration, TrimMath::maxDuration, boxDetector(), landmarks);
    // One pass over the clip; a frame is taken when its time is within a quarter of a 120 fps
    // tick of a wanted time (the file keeps the times the analysis saw, rounded to milliseconds).
    auto reread = [&](const std::vector<double>& times, const std::function<void(std::size_t, const PixelBuffer&)>& use) {
        constexpr double kTolerance = 1.0 / 480;
        try {
            auto source = openCapture(CaptureInput{CaptureInput::Kind::file, clip.string()}, {.realtime = false});
            std::size_t next = 0;
            while (next < times.size()) {
                const auto frame = source->read();
                if (!frame)
                    break;
                while (next < times.size() && times[next] < frame->time - kTolerance)
                    ++next; // not in the file: left out
                while (next < times.size() && std::abs(times[next] - frame->time) <= kTolerance)
                    use(next++, *frame->image);
            }
        } catch (const CaptureError&) {
            // Unreadable now: the seam is chosen without the eye test.
        }
    };
    return analysis.seam(TrimMath::minDuration, TrimMath::maxDuration, boxDetector(), landmarks, reread);
}

std::string uniqueName(const std::string& base, const std::set<std::string>& existing)
{
    std::string candidate = base + ".mov";
    for (int n = 1; existing.contains(candidate); ++n)
        candidate = base + "-" + std::to_string(n) + ".mov";
    return candidate;
}

std::string defaultLoopName()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::ostringstream text;
    text << "loop-" << std::put_time(&local, "%Y%m%d-%H%M%S");
    return text.str();
}

SavedLoop saveRecordedLoop(const fs::path& recording, const LoopClipAnalysis& analysis, const CaptureFormat& format,
                           double lastFrameTime, const fs::path& clip, const std::optional<std::string>& displayName,
                           const std::atomic<bool>& cancel, ExistingFile existing)
{
    const double frame = format.fps > 0 ? 1 / format.fps : 1.0 / 30;
    const double duration = lastFrameTime + frame;
    SavedLoop saved;
    saved.seam = findSeam(analysis, recording);
    const TrimMath::Window window = TrimMath::resolve(saved.seam ? saved.seam->start : 0, saved.seam ? saved.seam->end : duration,
                                                      duration, TrimMath::maxDuration);
    if (cancel)
        throw RecordingCancelled();

    // Once cut, the clip is ours: a failure removes it. (A failed cut leaves whatever was there
    // before alone.)
    struct RemoveUnlessKept {
        fs::path path;
        bool kept = false;
        ~RemoveUnlessKept()
        {
            if (!kept && !path.empty()) {
                std::error_code ignored;
                fs::remove(path, ignored);
            }
        }
    } guard;
    // The seam's end frame is by construction the one most like the start: the clip stops just
    // before it, so the wrap shows the start in its place instead of holding a near-duplicate.
    // A window without a seam ends where the recording does.
    double lastFrame = std::max(window.start, window.end - frame);
    if (saved.seam) {
        const auto& times = analysis.times();
        const auto end = std::lower_bound(times.begin(), times.end(), window.end);
        lastFrame = end == times.begin() ? window.start : std::max(window.start, *std::prev(end));
    }
    // Never over another clip unless asked: a recording finishing elsewhere in the same second
    // takes the next name.
    CutResult cut{clip};
    if (existing == ExistingFile::replace) {
        cut.copied = cutClip(recording, clip, window.start, lastFrame, ExistingFile::replace);
    } else {
        const std::string base = clip.stem().string();
        cut = cutClipAsNewFile(
            recording, clip.parent_path(), [&](const std::set<std::string>& names) { return uniqueName(base, names); },
            window.start, lastFrame);
    }
    guard.path = cut.file;
    saved.copied = cut.copied;
    saved.filename = cut.file.filename().string();
    saved.duration = saved.seam ? window.end - window.start : lastFrame - window.start + frame;
    saved.windowStart = window.start;
    const ClipMetadata metadata{"recorded",
                                saved.duration,
                                std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now()),
                                std::to_string(format.width) + "x" + std::to_string(format.height),
                                std::llround(format.fps),
                                "pingpong",
                                saved.filename,
                                displayName};
    if (cancel)
        throw RecordingCancelled();
    QuellonStorage::writeMetadata(metadata, saved.filename);
    guard.kept = true;
    saved.report = analysis.report(window.start, lastFrame);
    return saved;
}

} // namespace quellon
