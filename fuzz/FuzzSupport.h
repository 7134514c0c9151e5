#pragma once

// Shared by the fuzz targets: the input as text, and a property check that stops the run with a
// message (libFuzzer then keeps the input that broke it).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

namespace quellon::fuzz {

inline std::string_view text(const std::uint8_t* data, std::size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

inline std::span<const std::uint8_t> bytes(const std::uint8_t* data, std::size_t size)
{
    return {data, size};
}

/// A property that must hold for every input.
inline void require(bool holds, const char* property)
{
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

} // namespace quellon::fuzz
