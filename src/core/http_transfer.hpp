// The pieces of one libcurl transfer that a single-request Session and the
// parallel Pool share: the per-request callback state, the handle setup, the
// stall check and the mapping of the outcome onto a Response or a failure.
// Internal to src/core/http*.cpp.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "core/http.hpp"
#include "core/tls_trust.hpp"

namespace tarvik::http::detail {

using Clock = std::chrono::steady_clock;
inline constexpr auto kPollInterval = std::chrono::milliseconds(100);

void global_init();

struct EasyFree {
    void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
struct MultiFree {
    void operator()(CURLM* m) const noexcept { curl_multi_cleanup(m); }
};
struct SlistFree {
    void operator()(curl_slist* s) const noexcept { curl_slist_free_all(s); }
};
using EasyPtr = std::unique_ptr<CURL, EasyFree>;
using MultiPtr = std::unique_ptr<CURLM, MultiFree>;
using SlistPtr = std::unique_ptr<curl_slist, SlistFree>;

// What the callbacks of one request share with the loop that drives it.
struct Transfer {
    CURL* easy = nullptr;           // the handle it runs on (set by prepare)
    BodySink* sink = nullptr;       // streamed body, or
    std::string* memory = nullptr;  // body kept in memory, or neither (HEAD)
    size_t max_memory = 0;          // longest body kept in memory (0: no limit)
    bool begun = false, accepted = false;
    bool connected = false;         // the request is on its way
    long status = 0;                // of the response whose headers arrive now
    bool has_location = false;
    bool follows_redirects = true;
    bool ranged = false;            // a Range header was sent
    std::string reason;
    Clock::time_point last_activity = Clock::now();
    curl_off_t last_down = 0, last_up = 0;
    std::exception_ptr error;       // thrown by the sink
    char errbuf[CURL_ERROR_SIZE] = {};
    bool https = false;             // started on https: never redirected to http
    bool has_deadline = true;       // uploads have none: their size is the caller's
    Clock::time_point ends = Clock::time_point::max();  // the overall deadline
};

// Resets the handle (its connections stay in the pool it belongs to) and sets
// what every request shares, the certificate authorities to trust included.
// Throws for a URL that is not http or https.
void prepare(CURL* e, Transfer& t, const std::string& url, double timeout, curl_slist* headers,
             const TlsTrust& trust);

// The multi handle (and so the connection cache) of a session.
struct SessionAccess {
    static CURLM* multi(Session& s);
    static const TlsTrust& trust(Session& s);
    static std::optional<Clock::time_point> end(Session& s);
};

// prepare() for a GET of a file or of one range of it: the file asked for
// uncompressed ("Accept-Encoding: identity", with "Range: bytes=first-last"),
// a body compressed unasked decoded all the same. The header list returned
// must outlive the transfer.
SlistPtr prepare_file_get(CURL* e, Transfer& t, const std::string& url, double timeout,
                          std::optional<std::pair<uint64_t, uint64_t>> range, const TlsTrust& trust);

// True when the request is on its way and no data came for `timeout` seconds.
bool stalled(const Transfer& t, Clock::time_point now, double timeout);

// Sets the transfer's overall deadline: `deadline` seconds (0: twice the
// timeout; negative: none), scaled by transfer_time_scale(), and never past
// `end`. Throws TimeoutError when no time is left at all.
void set_ends(Transfer& t, double timeout, double deadline, std::optional<Clock::time_point> end);

// The failure of a transfer that is stalled (TimeoutError) or past its overall
// deadline (UrlError before the request is on its way, else TimeoutError);
// null while it may go on.
std::exception_ptr overdue(const Transfer& t, Clock::time_point now, double timeout);

// The outcome of a finished transfer: the Response, or the failure thrown with
// the kinds described in http.hpp (a sink's own exception rethrown).
Response finish(CURL* e, CURLcode rc, Transfer& t, const std::string& url);

}  // namespace tarvik::http::detail
