#include "state/JSONCoding.h"

#include <cmath>
#include <limits>

namespace quellon::JSONCoding {

namespace {

const Json* presentValue(const Json& object, const char* key)
{
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return nullptr;
    return &*it;
}

const Json& requiredValue(const Json& object, const char* key)
{
    if (const Json* value = presentValue(object, key))
        return *value;
    throw DecodingError(std::string("\"") + key + "\" is missing");
}

[[noreturn]] void wrongType(const char* key, const char* expected)
{
    throw DecodingError(std::string("\"") + key + "\" is not " + expected);
}

std::string stringValue(const Json& value, const char* key)
{
    if (!value.is_string())
        wrongType(key, "a string");
    return value.get<std::string>();
}

std::int64_t intValue(const Json& value, const char* key)
{
    if (value.is_number_integer() && !value.is_number_unsigned())
        return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return static_cast<std::int64_t>(unsignedValue);
        wrongType(key, "a 64-bit integer");
    }
    if (value.is_number_float()) {
        // 30.0 is the integer 30; 30.5 or 1e30 is not an integer at all.
        double number = value.get<double>();
        if (std::trunc(number) == number && number >= -9.2233720368547758e18 && number < 9.2233720368547758e18)
            return static_cast<std::int64_t>(number);
    }
    wrongType(key, "a 64-bit integer");
}

double doubleValue(const Json& value, const char* key)
{
    if (!value.is_number())
        wrongType(key, "a number");
    return value.get<double>();
}

bool boolValue(const Json& value, const char* key)
{
    if (!value.is_boolean())
        wrongType(key, "a boolean");
    return value.get<bool>();
}

} // namespace

Json parseObject(std::string_view text)
{
    Json parsed = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded())
        throw DecodingError("not valid JSON");
    if (!parsed.is_object())
        throw DecodingError("not a JSON object");
    return parsed;
}

std::string dump(const Json& value, JSONStyle style)
{
    try {
        return style == JSONStyle::pretty ? value.dump(2) : value.dump();
    } catch (const Json::exception& error) {
        throw EncodingError(error.what());
    }
}

Json encodeDate(Date date)
{
    if (auto text = InternetDateTime::format(date))
        return *text;
    throw EncodingError("date outside the years 0000 to 9999");
}

std::string requiredString(const Json& object, const char* key)
{
    return stringValue(requiredValue(object, key), key);
}

std::optional<std::string> optionalString(const Json& object, const char* key)
{
    if (const Json* value = presentValue(object, key))
        return stringValue(*value, key);
    return std::nullopt;
}

std::int64_t requiredInt(const Json& object, const char* key)
{
    return intValue(requiredValue(object, key), key);
}

std::optional<std::int64_t> optionalInt(const Json& object, const char* key)
{
    if (const Json* value = presentValue(object, key))
        return intValue(*value, key);
    return std::nullopt;
}

double requiredDouble(const Json& object, const char* key)
{
    return doubleValue(requiredValue(object, key), key);
}

std::optional<double> optionalDouble(const Json& object, const char* key)
{
    if (const Json* value = presentValue(object, key))
        return doubleValue(*value, key);
    return std::nullopt;
}

bool requiredBool(const Json& object, const char* key)
{
    return boolValue(requiredValue(object, key), key);
}

std::optional<bool> optionalBool(const Json& object, const char* key)
{
    if (const Json* value = presentValue(object, key))
        return boolValue(*value, key);
    return std::nullopt;
}

Date requiredDate(const Json& object, const char* key)
{
    std::string text = requiredString(object, key);
    if (auto date = InternetDateTime::parse(text))
        return *date;
    throw DecodingError(std::string("\"") + key + "\" is not an ISO 8601 date: \"" + text + "\"");
}

std::optional<std::vector<std::string>> optionalStringList(const Json& object, const char* key)
{
    const Json* value = presentValue(object, key);
    if (!value)
        return std::nullopt;
    if (!value->is_array())
        wrongType(key, "a list of strings");
    std::vector<std::string> list;
    list.reserve(value->size());
    for (const Json& element : *value) {
        if (!element.is_string())
            wrongType(key, "a list of strings");
        list.push_back(element.get<std::string>());
    }
    return list;
}

} // namespace quellon::JSONCoding
