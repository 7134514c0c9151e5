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
/// reader going away is its stop. Every reader gets a whole stream of its own, header first:
/// once a reader has the FIFO, a fresh one is put at the path, so readers never share a pipe
/// (nor read what an earlier one left in it). Readers that overlap each get every frame; a
/// reader that falls behind slows the others to its pace. Two readers opening within one
/// poll of the FIFO (25 ms), before it is renewed, share one pipe and get a broken stream.
/// Only a FIFO is ever written: a regular file, a directory or anything else at the path is
/// refused, so a mistyped path cannot fill a disk.
///
/// Frames go to the reader on a thread of the device's own: sending only hands the latest
/// frame over. A reader slower than the frame rate therefore never holds up the frames queue;
/// it misses frames instead (only the newest waiting frame is kept), and every frame it does
/// get is whole, so the stream stays in step.
class Y4MFifoBackend final : public CameraProvider {
public:
    /// The FIFO is created (mode 0600) when the first device is added, unless a FIFO is
    /// already there. Anything else at the path is an error at that point, saying what it is.
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
    std::shared_ptr<Device> published_;
};

} // namespace quellon
