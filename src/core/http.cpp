#include "core/http.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/http_status.hpp"
#include "core/http_transfer.hpp"
#include "core/http_parse.hpp"
#include "core/pytext.hpp"
#include "core/tls_trust.hpp"

namespace tarvik::http {

namespace detail {

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            throw runtime_error("libcurl could not be initialised");
    });
}

}  // namespace detail

namespace {

using namespace detail;

struct MimeFree {
    void operator()(curl_mime* m) const noexcept { curl_mime_free(m); }
};
struct UrlFree {
    void operator()(CURLU* u) const noexcept { curl_url_cleanup(u); }
};
bool starts_with_nocase(const char* p, size_t n, const char* prefix) {
    size_t k = std::strlen(prefix);
    if (n < k) return false;
    for (size_t i = 0; i < k; ++i)
        if (std::tolower(static_cast<unsigned char>(p[i])) != prefix[i]) return false;
    return true;
}

size_t trailing_crlf(const char* p, size_t n) {
    size_t k = 0;
    while (k < n && (p[n - 1 - k] == '\r' || p[n - 1 - k] == '\n')) ++k;
    return k;
}

// "identity" or nothing: the body is the representation itself.
bool is_identity_coding(std::string value) {
    std::string v;
    for (char c : value)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            v += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return v.empty() || v == "identity";
}

size_t on_header(char* p, size_t size, size_t nitems, void* userdata) {
    auto& t = *static_cast<Transfer*>(userdata);
    size_t n = size * nitems;
    t.last_activity = Clock::now();
    std::string_view line(p, n);
    if (is_status_line(line)) {
        // A new response begins (a redirect or 1xx before it).
        StatusLine s = parse_status_line(line);
        t.status = s.status;
        t.reason = std::move(s.reason);
        t.has_location = false;
    } else if (is_location_header(line)) {
        t.has_location = true;
    } else if (t.ranged && t.status == 206 && starts_with_nocase(p, n, "content-encoding:") &&
               !is_identity_coding(std::string(p + 17, n - 17))) {
        // A range of a compressed representation is not a range of the file.
        t.error = std::make_exception_ptr(runtime_error("range answered with a compressed body (Content-Encoding:" +
                                                        std::string(p + 17, n - 17 - trailing_crlf(p, n)) + ")"));
        return 0;
    }
    return n;
}

// Room for the announced length at once (within the limit): a body that
// grows piece by piece moves and touches fresh memory at every doubling.
void reserve_for_body(Transfer& t) {
    constexpr curl_off_t kMostReserved = curl_off_t(16) << 20;
    curl_off_t length = -1;
    if (!t.easy || curl_easy_getinfo(t.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK || length <= 0)
        return;
    length = std::min(length, kMostReserved);
    if (t.max_memory) length = std::min(length, static_cast<curl_off_t>(t.max_memory));
    t.memory->reserve(static_cast<size_t>(length));
}

size_t on_body(char* p, size_t size, size_t nmemb, void* userdata) {
    auto& t = *static_cast<Transfer*>(userdata);
    size_t n = size * nmemb;
    t.last_activity = Clock::now();
    try {
        if (!t.begun) {
            // The body of a redirect that is being followed is not the answer.
            if (t.follows_redirects && t.status >= 300 && t.status < 400 && t.has_location) return n;
            t.begun = true;
            t.accepted = t.sink ? t.sink->begin(t.status) : true;
            if (t.accepted && t.memory) reserve_for_body(t);
        }
        if (!t.accepted) return n;
        if (t.sink) t.sink->write(p, n);
        else if (t.memory) {
            if (t.max_memory && n > t.max_memory - std::min(t.max_memory, t.memory->size()))
                throw runtime_error("response body longer than " + std::to_string(t.max_memory) + " bytes");
            t.memory->append(p, n);
        }
        return n;
    } catch (...) {
        t.error = std::current_exception();
        return n == 0 ? 1 : 0;  // any count other than n aborts the transfer
    }
}

int on_progress(void* userdata, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto& t = *static_cast<Transfer*>(userdata);
    if (down != t.last_down || up != t.last_up) {
        t.last_down = down;
        t.last_up = up;
        t.last_activity = Clock::now();
    }
    return 0;
}

int on_prereq(void* userdata, char*, char*, int, int) {
    auto& t = *static_cast<Transfer*>(userdata);
    t.connected = true;
    t.last_activity = Clock::now();
    return CURL_PREREQFUNC_OK;
}

// The content of a file part, read from a file the library opened itself (so
// that UTF-8 paths work on every platform, where libcurl's own opening of a
// named file would take the path in the local code page on Windows).
size_t part_read(char* buf, size_t size, size_t nitems, void* arg) {
    auto* f = static_cast<std::FILE*>(arg);
    size_t n = std::fread(buf, 1, size * nitems, f);
    if (n == 0 && std::ferror(f)) return CURL_READFUNC_ABORT;
    return n;
}

int part_seek(void* arg, curl_off_t offset, int origin) {
    if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
    try {
        seek_to(static_cast<std::FILE*>(arg), static_cast<uint64_t>(offset), {});
        return CURL_SEEKFUNC_OK;
    } catch (const std::exception&) {
        return CURL_SEEKFUNC_FAIL;
    }
}

// libcurl guesses a scheme for a URL without one; urllib refuses such a URL.
void check_scheme(const std::string& url) {
    size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0) throw value_error("unknown url type: " + py_repr(url));
    std::string scheme = url.substr(0, sep);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "http" && scheme != "https") throw UrlError("unknown url type: " + scheme);
}

