#pragma once

// Strict JSON coding shared by every record: a record decodes whole or not at all, unknown
// keys are ignored, and a present value of the wrong type is an error even for optional fields.
// Include only from .cpp files: it pulls in the full JSON library.

#include "platform/DateTime.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quellon {

/// A record could not be decoded; what() names the key and the reason.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// A record could not be encoded (text that is not UTF-8, a date outside 0000–9999).
class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class JSONStyle {
    /// One line, for the wire.
    compact,
    /// Two-space indents with keys in ascending order, for files.
    pretty,
};

namespace JSONCoding {

using Json = nlohmann::json;

/// Parses text that must hold a JSON object.
Json parseObject(std::string_view text);

/// The text of a value. Object keys come out in ascending byte order in both styles.
std::string dump(const Json& value, JSONStyle style);

/// A date as its ISO 8601 text.
Json encodeDate(Date date);

// Readers: required ones throw DecodingError when the key is missing, null or of the wrong
// type; optional ones give nothing for a missing or null key and throw for a wrong type.
std::string requiredString(const Json& object, const char* key);
std::optional<std::string> optionalString(const Json& object, const char* key);
std::int64_t requiredInt(const Json& object, const char* key);
std::optional<std::int64_t> optionalInt(const Json& object, const char* key);
double requiredDouble(const Json& object, const char* key);
std::optional<double> optionalDouble(const Json& object, const char* key);
bool requiredBool(const Json& object, const char* key);
std::optional<bool> optionalBool(const Json& object, const char* key);
Date requiredDate(const Json& object, const char* key);
std::optional<std::vector<std::string>> optionalStringList(const Json& object, const char* key);

/// An enumeration from its raw value, through the type's own fromRawValue.
template <class Enum, class FromRaw>
Enum requiredEnum(const Json& object, const char* key, FromRaw fromRawValue)
{
    std::string raw = requiredString(object, key);
    if (std::optional<Enum> value = fromRawValue(raw))
        return *value;
    throw DecodingError(std::string("\"") + key + "\" has no case \"" + raw + "\"");
}

} // namespace JSONCoding

} // namespace quellon
