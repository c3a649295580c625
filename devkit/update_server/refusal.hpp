// A request the server refuses: the status and a one-line reason, which goes
// into the response body and the request's log line.
#pragma once

#include <stdexcept>
#include <string>

namespace devserver {

struct Refusal : std::runtime_error {
    int status;
    Refusal(int status_, const std::string& why) : std::runtime_error(why), status(status_) {}
};

}  // namespace devserver
