#pragma once

// Test support: inputs that once broke a parser, kept beside the repository in
// ../shared/fuzz-findings. Tests that replay them skip when the directory is absent.

#include "platform/FileIO.h"

#include <filesystem>
#include <optional>
#include <string>

namespace quellon::testing {

/// The directory of the kept inputs, as configured at build time.
inline std::filesystem::path fuzzFindingsDirectory()
{
#ifdef QUELLON_FUZZ_FINDINGS_DIR
    return QUELLON_FUZZ_FINDINGS_DIR;
#else
    return {};
#endif
}

/// The bytes of one kept input, or nullopt when it is not on this machine.
inline std::optional<std::string> fuzzFinding(const std::string& name)
{
    const auto directory = fuzzFindingsDirectory();
    if (directory.empty())
        return std::nullopt;
    return readRegularFile(directory / name);
}

} // namespace quellon::testing

/// Loads a kept input into `variable` or skips the test with a message.
#define QUELLON_LOAD_FUZZ_FINDING(variable, name)                                                         \
    auto variable##Loaded = ::quellon::testing::fuzzFinding(name);                                         \
    if (!variable##Loaded)                                                                                 \
        GTEST_SKIP() << "no " << name << " in " << ::quellon::testing::fuzzFindingsDirectory();            \
    const std::string& variable = *variable##Loaded
