// The standard reason phrases of HTTP status codes, for responses that carry
// none (HTTP/2 has no reason phrase at all).
#pragma once

#include <string_view>

namespace tarvik::http {

// "Not Found" for 404, as Python's http.HTTPStatus(404).phrase; empty for an
// unknown status.
std::string_view standard_reason_phrase(long status);

}  // namespace tarvik::http
