#pragma once

// Footage like users bring, made at test time by the real ffmpeg from Debian's photographs
// (python3-skimage's data images): phone clips stored sideways with a display matrix and
// B-frames, colour-tagged clips, HDR clips. Nothing is checked in.

#include "playback/TestClips.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

namespace quellon::testing {

inline constexpr const char* kPhotographDirectory = "/usr/lib/python3/dist-packages/skimage/data/";

inline std::string photograph(const std::string& name)
{
    return std::string(kPhotographDirectory) + name;
}

inline bool havePhotographs()
{
    return std::filesystem::exists(photograph("astronaut.png")) && std::filesystem::exists(photograph("coffee.png"));
}

/// The colour the test clips paint into a patch, as R, G, B.
inline constexpr std::array<int, 3> kKnownColour{192, 64, 32};

enum class Matrix { bt709, bt601 };

/// kKnownColour in limited-range YUV (Y, Cb, Cr) with the matrix's coefficients, rounded.
inline std::array<int, 3> knownColourYUV(Matrix matrix)
{
    const double kr = matrix == Matrix::bt709 ? 0.2126 : 0.299, kb = matrix == Matrix::bt709 ? 0.0722 : 0.114;
    const double r = kKnownColour[0] / 255.0, g = kKnownColour[1] / 255.0, b = kKnownColour[2] / 255.0;
    const double y = kr * r + (1 - kr - kb) * g + kb * b;
    const auto round = [](double v) { return static_cast<int>(v + 0.5); };
    return {round(16 + 219 * y), round(128 + 224 * (b - y) / (2 * (1 - kb))), round(128 + 224 * (r - y) / (2 * (1 - kr)))};
}

/// A 320×240 clip of the coffee photograph with a 128×96 patch of kKnownColour at (96, 72),
/// its YUV values written exactly for the matrix at limited range, and tagged so.
inline bool makeTaggedColourClip(const std::filesystem::path& file, Matrix matrix, double seconds = 2)
{
    const bool bt709 = matrix == Matrix::bt709;
    const std::string space = bt709 ? "bt709" : "smpte170m";
    const auto yuv = knownColourYUV(matrix);
    const std::string inPatch = "between(X,96,223)*between(Y,72,167)";
    auto plane = [&](const std::string& name, int value) {
        return name + "='if(" + inPatch + "," + std::to_string(value) + "," + name + "(X,Y))'";
    };
    return ffmpeg("-loop 1 -framerate 30 -i '" + photograph("coffee.png") + "' -vf \"scale=320:240,format=yuv444p,geq="
                      + plane("lum", yuv[0]) + ":" + plane("cb", yuv[1]) + ":" + plane("cr", yuv[2])
                      + ",format=yuv420p\" -t " + std::to_string(seconds) + " -c:v libx264 -preset ultrafast -g 30"
                      + " -colorspace " + space + " -color_primaries " + space + " -color_trc " + (bt709 ? "bt709" : "smpte170m")
                      + " -color_range tv",
                  file);
}

/// A phone's portrait clip: the astronaut upright at 1080×1920 with a band of kKnownColour
/// across the top eighth, stored turned a quarter anticlockwise (1920×1080) with a display
/// matrix that turns it back, BT.709 tagged. With bFrames, libx264 reorders frames as phones
/// do; keyframes every keyframeInterval frames.
inline bool makePortraitPhoneClip(const std::filesystem::path& file, bool bFrames, int keyframeInterval = 15,
                                  double seconds = 1)
{
    // ffmpeg writes the matrix only when copying, so the picture is encoded first.
    const std::filesystem::path stored = file.parent_path() / ("stored-" + file.filename().string());
    return ffmpeg("-loop 1 -framerate 30 -i '" + photograph("astronaut.png") + "' -vf \"scale=1080:1920,format=rgb24,"
                      + "drawbox=x=0:y=0:w=iw:h=ih/8:color=0xC04020:t=fill,transpose=1,"
                        "scale=out_color_matrix=bt709:out_range=tv,format=yuv420p\" -t " + std::to_string(seconds)
                      + " -c:v libx264 -preset superfast -bf " + (bFrames ? "2" : "0") + " -g " + std::to_string(keyframeInterval)
                      + " -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv",
                  stored)
        && ffmpeg("-i '" + stored.string() + "' -c copy -metadata:s:v:0 rotate=90", file);
}

/// A clip tagged HLG (BT.2020), as phones record HDR by default.
inline bool makeHLGClip(const std::filesystem::path& file)
{
    return ffmpeg("-loop 1 -framerate 30 -i '" + photograph("coffee.png") + "' -vf \"scale=320:240,format=yuv420p10le\" -t 1"
                  " -c:v libx264 -preset ultrafast -colorspace bt2020nc -color_primaries bt2020 -color_trc arib-std-b67"
                  " -color_range tv",
                  file);
}

/// What ffprobe says of the first video stream: "key=value" lines for the given entries.
inline std::string probeStream(const std::filesystem::path& file, const std::string& entries)
{
    const std::string command = "ffprobe -v error -select_streams v:0 -show_entries stream=" + entries
        + " -of default=noprint_wrappers=1 '" + file.string() + "'";
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        ::pclose(pipe);
    }
    return out;
}

} // namespace quellon::testing
