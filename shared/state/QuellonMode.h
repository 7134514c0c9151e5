#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace quellon {

/// What the virtual camera shows. The raw values are the JSON form.
enum class QuellonMode { live, away, standby, error };

namespace QuellonModes {
inline constexpr std::array<QuellonMode, 4> allCases{QuellonMode::live, QuellonMode::away,
                                                     QuellonMode::standby, QuellonMode::error};
}

std::string_view rawValue(QuellonMode mode);
std::string_view displayName(QuellonMode mode);
/// Exact, case-sensitive match of a raw value; nothing for any other text.
std::optional<QuellonMode> quellonModeFromRawValue(std::string_view raw);

/// How a recorded loop is played back. The raw values are the JSON form. `natural` walks the
/// clip endlessly, jumping between look-alike frames, so no period or reversal shows.
enum class LoopMode { pingpong, forward, freeze, natural };

namespace LoopModes {
inline constexpr std::array<LoopMode, 4> allCases{LoopMode::pingpong, LoopMode::forward, LoopMode::freeze, LoopMode::natural};
}

std::string_view rawValue(LoopMode mode);
std::string_view displayName(LoopMode mode);
std::optional<LoopMode> loopModeFromRawValue(std::string_view raw);

} // namespace quellon
