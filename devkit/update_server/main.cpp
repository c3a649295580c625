// tarvik-devserver: a development update server for publishing builds and
// updating installed copies on one machine. Ctrl-C or SIGTERM stops it.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include <httplib.h>

#include "channel_store.hpp"
#include "file_download.hpp"
#include "options.hpp"
#include "request_log.hpp"
#include "routes.hpp"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace {

constexpr size_t kWorkers = 32;

// Stops the server on SIGINT or SIGTERM. On POSIX the signals are blocked in
// every thread and taken by one waiting thread, which may call stop() safely.
class StopOnSignal {
public:
    explicit StopOnSignal(httplib::Server& server) : server_(server) {
#ifdef _WIN32
        g_server = &server;
        std::signal(SIGINT, [](int) { g_server->stop(); });
        std::signal(SIGTERM, [](int) { g_server->stop(); });
#else
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        waiter_ = std::thread([this] {
            int sig = 0;
            sigwait(&set_, &sig);
            if (done_) return;
            // The server may not be listening yet: repeat until it has stopped.
            while (!done_) {
                server_.stop();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
#endif
    }

    // Call after listening has ended.
    ~StopOnSignal() {
#ifndef _WIN32
        done_ = true;
        pthread_kill(waiter_.native_handle(), SIGTERM);  // wakes sigwait if still waiting
        waiter_.join();
#endif
    }

private:
    httplib::Server& server_;
#ifdef _WIN32
    static inline httplib::Server* g_server = nullptr;
#else
    sigset_t set_;
    std::atomic<bool> done_{false};
    std::thread waiter_;
#endif
};

}  // namespace

int main(int argc, char** argv) {
    using namespace devserver;
    auto options = parse_options(argc, argv);
    if (!options) return argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0) ? 0 : 2;

    std::error_code ec;
    std::filesystem::create_directories(options->root, ec);
    std::filesystem::path root = std::filesystem::absolute(options->root, ec);
    if (!std::filesystem::is_directory(root, ec)) {
        std::fprintf(stderr, "tarvik-devserver: cannot use %s as the root folder\n", options->root.c_str());
        return 1;
    }
    ChannelStore store(root);

    httplib::Server server;
    StopOnSignal stopper(server);  // before any thread starts, so all inherit the mask
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server.set_keep_alive_max_count(1000);
    server.set_keep_alive_timeout(5);
    server.set_read_timeout(60);
    server.set_write_timeout(60);
    // Rebinding right after a restart must work (SO_REUSEADDR), but a second
    // server must not share the port: the library's default would set
    // SO_REUSEPORT, which lets two servers listen on one port at once.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof(yes));
    });
    server.set_logger(log_request);
    if (options->delay_ms > 0) {
        // Every answer waits as it would behind a link with this round-trip time.
        const auto delay = std::chrono::milliseconds(options->delay_ms);
        server.set_pre_routing_handler([delay](const httplib::Request&, httplib::Response&) {
            std::this_thread::sleep_for(delay);
            return httplib::Server::HandlerResponse::Unhandled;
        });
    }
    set_body_rate(static_cast<uint64_t>(options->rate_kib) * 1024);
    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string why = "internal error";
        try {
            std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            why += std::string(": ") + e.what();
        } catch (...) {
        }
        res.status = 500;
        res.set_content(why, "text/plain");
        request_notes().note = why;
    });
    const std::optional<std::string> code = options->code;
    server.Get("[\\s\\S]*", [&store](const httplib::Request& req, httplib::Response& res) {
        route_get(store, req, res);
    });
    server.Post("[\\s\\S]*", [&store, &code](const httplib::Request& req, httplib::Response& res,
                                             const httplib::ContentReader& reader) {
        route_post(store, code, req, res, reader);
    });

    int port = options->port;
    errno = 0;
    bool bound = port == 0 ? (port = server.bind_to_any_port(options->host)) > 0
                           : server.bind_to_port(options->host, port);
    if (!bound) {
        int err = errno;
        std::fprintf(stderr, "tarvik-devserver: cannot listen on %s:%d: %s\n", options->host.c_str(),
                     options->port, err ? std::strerror(err) : "address unavailable");
        return 1;
    }
    log_line("tarvik-devserver: serving " + root.string() + " on http://" + options->host + ":" +
             std::to_string(port) + "/" + (code ? " (uploads need the code)" : ""));
    server.listen_after_bind();
    log_line("tarvik-devserver: stopped");
    return 0;
}