bool is_https(const std::string& url) {
    return url.size() >= 8 && std::equal(url.begin(), url.begin() + 8, "https://", [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

std::string os_text(long errnum) {
    return "[Errno " + std::to_string(errnum) + "] " + std::strerror(static_cast<int>(errnum));
}

}  // namespace

namespace detail {

void prepare(CURL* e, Transfer& t, const std::string& url, double timeout, curl_slist* headers,
             const TlsTrust& trust) {
    check_scheme(url);
    curl_easy_reset(e);
    t.easy = e;
    t.errbuf[0] = '\0';
    long connect_ms = timeout > 0 ? static_cast<long>(timeout * 1000.0) : 1;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects));
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    // Once on https, never down to plain http.
    t.https = is_https(url);
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, t.https ? "https" : "http,https");
    // The minimum rate, over a window as long as the silence timeout.
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, kMinRate);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, static_cast<long>(std::ceil(std::max(timeout, 0.001) * transfer_time_scale()))));
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, connect_ms > 0 ? connect_ms : 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    apply_tls_trust(e, trust);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, static_cast<long>(kChunkSize));
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errbuf);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, on_progress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, on_prereq);
    curl_easy_setopt(e, CURLOPT_PREREQDATA, &t);
    if (headers) curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);
}

SlistPtr prepare_file_get(CURL* e, Transfer& t, const std::string& url, double timeout,
                          std::optional<std::pair<uint64_t, uint64_t>> range, const TlsTrust& trust) {
    // Files are asked for as they are ("identity": ranges must be ranges of the
    // file itself), yet a body a server compresses unasked is decoded, never
    // stored compressed; a compressed 206 fails the request (on_header).
    SlistPtr headers(curl_slist_append(nullptr, "Accept-Encoding: identity"));
    if (!headers) throw std::bad_alloc();
    if (range) {
        std::string h = "Range: bytes=" + std::to_string(range->first) + "-" + std::to_string(range->second);
        if (!curl_slist_append(headers.get(), h.c_str())) throw std::bad_alloc();
        t.ranged = true;
    }
    prepare(e, t, url, timeout, headers.get(), trust);
    curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
    return headers;
}

bool stalled(const Transfer& t, Clock::time_point now, double timeout) {
    const auto limit = std::chrono::duration<double>(timeout > 0 ? timeout : 0.001);
    return t.connected && now - t.last_activity > limit;
}

void set_ends(Transfer& t, double timeout, double deadline, std::optional<Clock::time_point> end) {
    const auto now = Clock::now();
    const double overall = (deadline > 0 ? deadline : 2 * std::max(timeout, 0.001)) * transfer_time_scale();
    t.ends = deadline < 0 ? Clock::time_point::max()
                          : now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(overall));
    if (end && *end < t.ends) t.ends = *end;
    if (now >= t.ends) throw timeout_error("timed out (no time left for this request)");
}

std::exception_ptr overdue(const Transfer& t, Clock::time_point now, double timeout) {
    if (stalled(t, now, timeout)) return std::make_exception_ptr(timeout_error("timed out"));
    if (now < t.ends) return nullptr;
    if (!t.connected) return std::make_exception_ptr(UrlError("timed out"));
    return std::make_exception_ptr(timeout_error("timed out (the transfer took too long)"));
}

