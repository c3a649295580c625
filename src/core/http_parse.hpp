// The pure text handling of HTTP response heads, apart from the transfer code
// so that it can be tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvik::http {

struct StatusLine {
    long status = 0;     // 0 when the line names no number
    std::string reason;  // UTF-8 (the line is read as ISO-8859-1, as Python's http.client does)
};

// True when a header line of the response starts a new response: "HTTP/...".
bool is_status_line(std::string_view line);

// "HTTP/1.1 404 Not Found\r\n" -> {404, "Not Found"}; the line end may be present.
StatusLine parse_status_line(std::string_view line);

// True for a "Location:" header line (name compared case-insensitively).
bool is_location_header(std::string_view line);

}  // namespace tarvik::http
