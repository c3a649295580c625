#include "core/welcome.hpp"

#include "core/host.hpp"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#endif

namespace tarvik {

namespace {

// T, A, R, V, I, K: seven columns each, two blanks between letters.
constexpr std::string_view BANNER_ROWS[5] = {
    "  $$$$$$$    $$$    $$$$$$   $$   $$  $$$$$$$  $$   $$",
    "    $$$     $$ $$   $$   $$  $$   $$    $$$    $$  $$ ",
    "    $$$    $$   $$  $$$$$$    $$ $$     $$$    $$$$$  ",
    "    $$$    $$$$$$$  $$  $$    $$ $$     $$$    $$  $$ ",
    "    $$$    $$   $$  $$   $$    $$$    $$$$$$$  $$   $$",
};

}  // namespace

std::string banner_text() {
    std::string out = "\n";
    for (std::string_view row : BANNER_ROWS) {
        out += CYAN;
        out += row;
        out += RESET_ALL;
        out += '\n';
    }
    out += '\n';
    return out;
}

void welcome() { host().write_stdout(banner_text()); }

void print_info(std::string_view text) {
    std::string line(BLUE);
    line += text;
    line += RESET_ALL;
    println(line);
}

bool enable_console_colours() {
#ifdef _WIN32
    bool any = false;
    const DWORD streams[] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD which : streams) {
        HANDLE h = GetStdHandle(which);
        DWORD mode = 0;
        if (h == INVALID_HANDLE_VALUE || h == nullptr || !GetConsoleMode(h, &mode)) continue;
        if (SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) any = true;
    }
    return any;
#else
    return false;
#endif
}

}  // namespace tarvik
