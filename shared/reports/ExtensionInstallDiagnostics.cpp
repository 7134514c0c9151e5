#include "reports/ExtensionInstallDiagnostics.h"

#include <algorithm>
#include <cstdlib>
#include <cxxabi.h>
#include <memory>
#include <system_error>
#include <typeinfo>

namespace quellon::ExtensionInstallDiagnostics {

namespace {

// Every needle is ASCII, and no non-ASCII character lower-cases to a run of ASCII letters
// that could complete one, so an ASCII fold finds exactly what a full Unicode fold would.
std::string asciiLowercased(std::string_view text)
{
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return lowered;
}

std::string typeName(const std::type_info& type)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                     std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(type.name());
}

} // namespace

bool looksLikeAccountIssue(std::string_view message)
{
    const std::string lowered = asciiLowercased(message);
    return std::any_of(needles.begin(), needles.end(),
                       [&](std::string_view needle) { return lowered.find(needle) != std::string::npos; });
}

std::string fullDescription(const std::exception& error)
{
    std::string description = typeName(typeid(error));
    if (const auto* system = dynamic_cast<const std::system_error*>(&error))
        description += " (" + std::string(system->code().category().name()) + " " + std::to_string(system->code().value()) + ")";
    description += ": ";
    description += error.what();
    return description;
}

bool looksLikeAccountIssue(const std::exception& error)
{
    return looksLikeAccountIssue(std::string(error.what()) + " " + fullDescription(error));
}

} // namespace quellon::ExtensionInstallDiagnostics
