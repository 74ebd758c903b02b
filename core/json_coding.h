#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/instant.h"
#include "core/json_error.h"

namespace tamrin {

// Parses one JSON document. Throws JsonError for malformed text, text nested deeper than a
// stored record can be, and numbers out of range.
nlohmann::json parseJson(std::string_view bytes);

// Compact text of `json`. Throws JsonError when a string in it is not valid UTF-8.
std::string dumpJson(const nlohmann::json& json);

// Strict readers for one member of a JSON object. "Required" readers throw JsonError when the
// key is missing; "optional" readers answer absent for a missing key or null. A value of the
// wrong type always throws, naming the key.
const nlohmann::json& requireObject(const nlohmann::json& value, std::string_view what);
const nlohmann::json& requireMember(const nlohmann::json& object, std::string_view key);
// The same, naming the key as `label` (e.g. "windows[2].focusStartMinutes") when it is missing.
const nlohmann::json& requireMember(const nlohmann::json& object, std::string_view key,
                                    std::string_view label);
const nlohmann::json* optionalMember(const nlohmann::json& object, std::string_view key);

std::int64_t readInt64(const nlohmann::json& value, std::string_view key);
bool readBool(const nlohmann::json& value, std::string_view key);
Instant readInstant(const nlohmann::json& value, std::string_view key);
std::vector<std::string> readStringArray(const nlohmann::json& value, std::string_view key);
std::vector<std::int64_t> readInt64Array(const nlohmann::json& value, std::string_view key);

}  // namespace tamrin
