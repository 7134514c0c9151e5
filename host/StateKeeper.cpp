#include "host/StateKeeper.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace quellon::host {

StateKeeper::StateKeeper(QuellonState stored, Writer writer) : state_(std::move(stored)), writer_(std::move(writer)) {}

std::int64_t StateKeeper::nextRevision(std::int64_t ours, std::int64_t theirs)
{
    const std::int64_t last = std::max(ours, theirs);
    return last < std::numeric_limits<std::int64_t>::max() ? last + 1 : last;
}

const QuellonState& StateKeeper::change(const std::function<void(QuellonState&)>& edit, Date now)
{
    QuellonState next = state_;
    edit(next);
    next.revision = nextRevision(state_.revision, floor_);
    next.updatedAt = std::chrono::floor<std::chrono::seconds>(now);
    // Written before it is adopted: a record that cannot be stored is not sent either.
    writer_(next);
    state_ = std::move(next);
    return state_;
}

bool StateKeeper::isNewer(const QuellonState& theirs) const
{
    return theirs.revision > state_.revision && theirs.updatedAt >= state_.updatedAt;
}

std::vector<std::string> StateKeeper::differences(const QuellonState& a, const QuellonState& b)
{
    std::vector<std::string> names;
    const auto compare = [&](const char* name, const auto& x, const auto& y) {
        if (x != y)
            names.emplace_back(name);
    };
    compare("mode", a.mode, b.mode);
    compare("selectedCameraID", a.selectedCameraID, b.selectedCameraID);
    compare("activeClipFilename", a.activeClipFilename, b.activeClipFilename);
    compare("loopMode", a.loopMode, b.loopMode);
    compare("targetFPS", a.targetFPS, b.targetFPS);
    compare("targetWidth", a.targetWidth, b.targetWidth);
    compare("targetHeight", a.targetHeight, b.targetHeight);
    compare("loopCrossfadeFrames", a.loopCrossfadeFrames, b.loopCrossfadeFrames);
    compare("loopJitter", a.loopJitter, b.loopJitter);
    compare("simulatedLag", a.simulatedLag, b.simulatedLag);
    compare("aliveMotion", a.aliveMotion, b.aliveMotion);
    compare("randomizeLoopStart", a.randomizeLoopStart, b.randomizeLoopStart);
    compare("varietyClipFilenames", a.varietyClipFilenames, b.varietyClipFilenames);
    return names;
}

std::vector<std::string> StateKeeper::adopt(const QuellonState& theirs, const std::function<void(QuellonState&)>& decide,
                                            Date now, bool alreadyStored)
{
    QuellonState merged = theirs;
    decide(merged);
    std::vector<std::string> changed = differences(state_, merged);
    if (merged == theirs) {
        if (!alreadyStored)
            writer_(merged);
    } else {
        merged.revision = nextRevision(std::max(theirs.revision, state_.revision), floor_);
        merged.updatedAt = std::chrono::floor<std::chrono::seconds>(now);
        writer_(merged);
    }
    state_ = std::move(merged);
    return changed;
}

bool StateKeeper::noteCameraRevision(std::optional<std::int64_t> cameraRevision, Date now)
{
    if (!cameraRevision)
        return true;
    floor_ = std::max(floor_, *cameraRevision);
    if (*cameraRevision == state_.revision)
        return false;
    if (*cameraRevision > state_.revision)
        change([](QuellonState&) {}, now);
    return true;
}

} // namespace quellon::host
