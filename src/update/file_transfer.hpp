// The HEAD probe and the file downloads of the update client.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

#include "core/http.hpp"

namespace tarvik::update {

// HEAD with a fixed 1 s wait between attempts. (true, "HTTP 200") on success;
// (false, "HTTP 404") at once for a 404; otherwise (false, the last reason): the
// HTTP status, the kind name of a transport failure, or kind + ": " + the first
// 40 characters of any other failure. Never throws except for Ctrl-C.
std::pair<bool, std::string> url_head_ok(http::Session& session, const std::string& url, double timeout,
                                         int max_retries);

// GETs the URL into dest (parents created), replacing its content once the
// response has arrived; a failure before that leaves dest untouched. Waits n
// seconds after failed attempt n; fails with the last failure.
void download(http::Session& session, const std::string& url, const std::filesystem::path& dest,
              int max_retries);

// GETs bytes first..last (inclusive). A 206 answer is written at offset first
// of the existing file dest and gives true; any other success status means the
// whole file came, which replaces dest's content, and gives false.
bool download_range(http::Session& session, const std::string& url, const std::filesystem::path& dest,
                    uint64_t first, uint64_t last, int max_retries);

}  // namespace tarvik::update
