// Case forms of names used in generated code, with Python's Unicode case rules.
#pragma once

#include <string>
#include <string_view>

namespace tarvik::scaffold {

// Every character in lower case ("myShop" -> "myshop").
std::string lower_case(std::string_view text);
// The first character in upper case, every other in lower case ("myShop" -> "Myshop").
std::string capitalised(std::string_view text);

}  // namespace tarvik::scaffold
