// How plainly Away shows that it is a loop; run by hand, not by ctest:
//   build/bench/quellon-periodicity-bench [--seconds S] [--footage drift|person|both|pan]
//                                         [--loop-mode MODE] [--jitter] [--lag] [--alive]
//                                         [--simulate [--only TEXT]]
// Footage with no period is made from python3-skimage's astronaut: the photograph drifting
// along a sum of incommensurate sines with sensor noise, or a person-like cut-out of it moving
// in front of a still background ("both", the default, runs these two). "pan" moves the
// photograph as fast along a path twice the size, which seldom comes back near itself: only a
// sway too large to hide could keep a loop of 8 s of it from showing. An 8 s clip of the
// footage becomes the active loop; the real camera daemon (Y4M FIFO sink) and the host serve
// Away for S seconds (default 120) with the state a new user gets (the options change it), and
// the bench reads every frame from the FIFO. It
// prints the periodicity figures (analysis/PeriodicityFigures.h) of the served stream, of as
// much of the live footage the clip was cut from, and of the clip played naively as ping-pong
// and forward. Goal: each figure of the served stream at least 80 % of the footage's.
// --simulate serves nothing: it replays the walk, the held frames, the sway (on pictures ten
// pixels to a thumbnail cell) and the light over the clip for a table of settings (effects,
// the sway's reach, sensor noise, walk parameters), one line each; --only runs the settings
// whose name holds TEXT.

#include "Y4MReader.h"
#include "analysis/AnalysisTestImages.h"
#include "analysis/LoopEntry.h"
#include "analysis/PeriodicityFigures.h"
#include "host/HostService.h"
#include "host/HostSettingsStore.h"
#include "platform/Log.h"
#include "platform/TemporaryDirectory.h"
#include "playback/AliveMotion.h"
#include "playback/CameraSway.h"
#include "playback/LoopJitter.h"
#include "playback/LoopWalk.h"
#include "playback/SimulatedLag.h"
#include "state/QuellonState.h"
#include "state/QuellonStorage.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace quellon;
using bench::Y4MReader;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using PeriodicityFigures::Thumbnail;

constexpr int kWidth = 1280, kHeight = 720, kRate = 30;
constexpr int kClipFrames = 8 * kRate;
constexpr const char* kCoffeePath = "/usr/lib/python3/dist-packages/skimage/data/coffee.png";

double wave(double t, std::initializer_list<std::pair<double, double>> terms, double phase)
{
    // Periods in frames chosen pairwise incommensurate, so the sum never repeats.
    double sum = 0;
    for (const auto& [amplitude, period] : terms) {
        sum += amplitude * std::sin(2 * M_PI * t / period + phase);
        phase += 1.7;
    }
    return sum;
}

cv::Mat loadBGR(const char* path)
{
    const auto bytes = readRegularFile(path, 16 * 1024 * 1024);
    if (!bytes)
        return {};
    ImageContext context;
    const auto image = decodeImage(std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()), context);
    if (!image)
        return {};
    cv::Mat bgr;
    cv::cvtColor(testing::matOf(*image->pixels), bgr, cv::COLOR_BGRA2BGR);
    return bgr;
}

/// Frame t of the live footage, BGR at 1280 × 720.
class Footage {
public:
    enum class Kind { drift, person, pan };

    Footage(Kind kind, std::uint64_t seed) : kind_(kind), noise_(static_cast<std::uint64_t>(seed))
    {
        const cv::Mat photo = loadBGR(testing::kAstronautPath);
        if (photo.empty())
            return;
        if (kind != Kind::person) {
            cv::resize(photo, photo_, cv::Size(1700, 1700), 0, 0, cv::INTER_CUBIC);
            return;
        }
        cv::Mat background = loadBGR(kCoffeePath);
        if (background.empty())
            return;
        cv::resize(background, background_, cv::Size(kWidth, kHeight), 0, 0, cv::INTER_AREA);
        cv::GaussianBlur(background_, background_, cv::Size(0, 0), 3);
        // The astronaut's head and shoulders, cut out along a head ellipse and a body ellipse.
        cv::resize(photo(cv::Rect(96, 0, 320, 400)), photo_, cv::Size(480, 600), 0, 0, cv::INTER_CUBIC);
        mask_ = cv::Mat::zeros(photo_.size(), CV_8UC1);
        cv::ellipse(mask_, cv::Point(240, 190), cv::Size(120, 160), 0, 0, 360, cv::Scalar(255), cv::FILLED);
        cv::ellipse(mask_, cv::Point(240, 600), cv::Size(240, 260), 0, 0, 360, cv::Scalar(255), cv::FILLED);
        cv::GaussianBlur(mask_, mask_, cv::Size(0, 0), 2);
    }