namespace {

[[noreturn]] void fail(CURL* e, CURLcode rc, const Transfer& t, const std::string& url) {
    std::string text = t.errbuf[0] ? t.errbuf : curl_easy_strerror(rc);
    long os_errno = 0;
    curl_easy_getinfo(e, CURLINFO_OS_ERRNO, &os_errno);
    switch (rc) {
        case CURLE_URL_MALFORMAT:
            throw value_error("invalid URL: " + py_repr(url));
        case CURLE_UNSUPPORTED_PROTOCOL:
            if (t.has_location && t.https) throw UrlError("refused a redirect from https to plain http");
            throw UrlError(text);
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            throw UrlError(text);
        case CURLE_COULDNT_CONNECT:
            throw UrlError(os_errno ? os_text(os_errno) : text);
        case CURLE_OPERATION_TIMEDOUT:
            if (t.connected)  // the silence timeout, or curl's minimum-rate check ("too slow")
                throw timeout_error(std::strstr(text.c_str(), "too slow") ? "timed out (slower than the minimum rate)"
                                                                         : "timed out");
            throw UrlError("timed out");
        case CURLE_SEND_ERROR:
            throw UrlError(os_errno ? os_text(os_errno) : text);
        case CURLE_RECV_ERROR:
            if (os_errno) throw OsError(static_cast<int>(os_errno), std::strerror(static_cast<int>(os_errno)));
            throw OsError(ECONNRESET, text);
        case CURLE_GOT_NOTHING:
            if (os_errno) throw OsError(static_cast<int>(os_errno), std::strerror(static_cast<int>(os_errno)));
            throw OsError(ECONNRESET, "Remote end closed connection without response");
        case CURLE_PARTIAL_FILE:
            throw OsError(ECONNRESET, text);
        default:
            if (!t.connected) throw UrlError(text);
            throw runtime_error(text);
    }
}

}  // namespace

Response finish(CURL* e, CURLcode rc, Transfer& t, const std::string& url) {
    if (t.error) std::rethrow_exception(t.error);
    Response r;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &r.status);
    // HTTP/2 has no reason phrase; the standard one stands in, as Python shows it.
    r.reason = t.reason.empty() ? std::string(standard_reason_phrase(r.status)) : t.reason;
    char* final_url = nullptr;
    curl_easy_getinfo(e, CURLINFO_EFFECTIVE_URL, &final_url);
    r.url = final_url ? final_url : url;
    if (rc == CURLE_OK || rc == CURLE_TOO_MANY_REDIRECTS) {
        // Too many redirects: the last 3xx status stands as the answer.
        if (t.sink && !t.begun) {
            t.begun = true;
            t.sink->begin(r.status);
        }
        return r;
    }
    fail(e, rc, t, url);
}

}  // namespace detail

struct Session::Impl {
    MultiPtr multi;
    EasyPtr easy;
    TlsTrust trust;
    double deadline = 0;                   // seconds; 0: twice the timeout; negative: none
    std::optional<Clock::time_point> end;  // of the whole session

    Impl() {
        global_init();
        multi.reset(curl_multi_init());
        easy.reset(curl_easy_init());
        if (!multi || !easy) throw runtime_error("libcurl could not create a transfer handle");
        trust = tls_trust_from_environment();
    }

    void prepare(Transfer& t, const std::string& url, double timeout, curl_slist* headers) {
        detail::prepare(easy.get(), t, url, timeout, headers, trust);
    }

    Response run(Transfer& t, const std::string& url, double timeout) {
        set_ends(t, timeout, t.has_deadline ? deadline : -1.0, end);
        CURLM* m = multi.get();
        CURL* e = easy.get();
        if (curl_multi_add_handle(m, e) != CURLM_OK) throw runtime_error("libcurl could not start a transfer");
        struct Remove {
            CURLM* m;
            CURL* e;
            ~Remove() { curl_multi_remove_handle(m, e); }
        } remove{m, e};

        auto last_check = Clock::now();
        for (;;) {
            int running = 0;
            CURLMcode mc = curl_multi_perform(m, &running);
            if (mc != CURLM_OK) throw runtime_error(std::string("libcurl: ") + curl_multi_strerror(mc));
            if (!running) break;
            auto now = Clock::now();
            if (now - last_check >= kPollInterval) {
                last_check = now;
                host().check_interrupt();
            }
            if (auto late = overdue(t, now, timeout)) std::rethrow_exception(late);
            curl_multi_poll(m, nullptr, 0, static_cast<int>(kPollInterval.count()), nullptr);
        }

        CURLcode rc = CURLE_OK;
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(m, &queued))
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == e) rc = msg->data.result;
        return finish(e, rc, t, url);
    }
};

Session::Session() : impl_(std::make_unique<Impl>()) {}

CURLM* detail::SessionAccess::multi(Session& s) { return s.impl_->multi.get(); }
const TlsTrust& detail::SessionAccess::trust(Session& s) { return s.impl_->trust; }
std::optional<Clock::time_point> detail::SessionAccess::end(Session& s) { return s.impl_->end; }
Session::~Session() = default;
void Session::set_deadline(double seconds) { impl_->deadline = seconds; }
void Session::set_end(std::optional<Clock::time_point> end) { impl_->end = end; }

double transfer_time_scale() {
    std::optional<std::string> v = host().getenv("TARVIK_TRANSFER_TIME_SCALE");
    if (!v || v->empty()) return 1.0;
    char* stop = nullptr;
    double x = std::strtod(v->c_str(), &stop);
    return stop && *stop == '\0' && x > 0 && x <= 1 ? x : 1.0;
}

