#include "platform/Environment.h"

#include <cstdlib>

namespace quellon {

namespace {

class ProcessEnvironment final : public Environment {
public:
    std::optional<std::string> variable(std::string_view name) const override
    {
        const char* value = std::getenv(std::string(name).c_str());
        if (!value)
            return std::nullopt;
        return std::string(value);
    }
};

} // namespace

const Environment& Environment::process()
{
    static const ProcessEnvironment environment;
    return environment;
}

std::optional<std::string> MapEnvironment::variable(std::string_view name) const
{
    auto it = variables_.find(name);
    if (it == variables_.end())
        return std::nullopt;
    return it->second;
}

void MapEnvironment::unset(std::string_view name)
{
    if (auto it = variables_.find(name); it != variables_.end())
        variables_.erase(it);
}

} // namespace quellon
