#include "platform/UserDefaults.h"

#include "platform/Environment.h"
#include "platform/FileIO.h"

#include <memory>
#include <nlohmann/json.hpp>

namespace quellon {

namespace fs = std::filesystem;

namespace {

std::mutex standardMutex;
std::string standardDomain = "com.pennaveld.quellon";
std::unique_ptr<UserDefaults> standardStore;

nlohmann::json readObject(const fs::path& file)
{
    auto bytes = readRegularFile(file);
    if (!bytes)
        return nlohmann::json::object();
    auto parsed = nlohmann::json::parse(*bytes, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object())
        return nlohmann::json::object();
    return parsed;
}

} // namespace

void UserDefaults::setStandardDomain(std::string domain)
{
    std::lock_guard lock(standardMutex);
    standardDomain = std::move(domain);
    standardStore.reset();
}

UserDefaults& UserDefaults::standard()
{
    std::lock_guard lock(standardMutex);
    if (!standardStore) {
        if (auto file = JsonFileUserDefaults::fileForDomain(standardDomain, Environment::process()))
            standardStore = std::make_unique<JsonFileUserDefaults>(*file);
        else
            standardStore = std::make_unique<InMemoryUserDefaults>();
    }
    return *standardStore;
}

std::optional<fs::path> JsonFileUserDefaults::fileForDomain(std::string_view domain, const Environment& environment)
{
    fs::path base;
    if (auto xdg = environment.variable("XDG_CONFIG_HOME"); xdg && fs::path(*xdg).is_absolute())
        base = *xdg;
    else if (auto home = environment.variable("HOME"); home && fs::path(*home).is_absolute())
        base = fs::path(*home) / ".config";
    else
        return std::nullopt;
    return base / (std::string(domain) + ".json");
}

std::optional<std::string> JsonFileUserDefaults::string(std::string_view key) const
{
    const nlohmann::json object = readObject(file_);
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
}

void JsonFileUserDefaults::setString(std::string_view key, std::string_view value)
{
    // Serialises this process's writers; other processes race as whole-file replacements.
    std::lock_guard lock(writeMutex_);
    nlohmann::json object = readObject(file_);
    object[std::string(key)] = std::string(value);
    std::string bytes;
    try {
        bytes = object.dump(2) + "\n";
    } catch (const nlohmann::json::exception&) {
        throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                                "preference value is not valid UTF-8");
    }
    fs::create_directories(file_.parent_path());
    replaceFileAtomically(file_, bytes);
}

std::optional<std::string> InMemoryUserDefaults::string(std::string_view key) const
{
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

void InMemoryUserDefaults::setString(std::string_view key, std::string_view value)
{
    std::lock_guard lock(mutex_);
    values_[std::string(key)] = std::string(value);
}

} // namespace quellon
