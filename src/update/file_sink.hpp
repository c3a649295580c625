// Writes a successful response body into a file: replacing it, or (for a 206
// answer to a range request) at an offset of the existing file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

#include "core/file_io.hpp"
#include "core/http.hpp"

namespace tarvik::update {

// Timeout of the file and block downloads (connect and every wait for data).
inline constexpr double kDownloadTimeout = 60.0;
// Bytes per second the overall deadline of a bounded file request allows for.
inline constexpr double kDeadlineRate = 8192;

// The overall deadline in seconds of one file request whose body is at most
// max_bytes long: the silence timeout plus the time the bytes take at
// kDeadlineRate; negative (none) when nothing bounds the body.
inline double file_deadline(uint64_t max_bytes) {
    return max_bytes ? kDownloadTimeout + static_cast<double>(max_bytes) / kDeadlineRate : -1.0;
}

class FileSink final : public http::BodySink {
public:
    // max_range / max_whole: the longest 206 body / other body (0: no limit);
    // a longer body fails the transfer as soon as the excess arrives.
    FileSink(std::filesystem::path dest, std::optional<uint64_t> range_start, uint64_t max_range = 0,
             uint64_t max_whole = 0)
        : dest_(std::move(dest)), range_start_(range_start), max_range_(max_range), max_whole_(max_whole) {}

    bool begin(long status) override;
    void write(const char* data, size_t n) override;
    // Flushes and closes the file; a failing close is a write failure.
    void finish();
    long status() const { return status_; }
    // The file could not be opened, written or closed: asking the server
    // again cannot help.
    bool failed_locally() const { return failed_locally_; }
    // The body went past its bound: what was written is no part of the file.
    bool overflowed() const { return overflowed_; }

private:
    std::filesystem::path dest_;
    std::optional<uint64_t> range_start_;
    uint64_t max_range_ = 0, max_whole_ = 0, limit_ = 0, written_ = 0;
    std::vector<char> buffer_ = std::vector<char>(http::kChunkSize);
    UniqueFile file_;  // declared after buffer_: closed before the buffer goes
    long status_ = 0;
    bool failed_locally_ = false;
    bool overflowed_ = false;

    template <class F>
    void local(F&& work) {
        try {
            work();
        } catch (...) {
            failed_locally_ = true;
            throw;
        }
    }
};

}  // namespace tarvik::update
