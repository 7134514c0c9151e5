#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quellon {

/// Read access to environment variables, so that logic depending on them can be tested
/// without touching the real process environment.
class Environment {
public:
    virtual ~Environment() = default;
    /// The variable's value, or nothing when it is not set.
    virtual std::optional<std::string> variable(std::string_view name) const = 0;

    /// The environment of this process (getenv).
    static const Environment& process();
};

/// A fixed set of variables; stands in for the process environment in tests.
class MapEnvironment final : public Environment {
public:
    MapEnvironment() = default;
    explicit MapEnvironment(std::map<std::string, std::string, std::less<>> variables)
        : variables_(std::move(variables)) {}

    std::optional<std::string> variable(std::string_view name) const override;
    void set(std::string name, std::string value) { variables_[std::move(name)] = std::move(value); }
    void unset(std::string_view name);

private:
    std::map<std::string, std::string, std::less<>> variables_;
};

} // namespace quellon
