// Console colours and the start-up banner.
#pragma once

#include <string>
#include <string_view>

namespace tarvik {

// ANSI SGR sequences.
inline constexpr std::string_view CYAN = "\x1b[36m";
inline constexpr std::string_view BLUE = "\x1b[34m";
inline constexpr std::string_view RESET_ALL = "\x1b[0m";

// The banner as printed: an empty line, five cyan rows spelling "TARVIK" in
// "$" block letters (each followed by the reset sequence), an empty line.
std::string banner_text();
// Prints the banner on standard output.
void welcome();

// Prints one informational line: blue, the text, reset.
void print_info(std::string_view text);

// Lets the console interpret colour sequences. On Windows this turns on
// virtual-terminal processing for standard output and standard error and
// returns true when the console accepted it; elsewhere terminals already do,
// and it returns false without doing anything.
bool enable_console_colours();

}  // namespace tarvik
