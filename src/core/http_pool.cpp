#include "core/http_pool.hpp"

#include <algorithm>
#include <set>
#include <thread>

#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/http_transfer.hpp"

namespace tarvik::http {

using namespace detail;

namespace {

// One easy handle and the state of the request it carries. Handles are reused,
// their connections stay in the multi handle's cache.
struct Slot {
    EasyPtr easy;
    Transfer t;
    SlistPtr headers;
    std::string url, host;
    double timeout = 0;
    Pool::Id id = 0;
    bool busy = false;
};

std::string host_key(const std::string& url) {
    auto parts = split_url(url);
    return parts ? parts->scheme + "://" + parts->host + ":" + parts->port : url;
}

// A failure before any answer arrived that a refused or at once closed
// connection produces. Judged refused when another connection to the same host
// has answered or carries a request at that moment.
bool connection_failure(CURLcode rc) {
    return rc == CURLE_COULDNT_CONNECT || rc == CURLE_GOT_NOTHING || rc == CURLE_RECV_ERROR ||
           rc == CURLE_SEND_ERROR;
}

}  // namespace

struct Pool::Impl {
    MultiPtr owned;
    CURLM* multi = nullptr;  // owned, or the borrowed session's
    TlsTrust trust;          // read from the environment, or the borrowed session's
    std::optional<Clock::time_point> end;  // the borrowed session's end
    std::vector<std::unique_ptr<Slot>> slots;
    int capacity = 1;
    Id next_id = 1;
    std::set<std::string> answering_hosts;  // hosts that answered a request of this pool
    Clock::time_point last_check = Clock::now();

    Slot* find(Id id) {
        for (auto& s : slots)
            if (s->busy && s->id == id) return s.get();
        return nullptr;
    }

    void release(Slot& s) {
        curl_multi_remove_handle(multi, s.easy.get());
        s.busy = false;
        s.headers.reset();
    }

    bool refused(const Slot& s, CURLcode rc) {
        if (!connection_failure(rc) || s.t.status != 0 || s.t.begun) return false;
        if (answering_hosts.count(s.host)) return true;
        return std::any_of(slots.begin(), slots.end(), [&](const auto& o) {
            return o.get() != &s && o->busy && o->host == s.host && (o->t.connected || o->t.status != 0);
        });
    }

    Outcome judge(Slot& s, CURLcode rc) {
        Outcome o;
        o.id = s.id;
        if (s.t.status != 0) answering_hosts.insert(s.host);
        try {
            o.response = finish(s.easy.get(), rc, s.t, s.url);
        } catch (const std::exception&) {
            o.error = std::current_exception();
            o.refused = refused(s, rc);
        }
        if (o.refused) {
            int others = static_cast<int>(std::count_if(slots.begin(), slots.end(),
                                                        [&](const auto& x) { return x->busy && x.get() != &s; }));
            capacity = std::max(1, std::min(capacity - 1, others));
        }
        release(s);
        return o;
    }
};

// Room in the connection cache for two connections a transfer: one to the
// address asked and one to where it redirects, so that a redirecting server
// does not cost a new connection for every file.
namespace {
void keep_connections(CURLM* multi, int capacity) {
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(2 * capacity));
}
}  // namespace

Pool::Pool(int connections) : impl_(std::make_unique<Impl>()) {
    global_init();
    impl_->owned.reset(curl_multi_init());
    if (!impl_->owned) throw runtime_error("libcurl could not create a transfer handle");
    impl_->multi = impl_->owned.get();
    impl_->trust = tls_trust_from_environment();
    impl_->capacity = std::max(1, connections);
    keep_connections(impl_->multi, impl_->capacity);
}

Pool::Pool(Session& borrowed, int connections) : impl_(std::make_unique<Impl>()) {
    impl_->multi = SessionAccess::multi(borrowed);
    impl_->trust = SessionAccess::trust(borrowed);
    impl_->end = SessionAccess::end(borrowed);
    impl_->capacity = std::max(1, connections);
    keep_connections(impl_->multi, impl_->capacity);
}

Pool::~Pool() {
    for (auto& s : impl_->slots)
        if (s->busy) curl_multi_remove_handle(impl_->multi, s->easy.get());
}

int Pool::capacity() const { return impl_->capacity; }

int Pool::running() const {
    return static_cast<int>(std::count_if(impl_->slots.begin(), impl_->slots.end(),
                                          [](const auto& s) { return s->busy; }));
}

Pool::Id Pool::start(const std::string& url, double timeout, BodySink& sink,
                     std::optional<std::pair<uint64_t, uint64_t>> range, double deadline, bool fresh) {
    if (running() >= capacity()) throw runtime_error("no free connection in the transfer pool");
    Slot* slot = nullptr;
    for (auto& s : impl_->slots)
        if (!s->busy) slot = s.get();
    if (!slot) {
        auto fresh = std::make_unique<Slot>();
        fresh->easy.reset(curl_easy_init());
        if (!fresh->easy) throw runtime_error("libcurl could not create a transfer handle");
        slot = impl_->slots.emplace_back(std::move(fresh)).get();
    }
    slot->t = Transfer{};
    slot->t.sink = &sink;
    slot->headers = prepare_file_get(slot->easy.get(), slot->t, url, timeout, range, impl_->trust);
    curl_easy_setopt(slot->easy.get(), CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);
    set_ends(slot->t, timeout, deadline, impl_->end);
    slot->url = url;
    slot->host = host_key(url);
    slot->timeout = timeout;
    if (curl_multi_add_handle(impl_->multi, slot->easy.get()) != CURLM_OK)
        throw runtime_error("libcurl could not start a transfer");
    slot->busy = true;
    slot->id = impl_->next_id++;
    return slot->id;
}

std::vector<Pool::Outcome> Pool::wait(Clock::time_point until) {
    Impl& p = *impl_;
    std::vector<Outcome> done;
    for (;;) {
        auto now = Clock::now();
        if (now - p.last_check >= kPollInterval) {
            p.last_check = now;
            host().check_interrupt();
        }
        int still_running = 0;
        CURLMcode mc = curl_multi_perform(p.multi, &still_running);
        if (mc != CURLM_OK) throw runtime_error(std::string("libcurl: ") + curl_multi_strerror(mc));
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(p.multi, &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            CURL* e = msg->easy_handle;
            CURLcode rc = msg->data.result;
            for (auto& s : p.slots)
                if (s->busy && s->easy.get() == e) done.push_back(p.judge(*s, rc));
        }
        now = Clock::now();
        for (auto& s : p.slots) {
            if (!s->busy) continue;
            std::exception_ptr late = overdue(s->t, now, s->timeout);
            if (!late) continue;
            Outcome o;
            o.id = s->id;
            o.error = late;
            p.release(*s);
            done.push_back(std::move(o));
        }
        if (!done.empty() || now >= until) return done;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now) + std::chrono::milliseconds(1);
        int ms = static_cast<int>(std::min<std::chrono::milliseconds>(left, kPollInterval).count());
        if (running() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        else curl_multi_poll(p.multi, nullptr, 0, ms, nullptr);
    }
}

void Pool::cancel(Id id) {
    if (Slot* s = impl_->find(id)) impl_->release(*s);
}

}  // namespace tarvik::http
