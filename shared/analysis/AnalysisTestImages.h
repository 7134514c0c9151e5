#pragma once

// Helpers for the analysis tests: the real photographs they measure, scenes made of them, and
// OpenCV views of frames. Scenes are made at test time from Debian's photographs
// (python3-skimage's data images); nothing is checked in.

#include "analysis/FaceObservation.h"
#include "platform/FileIO.h"
#include "playback/ImageContext.h"
#include "playback/ImageDecoding.h"
#include "playback/PixelBuffer.h"
#include "playback/TestClips.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <span>
#include <vector>

namespace quellon::testing {

/// python3-skimage's portrait of an astronaut: 512 × 512, one face.
inline constexpr const char* kAstronautPath = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";

/// python3-skimage's coffee cup on a table: 600 × 400, a textured still background.
inline constexpr const char* kCoffeePath = "/usr/lib/python3/dist-packages/skimage/data/coffee.png";

/// A BGRA copy of an image in a frame buffer.
inline PixelBufferRef frameOf(const cv::Mat& bgra)
{
    auto buffer = PixelBuffer::create(bgra.cols, bgra.rows);
    auto lock = buffer->lockForWriting();
    cv::Mat target(bgra.rows, bgra.cols, CV_8UC4, lock.baseAddress(), buffer->bytesPerRow());
    bgra.copyTo(target);
    return buffer;
}

/// A copy of a frame's pixels.
inline cv::Mat matOf(const PixelBuffer& frame)
{
    auto lock = frame.lockForReading();
    return cv::Mat(frame.height(), frame.width(), CV_8UC4, const_cast<std::uint8_t*>(lock.baseAddress()),
                   frame.bytesPerRow())
        .clone();
}

/// A photograph as BGRA; empty when it is not installed.
inline cv::Mat photographPixels(const char* path)
{
    const auto bytes = readRegularFile(path, 8 * 1024 * 1024);
    if (!bytes)
        return {};
    ImageContext context;
    const auto image = decodeImage(std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()), context);
    return image ? matOf(*image->pixels) : cv::Mat();
}

/// The astronaut as BGRA; empty when the photograph is not installed.
inline cv::Mat astronaut()
{
    return photographPixels(kAstronautPath);
}

/// The image moved by (dx, dy) pixels (y down) with bilinear resampling; borders mirror.
inline cv::Mat shifted(const cv::Mat& image, double dx, double dy)
{
    cv::Mat out;
    const cv::Matx23d move(1, 0, dx, 0, 1, dy);
    cv::warpAffine(image, out, cv::Mat(move), image.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT101);
    return out;
}

/// Where the astronaut's face is in her 512 × 512 photograph, as dlib's boxes place it.
inline const cv::Rect2d kFaceInAstronaut(175, 75, 102, 102);

/// A person in front of a still wall, as a laptop camera sees them: the astronaut cut out
/// (head and shoulders) and standing on the bottom edge, centred, over the coffee photograph.
/// Her face is faceShare of the frame height tall. personDx moves her alone (right, pixels);
/// sceneDx and sceneDy then move the whole picture (y down), as a shaking camera would.
/// Empty when the photographs are not installed.
class PersonScene {
public:
    PersonScene(cv::Size size, double faceShare)
        : size_(size)
    {
        const cv::Mat person = astronaut();
        const cv::Mat wall = photographPixels(kCoffeePath);
        if (person.empty() || wall.empty())
            return;
        cv::resize(wall, wall_, size, 0, 0, cv::INTER_AREA);
        // Head and hair, neck, and shoulders down to the bottom, in the photograph's pixels.
        cv::Mat cutOut(person.size(), CV_8U, cv::Scalar(0));
        cv::ellipse(cutOut, cv::Point(226, 118), cv::Size(74, 96), 0, 0, 360, cv::Scalar(255), cv::FILLED);
        cv::rectangle(cutOut, cv::Rect(190, 180, 80, 80), cv::Scalar(255), cv::FILLED);
        cv::ellipse(cutOut, cv::Point(230, 400), cv::Size(150, 150), 0, 180, 360, cv::Scalar(255), cv::FILLED);
        cv::rectangle(cutOut, cv::Rect(80, 400, 300, 112), cv::Scalar(255), cv::FILLED);
        side_ = faceShare * size.height / kFaceInAstronaut.height * person.rows;
        const double scale = side_ / person.rows;
        const cv::Size scaled(static_cast<int>(std::lround(person.cols * scale)), static_cast<int>(std::lround(side_)));
        cv::resize(person, person_, scaled, 0, 0, scale < 1 ? cv::INTER_AREA : cv::INTER_CUBIC);
        cv::Mat edge;
        cv::resize(cutOut, edge, scaled, 0, 0, cv::INTER_AREA);
        edge.convertTo(alpha_, CV_32F, 1.0 / 255);
        // Her face's centre sits 40 % down the frame, or higher when that would lift her off the
        // bottom edge.
        const double faceCentre = (kFaceInAstronaut.y + kFaceInAstronaut.height / 2) * scale;
        top_ = std::max(0.4 * size.height - faceCentre, size.height - side_);
        left_ = (size.width - scaled.width) / 2.0;
    }

