#pragma once
// The host's state record and its revisions. The camera applies a record only when its revision
// differs from the one it applied last, so every change must be stamped above both the stored
// revision and the one the camera reports, or a camera that saw a higher one from another
// writer would ignore it.

#include "platform/DateTime.h"
#include "state/QuellonState.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quellon::host {

/// Not thread-safe: the service guards it with its own lock.
class StateKeeper {
public:
    /// Stores a record ("state.json"); throws what the storage throws.
    using Writer = std::function<void(const QuellonState&)>;

    StateKeeper(QuellonState stored, Writer writer);

    const QuellonState& state() const { return state_; }

    /// Applies edit, stamps a new revision and updatedAt (whole seconds, as the stored form
    /// keeps them), writes the record and returns it.
    const QuellonState& change(const std::function<void(QuellonState&)>& edit, Date now);

    /// What the camera said it holds: the revision of its last state, or nothing when it has
    /// none (it has just started, or a rename made it anew). True when ours must be sent: the
    /// camera has none, an older one, or a newer one from another writer (then ours is stamped
    /// above it first, so the camera takes it).
    bool noteCameraRevision(std::optional<std::int64_t> cameraRevision, Date now);

    /// A record another program wrote ("state.json", or straight to the camera) that is newer
    /// than ours: a higher revision, changed no earlier than ours. One that predates ours (a
    /// camera still holding what it was told before this host started) is not.
    bool isNewer(const QuellonState& theirs) const;

    /// Takes a newer record in instead of stamping ours over it. decide gets theirs and puts
    /// back what the host cannot take (the host's own mode, a loop it cannot play). When
    /// nothing was put back the record is kept as it is, at its revision (written unless
    /// alreadyStored); otherwise the merge is stamped above it and written. Returns the fields
    /// that differ from the record held before, by their JSON names.
    std::vector<std::string> adopt(const QuellonState& theirs, const std::function<void(QuellonState&)>& decide, Date now,
                                   bool alreadyStored);

    /// The names of the fields in which a and b differ.
    static std::vector<std::string> differences(const QuellonState& a, const QuellonState& b);

    /// One above the larger of both, held at the largest revision rather than wrapping.
    static std::int64_t nextRevision(std::int64_t ours, std::int64_t theirs);

private:
    QuellonState state_;
    Writer writer_;
    std::int64_t floor_ = 0; // the highest revision the camera has reported
};

} // namespace quellon::host
