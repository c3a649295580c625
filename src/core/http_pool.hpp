// Several GETs at once over a small set of kept-alive connections (libcurl's
// multi interface), driven on the caller's thread so that Ctrl-C checks and the
// caller's own callbacks stay there.
//
// Every transfer is set up, watched and judged exactly as a Session request
// (http.hpp): same headers, redirects, timeouts and failure kinds. A transfer
// that fails before any answer while another connection to the same host works
// (the server refuses extra connections) is reported as `refused` and lowers
// the number of transfers the pool runs at once, never below one.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/http.hpp"

namespace tarvik::http {

class Pool {
public:
    using Id = uint64_t;
    using Clock = std::chrono::steady_clock;

    struct Outcome {
        Id id = 0;
        std::optional<Response> response;  // the answer, whatever its status, or
        std::exception_ptr error;          // the failure (kinds as in http.hpp)
        bool refused = false;              // failed only because the connection was refused
    };

    // At most `connections` transfers at once (at least 1).
    explicit Pool(int connections);
    // The same, using the session's kept-alive connections as well (the first
    // transfer goes over the connection the session already holds). The session
    // must outlive the pool and make no request while the pool exists.
    Pool(Session& borrowed, int connections);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // How many transfers may run at once now; start() needs running() < capacity().
    int capacity() const;
    int running() const;

    // Starts a GET streaming its body to sink (which must outlive the transfer);
    // with a range, "Range: bytes=first-last" is sent. `deadline` bounds the
    // whole transfer as Session::set_deadline does (0: twice the timeout;
    // negative: none), never past the borrowed session's end. A bad URL, or
    // no time left, throws here. A fresh transfer opens a connection of its
    // own instead of reusing a kept one.
    Id start(const std::string& url, double timeout, BodySink& sink,
             std::optional<std::pair<uint64_t, uint64_t>> range = std::nullopt, double deadline = 0,
             bool fresh = false);

    // Drives the transfers until at least one has ended or `until` has passed
    // (sleeping when none runs); returns those that ended. Checks the host for
    // Ctrl-C every poll interval and lets the interrupt through.
    std::vector<Outcome> wait(Clock::time_point until);

    // Stops a running transfer; nothing is reported for it.
    void cancel(Id id);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvik::http
