// The interpreter embedded in a fuzz binary, for differential targets: the
// functions of fuzz/oracles.py judge the C++ result against Python's own
// modules. Started once per process.
#pragma once

#include <string>
#include <string_view>

namespace tarvik::fuzz {

// Calls oracles.<function>(input bytes, cpp_result str) and returns its str
// result ("" means agreement). A Python exception aborts the process with its
// traceback (an oracle bug is a finding too).
std::string oracle(const char* function, std::string_view input, std::string_view cpp_result);

// Stops the process with the mismatch text when it is not empty.
void require_agreement(const char* target, const std::string& mismatch);

// Python's str.lower() of UTF-8 text.
std::string py_lower(std::string_view utf8);

}  // namespace tarvik::fuzz
