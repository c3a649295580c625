// Fetching and validating the remote manifest.
#pragma once

#include <string>

#include "core/http.hpp"
#include "core/json_text.hpp"

namespace tarvik::update {

// Checks a manifest body; throws RuntimeError with the client's texts ("empty
// response (0 bytes)", "non-JSON response: ...", "manifest is not an object,
// got ...", "missing required fields: [...]", "'files' field is not an
// object, got ...", "unsafe path in 'files': ...").
Json parse_manifest_body(const std::string& body);

// GETs the manifest (10 s timeout) up to max_retries times, waiting n seconds
// after failed attempt n and printing one line per failed attempt. Fails with
// the last attempt's failure.
Json fetch_manifest(http::Session& session, const std::string& url, int max_retries);

}  // namespace tarvik::update
