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
// seconds after failed attempt n; fails with the last failure. With max_bytes
// (not 0) a body longer than that fails the attempt as soon as the excess
// arrives, and the attempt's overall deadline is the silence timeout plus the
// time the bytes take at 8 KiB/s; without it only the minimum rate bounds it.
void download(http::Session& session, const std::string& url, const std::filesystem::path& dest,
              int max_retries, uint64_t max_bytes = 0);

// GETs bytes first..last (inclusive). A 206 answer is written at offset first
// of the existing file dest and gives true; any other success status means the
// whole file came, which replaces dest's content, and gives false. A 206 body
// longer than the range, or a whole file longer than max_whole (not 0), fails
// the attempt.
bool download_range(http::Session& session, const std::string& url, const std::filesystem::path& dest,
                    uint64_t first, uint64_t last, int max_retries, uint64_t max_whole = 0);

}  // namespace tarvik::update
