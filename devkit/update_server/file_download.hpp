// GET and HEAD of a stored file: the whole file (200) or one byte range (206).
#pragma once

#include <cstdint>
#include <filesystem>

#include <httplib.h>

namespace devserver {

// 404 when the path is not a readable regular file. A single satisfiable range
// gives 206 with Content-Range; an unsatisfiable one 416; several ranges are
// answered with the whole file. The body is read from the open file as it is
// sent, so a file replaced meanwhile (by rename) is still served whole.
void serve_file(const std::filesystem::path& file, const httplib::Request& req, httplib::Response& res);

// Caps the body of every later download at this many bytes per second (0: no cap).
void set_body_rate(uint64_t bytes_per_second);

}  // namespace devserver
