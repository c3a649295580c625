// Fetching and validating the remote manifest.
#pragma once

#include <string>

#include "core/http.hpp"
#include "core/json_text.hpp"
#include "update/manifest_json.hpp"

namespace tarvik::update {

// Checks a manifest body; throws RuntimeError with the client's texts ("empty
// response (0 bytes)", "non-JSON response: ...", "manifest is not an object,
// got ...", "missing required fields: [...]", "'files' field is not an
// object, got ...", "unsafe path in 'files': ...").
// With lazy_files a "files" object is checked but left empty.
ManifestText parse_manifest_body(const std::string& body, bool lazy_files = false);

// GETs the manifest (10 s timeout) up to max_retries times, waiting n seconds
// after failed attempt n and printing one line per failed attempt. Fails with
// the last attempt's failure. A body over 64 MiB fails the attempt.
Json fetch_manifest(http::Session& session, const std::string& url, int max_retries);

// The same, keeping the body for a full parse later when lazy_files is set.
// With max_body (not 0) a longer body fails the attempt (the length a signed
// statement gives).
struct FetchedManifest {
    ManifestText manifest;
    std::string body;
};
FetchedManifest fetch_manifest_text(http::Session& session, const std::string& url, int max_retries,
                                    bool lazy_files, size_t max_body = 0);

}  // namespace tarvik::update