    bool valid() const { return !photo_.empty(); }

    /// Frame t at the given fraction of the full size, with as much noise per thumbnail cell.
    cv::Mat frame(std::int64_t index, double scale = 1)
    {
        const auto t = static_cast<double>(index);
        const cv::Size size(static_cast<int>(std::lround(kWidth * scale)), static_cast<int>(std::lround(kHeight * scale)));
        cv::Mat out;
        if (kind_ != Kind::person) {
            // The drift: the pan's path at half the size and twice the pace of turning, so it moves
            // as fast but keeps coming near where it was, as a hand-held picture does.
            const double span = kind_ == Kind::pan ? 1.0 : 0.5;
            const double dx = wave(t, {{110 * span, 397.1 * span}, {55 * span, 131.7 * span}, {22 * span, 47.3 * span}}, 0.3);
            const double dy = wave(t, {{70 * span, 281.3 * span}, {30 * span, 89.9 * span}, {12 * span, 37.1 * span}}, 1.1);
            const double zoom = 1 + 0.03 * std::sin(2 * M_PI * t / 523.7);
            const cv::Matx23d move = scale * cv::Matx23d(zoom, 0, -(210 + dx), 0, zoom, -(490 + dy));
            cv::warpAffine(photo_, out, cv::Mat(move), size, cv::INTER_LINEAR, cv::BORDER_REFLECT101);
        } else {
            cv::resize(background_, out, size, 0, 0, cv::INTER_AREA);
            const double x = 400 + wave(t, {{120, 313.9}, {50, 97.7}, {15, 41.3}}, 0.7);
            const double y = 160 + wave(t, {{25, 229.3}, {12, 71.9}}, 2.1);
            const double tilt = 4 * std::sin(2 * M_PI * t / 173.3);
            cv::Matx23d move = cv::getRotationMatrix2D(cv::Point2f(240, 300), tilt, 1.0);
            move(0, 2) += x;
            move(1, 2) += y;
            move = scale * move;
            cv::Mat person, mask;
            cv::warpAffine(photo_, person, cv::Mat(move), out.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
            cv::warpAffine(mask_, mask, cv::Mat(move), out.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
            cv::Mat alpha, alpha3, inverse;
            mask.convertTo(alpha, CV_32F, 1.0 / 255);
            cv::cvtColor(alpha, alpha3, cv::COLOR_GRAY2BGR);
            cv::Mat fg, bg;
            person.convertTo(fg, CV_32FC3);
            out.convertTo(bg, CV_32FC3);
            cv::Mat blended = fg.mul(alpha3) + bg.mul(cv::Scalar(1, 1, 1) - alpha3);
            blended.convertTo(out, CV_8UC3);
        }
        // Sensor noise, new every frame.
        cv::Mat noise(out.size(), CV_16SC1);
        noise_.fill(noise, cv::RNG::NORMAL, 0, 3.0 * scale);
        cv::Mat noise3, wide;
        cv::merge(std::vector<cv::Mat>{noise, noise, noise}, noise3);
        out.convertTo(wide, CV_16SC3);
        wide += noise3;
        wide.convertTo(out, CV_8UC3);
        return out;
    }

private:
    Kind kind_;
    cv::RNG noise_;
    cv::Mat photo_, mask_, background_;
};

Thumbnail thumbnailOf(const cv::Mat& bgr)
{
    cv::Mat grey;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    return PeriodicityFigures::thumbnail(grey.ptr(), grey.cols, grey.rows, static_cast<std::int64_t>(grey.step));
}

pid_t spawn(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

void finish(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

struct Options {
    double seconds = 120;
    std::string footage = "both";
    std::optional<LoopMode> loopMode;
    bool jitter = false, lag = false, alive = false;
    bool simulate = false;
    std::string only; // --simulate runs only the settings whose name holds this
};

bool writeClip(const fs::path& path, Footage& footage)
{
    const std::string command = "ffmpeg -hide_banner -loglevel error -nostdin -y -f rawvideo -pix_fmt bgr24 -s "
        + std::to_string(kWidth) + "x" + std::to_string(kHeight) + " -r " + std::to_string(kRate)
        + " -i - -c:v libx264 -preset veryfast -crf 16 -pix_fmt yuv420p '" + path.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "w");
    if (!pipe)
        return false;
    bool written = true;
    for (int t = 0; t < kClipFrames && written; ++t) {
        const cv::Mat frame = footage.frame(t);
        written = std::fwrite(frame.data, 1, frame.total() * frame.elemSize(), pipe) == frame.total() * frame.elemSize();
    }
    return ::pclose(pipe) == 0 && written;
}

std::vector<Thumbnail> serveAway(const fs::path& home, const fs::path& container, const Options& options)
{
    fs::remove(container / "camera.sock");
    fs::remove(container / "camera.y4m");
    QuellonState state;
    state.activeClipFilename = "loop.mp4";
    if (options.loopMode)
        state.loopMode = *options.loopMode;
    state.loopJitter = state.loopJitter || options.jitter;
    state.simulatedLag = state.simulatedLag || options.lag;
    state.aliveMotion = state.aliveMotion || options.alive;
    QuellonStorage::writeState(state);

    const pid_t daemon = spawn({QUELLON_EXTENSION_PATH, "--sink", "y4m"});
    for (int i = 0; i < 500 && !(fs::exists(container / "camera.sock") && fs::exists(container / "camera.y4m")); ++i)
        std::this_thread::sleep_for(10ms);
    Y4MReader sink(container / "camera.y4m");

    CapturingLogSink log;
    host::HostSettingsStore settings(home / "settings.json");
    host::HostOptions hostOptions;
    hostOptions.inputURL = "lavfi:color=c=black:s=1280x720:r=30";
    hostOptions.socketPath = container / "camera.sock";
    hostOptions.log = &log;
    hostOptions.settings = &settings;
    host::HostService service(hostOptions);
    service.start();
    while (service.status().loopFrames == 0 && !service.status().loopError)
        std::this_thread::sleep_for(50ms);
    if (service.status().loopError)
        std::fprintf(stderr, "the loop did not load: %s\n", service.status().loopError->c_str());
    service.setMode(QuellonMode::away, "bench");
    // Past the switch: the first frames may still be live ones.
    for (int i = 0; i < kRate; ++i)
        sink.next();
    std::vector<Thumbnail> served;
    const auto wanted = static_cast<std::size_t>(options.seconds * kRate);
    while (served.size() < wanted) {
        const auto frame = sink.next();
        if (!frame)
            break;
        served.push_back(PeriodicityFigures::thumbnail(reinterpret_cast<const std::uint8_t*>(frame->data()), sink.width,
                                                       sink.height, sink.width));
    }
    service.stop();
    finish(daemon);
    return served;
}

/// Ten by ten pixels to a thumbnail cell: fine enough that a sway of a few pixels moves the
/// picture as it moves the real one, where shifting the cells themselves would also blur them.
constexpr int kFineWidth = 10 * PeriodicityFigures::kWidth, kFineHeight = 10 * PeriodicityFigures::kHeight;

/// A clip frame as the simulation needs it: its thumbnail before the mean is taken off (so
/// light can scale it) and its signature (so the walk sees what the player sees).
struct ClipFrame {
    Thumbnail cells;
    /// The grey picture at kFineWidth × kFineHeight, for the sway to move before it is shrunk.
    cv::Mat fine;
    FrameSignature signature;
};

ClipFrame clipFrameOf(const cv::Mat& bgr)
{
    cv::Mat grey, bgra;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    ClipFrame frame;
    frame.cells = PeriodicityFigures::thumbnail(grey.ptr(), grey.cols, grey.rows, static_cast<std::int64_t>(grey.step));
    const auto mean = static_cast<float>(cv::mean(grey)[0]);
    for (float& cell : frame.cells)
        cell += mean;
    cv::resize(grey, frame.fine, cv::Size(kFineWidth, kFineHeight), 0, 0, cv::INTER_AREA);
    frame.signature = LoopEntry::signature(*testing::frameOf(bgra), 12).value_or(FrameSignature{});
    return frame;
}

struct Setting {
    std::string name;
    LoopWalk::Parameters walk;
    bool jitter = false, lag = false;
    double amplitude = 0, tilt = 0, periodFrames = 600;
    /// The camera sway's reach (of the width and height) and breath, on a 1280 × 720 picture.
    double swayReach = 0, swayBreath = 0;
    /// Fresh sensor noise per pixel (grey levels), as a thumbnail cell sees it: averaged over
    /// the cell's 40 × 40 pixels.
    double noise = 0;
    std::uint64_t seed = 7;

    void alive()
    {
        const AliveMotion gentle = AliveMotion::gentle(0);
        amplitude = gentle.amplitude();
        tilt = gentle.tilt();
        periodFrames = gentle.periodFrames();
        swayReach = gentle.sway().reach();
        swayBreath = gentle.sway().breath();
    }
};

/// The thumbnail of a fine grey picture at a sway pose, read bilinearly with the edges held,
/// as CameraSway::apply reads a plane; the mean is left in.
Thumbnail swayed(const cv::Mat& fine, const SwayPose& pose)
{
    const double zoom = pose.zoom;
    auto offset = [&](double centre, double shift) { return CameraSway::sourceCoordinate(0, centre, shift, zoom); };
    // Output pixel x reads source x / zoom + offset: the inverse map warpAffine takes.
    const cv::Matx23d inverse(1 / zoom, 0, offset(kFineWidth / 2.0, pose.shiftX * kFineWidth), 0, 1 / zoom,
                              offset(kFineHeight / 2.0, pose.shiftY * kFineHeight));
    cv::Mat moved, cells;
    cv::warpAffine(fine, moved, cv::Mat(inverse), fine.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
    cv::resize(moved, cells, cv::Size(PeriodicityFigures::kWidth, PeriodicityFigures::kHeight), 0, 0, cv::INTER_AREA);
    cells.convertTo(cells, CV_32F);
    return Thumbnail(cells.ptr<float>(), cells.ptr<float>() + cells.total());
}

/// What Away would serve under a setting, in thumbnails: the player's walk, holds and light
/// played over the clip's thumbnails (a blend and a light field both act cell by cell, up to
/// the light's slope inside one cell).
std::vector<Thumbnail> simulateAway(const std::vector<ClipFrame>& clip, const Setting& setting, std::int64_t count,
                                    std::uint64_t seed)
{
    std::vector<FrameSignature> signatures;
    for (const auto& frame : clip)
        signatures.push_back(frame.signature);
    auto table = std::make_shared<const LoopWalk::TransitionTable>(LoopWalk::buildTransitionTable(
        LoopWalk::distanceMatrix(signatures), static_cast<std::int64_t>(clip.size()), setting.walk));
    LoopWalk::Walker walker(table, seed, 0);
    LoopJitter jitter = setting.jitter ? LoopJitter::gentle(seed + 1) : LoopJitter::disabled();
    SimulatedLag lag = setting.lag ? SimulatedLag::realistic(seed + 2) : SimulatedLag::disabled();
    AliveMotion alive(setting.amplitude, setting.tilt, setting.periodFrames, seed + 3);
    const CameraSway sway(setting.swayReach, setting.swayBreath, setting.periodFrames, seed + 4);
    std::mt19937_64 noiseSource(seed + 5);
    std::normal_distribution<float> cellNoise(0.0f, static_cast<float>(setting.noise / 40));
    constexpr int columns = PeriodicityFigures::kWidth, rows = PeriodicityFigures::kHeight;
    std::vector<Thumbnail> served;
    LoopWalk::Step step = walker.next();
    for (std::int64_t t = 0; t < count; ++t) {
        const ClipFrame& shown = clip[static_cast<std::size_t>(step.frame)];
        // Blending is linear, so it may come after the sway, as the shrinking may.
        const SwayPose pose = sway.poseAt(t, 1280, 720);
        Thumbnail cells = sway.isActive() ? swayed(shown.fine, pose) : shown.cells;
        if (step.partner) {
            const ClipFrame& left = clip[static_cast<std::size_t>(*step.partner)];
            const Thumbnail other = sway.isActive() ? swayed(left.fine, pose) : left.cells;
            for (std::size_t k = 0; k < cells.size(); ++k)
                cells[k] += static_cast<float>(step.partnerWeight) * (other[k] - cells[k]);
        }
        bool hold = lag.stallProbability() > 0 && lag.shouldHold();
        if (!hold && jitter.holdProbability() > 0)
            hold = jitter.shouldHold();
        if (!hold)
            step = walker.next();
        const LightField light = alive.nextLight();
        if (setting.noise > 0)
            for (float& cell : cells)
                cell += cellNoise(noiseSource);
        double total = 0;
        for (int cy = 0; cy < rows; ++cy)
            for (int cx = 0; cx < columns; ++cx) {
                float& cell = cells[static_cast<std::size_t>(cy * columns + cx)];
                cell = std::min(255.0f, cell * static_cast<float>(light.factorAt((cx + 0.5) / columns - 0.5, (cy + 0.5) / rows - 0.5)));
                total += cell;
            }
        const auto mean = static_cast<float>(total / static_cast<double>(cells.size()));
        for (float& cell : cells)
            cell -= mean;
        served.push_back(std::move(cells));
    }
    return served;
}

double rmsOf(const Thumbnail& cells)
{
    double sum = 0;
    for (float cell : cells)
        sum += static_cast<double>(cell) * cell;
    return cells.empty() ? 0 : std::sqrt(sum / static_cast<double>(cells.size()));
}

/// The median RMS step between neighbouring frames and the median RMS of a frame (its contrast), in grey levels.
std::pair<double, double> stepAndContrast(const std::vector<Thumbnail>& frames)
{
    std::vector<double> steps, contrasts;
    for (std::size_t t = 0; t < frames.size(); ++t) {
        contrasts.push_back(rmsOf(frames[t]));
        if (t + 1 < frames.size()) {
            Thumbnail difference = frames[t + 1];
            for (std::size_t k = 0; k < difference.size(); ++k)
                difference[k] -= frames[t][k];
            steps.push_back(rmsOf(difference));
        }
    }
    auto median = [](std::vector<double> values) {
        if (values.empty())
            return 0.0;
        std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
        return values[values.size() / 2];
    };
    return {median(steps), median(contrasts)};
}

std::vector<Setting> simulatedSettings()
{
    std::vector<Setting> settings;
    const LoopWalk::Parameters walk;
    // Every combination of the three effects, alive motion as Away has it (light and sway).
    for (int combination = 0; combination < 8; ++combination) {
        Setting setting{"walk", walk, (combination & 1) != 0, (combination & 2) != 0};
        if (combination & 4)
            setting.alive();
        for (const auto& [on, name] : {std::pair{setting.jitter, "+jitter"}, std::pair{setting.lag, "+lag"},
                                       std::pair{(combination & 4) != 0, "+alive"}})
            if (on)
                setting.name += name;
        settings.push_back(setting);
    }
    for (std::uint64_t seed : {8, 9}) {
        Setting setting{"walk+jitter+alive, seed " + std::to_string(seed), walk, true};
        setting.alive();
        setting.seed = seed;
        settings.push_back(setting);
    }
    // The light alone, and the sway's reach and breath: what each takes.
    {
        Setting setting{"walk+jitter, light only", walk, true};
        setting.alive();
        setting.swayReach = setting.swayBreath = 0;
        settings.push_back(setting);
    }
    for (const auto& [pixels, breath] : {std::pair{4.0, 0.002}, std::pair{8.0, 0.0}, std::pair{12.0, 0.002},
                                         std::pair{16.0, 0.002}, std::pair{24.0, 0.003}}) {
        Setting setting{"walk+jitter+alive, sway " + std::to_string(static_cast<int>(pixels)) + " px, breath "
                            + std::to_string(breath * 100).substr(0, 3) + " %",
                        walk, true};
        setting.alive();
        setting.swayReach = pixels / 1280;
        setting.swayBreath = breath;
        settings.push_back(setting);
    }
    for (double noise : {2.0, 4.0}) {
        Setting setting{"walk+jitter+alive, sensor noise " + std::to_string(static_cast<int>(noise)), walk, true};
        setting.alive();
        setting.noise = noise;
        settings.push_back(setting);
    }
    for (std::int64_t fade : {4, 12}) {
        LoopWalk::Parameters varied = walk;
        varied.crossfadeFrames = fade;
        Setting setting{"walk+jitter+alive, crossfade " + std::to_string(fade), varied, true};
        setting.alive();
        settings.push_back(setting);
    }
    // Walks that may jump between frames further apart, more often: over several seeds, as
    // one walk's figures vary much with its luck.
    for (const auto& [maxCost, rate] : {std::pair{1.0, 1.0 / 30}, std::pair{1.5, 1.0 / 20}})
        for (std::uint64_t seed : {7, 8, 9}) {
            LoopWalk::Parameters varied = walk;
            varied.maxCostInSteps = maxCost;
            varied.jumpsPerFrame = rate;
            Setting setting{"walk+jitter+alive, max cost " + std::to_string(maxCost).substr(0, 3) + ", jumps 1/"
                                + std::to_string(static_cast<int>(std::lround(1 / rate))) + ", seed " + std::to_string(seed),
                            varied, true};
            setting.alive();
            setting.seed = seed;
            settings.push_back(setting);
        }
    return settings;
}

void print(const char* name, const std::vector<Thumbnail>& frames);

void simulate(const std::vector<ClipFrame>& clip, const PeriodicityFigures::Figures& reference, std::int64_t count,
              const std::string& filter)
{
    std::printf("  simulated Away (thumbnails), served / live in brackets:\n");
    for (const auto& setting : simulatedSettings()) {
        if (!filter.empty() && setting.name.find(filter) == std::string::npos)
            continue;
        const auto served = simulateAway(clip, setting, count, setting.seed);
        const auto figures = PeriodicityFigures::measure(served);
        std::printf("  %-58s repeat %5.2f (%3.0f%%)  lag %6.3f (%3.0f%%, at %4lld)  mirrored %5.2f (%3.0f%%)\n",
                    setting.name.c_str(), figures.repeatRatio, 100 * figures.repeatRatio / reference.repeatRatio,
                    figures.lagContrast, 100 * figures.lagContrast / reference.lagContrast,
                    static_cast<long long>(figures.contrastLag), figures.mirroredRatio,
                    100 * figures.mirroredRatio / reference.mirroredRatio);
        std::fflush(stdout);
    }
}

void print(const char* name, const std::vector<Thumbnail>& frames)
{
    const auto figures = PeriodicityFigures::measure(frames);
    const auto [step, contrast] = stepAndContrast(frames);
    std::printf("  %-26s repeat ratio %5.2f   lag contrast %6.3f   mirrored ratio %5.2f   (%zu frames; step %.2f, contrast %.1f; "
                "dip at lag %lld)\n",
                name, figures.repeatRatio, figures.lagContrast, figures.mirroredRatio, frames.size(), step, contrast,
                static_cast<long long>(figures.contrastLag));
    std::fflush(stdout);
}

void run(Footage::Kind kind, const Options& options, const fs::path& home, const fs::path& container)
{
    Footage footage(kind, kind == Footage::Kind::person ? 29 : 17);
    if (!footage.valid()) {
        std::fprintf(stderr, "python3-skimage's photographs are missing\n");
        std::exit(1);
    }
    if (!writeClip(container / "Clips" / "loop.mp4", footage)) {
        std::fprintf(stderr, "cannot make the clip\n");
        std::exit(1);
    }
    const auto count = static_cast<std::int64_t>(options.seconds * kRate);
    std::printf("%s footage, %.0f s (%lld frames); the clip is its first %d frames:\n",
                kind == Footage::Kind::drift    ? "drifting photograph"
                : kind == Footage::Kind::pan    ? "panning photograph"
                                                : "person in front of a still background",
                options.seconds,
                static_cast<long long>(count), kClipFrames);

    // The footage beyond the clip is made at half size (a thumbnail cell then averages a
    // quarter of the pixels, so the noise is halved to match): making it whole takes minutes.
    std::vector<Thumbnail> live, clip;
    std::vector<ClipFrame> clipFrames;
    for (std::int64_t t = 0; t < count; ++t) {
        const cv::Mat frame = footage.frame(t, t < kClipFrames ? 1.0 : 0.5);
        live.push_back(thumbnailOf(frame));
        if (t < kClipFrames) {
            clip.push_back(live.back());
            if (options.simulate)
                clipFrames.push_back(clipFrameOf(frame));
        }
    }
    std::vector<Thumbnail> forward, pingpong;
    for (std::int64_t t = 0; t < count; ++t) {
        forward.push_back(clip[static_cast<std::size_t>(t % kClipFrames)]);
        const std::int64_t phase = t % (2 * kClipFrames - 2);
        pingpong.push_back(clip[static_cast<std::size_t>(phase < kClipFrames ? phase : 2 * kClipFrames - 2 - phase)]);
    }
    print("live footage", live);
    print("naive ping-pong", pingpong);
    print("naive forward", forward);
    if (options.simulate) {
        simulate(clipFrames, PeriodicityFigures::measure(live), count, options.only);
        return;
    }
    const auto served = serveAway(home, container, options);
    const auto figures = PeriodicityFigures::measure(served);
    const auto reference = PeriodicityFigures::measure(live);
    print("served by Away", served);
    std::printf("  served / live:             %4.0f %%                %4.0f %%                 %4.0f %%\n",
                100 * figures.repeatRatio / reference.repeatRatio, 100 * figures.lagContrast / reference.lagContrast,
                100 * figures.mirroredRatio / reference.mirroredRatio);
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc)
            options.seconds = std::atof(argv[++i]);
        else if (arg == "--footage" && i + 1 < argc)
            options.footage = argv[++i];
        else if (arg == "--loop-mode" && i + 1 < argc && loopModeFromRawValue(argv[i + 1]))
            options.loopMode = loopModeFromRawValue(argv[++i]);
        else if (arg == "--jitter")
            options.jitter = true;
        else if (arg == "--lag")
            options.lag = true;
        else if (arg == "--alive")
            options.alive = true;
        else if (arg == "--simulate")
            options.simulate = true;
        else if (arg == "--only" && i + 1 < argc)
            options.only = argv[++i];
        else {
            std::fprintf(stderr, "usage: %s [--seconds S] [--footage drift|person|both|pan] [--loop-mode MODE] [--jitter] [--lag] [--alive] [--simulate [--only TEXT]]\n",
                         argv[0]);
            return 2;
        }
    }
    if (options.seconds < 10
        || !(options.footage == "drift" || options.footage == "person" || options.footage == "both" || options.footage == "pan")) {
        std::fprintf(stderr, "--seconds must be at least 10 and --footage drift, person, both or pan\n");
        return 2;
    }
    TemporaryDirectory directory("quellon-periodicity-bench");
    const fs::path home = directory.path();
    const fs::path container = home / "data" / "group.com.quellon.shared";
    fs::create_directories(container / "Clips");
    fs::create_directories(home / "config");
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("HOME", home.c_str(), 1);

    const QuellonState defaults;
    std::printf("Away as served: loop mode %s, jitter %s, lag %s, alive %s\n",
                std::string(rawValue(options.loopMode.value_or(defaults.loopMode))).c_str(),
                defaults.loopJitter || options.jitter ? "on" : "off", defaults.simulatedLag || options.lag ? "on" : "off",
                defaults.aliveMotion || options.alive ? "on" : "off");
    if (options.footage == "drift" || options.footage == "both")
        run(Footage::Kind::drift, options, home, container);
    if (options.footage == "person" || options.footage == "both")
        run(Footage::Kind::person, options, home, container);
    if (options.footage == "pan")
        run(Footage::Kind::pan, options, home, container);
    return 0;
}
