#include "file_download.hpp"

#include <sys/stat.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "request_log.hpp"

namespace devserver {

namespace {

constexpr size_t kChunk = 65536;

std::atomic<uint64_t> g_body_rate{0};

// Holds a body to the rate cap: waits until the bytes sent so far are due.
class RatePacer {
public:
    explicit RatePacer(uint64_t rate) : rate_(rate), start_(std::chrono::steady_clock::now()) {}
    // The largest piece to send next, so that the pace stays even.
    size_t piece(size_t want) const {
        if (rate_ == 0) return want;
        size_t tenth = static_cast<size_t>(rate_ / 10 + 1);
        return want < tenth ? want : tenth;
    }
    // Waits until n more bytes are due; a body of b bytes takes b / rate seconds.
    void wait_to_send(size_t n) {
        if (rate_ == 0) return;
        sent_ += n;
        auto due = start_ + std::chrono::microseconds(sent_ * 1000000 / rate_);
        std::this_thread::sleep_until(due);
    }

private:
    uint64_t rate_;
    std::chrono::steady_clock::time_point start_;
    uint64_t sent_ = 0;
};

struct FileCloser {
    void operator()(std::FILE* f) const noexcept {
        if (f) std::fclose(f);
    }
};
using SharedFile = std::shared_ptr<std::FILE>;

std::optional<uint64_t> open_size(std::FILE* f) {
#ifdef _WIN32
    struct _stat64 st;
    if (_fstat64(_fileno(f), &st) != 0 || !(st.st_mode & _S_IFREG)) return std::nullopt;
#else
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
#endif
    return static_cast<uint64_t>(st.st_size);
}

bool seek_to(std::FILE* f, uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

std::optional<uint64_t> number(std::string_view s) {
    uint64_t v = 0;
    if (s.empty()) return std::nullopt;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return v;
}

struct ByteRange {
    bool satisfiable = true;
    uint64_t first = 0, last = 0;
};

// The one range of a "bytes=" header, clamped to the file; nullopt when the
// header asks for several ranges or is not a byte range (the whole file is sent).
std::optional<ByteRange> single_range(const std::string& header, uint64_t size) {
    std::string_view v(header);
    if (v.substr(0, 6) != "bytes=") return std::nullopt;
    v.remove_prefix(6);
    if (v.find(',') != std::string_view::npos) return std::nullopt;
    size_t dash = v.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    std::string_view a = v.substr(0, dash), b = v.substr(dash + 1);
    ByteRange r;
    if (a.empty()) {  // the last n bytes
        auto n = number(b);
        if (!n) return std::nullopt;
        if (*n == 0 || size == 0) return ByteRange{false};
        r.first = *n >= size ? 0 : size - *n;
        r.last = size - 1;
        return r;
    }
    auto first = number(a);
    if (!first) return std::nullopt;
    auto last = b.empty() ? std::optional<uint64_t>(UINT64_MAX) : number(b);
    if (!last || *last < *first) return std::nullopt;
    if (*first >= size) return ByteRange{false};
    r.first = *first;
    r.last = *last >= size ? size - 1 : *last;
    return r;
}

}  // namespace

void serve_file(const std::filesystem::path& file, const httplib::Request& req, httplib::Response& res) {
    auto not_found = [&res] {
        res.status = 404;
        res.set_content("not found", "text/plain");
    };
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) return not_found();  // a FIFO would block the worker
#ifdef _WIN32
    SharedFile f(_wfopen(file.c_str(), L"rb"), FileCloser{});
#else
    SharedFile f(std::fopen(file.c_str(), "rb"), FileCloser{});
#endif
    std::optional<uint64_t> size = f ? open_size(f.get()) : std::nullopt;
    if (!size) return not_found();
    // The range is applied here; the library must not slice the body again.
    const_cast<httplib::Request&>(req).ranges.clear();
    if (req.method == "GET") request_notes().body_bytes = 0;

    uint64_t first = 0, length = *size;
    res.status = 200;
    res.set_header("Accept-Ranges", "bytes");
    if (req.has_header("Range")) {
        if (auto r = single_range(req.get_header_value("Range"), *size)) {
            if (!r->satisfiable) {
                res.status = 416;
                res.set_header("Content-Range", "bytes */" + std::to_string(*size));
                return;
            }
            first = r->first;
            length = r->last - r->first + 1;
            res.status = 206;
            res.set_header("Content-Range", "bytes " + std::to_string(r->first) + "-" +
                                                std::to_string(r->last) + "/" + std::to_string(*size));
        }
    }
    if (length == 0) {
        res.set_content("", "application/octet-stream");
        return;
    }
    // Position of the handle, so that sequential calls need no seek.
    auto position = std::make_shared<uint64_t>(UINT64_MAX);
    auto pacer = std::make_shared<RatePacer>(g_body_rate.load());
    res.set_content_provider(
        static_cast<size_t>(length), "application/octet-stream",
        [f, first, position, pacer](size_t offset, size_t want, httplib::DataSink& sink) {
            uint64_t at = first + offset;
            if (*position != at) {
                if (!seek_to(f.get(), at)) return false;
                *position = at;
            }
            char buf[kChunk];
            size_t n = std::fread(buf, 1, pacer->piece(want < kChunk ? want : kChunk), f.get());
            if (n == 0) return false;  // shrunk or unreadable: drop the connection
            *position += n;
            pacer->wait_to_send(n);
            if (!sink.write(buf, n)) return false;
            request_notes().body_bytes += static_cast<int64_t>(n);
            return true;
        });
}

void set_body_rate(uint64_t bytes_per_second) { g_body_rate = bytes_per_second; }

}  // namespace devserver
