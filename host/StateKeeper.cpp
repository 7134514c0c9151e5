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
