#include "update/parallel_fetch.hpp"

#include <algorithm>
#include <deque>
#include <exception>
#include <filesystem>
#include <memory>
#include <unordered_map>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"
#include "core/http_pool.hpp"
#include "core/sha256.hpp"
#include "update/failure_kinds.hpp"
#include "update/file_copy.hpp"
#include "update/file_sink.hpp"
#include "update/hashing.hpp"
#include "update/installation.hpp"
#include "update/progress_text.hpp"
#include "update/url_path.hpp"

namespace tarvik::update {

namespace fs = std::filesystem;

namespace {

using Clock = http::Pool::Clock;
constexpr int kDefaultConnections = 6;
constexpr int kMaxConnections = 16;
// Refused connections an item may meet before they count as failed attempts.
constexpr int kFreeRefusals = 8;

std::string last_component(const std::string& rel) {
    size_t slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

// Nothing reaches the installation unless it is what the manifest promised.
void verify(const fs::path& dest, const std::string& expected) {
    if (expected.empty()) throw runtime_error("the manifest gives no whole-file hash to check the download against");
    std::string got = sha256_file(dest);
    if (got != expected)
        throw runtime_error("downloaded file does not match the manifest (sha256 " + got + ", expected " +
                            expected + ")");
}

// A block's answer: a 206 goes into the staged copy at the block's offset; a
// whole file (the server ignored the range) into a side file, so that it
// cannot disturb the blocks still arriving, and replaces the copy once complete.
class RangeSink final : public http::BodySink {
public:
    // A 206 body may be as long as the block, a whole file as long as the
    // manifest allows (max_whole, 0: no bound).
    RangeSink(const fs::path& dest, const fs::path& whole, std::pair<uint64_t, uint64_t> range, uint64_t max_whole)
        : ranged_(dest, range.first, range.second - range.first + 1), whole_(whole, std::nullopt, 0, max_whole) {}
    bool begin(long status) override {
        active_ = status == 206 ? &ranged_ : &whole_;
        return active_->begin(status);
    }
    void write(const char* data, size_t n) override { active_->write(data, n); }
    void finish() {
        if (active_) active_->finish();
    }

private:
    FileSink ranged_, whole_;
    FileSink* active_ = nullptr;
};

struct Job {
    const DownloadItem* item = nullptr;
    std::string url, name;
    fs::path dest;
    bool blockwise = false;  // fetches ranges into a copy of the installed file
    bool prepared = false;   // the copy exists (or the parent folder, for a whole file)
    int open = 0;            // requests not yet completed
    bool whole_came = false; // a range was answered with the whole file
    bool ranges_known = false;  // the first block came as a range: the rest may go at once
    size_t blocks_fetched = 0;  // blocks that came as ranges
};

struct Request {
    size_t job = 0;
    std::optional<uint64_t> block;  // block index, or the whole file
    bool fallback = false;          // whole file after a block mismatch
    int attempts = 0, refusals = 0;
    Clock::time_point ready_at{};  // of the next attempt
    std::unique_ptr<FileSink> whole_sink;
    std::unique_ptr<RangeSink> range_sink;
};

class Fetcher {
public:
    Fetcher(http::Session& session, const std::vector<DownloadItem>& items, const FetchPlan& plan,
            Progress& progress)
        : plan_(plan), progress_(progress), pool_(session, plan.connections) {
        jobs_.reserve(items.size());
        for (const DownloadItem& item : items) {
            Job& j = jobs_.emplace_back();
            j.item = &item;
            j.url = plan.file_base_url + percent_encode_path(item.path);
            j.name = last_component(item.path);
            j.dest = path_from_utf8(join_relative(plan.staging_dir, item.path));
            j.blockwise = item.partial && !item.blocks.empty();
            if (j.blockwise) {
                total_ += static_cast<double>(item.blocks.size()) * static_cast<double>(item.block_size);
                add(jobs_.size() - 1, item.blocks.front());  // alone: the server may ignore ranges
            } else {
                add(jobs_.size() - 1, std::nullopt);
            }
        }
    }

    std::optional<FetchFailure> run() {
        if (progress_.has_bar()) {
            progress_.set_bar(0);
            report_progress(progress_, "Preparing to download " + std::to_string(jobs_.size()) + " files",
                            downloaded_, total_);
        }
        while (!pending_.empty() || !retrying_.empty() || !running_.empty()) {
            if (auto failed = start_ready()) return failed;
            for (http::Pool::Outcome& o : pool_.wait(next_wake()))
                if (auto failed = complete(o)) return failed;
        }
        return std::nullopt;
    }

private:
    // Queues a request: at the end, or next (the rest of a file already begun).
    void add(size_t job, std::optional<uint64_t> block, bool next = false, bool fallback = false) {
        Request& r = requests_.emplace_back();
        r.job = job;
        r.block = block;
        r.fallback = fallback;
        if (next) pending_.push_front(requests_.size() - 1);
        else pending_.push_back(requests_.size() - 1);
        ++jobs_[job].open;
    }

    // A request waiting to try again keeps its connection's place: with one
    // connection the files go strictly one after another, as they always did.
    int busy() const { return pool_.running() + static_cast<int>(retrying_.size()); }

    Clock::time_point next_wake() const {
        Clock::time_point wake = Clock::now() + std::chrono::seconds(1);
        for (size_t i : retrying_) wake = std::min(wake, requests_[i].ready_at);
        return wake;
    }

    // Starts the retries whose wait is over, then new requests while connections are free.
    std::optional<FetchFailure> start_ready() {
        const auto now = Clock::now();
        for (auto it = retrying_.begin(); it != retrying_.end() && pool_.running() < pool_.capacity();) {
            if (requests_[*it].ready_at > now) {
                ++it;
                continue;
            }
            if (auto failed = start(*it)) return failed;
            it = retrying_.erase(it);
        }
        while (!pending_.empty() && busy() < pool_.capacity()) {
            if (auto failed = start(pending_.front())) return failed;
            pending_.pop_front();
        }
        return std::nullopt;
    }

    std::optional<FetchFailure> start(size_t index) {
        try {
            begin(index);
        } catch (const std::exception& e) {
            return FetchFailure{jobs_[requests_[index].job].item->path, error_text(e)};
        }
        return std::nullopt;
    }

    void begin(size_t index) {
        Request& r = requests_[index];
        Job& j = jobs_[r.job];
        if (!j.prepared) {
            prepare(j);
            j.prepared = true;
        }
        http::BodySink* sink;
        std::optional<std::pair<uint64_t, uint64_t>> range;
        uint64_t longest = j.item->max_bytes;
        if (r.block) {
            range = block_range(*j.item, *r.block);
            r.range_sink = std::make_unique<RangeSink>(j.dest, side_path(j), *range, j.item->max_bytes);
            sink = r.range_sink.get();
            longest = std::max(longest, range->second - range->first + 1);
        } else {
            r.whole_sink = std::make_unique<FileSink>(j.dest, std::nullopt, 0, j.item->max_bytes);
            sink = r.whole_sink.get();
        }
        running_[pool_.start(j.url, kDownloadTimeout, *sink, range, file_deadline(longest))] = index;
    }

    // A blockwise file starts as a copy of the installed one (empty when there is none).
    void prepare(const Job& j) {
        fs::create_directories(j.dest.parent_path());
        if (!j.blockwise) return;
        const fs::path installed = path_from_utf8(join_relative(plan_.app_dir, j.item->path));
        std::error_code ec;
        if (fs::is_regular_file(installed, ec)) copy_content(installed, j.dest);
        else write_file(j.dest, "");
    }

    static fs::path side_path(const Job& j) {
        return j.dest.parent_path() / path_from_utf8("." + j.name + ".whole");
    }

    // Bytes of a block (last inclusive), clipped to the file's size when known.
    static std::pair<uint64_t, uint64_t> block_range(const DownloadItem& item, uint64_t block) {
        const uint64_t bs = item.block_size, first = block * bs;
        const bool sized = item.size && *item.size != 0;
        const uint64_t end = sized ? std::min((block + 1) * bs, *item.size) : first + bs;
        return {first, end - 1};
    }

    std::optional<FetchFailure> complete(http::Pool::Outcome& o) {
        auto found = running_.find(o.id);
        if (found == running_.end()) return std::nullopt;  // dropped while this batch came in
        const size_t index = found->second;
        running_.erase(found);
        Request& r = requests_[index];
        Job& j = jobs_[r.job];
        try {
            if (o.error) std::rethrow_exception(o.error);
            require_success(*o.response);
            if (r.range_sink) r.range_sink->finish();
            if (r.whole_sink) r.whole_sink->finish();
        } catch (const std::exception& e) {
            r.range_sink.reset();
            r.whole_sink.reset();
            if (o.refused && r.refusals < kFreeRefusals) {
                ++r.refusals;  // not the file's fault: again on a connection that works
                r.ready_at = Clock::now();
                pending_.push_front(index);
                return std::nullopt;
            }
            if (++r.attempts >= plan_.attempts) return FetchFailure{j.item->path, error_text(e)};
            r.ready_at = Clock::now() + std::chrono::seconds(r.attempts);
            retrying_.push_back(index);
            return std::nullopt;
        }
        try {
            --j.open;
            if (r.block) block_done(r, j, o.response->status == 206);
            else whole_done(r, j);
            r.range_sink.reset();
            r.whole_sink.reset();
        } catch (const std::exception& e) {
            return FetchFailure{j.item->path, error_text(e)};
        }
        return std::nullopt;
    }

    void whole_done(const Request& r, Job& j) {
        // A whole file, or one fetched again after its blocks did not add up:
        // nothing of it was in the planned total yet.
        count_whole_file(j, 0);
        if (!r.fallback) report_progress(progress_, "Downloading " + j.name, downloaded_, total_);
        verify(j.dest, j.item->sha256);
    }

    // A whole file arrived where `planned` bytes were counted in the total: the
    // total grows by what came beyond the plan, so progress never passes it.
    void count_whole_file(const Job& j, double planned) {
        std::error_code ec;
        const uintmax_t got = fs::file_size(j.dest, ec);
        const double size = ec ? 0.0 : static_cast<double>(got);
        total_ += size - planned;
        downloaded_ += size;
    }

    void block_done(const Request& r, Job& j, bool ranged) {
        const DownloadItem& item = *j.item;
        if (j.whole_came) return;  // a late block of a file that came whole
        if (ranged) {
            ++j.blocks_fetched;
            downloaded_ += static_cast<double>(item.block_size);
            report_progress(progress_, "Downloading " + j.name, downloaded_, total_);
            if (!j.ranges_known) {
                j.ranges_known = true;
                for (size_t k = item.blocks.size(); k-- > 1;) add(r.job, item.blocks[k], true);
            }
        } else {
            // The server sent the whole file: it replaces the copy, the other blocks are not needed.
            j.whole_came = true;
            drop_other_requests(r.job);
            j.open = 0;
            fs::rename(side_path(j), j.dest);
            count_whole_file(j, static_cast<double>(item.blocks.size() - j.blocks_fetched) *
                                    static_cast<double>(item.block_size));
            verify(j.dest, item.sha256);
            return;
        }
        if (j.open > 0) return;
        if (!item.sha256.empty() && sha256_if_readable(j.dest) == item.sha256) return;
        println("[Update] block verify mismatch for " + item.path + ", falling back to full download");
        add(r.job, std::nullopt, true, true);
    }

    void drop_other_requests(size_t job) {
        for (auto it = running_.begin(); it != running_.end();) {
            if (requests_[it->second].job == job) {
                pool_.cancel(it->first);
                requests_[it->second].range_sink.reset();
                it = running_.erase(it);
            } else {
                ++it;
            }
        }
        std::erase_if(pending_, [&](size_t i) { return requests_[i].job == job; });
        std::erase_if(retrying_, [&](size_t i) { return requests_[i].job == job; });
    }

    const FetchPlan& plan_;
    Progress& progress_;
    std::vector<Job> jobs_;
    std::deque<Request> requests_;  // stable addresses: sinks live here while they run
    std::deque<size_t> pending_;          // not started yet, in list order
    std::vector<size_t> retrying_;        // waiting before their next attempt
    std::unordered_map<http::Pool::Id, size_t> running_;
    double total_ = 0, downloaded_ = 0;
    http::Pool pool_;  // declared last: stopped before the sinks go
};

}  // namespace

int update_connections() {
    auto text = host().getenv("TARVIK_UPDATE_CONNECTIONS");
    if (!text) return kDefaultConnections;
    try {
        int n = std::stoi(*text);
        if (n >= 1 && n <= kMaxConnections) return n;
    } catch (const std::exception&) {
    }
    return kDefaultConnections;
}

std::optional<FetchFailure> fetch_all(http::Session& session, const std::vector<DownloadItem>& items,
                                      const FetchPlan& plan, Progress& progress) {
    return Fetcher(session, items, plan, progress).run();
}

}  // namespace tarvik::update