    bool empty() const { return wall_.empty(); }

    cv::Mat frame(double personDx = 0, double sceneDx = 0, double sceneDy = 0) const
    {
        cv::Mat canvas = wall_.clone();
        const cv::Matx23d place(1, 0, left_ + personDx, 0, 1, top_);
        cv::Mat person, alpha;
        cv::warpAffine(person_, person, cv::Mat(place), size_, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
        cv::warpAffine(alpha_, alpha, cv::Mat(place), size_, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
        cv::Mat alpha4;
        cv::merge(std::vector<cv::Mat>(4, alpha), alpha4);
        cv::Mat blended;
        canvas.convertTo(blended, CV_32FC4);
        cv::Mat front;
        person.convertTo(front, CV_32FC4);
        blended += (front - blended).mul(alpha4);
        blended.convertTo(canvas, CV_8UC4);
        return sceneDx == 0 && sceneDy == 0 ? canvas : shifted(canvas, sceneDx, sceneDy);
    }

    /// Her face's box with personDx, normalised with the origin at the lower left.
    NormalizedRect face(double personDx = 0) const
    {
        const double s = side_ / 512.0;
        const double top = top_ + kFaceInAstronaut.y * s;
        const double height = kFaceInAstronaut.height * s;
        return {(left_ + personDx + kFaceInAstronaut.x * s) / size_.width, 1 - (top + height) / size_.height,
                kFaceInAstronaut.width * s / size_.width, height / size_.height};
    }

private:
    cv::Size size_;
    cv::Mat wall_, person_, alpha_;
    double side_ = 0, top_ = 0, left_ = 0;
};

/// A laptop camera's clip of the person scene: she sways side to side by up to 20 px, one swing
/// a second, in front of the still wall. Made by the real ffmpeg (H.264, 30 fps, BT.709 tags)
/// for tests that load footage from a file; false when the photographs or ffmpeg are missing.
inline bool makePersonClip(const std::filesystem::path& file, cv::Size size, double faceShare, double seconds)
{
    const PersonScene scene(size, faceShare);
    if (scene.empty())
        return false;
    const std::filesystem::path raw = file.parent_path() / (file.filename().string() + ".bgra");
    {
        std::ofstream out(raw, std::ios::binary);
        const long count = std::lround(seconds * 30);
        for (long k = 0; k < count && out; ++k) {
            const cv::Mat frame = scene.frame(20 * std::sin(2 * CV_PI * static_cast<double>(k) / 30));
            out.write(reinterpret_cast<const char*>(frame.data), static_cast<std::streamsize>(frame.total() * frame.elemSize()));
        }
        if (!out)
            return false;
    }
    const bool made = ffmpeg("-f rawvideo -pix_fmt bgra -s " + std::to_string(size.width) + "x" + std::to_string(size.height)
                                 + " -framerate 30 -i '" + raw.string()
                                 + "' -vf \"scale=out_color_matrix=bt709:out_range=tv,format=yuv420p\" -c:v libx264 -preset ultrafast"
                                   " -crf 18 -colorspace bt709 -color_primaries bt709 -color_trc bt709 -color_range tv",
                             file);
    std::filesystem::remove(raw);
    return made;
}

} // namespace quellon::testing
