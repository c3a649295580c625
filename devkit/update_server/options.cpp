#include "options.hpp"

#include <charconv>
#include <cstdio>
#include <string_view>

namespace devserver {

namespace {

const char* kUsage =
    "usage: tarvik-devserver --root DIR [--host 127.0.0.1] [--port 8000] [--code SECRET]\n"
    "                        [--delay-ms N] [--rate-kib N]\n";

std::optional<Options> fail(const std::string& why) {
    std::fprintf(stderr, "tarvik-devserver: %s\n%s", why.c_str(), kUsage);
    return std::nullopt;
}

// A whole number from 0 to max written as plain digits.
std::optional<int> whole_number(const std::string& value, int max) {
    int n = -1;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n < 0 || n > max) return std::nullopt;
    return n;
}

}  // namespace

std::optional<Options> parse_options(int argc, char** argv) {
    Options o;
    bool have_root = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return std::nullopt;
        }
        if (arg != "--root" && arg != "--host" && arg != "--port" && arg != "--code" && arg != "--delay-ms" &&
            arg != "--rate-kib")
            return fail("unknown argument " + std::string(arg));
        if (i + 1 >= argc) return fail(std::string(arg) + " needs a value");
        std::string value = argv[++i];
        if (arg == "--root") {
            if (value.empty()) return fail("--root must not be empty");
            o.root = value;
            have_root = true;
        } else if (arg == "--host") {
            o.host = value;
        } else if (arg == "--port") {
            auto port = whole_number(value, 65535);
            if (!port) return fail("--port must be a number from 0 to 65535");
            o.port = *port;
        } else if (arg == "--delay-ms") {
            auto ms = whole_number(value, 60000);
            if (!ms) return fail("--delay-ms must be a number from 0 to 60000");
            o.delay_ms = *ms;
        } else if (arg == "--rate-kib") {
            auto kib = whole_number(value, 1 << 20);
            if (!kib) return fail("--rate-kib must be a number from 0 to 1048576");
            o.rate_kib = *kib;
        } else {
            o.code = value;
        }
    }
    if (!have_root) return fail("--root is required");
    return o;
}

}  // namespace devserver
