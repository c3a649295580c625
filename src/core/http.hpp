// HTTP over libcurl: one Session per operation, owning one easy handle (and the
// connection pool it uses), so that the requests of an operation share kept-alive
// connections. Several GETs at once: http_pool.hpp.
//
// Every request: User-Agent "Ostervane-Updater", redirects followed (at most 10),
// http and https only (a request that starts on https is never redirected to
// http), TLS verification on against the certificate authorities of
// core/tls_trust.hpp, no signals. The timeout bounds the connect (and TLS
// handshake) and every later wait for data. Besides that silence timeout
// every request has a minimum rate (kMinRate bytes per second, measured over a
// window as long as the timeout) and an overall deadline (twice the timeout
// unless the session sets another), and a session may set an end that no
// request outlives: a server that drips bytes cannot hold a caller for ever.
// Each bound ends the request as a "TimeoutError".
//
// The HTTP status of the final response is returned, never thrown: each caller
// decides what a status means. Its reason phrase is the standard one when the
// status line has none (HTTP/2 never has one). Transport failures are thrown with the kinds that
// Python callers know from urllib:
//   - resolving, connecting, the TLS handshake or sending the request fails
//     or times out: UrlError (reason: the failure's text);
//   - no data for `timeout` seconds once the request is on its way:
//     Error of kind TimeoutError ("timed out");
//   - the connection breaks while the response is read (reset, closed early,
//     truncated body): OsError (ECONNRESET unless the system gave another errno);
//   - anything else: Error of kind RuntimeError with libcurl's text.
// Ctrl-C (the host's interrupt check, run regularly) aborts a transfer and the
// interrupt is rethrown; an exception thrown by a BodySink is rethrown as well.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::http {

inline constexpr const char* kUserAgent = "Ostervane-Updater";
inline constexpr int kMaxRedirects = 10;
inline constexpr size_t kChunkSize = 65536;
inline constexpr long kMinRate = 1024;  // bytes per second

using Clock = std::chrono::steady_clock;

// TARVIK_TRANSFER_TIME_SCALE (a number between 0 and 1, for tests only)
// shortens the overall deadlines, the session end and the minimum-rate window;
// the silence timeouts stay as given. 1 when unset or invalid.
double transfer_time_scale();

struct Response {
    long status = 0;          // status of the final response (after redirects)
    std::string reason;       // reason phrase of its status line (may be empty)
    std::string body;         // the body, for requests that keep it in memory
    std::string url;          // the final URL
};

// Receives a streamed body. begin() is called once with the final status before
// the first body byte (or after the transfer when the body is empty); when it
// returns false the body is read and dropped. write() gets the body in pieces of
// at most kChunkSize bytes. Neither is called when the response never arrives.
class BodySink {
public:
    virtual ~BodySink() = default;
    virtual bool begin(long status) = 0;
    virtual void write(const char* data, size_t n) = 0;
};

struct FormField {
    std::string name, value;
};

// A file part of a multipart upload; the content streams from `path`.
struct FilePart {
    std::string name, filename;
    std::filesystem::path path;
    std::string content_type = "application/octet-stream";
};

namespace detail {
struct SessionAccess;
}

class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Overall deadline in seconds for the following requests (0: twice their
    // timeout; negative: none), scaled by transfer_time_scale().
    void set_deadline(double seconds);
    // No later request runs past this point (nullopt: no such end). A request
    // started after it fails at once.
    void set_end(std::optional<Clock::time_point> end);

    // GET with the body kept in memory, offering every content coding libcurl
    // decodes; the body is the decoded one. With max_body (not 0) a longer
    // (decoded) body aborts the transfer with an Error of kind RuntimeError.
    Response get(const std::string& url, double timeout, size_t max_body = 0);
    // HEAD: status and reason only.
    Response head(const std::string& url, double timeout);
    // GET streaming the body to sink, asking for it uncompressed
    // ("Accept-Encoding: identity"); a body compressed unasked reaches the sink
    // decoded. With a range, the header "Range: bytes=first-last" is sent (last
    // inclusive), and a 206 answer with a content coding fails with
    // an Error of kind RuntimeError before the sink sees anything.
    Response get_to(const std::string& url, double timeout, BodySink& sink,
                    std::optional<std::pair<uint64_t, uint64_t>> range = std::nullopt);
    // POST multipart/form-data: the fields first, then the file parts, each read
    // from disk while it is sent. The response body is kept in memory.
    Response post_multipart(const std::string& url, double timeout,
                            const std::vector<FormField>& fields,
                            const std::vector<FilePart>& files);

private:
    friend struct detail::SessionAccess;  // a Pool may borrow its connections (http_pool.hpp)
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Scheme, host and port of a URL as libcurl parses it (host without brackets,
// port empty when the URL names none). nullopt when the URL does not parse.
struct UrlParts {
    std::string scheme, host, port;
};
std::optional<UrlParts> split_url(const std::string& url);

}  // namespace tarvik::http
