// One line per request on standard output, flushed at once:
//   GET /k/media/update/App-2-Linux/big.bin 206 range=bytes=1048576-2097151 bytes=1048576
//   POST /auth/k/ 201 files=100
// A handler adds details through request_notes(); the worker thread that runs
// a handler also writes its line, after the body has been sent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <httplib.h>

namespace devserver {

struct RequestNotes {
    int64_t body_bytes = -1;  // file bytes sent; -1: not a file download
    std::string note;         // "files=100", or why a request was refused
};

RequestNotes& request_notes();

void log_request(const httplib::Request& req, const httplib::Response& res);

// Any line (start-up, shutdown), written under the same lock.
void log_line(std::string_view line);

// Control characters and non-ASCII bytes as \xNN, so one request stays one line.
std::string printable(std::string_view text);

}  // namespace devserver
