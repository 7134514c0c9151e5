#include "Output.h"

#include "Commands.h"

#include "platform/TerminalText.h"

#include <iostream>
#include <unistd.h>

namespace quellon::cli {

std::string quotedText(std::string_view stored)
{
    return "'" + visibleText(stored) + "'";
}

std::string existsMessage(const std::filesystem::path& path)
{
    return visibleText(path.string()) + " exists already; give --force to replace it";
}

void refuseExisting(const std::filesystem::path& path, bool force)
{
    std::error_code error;
    if (!force && std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found)
        throw CommandError(existsMessage(path));
}

bool progressOnTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

ProgressLine::ProgressLine(std::string_view what) : shown_(progressOnTerminal())
{
    if (shown_)
        std::cerr << what << "..." << std::flush;
}

void ProgressLine::done()
{
    if (shown_)
        std::cerr << "\r\033[K" << std::flush;
    shown_ = false;
}

} // namespace quellon::cli
