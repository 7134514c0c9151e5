#pragma once

// Clips for the loop tests, made with the real ffmpeg at test time.

#include <cstdlib>
#include <filesystem>
#include <string>

namespace quellon::testing {

inline bool haveFFmpeg()
{
    return std::system("command -v ffmpeg >/dev/null 2>&1") == 0;
}

/// Runs ffmpeg quietly with the arguments (shell syntax) and writes `file`; true on success.
inline bool ffmpeg(const std::string& arguments, const std::filesystem::path& file)
{
    const std::string command = "ffmpeg -hide_banner -loglevel error -nostdin -y " + arguments + " '" + file.string() + "'";
    return std::system(command.c_str()) == 0 && std::filesystem::exists(file);
}

/// A lossless clip whose frame n is uniformly grey with luma 16 + 3n, so a decoded frame's
/// level tells which frame it is (greyLevelIndex).
inline bool makeCountingClip(const std::filesystem::path& file, int width, int height, int fps, double seconds)
{
    return ffmpeg("-f lavfi -i \"color=c=black:s=" + std::to_string(width) + "x" + std::to_string(height) + ":r="
                      + std::to_string(fps) + ":d=" + std::to_string(seconds)
                      + ",format=yuv444p,geq=lum='16+3*N':cb=128:cr=128\" -c:v ffv1",
                  file);
}

/// The frame number a grey BGRA byte of a counting clip stands for (limited-range luma 16 + step·n
/// becomes step·n × 255 / 219).
inline int greyLevelIndex(int level, int step = 3)
{
    return static_cast<int>(level * 219.0 / 255.0 / step + 0.5);
}

} // namespace quellon::testing
