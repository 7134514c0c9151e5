#pragma once

#include <filesystem>
#include <string>

namespace quellon {

/// A fresh directory under the system's temporary directory, removed with everything in it
/// when the object goes away. For tests, benchmarks and the demo.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string& prefix = "quellon");
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace quellon
