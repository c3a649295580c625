#include "update/file_transfer.hpp"

#include <algorithm>
#include <exception>
#include <optional>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "update/failure_kinds.hpp"
#include "update/file_sink.hpp"
#include "update/pause.hpp"

namespace tarvik::update {

namespace {

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
        FileSink sink(dest, std::nullopt, 0, max_bytes);
        try {
            DeadlineScope deadline(session, file_deadline(max_bytes));
            http::Response r = session.get_to(url, kDownloadTimeout, sink);
            require_success(r);
            sink.finish();
            return;
        } catch (const std::exception&) {
            if (sink.failed_locally()) throw;
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
        const uint64_t range_length = last_byte >= first ? last_byte - first + 1 : 0;
        FileSink sink(dest, first, range_length, max_whole);
        try {
            DeadlineScope deadline(session, file_deadline(std::max(range_length, max_whole)));
            http::Response r = session.get_to(url, kDownloadTimeout, sink, std::make_pair(first, last_byte));
            require_success(r);
            sink.finish();
            return r.status == 206;
        } catch (const std::exception&) {
            if (sink.failed_locally()) throw;
            last = std::current_exception();
        }
        if (n < max_retries) pause_seconds(n);
    }
    std::rethrow_exception(last);
}

}  // namespace tarvik::update
