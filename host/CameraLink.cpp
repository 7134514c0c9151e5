#include "host/CameraLink.h"

#include "channel/QuellonCMIOChannel.h"
#include "platform/Log.h"
#include "playback/PixelBuffer.h"
#include "state/QuellonState.h"

#include <algorithm>

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
            if (auto state = QuellonCMIOChannel::decodeState(*bytes))
                contact.revision = state->revision;
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

bool CameraLink::sendFrame(const PixelBuffer& frame, const std::string* jpeg, double now)
{
    if (!connected_)
        return false;
    try {
        if (jpeg) {
            client_.setProperty(QuellonCMIOChannel::frameSelector, *jpeg);
            return true;
        }
        if (rawChannel_ && client_.setRawFrame(frame))
            return true;
        rawChannel_ = false;
        client_.setProperty(QuellonCMIOChannel::frameSelector, encoder_.encode(frame));
        return true;
    } catch (const CameraClientError& error) {
        lost(now, error);
    } catch (const std::exception& error) {
        // Too large for the socket, or not encodable: this frame is lost, the next may pass.
        log_.write(LogLevel::debug, std::string("host: a frame was not sent: ") + error.what());
    }
    return false;
}

} // namespace quellon::host
