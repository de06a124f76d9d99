#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace velmo::ai {

// Objects are ordered maps: every document is written with its keys in ascending byte order.
using Json = nlohmann::json;

// Strict parse (no comments, nothing but white space after the value); a syntax error becomes
// InvalidInput (a std::invalid_argument) "invalid JSON: <parser message>".
Json parse_json(const std::string& text);
// Compact text, UTF-8 left as is; invalid UTF-8 throws the library's type error.
std::string dump_json(const Json& value);

}  // namespace velmo::ai
