#include "build/manifest_scan.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>

#include <cerrno>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/pytext.hpp"
#include "core/sha256.hpp"

namespace tarvik::build {

namespace fs = std::filesystem;

namespace {

void walk(const fs::path& dir, const std::string& prefix, const std::string& skip_name,
          const IgnoreMatcher& ignore, std::vector<DistFile>& out) {
    std::error_code ec;
    std::vector<std::pair<fs::path, std::string>> subdirs;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        std::string name = path_text(entry.path().filename());
        std::error_code type_ec;
        if (entry.is_directory(type_ec)) {
            // Links to directories are neither listed nor followed.
            std::error_code link_ec;
            if (!entry.is_symlink(link_ec)) subdirs.emplace_back(entry.path(), prefix + name + "/");
            continue;
        }
        if (name == skip_name) continue;
        std::string rel = prefix + name;
        if (ignore.ignored(rel)) continue;
        if (!is_valid_utf8(rel))
            throw value_error("file name is not valid UTF-8, it cannot be listed in the manifest: " +
                              py_repr(utf8_replace_invalid(path_text(entry.path()))));
        out.push_back({std::move(rel), entry.path()});
    }
    for (const auto& [path, sub_prefix] : subdirs) walk(path, sub_prefix, skip_name, ignore, out);
}

UniqueFile open_for_scan(const fs::path& path) {
    UniqueFile f = open_file(path, "rb");
    std::setvbuf(f.get(), nullptr, _IONBF, 0);  // reads go straight into our buffers
#if defined(__linux__)
    ::posix_fadvise(fileno(f.get()), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    return f;
}

#ifndef _WIN32
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() { if (fd >= 0) ::close(fd); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};
#endif

// Size of a file and, below the threshold, its digest. On POSIX one open and
// one fstat per file (no second path look-up); the open does not wait on a
// FIFO, and anything but a regular file is refused instead of being read
// forever.
void size_and_small_digest(const fs::path& path, FileDigest& d, Sha256& h, std::vector<char>& buf) {
#ifndef _WIN32
    Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (f.fd < 0) throw os_error_from_errno(path_text(path));
    struct stat st;
    if (::fstat(f.fd, &st) != 0) throw os_error_from_errno(path_text(path));
    if (!S_ISREG(st.st_mode)) throw OsError(ENOTSUP, "not a regular file", path_text(path));
    d.size = static_cast<std::uint64_t>(st.st_size);
    if (d.size >= BLOCK_THRESHOLD) {
        d.block_level = true;
        return;
    }
    for (;;) {
        ssize_t n = ::read(f.fd, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw os_error_from_errno(path_text(path));
        }
        if (n == 0) break;
        h.update(buf.data(), static_cast<size_t>(n));
    }
    d.sha256 = h.hex_digest();
#else
    if (!fs::is_regular_file(path)) throw OsError(EINVAL, "not a regular file", path_text(path));
    d.size = fs::file_size(path);
    if (d.size >= BLOCK_THRESHOLD) {
        d.block_level = true;
        return;
    }
    UniqueFile f = open_for_scan(path);
    for (;;) {
        size_t n = read_some(f.get(), buf.data(), buf.size(), path);
        if (n == 0) break;
        h.update(buf.data(), n);
    }
    d.sha256 = h.hex_digest();
#endif
}

// One large file: this thread reads pieces of BLOCK_SIZE into a ring of slots
// and keeps the whole-file digest; a helper thread hashes every piece on its
// own. Memory stays at the ring's few blocks whatever the file size.
class BlockPipeline {
public:
    static constexpr size_t kSlots = 4;

    BlockPipeline() : slots_(kSlots, std::vector<char>(BLOCK_SIZE)), lens_(kSlots, 0) {}

    void digest(const fs::path& path, FileDigest& d, const std::function<void()>& poll) {
        UniqueFile f = open_for_scan(path);
        produced_ = consumed_ = 0;
        done_ = abort_ = false;
        helper_error_ = nullptr;
        std::thread helper([&] { hash_blocks(d); });
        Sha256 whole;
        try {
            for (size_t i = 0;; ++i) {
                {
                    std::unique_lock lk(m_);
                    cv_.wait(lk, [&] { return consumed_ + kSlots > i || abort_; });
                    if (abort_) break;
                }
                std::vector<char>& slot = slots_[i % kSlots];
                size_t n = read_some(f.get(), slot.data(), BLOCK_SIZE, path);
                if (n == 0) break;
                whole.update(slot.data(), n);
                {
                    std::lock_guard lk(m_);
                    lens_[i % kSlots] = n;
                    produced_ = i + 1;
                }
                cv_.notify_all();
                if (poll && i % 16 == 15) poll();
            }
        } catch (...) {
            stop(helper, true);
            throw;
        }
        stop(helper, false);
        if (helper_error_) std::rethrow_exception(helper_error_);
        d.sha256 = whole.hex_digest();
    }

private:
    void hash_blocks(FileDigest& d) {
        try {
            Sha256 h;
            for (size_t j = 0;; ++j) {
                {
                    std::unique_lock lk(m_);
                    cv_.wait(lk, [&] { return produced_ > j || done_ || abort_; });
                    if (abort_ || produced_ <= j) return;
                }
                h.update(slots_[j % kSlots].data(), lens_[j % kSlots]);
                d.blocks.push_back(h.hex_digest());
                {
                    std::lock_guard lk(m_);
                    consumed_ = j + 1;
                }
                cv_.notify_all();
            }
        } catch (...) {
            std::lock_guard lk(m_);
            helper_error_ = std::current_exception();
            abort_ = true;
            cv_.notify_all();
        }
    }

    void stop(std::thread& helper, bool abort) {
        {
            std::lock_guard lk(m_);
            if (abort) abort_ = true;
            done_ = true;
        }
        cv_.notify_all();
        helper.join();
    }

    std::vector<std::vector<char>> slots_;
    std::vector<size_t> lens_;
    std::mutex m_;
    std::condition_variable cv_;
    size_t produced_ = 0, consumed_ = 0;
    bool done_ = false, abort_ = false;
    std::exception_ptr helper_error_;
};

// The failure of the lowest file index among those seen.
class FirstFailure {
public:
    void record(size_t index, std::exception_ptr e) {
        std::lock_guard lk(m_);
        if (!error_ || index < index_) {
            index_ = index;
            error_ = std::move(e);
        }
    }
    void rethrow_if_any() {
        if (error_) std::rethrow_exception(error_);
    }

private:
    std::mutex m_;
    size_t index_ = std::numeric_limits<size_t>::max();
    std::exception_ptr error_;
};

}  // namespace

std::vector<DistFile> list_dist_files(const fs::path& dist_dir, const std::string& skip_name,
                                      const IgnoreMatcher& ignore) {
    std::vector<DistFile> out;
    walk(dist_dir, "", skip_name, ignore, out);
    std::sort(out.begin(), out.end(), [](const DistFile& a, const DistFile& b) { return a.rel < b.rel; });
    return out;
}

std::vector<FileDigest> digest_files(const std::vector<DistFile>& files, const std::function<void()>& poll) {
    std::vector<FileDigest> out(files.size());
    std::atomic<size_t> next{0};
    std::atomic<bool> stop{false};
    FirstFailure failure;
    std::exception_ptr poll_error;

    // Sizes for every file, and digests for the small ones, on two threads.
    auto work = [&](bool on_caller) {
        Sha256 h;
        std::vector<char> buf(256 * 1024);
        size_t count = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            size_t i = next.fetch_add(1);
            if (i >= files.size()) return;
            try {
                size_and_small_digest(files[i].full, out[i], h, buf);
            } catch (...) {
                failure.record(i, std::current_exception());
                stop = true;
                return;
            }
            if (on_caller && poll && ++count % 64 == 0) {
                try {
                    poll();
                } catch (...) {
                    poll_error = std::current_exception();
                    stop = true;
                    return;
                }
            }
        }
    };
    if (files.size() > 1 && std::thread::hardware_concurrency() > 1) {
        std::thread helper(work, false);
        work(true);
        helper.join();
    } else {
        work(true);
    }
    if (poll_error) std::rethrow_exception(poll_error);
    failure.rethrow_if_any();

    // Large files one after the other, each on both threads.
    std::optional<BlockPipeline> pipeline;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!out[i].block_level) continue;
        if (!pipeline) pipeline.emplace();
        pipeline->digest(files[i].full, out[i], poll);
        if (poll) poll();
    }
    return out;
}

}  // namespace tarvik::build
