#include "update/file_transfer.hpp"

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

// Writes a successful response body into a file: replacing it, or (for a 206
// answer to a range request) at an offset of the existing file.
class FileSink final : public http::BodySink {
public:
    FileSink(std::filesystem::path dest, std::optional<uint64_t> range_start)
        : dest_(std::move(dest)), range_start_(range_start) {}

    bool begin(long status) override {
        status_ = status;
        if (status < 200 || status > 299) return false;
        local([&] {
            if (range_start_ && status == 206) {
                file_ = open_file(dest_, "r+b");
                seek_to(file_.get(), *range_start_, dest_);
            } else {
                file_ = open_file(dest_, "wb");
            }
            std::setvbuf(file_.get(), buffer_.data(), _IOFBF, buffer_.size());
        });
        return true;
    }

    void write(const char* data, size_t n) override {
        local([&] { write_all(file_.get(), {data, n}, dest_); });
    }

    // Flushes and closes the file; a failing close is a write failure.
    void finish() {
        if (!file_) return;
        std::FILE* f = file_.release();
        if (std::fclose(f) != 0) {
            failed_locally_ = true;
            throw os_error_from_errno(path_text(dest_));
        }
    }

    long status() const { return status_; }
    // The file could not be opened, written or closed: asking the server
    // again cannot help.
    bool failed_locally() const { return failed_locally_; }

private:
    std::filesystem::path dest_;
    std::optional<uint64_t> range_start_;
    std::vector<char> buffer_ = std::vector<char>(http::kChunkSize);
    UniqueFile file_;  // declared after buffer_: closed before the buffer goes
    long status_ = 0;
    bool failed_locally_ = false;

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
              int max_retries) {
    check_retries(max_retries);
    if (dest.has_parent_path()) std::filesystem::create_directories(dest.parent_path());
    std::exception_ptr last;
    for (int n = 1; n <= max_retries; ++n) {
        FileSink sink(dest, std::nullopt);
        try {
            http::Response r = session.get_to(url, kDownloadTimeout, sink);
            require_success(r);
            sink.finish();
            return;
        } catch (const std::exception& e) {
            if (is_interrupt(e)) throw;
            if (sink.failed_locally()) throw;
            last = std::current_exception();
        }
        if (n < max_retries) pause_seconds(n);
    }
    std::rethrow_exception(last);
}

bool download_range(http::Session& session, const std::string& url, const std::filesystem::path& dest,
                    uint64_t first, uint64_t last_byte, int max_retries) {
    check_retries(max_retries);
    std::exception_ptr last;
    for (int n = 1; n <= max_retries; ++n) {
        FileSink sink(dest, first);
        try {
            http::Response r = session.get_to(url, kDownloadTimeout, sink, std::make_pair(first, last_byte));
            require_success(r);
            sink.finish();
            return r.status == 206;
        } catch (const std::exception& e) {
            if (is_interrupt(e)) throw;
            if (sink.failed_locally()) throw;
            last = std::current_exception();
        }
        if (n < max_retries) pause_seconds(n);
    }
    std::rethrow_exception(last);
}

}  // namespace tarvik::update
