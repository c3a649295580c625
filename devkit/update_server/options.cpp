#include "options.hpp"

#include <charconv>
#include <cstdio>
#include <string_view>

namespace devserver {

namespace {

const char* kUsage =
    "usage: tarvik-devserver --root DIR [--host 127.0.0.1] [--port 8000] [--code SECRET]\n";

std::optional<Options> fail(const std::string& why) {
    std::fprintf(stderr, "tarvik-devserver: %s\n%s", why.c_str(), kUsage);
    return std::nullopt;
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
        if (arg != "--root" && arg != "--host" && arg != "--port" && arg != "--code")
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
            int port = -1;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
            if (ec != std::errc() || end != value.data() + value.size() || port < 0 || port > 65535)
                return fail("--port must be a number from 0 to 65535");
            o.port = port;
        } else {
            o.code = value;
        }
    }
    if (!have_root) return fail("--root is required");
    return o;
}

}  // namespace devserver
