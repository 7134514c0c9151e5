#pragma once

// How the commands talk to the user: one line on standard output when they succeed, progress
// on standard error only when it is a terminal, stored strings shown with their control
// characters visible, and no file the user named replaced unless they said --force.

#include <filesystem>
#include <string>
#include <string_view>

namespace quellon::cli {

/// A stored string (a camera, loop or application name) quoted for the terminal, with its
/// control and bidirectional characters made visible: 'Evil\nName<U+202E>'.
std::string quotedText(std::string_view stored);

/// Throws CommandError when something (a file, a directory, a dangling link) is at path and
/// force is false, saying so and how to replace it.
void refuseExisting(const std::filesystem::path& path, bool force);

/// The message refuseExisting gives, for a writer that found the file there only at the end.
std::string existsMessage(const std::filesystem::path& path);

/// Whether standard error is a terminal, so progress lines may be drawn and erased.
bool progressOnTerminal();

/// "Saving the loop..." on standard error while a step runs, on a terminal only; erased when
/// the step ends so the next line starts clean.
class ProgressLine {
public:
    explicit ProgressLine(std::string_view what);
    ~ProgressLine() { done(); }
    /// Erases the line now, before what the step found is printed.
    void done();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

private:
    bool shown_ = false;
};

} // namespace quellon::cli
