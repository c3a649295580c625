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
#include "core/pytext.hpp"

namespace tarvik::http {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);

void global_init() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
            throw runtime_error("libcurl could not be initialised");
    });
}

struct EasyFree {
    void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
struct MultiFree {
    void operator()(CURLM* m) const noexcept { curl_multi_cleanup(m); }
};
struct SlistFree {
    void operator()(curl_slist* s) const noexcept { curl_slist_free_all(s); }
};
struct MimeFree {
    void operator()(curl_mime* m) const noexcept { curl_mime_free(m); }
};
struct UrlFree {
    void operator()(CURLU* u) const noexcept { curl_url_cleanup(u); }
};
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

// What the callbacks of one request share with the request loop.
struct Transfer {
    BodySink* sink = nullptr;     // streamed body, or
    std::string* memory = nullptr;  // body kept in memory, or neither (HEAD)
    size_t max_memory = 0;          // longest body kept in memory (0: no limit)
    bool begun = false, accepted = false;
    bool connected = false;       // the request is on its way
    long status = 0;              // of the response whose headers arrive now
    bool has_location = false;
    bool follows_redirects = true;
    std::string reason;
    Clock::time_point last_activity = Clock::now();
    curl_off_t last_down = 0, last_up = 0;
    std::exception_ptr error;     // thrown by the sink
    bool has_deadline = true;     // uploads have none: their size is the caller's
};

bool starts_with_nocase(const char* p, size_t n, const char* prefix) {
    size_t k = std::strlen(prefix);
    if (n < k) return false;
    for (size_t i = 0; i < k; ++i)
        if (std::tolower(static_cast<unsigned char>(p[i])) != prefix[i]) return false;
    return true;
}

size_t on_header(char* p, size_t size, size_t nitems, void* userdata) {
    auto& t = *static_cast<Transfer*>(userdata);
    size_t n = size * nitems;
    t.last_activity = Clock::now();
    if (n > 5 && std::memcmp(p, "HTTP/", 5) == 0) {
        // "HTTP/1.1 404 Not Found": a new response begins (a redirect or 1xx before it).
        std::string line(p, n);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        size_t sp = line.find(' ');
        t.status = 0;
        t.reason.clear();
        t.has_location = false;
        if (sp != std::string::npos) {
            t.status = std::strtol(line.c_str() + sp + 1, nullptr, 10);
            size_t sp2 = line.find(' ', sp + 1);
            // Read as ISO-8859-1, as Python's http.client reads the status line.
            if (sp2 != std::string::npos)
                for (size_t i = sp2 + 1; i < line.size(); ++i)
                    append_utf8(t.reason, static_cast<unsigned char>(line[i]));
        }
    } else if (starts_with_nocase(p, n, "location:")) {
        t.has_location = true;
    }
    return n;
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

struct Session::Impl {
    std::unique_ptr<CURLM, MultiFree> multi;
    std::unique_ptr<CURL, EasyFree> easy;
    char errbuf[CURL_ERROR_SIZE] = {};
    double deadline = 0;                    // seconds; 0: twice the timeout; negative: none
    std::optional<Clock::time_point> end;   // of the whole session
    const double scale = transfer_time_scale();
    // OpenSSL's own variables for other trust roots, as Python's ssl honours them.
    const std::optional<std::string> ca_file = host().getenv("SSL_CERT_FILE");
    const std::optional<std::string> ca_dir = host().getenv("SSL_CERT_DIR");

    Impl() {
        global_init();
        multi.reset(curl_multi_init());
        easy.reset(curl_easy_init());
        if (!multi || !easy) throw runtime_error("libcurl could not create a transfer handle");
    }

    // Resets the handle (its connections stay in the pool) and sets what every
    // request shares.
    void prepare(Transfer& t, const std::string& url, double timeout, curl_slist* headers) {
        check_scheme(url);
        CURL* e = easy.get();
        curl_easy_reset(e);
        errbuf[0] = '\0';
        long connect_ms = timeout > 0 ? static_cast<long>(timeout * 1000.0) : 1;
        curl_easy_setopt(e, CURLOPT_URL, url.c_str());
        curl_easy_setopt(e, CURLOPT_USERAGENT, kUserAgent);
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects));
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        // Once on https, never down to plain http.
        curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, is_https(url) ? "https" : "http,https");
        // The minimum rate, over a window as long as the silence timeout.
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, kMinRate);
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
                         std::max(1L, static_cast<long>(std::ceil(std::max(timeout, 0.001) * scale))));
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, connect_ms > 0 ? connect_ms : 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
        if (ca_file && !ca_file->empty()) curl_easy_setopt(e, CURLOPT_CAINFO, ca_file->c_str());
        if (ca_dir && !ca_dir->empty()) curl_easy_setopt(e, CURLOPT_CAPATH, ca_dir->c_str());
        curl_easy_setopt(e, CURLOPT_BUFFERSIZE, static_cast<long>(kChunkSize));
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errbuf);
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

    Response run(Transfer& t, const std::string& url, double timeout) {
        CURLM* m = multi.get();
        CURL* e = easy.get();
        if (curl_multi_add_handle(m, e) != CURLM_OK) throw runtime_error("libcurl could not start a transfer");
        struct Remove {
            CURLM* m;
            CURL* e;
            ~Remove() { curl_multi_remove_handle(m, e); }
        } remove{m, e};

        const auto limit = std::chrono::duration<double>(timeout > 0 ? timeout : 0.001);
        auto last_check = Clock::now();
        const double overall = (deadline > 0 ? deadline : 2 * std::max(timeout, 0.001)) * scale;
        Clock::time_point finish =
            last_check + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(overall));
        if (!t.has_deadline || deadline < 0) finish = Clock::time_point::max();
        if (end && *end < finish) finish = *end;
        if (last_check >= finish) throw timeout_error("timed out (no time left for this request)");
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
            if (t.connected && now - t.last_activity > limit) throw timeout_error("timed out");
            if (now >= finish) {
                if (!t.connected) throw UrlError("timed out");
                throw timeout_error("timed out (the transfer took too long)");
            }
            curl_multi_poll(m, nullptr, 0, static_cast<int>(kPollInterval.count()), nullptr);
        }

        CURLcode rc = CURLE_OK;
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(m, &queued))
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == e) rc = msg->data.result;
        if (t.error) std::rethrow_exception(t.error);

        Response r;
        curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &r.status);
        r.reason = t.reason;
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
        fail(rc, t, url);
    }

    [[noreturn]] void fail(CURLcode rc, const Transfer& t, const std::string& url) {
        std::string text = errbuf[0] ? errbuf : curl_easy_strerror(rc);
        long os_errno = 0;
        curl_easy_getinfo(easy.get(), CURLINFO_OS_ERRNO, &os_errno);
        switch (rc) {
            case CURLE_URL_MALFORMAT:
                throw value_error("invalid URL: " + py_repr(url));
            case CURLE_UNSUPPORTED_PROTOCOL:
                if (t.has_location && is_https(url)) throw UrlError("refused a redirect from https to plain http");
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
};

Session::Session() : impl_(std::make_unique<Impl>()) {}
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
    SlistPtr headers;
    if (range) {
        std::string h = "Range: bytes=" + std::to_string(range->first) + "-" + std::to_string(range->second);
        headers.reset(curl_slist_append(nullptr, h.c_str()));
    }
    impl_->prepare(t, url, timeout, headers.get());
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
