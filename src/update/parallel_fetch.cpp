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
// Beyond any real file: a range from a first byte to here asks for the rest.
constexpr uint64_t kRestOfFile = uint64_t(1) << 50;

std::string last_component(const std::string& rel) {
    size_t slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

// Nothing reaches the installation unless it is what the manifest promised:
// the hash the staged file has, checked against the manifest's.
void verify(const std::string& got, const std::string& expected) {
    if (expected.empty()) throw runtime_error("the manifest gives no whole-file hash to check the download against");
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
    std::vector<uint64_t> blocks;  // blockwise: the blocks still to fetch
    uint64_t resume_from = 0;   // a whole file an earlier attempt cut short: its length
    bool refetched = false;     // fetched again after it failed its hash
    bool copied = false;        // blockwise: this attempt made the copy of the installed file
};

struct Request {
    size_t job = 0;
    std::optional<uint64_t> block;  // block index, or the whole file
    bool fallback = false;          // whole file after a block mismatch, or again after a hash mismatch
    bool fresh = false;             // over a connection of its own
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
            j.blocks = item.blocks;
            const size_t job = jobs_.size() - 1;
            if (reuse_staged(j)) continue;
            if (j.blockwise) {
                total_ += static_cast<double>(j.blocks.size()) * static_cast<double>(item.block_size);
                add(job, j.blocks.front());  // alone: the server may ignore ranges
            } else {
                add(job, std::nullopt);
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
            std::optional<FetchFailure> failed = start_ready();
            for (http::Pool::Outcome& o : failed ? std::vector<http::Pool::Outcome>{} : pool_.wait(next_wake()))
                if (!failed) failed = complete(o);
            if (failed) {
                stop_and_discard_copies();
                return failed;
            }
        }
        return std::nullopt;
    }

private:
    // What an earlier attempt staged for the job: true when the file is
    // complete and verified; otherwise the job is planned to finish it.
    bool reuse_staged(Job& j) {
        std::error_code ec;
        if (!fs::is_regular_file(j.dest, ec)) return false;
        const DownloadItem& item = *j.item;
        if (!item.sha256.empty() && sha256_if_readable(j.dest) == item.sha256) {
            count_whole_file(j, 0);
            return true;
        }
        j.prepared = true;
        if (j.blockwise) {
            j.blocks = blocks_still_wrong(j);
            if (!j.blocks.empty()) return false;
            fs::remove(j.dest, ec);  // every block right and still the wrong file: start over
            j.blocks = item.blocks;
            j.prepared = false;
            return false;
        }
        const uintmax_t have = fs::file_size(j.dest, ec);
        if (!ec && have > 0 && (item.max_bytes == 0 || have < item.max_bytes)) j.resume_from = have;
        return false;
    }

    // The blocks of a staged, partly patched file that differ from the remote
    // entry's (all of its blocks are compared: the staged copy may be short).
    std::vector<uint64_t> blocks_still_wrong(const Job& j) const {
        const DownloadItem& item = *j.item;
        const Json* entry = nullptr;
        if (plan_.remote_files && plan_.remote_files->is_object()) {
            auto found = plan_.remote_files->find(item.path);
            if (found != plan_.remote_files->end()) entry = &*found;
        }
        if (!entry || !entry->is_object() || !entry->contains("blocks") || !(*entry)["blocks"].is_array())
            return item.blocks;
        const Json& remote = (*entry)["blocks"];
        std::error_code ec;
        if (item.size && fs::file_size(j.dest, ec) > *item.size && !ec) fs::resize_file(j.dest, *item.size, ec);
        std::vector<std::string> have;
        try {
            have = hash_blocks(j.dest, static_cast<int64_t>(item.block_size));
        } catch (const std::exception&) {
            return item.blocks;
        }
        std::vector<uint64_t> wrong;
        for (size_t bi = 0; bi < remote.size(); ++bi)
            if (bi >= have.size() || !remote[bi].is_string() || remote[bi].get<std::string>() != have[bi])
                wrong.push_back(bi);
        return wrong;
    }

    // Queues a request: at the end, or next (the rest of a file already begun).
    void add(size_t job, std::optional<uint64_t> block, bool next = false, bool fallback = false,
             bool fresh = false) {
        Request& r = requests_.emplace_back();
        r.job = job;
        r.block = block;
        r.fallback = fallback;
        r.fresh = fresh;
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
        } else if (j.resume_from && !r.fallback) {
            // The rest of a file an earlier attempt cut short; a server that
            // ignores the range sends the whole file, which replaces it.
            const uint64_t last = j.item->max_bytes ? j.item->max_bytes - 1 : kRestOfFile;
            range = std::make_pair(j.resume_from, last);
            r.whole_sink = std::make_unique<FileSink>(j.dest, j.resume_from, last - j.resume_from + 1,
                                                      j.item->max_bytes);
            sink = r.whole_sink.get();
        } else {
            r.whole_sink = std::make_unique<FileSink>(j.dest, std::nullopt, 0, j.item->max_bytes);
            sink = r.whole_sink.get();
        }
        running_[pool_.start(j.url, kDownloadTimeout, *sink, range, file_deadline(longest), r.fresh)] = index;
    }

    // After a failure: the other transfers stop, and a copy of an installed
    // file that got no block yet goes (it is no part of the download; what
    // did arrive stays for the next attempt).
    void stop_and_discard_copies() {
        for (const auto& running : running_) {
            pool_.cancel(running.first);
            requests_[running.second].range_sink.reset();
            requests_[running.second].whole_sink.reset();
        }
        running_.clear();
        std::error_code ec;
        for (const Job& j : jobs_) {
            if (!j.blockwise || !j.copied) continue;
            fs::remove(side_path(j), ec);
            if (j.blocks_fetched == 0 && !j.whole_came) fs::remove(j.dest, ec);
        }
    }

    // A blockwise file starts as a copy of the installed one (empty when
    // there is none), made beside and renamed: a copy cut short is never
    // taken for a base by a later attempt.
    void prepare(Job& j) {
        fs::create_directories(j.dest.parent_path());
        if (!j.blockwise) return;
        const fs::path installed = path_from_utf8(join_relative(plan_.app_dir, j.item->path));
        fs::path part = j.dest;
        part += ".part";
        std::error_code ec;
        if (fs::is_regular_file(installed, ec)) copy_content(installed, part);
        else write_file(part, "");
        fs::rename(part, j.dest);
        j.copied = true;
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
            const bool overflowed = r.whole_sink && r.whole_sink->overflowed();
            r.range_sink.reset();
            r.whole_sink.reset();
            if (overflowed) {
                std::error_code ec;
                fs::remove(j.dest, ec);  // no start of the file to resume from
                j.resume_from = 0;
            }
            if (j.resume_from && !r.block && !r.fallback) {
                j.resume_from = 0;  // the rest could not be had: the whole file, at once
                pending_.push_front(index);
                return std::nullopt;
            }
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
        verify_or_fetch_again(r.job, j);
    }

    // A file that fails its hash is fetched once more, whole, over a
    // connection of its own (a proxy or connection may have spoiled it);
    // failing again, it fails the download.
    void verify_or_fetch_again(size_t job, Job& j) {
        if (j.item->sha256.empty()) verify("", "");
        const std::string got = sha256_file(j.dest);
        if (got == j.item->sha256 || j.refetched) {
            verify(got, j.item->sha256);
            return;
        }
        j.refetched = true;
        println("[Update] hash mismatch for " + j.item->path + ", fetching it again");
        add(job, std::nullopt, true, true, true);
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
                for (size_t k = j.blocks.size(); k-- > 1;) add(r.job, j.blocks[k], true);
            }
        } else {
            // The server sent the whole file: it replaces the copy, the other blocks are not needed.
            j.whole_came = true;
            drop_other_requests(r.job);
            j.open = 0;
            fs::rename(side_path(j), j.dest);
            count_whole_file(j, static_cast<double>(j.blocks.size() - j.blocks_fetched) *
                                    static_cast<double>(item.block_size));
            verify_or_fetch_again(r.job, j);
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
