// Command line: tarvik-devserver --root DIR [--host 127.0.0.1] [--port 8000] [--code SECRET]
//               [--delay-ms N] [--rate-kib N]
#pragma once

#include <optional>
#include <string>

namespace devserver {

struct Options {
    std::string root;
    std::string host = "127.0.0.1";
    int port = 8000;                  // 0: any free port (printed at start)
    std::optional<std::string> code;  // uploads must carry this "code" field
    int delay_ms = 0;                 // added before every answer (a link with latency)
    int rate_kib = 0;                 // file bodies at most this many KiB/s per request; 0: no cap
};

// nullopt after printing the problem and the usage on stderr.
std::optional<Options> parse_options(int argc, char** argv);

}  // namespace devserver
