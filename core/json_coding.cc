#include "core/json_coding.h"

#include <cmath>
#include <limits>

namespace tamrin {
namespace {

// Deeper than any record of this system, shallow enough that nothing recursive can overflow.
constexpr int kMaximumDepth = 32;

std::string quoted(std::string_view key) { return "\"" + std::string(key) + "\""; }

[[noreturn]] void wrongType(std::string_view key, std::string_view expected) {
  throw JsonError("Invalid JSON: " + quoted(key) + " must be " + std::string(expected) + ".");
}

}  // namespace

nlohmann::json parseJson(std::string_view bytes) {
  using nlohmann::json;
  const json::parser_callback_t limitDepth = [](int depth, json::parse_event_t, json&) {
    if (depth > kMaximumDepth) throw JsonError("Invalid JSON: nesting is too deep.");
    return true;
  };
  try {
    return json::parse(bytes.begin(), bytes.end(), limitDepth);
  } catch (const json::parse_error& error) {
    throw JsonError("Invalid JSON at byte " + std::to_string(error.byte) +
                    ": the text is not one well-formed JSON value.");
  } catch (const json::exception&) {
    throw JsonError("Invalid JSON: a number is out of range.");
  }
}

std::string dumpJson(const nlohmann::json& json) {
  try {
    return json.dump();
  } catch (const nlohmann::json::exception&) {
    throw JsonError("Invalid JSON: a text is not valid UTF-8.");
  }
}

const nlohmann::json& requireObject(const nlohmann::json& value, std::string_view what) {
  if (!value.is_object())
    throw JsonError("Invalid JSON: " + std::string(what) + " must be an object.");
  return value;
}

const nlohmann::json& requireMember(const nlohmann::json& object, std::string_view key) {
  return requireMember(object, key, key);
}

const nlohmann::json& requireMember(const nlohmann::json& object, std::string_view key,
                                    std::string_view label) {
  const auto found = object.find(key);
  if (found == object.end())
    throw JsonError("Invalid JSON: the key " + quoted(label) + " is missing.");
  return *found;
}

const nlohmann::json* optionalMember(const nlohmann::json& object, std::string_view key) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return nullptr;
  return &*found;
}

std::int64_t readInt64(const nlohmann::json& value, std::string_view key) {
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw JsonError("Invalid JSON: " + quoted(key) + " is too large.");
    }
    return static_cast<std::int64_t>(number);
  }
  if (!value.is_number_integer()) wrongType(key, "an integer");
  return value.get<std::int64_t>();
}

bool readBool(const nlohmann::json& value, std::string_view key) {
  if (!value.is_boolean()) wrongType(key, "true or false");
  return value.get<bool>();
}

Instant readInstant(const nlohmann::json& value, std::string_view key) {
  if (!value.is_number()) wrongType(key, "a number of seconds");
  const double seconds = value.get<double>();
  if (!std::isfinite(seconds)) wrongType(key, "a finite number of seconds");
  return Instant(seconds);
}

std::vector<std::string> readStringArray(const nlohmann::json& value, std::string_view key) {
  if (!value.is_array()) wrongType(key, "an array of strings");
  std::vector<std::string> result;
  result.reserve(value.size());
  for (const auto& element : value) {
    if (!element.is_string()) wrongType(key, "an array of strings");
    result.push_back(element.get<std::string>());
  }
  return result;
}

std::vector<std::int64_t> readInt64Array(const nlohmann::json& value, std::string_view key) {
  if (!value.is_array()) wrongType(key, "an array of integers");
  std::vector<std::int64_t> result;
  result.reserve(value.size());
  for (const auto& element : value) {
    if (!element.is_number_integer()) wrongType(key, "an array of integers");
    result.push_back(readInt64(element, key));
  }
  return result;
}

}  // namespace tamrin
