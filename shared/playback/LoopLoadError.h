#pragma once

#include <stdexcept>
#include <string>

namespace quellon {

/// Why a loop could not be loaded. Equal when the cases are equal; what() says it for people.
class LoopLoadError : public std::runtime_error {
public:
    enum class Case {
        /// The file holds no video stream.
        noVideoTrack,
        /// The file cannot be opened or decoded, or declares a size, duration or rate this system
        /// refuses (or the request itself was invalid).
        decodeFailed,
        /// Nothing to play: no frame could be made, or no clip was given or accepted.
        empty,
    };

    LoopLoadError(Case kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

    Case kind() const { return kind_; }
    bool operator==(const LoopLoadError& other) const { return kind_ == other.kind_; }

private:
    Case kind_;
};

} // namespace quellon
