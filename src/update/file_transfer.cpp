#include "update/file_transfer.hpp"

#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "update/failure_kinds.hpp"
#include "update/pause.hpp"

namespace tarvik::update {

namespace {

constexpr double kDownloadTimeout = 60.0;
constexpr double kDeadlineRate = 8192;  // bytes per second the overall deadline allows for

// The overall deadline of one file request (negative: none).
double deadline_for(uint64_t max_bytes) {
    return max_bytes ? kDownloadTimeout + static_cast<double>(max_bytes) / kDeadlineRate : -1.0;
}

// Writes a successful response body into a file: replacing it, or (for a 206
// answer to a range request) at an offset of the existing file.
class FileSink final : public http::BodySink {
public:
    // max_range / max_whole: the longest 206 body / other body (0: no limit).
    FileSink(std::filesystem::path dest, std::optional<uint64_t> range_start, uint64_t max_range = 0,
             uint64_t max_whole = 0)
        : dest_(std::move(dest)), range_start_(range_start), max_range_(max_range), max_whole_(max_whole) {}

    bool begin(long status) override {
        status_ = status;
        if (status < 200 || status > 299) return false;
        if (range_start_ && status == 206) {
            limit_ = max_range_;
            file_ = open_file(dest_, "r+b");
            seek_to(file_.get(), *range_start_, dest_);
        } else {
            limit_ = max_whole_;
            file_ = open_file(dest_, "wb");
        }
        std::setvbuf(file_.get(), buffer_.data(), _IOFBF, buffer_.size());
        return true;
    }

    void write(const char* data, size_t n) override {
        if (limit_ && n > limit_ - written_)
            throw runtime_error("the server sent more than the " + std::to_string(limit_) +
                                " bytes the manifest gives");
        written_ += n;
        write_all(file_.get(), {data, n}, dest_);
    }

    // Flushes and closes the file; a failing close is a write failure.
    void finish() {
        if (!file_) return;
        std::FILE* f = file_.release();
        if (std::fclose(f) != 0) throw os_error_from_errno(path_text(dest_));
    }

    long status() const { return status_; }

private:
    std::filesystem::path dest_;
    std::optional<uint64_t> range_start_;
    uint64_t max_range_ = 0, max_whole_ = 0, limit_ = 0, written_ = 0;
    std::vector<char> buffer_ = std::vector<char>(http::kChunkSize);
    UniqueFile file_;  // declared after buffer_: closed before the buffer goes
    long status_ = 0;
};

// The deadline set for one download goes back to the default afterwards.
struct DeadlineScope {
    http::Session& session;
    DeadlineScope(http::Session& s, double seconds) : session(s) { session.set_deadline(seconds); }
    ~DeadlineScope() { session.set_deadline(0); }
};

void check_retries(int max_retries) {
    if (max_retries < 1) throw value_error("max_retries must be at least 1");
}

}  // namespace

std::pair<bool, std::string> url_head_ok(http::Session& session, const std::string& url, double timeout,
                                         int max_retries) {
    std::string last_reason;
    for (int n = 1; n <= max_retries; ++n) {
        try {
            http::Response r = session.head(url, timeout);
            std::string reason = "HTTP " + std::to_string(r.status);
            if (r.status >= 200 && r.status <= 299) return {true, reason};
            last_reason = reason;
            if (r.status == 404) return {false, last_reason};
        } catch (const std::exception& e) {
            if (is_interrupt(e)) throw;
            last_reason = is_os_failure(e) ? kind_name(e) : kind_name(e) + ": " + text_prefix(e, 40);
        }
        if (n < max_retries) pause_seconds(1.0);
    }
    return {false, last_reason};
}

void download(http::Session& session, const std::string& url, const std::filesystem::path& dest,
              int max_retries, uint64_t max_bytes) {
    check_retries(max_retries);
    if (dest.has_parent_path()) std::filesystem::create_directories(dest.parent_path());
    std::exception_ptr last;
    for (int n = 1; n <= max_retries; ++n) {
        try {
            FileSink sink(dest, std::nullopt, 0, max_bytes);
            DeadlineScope deadline(session, deadline_for(max_bytes));
            http::Response r = session.get_to(url, kDownloadTimeout, sink);
            require_success(r);
            sink.finish();
            return;
        } catch (const std::exception& e) {
            if (is_interrupt(e)) throw;
            last = std::current_exception();
        }
        if (n < max_retries) pause_seconds(n);
    }
    std::rethrow_exception(last);
}

bool download_range(http::Session& session, const std::string& url, const std::filesystem::path& dest,
                    uint64_t first, uint64_t last_byte, int max_retries, uint64_t max_whole) {
    check_retries(max_retries);
    std::exception_ptr last;
    for (int n = 1; n <= max_retries; ++n) {
        try {
            const uint64_t range_length = last_byte >= first ? last_byte - first + 1 : 0;
            FileSink sink(dest, first, range_length, max_whole);
            DeadlineScope deadline(session, deadline_for(std::max(range_length, max_whole)));
            http::Response r = session.get_to(url, kDownloadTimeout, sink, std::make_pair(first, last_byte));
            require_success(r);
            sink.finish();
            return r.status == 206;
        } catch (const std::exception& e) {
            if (is_interrupt(e)) throw;
            last = std::current_exception();
        }
        if (n < max_retries) pause_seconds(n);
    }
    std::rethrow_exception(last);
}

}  // namespace tarvik::update
