// JSON values as a Python program that loaded them with json would show and
// test them: str() of the value and its truth value.
#pragma once

#include <optional>
#include <string>

#include "core/json_text.hpp"

namespace tarvik::publish {

// str(value): a string as it stands, None/True/False, numbers in decimal,
// lists and objects in their repr form (['a', 1], {'k': None}).
std::string py_str(const Json& value);

// str() of an optional member: "None" when it is absent.
std::string py_str(const Json* value);

// bool(value): false for null, false, 0, 0.0, "", [] and {}.
bool py_truthy(const Json& value);

// The member `name` of an object, or nullptr.
const Json* member(const Json& object, const char* name);

}  // namespace tarvik::publish
