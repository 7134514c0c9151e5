#include "host/CameraLink.h"

#include "channel/QuellonCMIOChannel.h"
#include "platform/Log.h"
#include "playback/PixelBuffer.h"
#include "state/QuellonState.h"

#include <algorithm>
#include <cmath>
#include <libyuv/scale_argb.h>

namespace quellon::host {

CameraLink::CameraLink(std::filesystem::path socketPath, LogSink& log, std::chrono::milliseconds timeout, bool rawFrames)
    : client_(std::move(socketPath), timeout), log_(log), rawWanted_(rawFrames), rawChannel_(rawFrames)
{
}

void CameraLink::lost(double now, const std::exception& error)
{
    client_.disconnect();
    if (connected_)
        log_.write(LogLevel::info, std::string("host: lost the camera (") + error.what() + "); retrying");
    else if (!everConnected_ && retry_ == kFirstRetrySeconds)
        log_.write(LogLevel::info, std::string("host: the camera is not reachable yet (") + error.what() + "); retrying");
    connected_ = false;
    nextPoll_ = now + retry_;
    retry_ = std::min(retry_ * 2, kLongestRetrySeconds);
}

std::optional<CameraLink::Contact> CameraLink::pollIfDue(double now)
{
    if (now < nextPoll_)
        return std::nullopt;
    try {
        const auto bytes = client_.property(QuellonCMIOChannel::stateSelector);
        Contact contact;
        if (bytes && !bytes->empty())
            if (auto state = QuellonCMIOChannel::decodeState(*bytes)) {
                contact.revision = state->revision;
                contact.state = std::move(*state);
            }
        if (!connected_) {
            log_.write(LogLevel::info, "host: connected to the camera");
            rawChannel_ = rawWanted_; // a camera started anew may have gained it
        }
        connected_ = everConnected_ = true;
        retry_ = kFirstRetrySeconds;
        nextPoll_ = now + kPollSeconds;
        return contact;
    } catch (const CameraClientError& error) {
        lost(now, error);
    }
    return std::nullopt;
}

bool CameraLink::sendState(const QuellonState& state, double now)
{
    if (!connected_)
        return false;
    try {
        client_.sendState(state);
        return true;
    } catch (const CameraClientError& error) {
        lost(now, error);
    } catch (const std::exception& error) {
        log_.write(LogLevel::error, std::string("host: cannot send the state: ") + error.what());
    }
    return false;
}

void CameraLink::setFrameSize(std::int64_t width, std::int64_t height)
{
    // As the camera clamps the state's size.
    frameWidth_ = static_cast<int>(std::clamp<std::int64_t>(width, 16, kLargestWidth));
    frameHeight_ = static_cast<int>(std::clamp<std::int64_t>(height, 16, kLargestHeight));
}

PixelBufferRef CameraLink::scaledToFit(const PixelBuffer& frame, int width, int height, PixelBufferRef reuse)
{
    if (frame.width() <= width && frame.height() <= height)
        return nullptr;
    const double scale = std::min(static_cast<double>(width) / frame.width(), static_cast<double>(height) / frame.height());
    const int w = std::clamp(static_cast<int>(std::lround(frame.width() * scale)), 1, width);
    const int h = std::clamp(static_cast<int>(std::lround(frame.height() * scale)), 1, height);
    PixelBufferRef scaled = reuse && reuse->width() == w && reuse->height() == h && reuse.use_count() == 1
        ? std::move(reuse)
        : PixelBuffer::create(w, h);
    if (!scaled)
        throw std::bad_alloc();
    const auto from = frame.lockForReading();
    const auto to = scaled->lockForWriting();
    libyuv::ARGBScale(from.baseAddress(), static_cast<int>(frame.bytesPerRow()), frame.width(), frame.height(),
                      to.baseAddress(), static_cast<int>(scaled->bytesPerRow()), w, h, libyuv::kFilterBilinear);
    return scaled;
}

bool CameraLink::sendFrame(const PixelBuffer& original, const std::string* jpeg, double now)
{
    if (!connected_)
        return false;
    try {
        // Larger than the camera shows is only more to carry, and past 32 MiB the channel
        // refuses it: fit it first.
        scaled_ = scaledToFit(original, frameWidth_, frameHeight_, std::move(scaled_));
        const PixelBuffer& frame = scaled_ ? *scaled_ : original;
        if (jpeg && !scaled_) {
            client_.setProperty(QuellonCMIOChannel::frameSelector, *jpeg);
            return true;
        }
        if (!(rawChannel_ && client_.setRawFrame(frame))) {
            rawChannel_ = false;
            client_.setProperty(QuellonCMIOChannel::frameSelector, encoder_.encode(frame));
        }
        lastFrameError_.clear();
        return true;
    } catch (const CameraClientError& error) {
        lost(now, error);
    } catch (const std::exception& error) {
        // Not encodable, or memory short: this frame is lost, the next may pass. Said once per
        // kind of failure, not 30 times a second.
        if (error.what() != lastFrameError_)
            log_.write(LogLevel::error, std::string("host: a frame was not sent: ") + error.what());
        lastFrameError_ = error.what();
        return false;
    }
    return false;
}

} // namespace quellon::host
