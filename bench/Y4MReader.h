#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

namespace quellon::bench {

/// The camera's Y4M sink read as a meeting app reads it: whole 4:2:0 frames, the luma plane
/// first, at the size the stream header gives.
struct Y4MReader {
    FILE* file = nullptr;
    int width = 1280, height = 720;
    explicit Y4MReader(const std::filesystem::path& path) : file(std::fopen(path.c_str(), "rb"))
    {
        char header[256] = {};
        if (file && std::fgets(header, sizeof header, file))
            std::sscanf(header, "YUV4MPEG2 W%d H%d", &width, &height);
    }
    ~Y4MReader()
    {
        if (file)
            std::fclose(file);
    }
    Y4MReader(const Y4MReader&) = delete;
    Y4MReader& operator=(const Y4MReader&) = delete;

    /// The next frame; absent at the end of the stream or on a short read.
    std::optional<std::string> next()
    {
        char line[256];
        if (!file || !std::fgets(line, sizeof line, file))
            return std::nullopt;
        std::string frame(static_cast<std::size_t>(width * height * 3 / 2), '\0');
        if (std::fread(frame.data(), 1, frame.size(), file) != frame.size())
            return std::nullopt;
        return frame;
    }
};

} // namespace quellon::bench
