#pragma once

#include <cstdint>

namespace quellon {

/// The seeded 64-bit generator behind every liveness effect: a given seed always yields the same
/// stalls, holds and drift. Also the system's random source wherever one is passed in.
struct SplitMix64 {
    std::uint64_t state = 0;

    explicit SplitMix64(std::uint64_t seed = 0) : state(seed) {}

    std::uint64_t next()
    {
        state += 0x9E3779B97F4A7C15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    /// A double in [0, 1) from the top 53 bits of the next output.
    double nextUnit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // The standard random-number-engine interface, so it can drive <random> and <algorithm>.
    using result_type = std::uint64_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return ~result_type{0}; }
    result_type operator()() { return next(); }

    bool operator==(const SplitMix64&) const = default;
};

} // namespace quellon
