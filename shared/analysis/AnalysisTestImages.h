#pragma once

// Helpers for the analysis tests: the real photograph they measure, and OpenCV views of frames.

#include "platform/FileIO.h"
#include "playback/ImageContext.h"
#include "playback/ImageDecoding.h"
#include "playback/PixelBuffer.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <span>

namespace quellon::testing {

/// python3-skimage's portrait of an astronaut: 512 × 512, one face.
inline constexpr const char* kAstronautPath = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";

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

/// The astronaut as BGRA; empty when the photograph is not installed.
inline cv::Mat astronaut()
{
    const auto bytes = readRegularFile(kAstronautPath, 8 * 1024 * 1024);
    if (!bytes)
        return {};
    ImageContext context;
    const auto image = decodeImage(std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()), context);
    return image ? matOf(*image->pixels) : cv::Mat();
}

/// The image moved by (dx, dy) pixels (y down) with bilinear resampling; borders mirror.
inline cv::Mat shifted(const cv::Mat& image, double dx, double dy)
{
    cv::Mat out;
    const cv::Matx23d move(1, 0, dx, 0, 1, dy);
    cv::warpAffine(image, out, cv::Mat(move), image.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT101);
    return out;
}

} // namespace quellon::testing
