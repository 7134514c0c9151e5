#include "state/QuellonMode.h"

namespace quellon {

std::string_view rawValue(QuellonMode mode)
{
    switch (mode) {
    case QuellonMode::live: return "live";
    case QuellonMode::away: return "away";
    case QuellonMode::standby: return "standby";
    case QuellonMode::error: return "error";
    }
    return "live";
}

std::string_view displayName(QuellonMode mode)
{
    switch (mode) {
    case QuellonMode::live: return "Live";
    case QuellonMode::away: return "Away";
    case QuellonMode::standby: return "Standby";
    case QuellonMode::error: return "Error";
    }
    return "Live";
}

std::optional<QuellonMode> quellonModeFromRawValue(std::string_view raw)
{
    for (QuellonMode mode : QuellonModes::allCases)
        if (rawValue(mode) == raw)
            return mode;
    return std::nullopt;
}

std::string_view rawValue(LoopMode mode)
{
    switch (mode) {
    case LoopMode::pingpong: return "pingpong";
    case LoopMode::forward: return "forward";
    case LoopMode::freeze: return "freeze";
    case LoopMode::natural: return "natural";
    }
    return "pingpong";
}

std::string_view displayName(LoopMode mode)
{
    switch (mode) {
    case LoopMode::pingpong: return "Ping-Pong";
    case LoopMode::forward: return "Forward Loop";
    case LoopMode::freeze: return "Freeze Frame";
    case LoopMode::natural: return "Natural";
    }
    return "Ping-Pong";
}

std::optional<LoopMode> loopModeFromRawValue(std::string_view raw)
{
    for (LoopMode mode : LoopModes::allCases)
        if (rawValue(mode) == raw)
            return mode;
    return std::nullopt;
}

} // namespace quellon
