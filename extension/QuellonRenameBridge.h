#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace quellon {

/// Carries a new camera name from the stream source, which receives it, to the provider
/// source, which owns the device: neither knows the other.
class QuellonRenameBridge {
public:
    using Apply = std::function<void(const std::string& name)>;

    /// The process-wide instance.
    static QuellonRenameBridge& shared();

    /// Set by the provider source at start-up; empty until then.
    void setApply(Apply apply);
    /// A copy of the closure, so it can be called without holding the bridge's lock.
    Apply apply() const;

private:
    mutable std::mutex mutex_;
    Apply apply_;
};

} // namespace quellon
