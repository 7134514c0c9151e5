#pragma once

#include "backends/CameraBackend.h"
#include "backends/FrameConverter.h"

#include <filesystem>
#include <memory>
#include <mutex>

namespace quellon {

class LogSink;

/// The camera as a YUV4MPEG2 stream (1280 × 720, 4:2:0) written into a FIFO, which ffmpeg,
/// mpv, VLC or OBS read like a camera. A reader opening the FIFO is a client starting; the
/// reader going away is its stop; any number of readers may come and go, one at a time.
/// When the path is an existing regular file the stream is written into it instead, as one
/// client for as long as the device is published.
///
/// Frames go to the reader on a thread of the device's own: sending only hands the latest
/// frame over. A reader slower than the frame rate therefore never holds up the frames queue;
/// it misses frames instead (only the newest waiting frame is kept), and every frame it does
/// get is whole, so the stream stays in step.
class Y4MFifoBackend final : public CameraProvider {
public:
    /// The FIFO is created (mode 0600) when the first device is added, unless a FIFO or a
    /// regular file is already there. Anything else at the path is an error at that point.
    Y4MFifoBackend(std::filesystem::path path, LogSink& log);
    /// Withdraws any device still published and removes the FIFO if this object made it; a
    /// FIFO that was there before is left alone.
    ~Y4MFifoBackend() override;

    std::shared_ptr<CameraDevice> makeDevice(DeviceIdentity identity) override;
    void addDevice(const std::shared_ptr<CameraDevice>& device) override;
    void removeDevice(const std::shared_ptr<CameraDevice>& device) override;
    std::string sinkDescription() const override { return "y4m:" + path_.string(); }

    const std::filesystem::path& path() const { return path_; }

    class Device;

private:
    void preparePath();

    std::filesystem::path path_;
    LogSink& log_;
    std::mutex mutex_;
    bool createdFifo_ = false;
    bool regularFile_ = false;
    std::shared_ptr<Device> published_;
};

} // namespace quellon