namespace {
SlistPtr no_expect(SlistPtr list = SlistPtr()) {
    // Uploads go out at once instead of waiting for "100 Continue".
    return SlistPtr(curl_slist_append(list.release(), "Expect:"));
}
}  // namespace

Response Session::get(const std::string& url, double timeout, size_t max_body) {
    Transfer t;
    std::string body;
    t.memory = &body;
    t.max_memory = max_body;
    impl_->prepare(t, url, timeout, nullptr);
    // Offered every coding this libcurl decodes (gzip, deflate, br, zstd); the
    // body arrives decoded.
    curl_easy_setopt(impl_->easy.get(), CURLOPT_ACCEPT_ENCODING, "");
    Response r = impl_->run(t, url, timeout);
    r.body = std::move(body);
    return r;
}

Response Session::head(const std::string& url, double timeout) {
    Transfer t;
    impl_->prepare(t, url, timeout, nullptr);
    curl_easy_setopt(impl_->easy.get(), CURLOPT_NOBODY, 1L);
    return impl_->run(t, url, timeout);
}

Response Session::get_to(const std::string& url, double timeout, BodySink& sink,
                         std::optional<std::pair<uint64_t, uint64_t>> range) {
    Transfer t;
    t.sink = &sink;
    SlistPtr headers = prepare_file_get(impl_->easy.get(), t, url, timeout, range, impl_->trust);
    return impl_->run(t, url, timeout);
}

Response Session::post_multipart(const std::string& url, double timeout,
                                 const std::vector<FormField>& fields,
                                 const std::vector<FilePart>& files) {
    for (const FilePart& f : files) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(f.path, ec))
            throw OsError(ENOENT, std::strerror(ENOENT), path_text(f.path));
    }
    Transfer t;
    std::string body;
    t.memory = &body;
    SlistPtr headers = no_expect();
    impl_->prepare(t, url, timeout, headers.get());
    CURL* e = impl_->easy.get();
    // An upload is not redirected: followed, a 301-303 turns it into a GET
    // whose answer says nothing about the files. The caller sees the 3xx.
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    t.follows_redirects = false;
    // Each upload on a connection of its own, closed after it: on a reused
    // connection that the server closed, libcurl would send the request again
    // by itself, and a batch the server may have taken would go twice.
    curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
    t.has_deadline = false;
    std::unique_ptr<curl_mime, MimeFree> mime(curl_mime_init(e));
    if (!mime) throw std::bad_alloc();
    std::vector<UniqueFile> contents;  // closed after the transfer, or when it fails
    contents.reserve(files.size());
    for (const FormField& f : fields) {
        curl_mimepart* part = curl_mime_addpart(mime.get());
        curl_mime_name(part, f.name.c_str());
        curl_mime_data(part, f.value.data(), f.value.size());
    }
    for (const FilePart& f : files) {
        curl_mimepart* part = curl_mime_addpart(mime.get());
        curl_mime_name(part, f.name.c_str());
        UniqueFile& content = contents.emplace_back(open_file(f.path, "rb"));
        std::error_code ec;
        uintmax_t size = std::filesystem::file_size(f.path, ec);
        if (ec) throw OsError(ec.value(), ec.message(), path_text(f.path));
        if (curl_mime_data_cb(part, static_cast<curl_off_t>(size), part_read, part_seek, nullptr,
                              content.get()) != CURLE_OK)
            throw OsError(EIO, "cannot attach the file to the upload", path_text(f.path));
        curl_mime_filename(part, f.filename.c_str());
        curl_mime_type(part, f.content_type.c_str());
    }
    curl_easy_setopt(e, CURLOPT_MIMEPOST, mime.get());
    Response r = impl_->run(t, url, timeout);
    r.body = std::move(body);
    return r;
}

std::optional<UrlParts> split_url(const std::string& url) {
    global_init();
    std::unique_ptr<CURLU, UrlFree> u(curl_url());
    if (!u) return std::nullopt;
    if (curl_url_set(u.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    auto part = [&](CURLUPart which, std::string& out) {
        char* s = nullptr;
        CURLUcode rc = curl_url_get(u.get(), which, &s, 0);
        if (rc != CURLUE_OK) return rc;
        out = s;
        curl_free(s);
        return rc;
    };
    UrlParts p;
    if (part(CURLUPART_SCHEME, p.scheme) != CURLUE_OK) return std::nullopt;
    part(CURLUPART_HOST, p.host);
    part(CURLUPART_PORT, p.port);
    if (p.host.size() >= 2 && p.host.front() == '[' && p.host.back() == ']')
        p.host = p.host.substr(1, p.host.size() - 2);
    return p;
}

}  // namespace tarvik::http
