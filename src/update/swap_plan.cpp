#include "update/swap_plan.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <system_error>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "update/installation.hpp"
#include "update/safe_paths.hpp"

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tarvik::update {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPlanHeader = "tarvik-swap 1";

// Tabs and line ends separate the plan's fields; a path holding one cannot be planned.
bool plannable(const std::string& rel) {
    return is_safe_relative_path(rel) && rel.find_first_of("\t\r\n") == std::string::npos &&
           !is_update_folder_path(rel);
}

std::pair<std::string, std::string> split_rel(const std::string& rel) {
    size_t slash = rel.rfind('/');
    if (slash == std::string::npos) return {".", rel};
    return {rel.substr(0, slash), rel.substr(slash + 1)};
}

// The files of one kind in one folder form one step.
void add_steps(std::vector<SwapStep>& steps, bool staged, std::vector<std::string> rels) {
    std::map<std::string, std::vector<std::string>> by_dir;
    std::sort(rels.begin(), rels.end());
    for (const std::string& rel : rels) {
        auto [dir, name] = split_rel(rel);
        by_dir[dir].push_back(name);
    }
    for (auto& [dir, names] : by_dir) steps.push_back({staged, dir, std::move(names)});
}

std::string place(const std::string& root, const std::string& dir, const std::string& name) {
    return dir == "." ? join_relative(root, name) : join_relative(join_relative(root, dir), name);
}

bool present(const fs::path& p) {
    std::error_code ec;
    return fs::symlink_status(p, ec).type() != fs::file_type::not_found && !ec;
}

}  // namespace

UpdatePaths::UpdatePaths(const std::string& dir)
    : app_dir(dir.empty() ? "." : dir),
      root(join_path(app_dir, kUpdateFolder)),
      lock(join_path(root, "lock")),
      swap(join_path(root, "swap")),
      plan(join_path(swap, "plan")),
      journal(join_path(swap, "journal")),
      backup(join_path(swap, "backup")),
      confirmed(join_path(swap, "confirmed")),
      rejected(join_path(root, "rejected")) {}

bool is_update_folder_path(const std::string& rel) {
    const std::string top = rel.substr(0, rel.find('/'));
    return top == kUpdateFolder;
}

SwapPlan make_swap_plan(const std::string& stage_dir, const std::vector<std::string>& to_delete,
                        const std::vector<std::string>& last) {
    const std::set<std::string> last_set(last.begin(), last.end());
    std::vector<std::string> staged, staged_last, gone, gone_last;
    const fs::path stage = path_from_utf8(stage_dir);
    std::error_code ec;
    if (!fs::is_directory(stage, ec)) ec.clear();
    else for (auto it = fs::recursive_directory_iterator(stage, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
        std::string rel = path_text(it->path().lexically_relative(stage).generic_string());
        // The version files are the caller's own (the signed statement is no
        // path a manifest may name, and still moves in with its manifest).
        if (last_set.count(rel) && rel.find_first_of("/\t\r\n") == std::string::npos) staged_last.push_back(rel);
        else if (plannable(rel)) staged.push_back(rel);
    }
    if (ec) throw OsError(ec.value(), ec.message(), stage_dir);
    for (const std::string& rel : to_delete)
        if (plannable(rel)) (last_set.count(rel) ? gone_last : gone).push_back(rel);

    SwapPlan plan;
    plan.stage_dir = stage_dir;
    add_steps(plan.steps, false, gone);
    add_steps(plan.steps, true, staged);
    // The version files in the order given, the executable at the end.
    auto rank = [&](const std::string& rel) { return std::find(last.begin(), last.end(), rel) - last.begin(); };
    auto by_rank = [&](const std::string& a, const std::string& b) { return rank(a) < rank(b); };
    std::sort(gone_last.begin(), gone_last.end(), by_rank);
    std::sort(staged_last.begin(), staged_last.end(), by_rank);
    if (!gone_last.empty()) plan.steps.push_back({false, ".", gone_last});
    if (!staged_last.empty()) plan.steps.push_back({true, ".", staged_last});
    return plan;
}

void sync_file(const std::string& path) {
#ifdef _WIN32
    (void)path;
#else
    int fd = ::open(path_from_utf8(path).c_str(), O_RDONLY);
    if (fd < 0) throw os_error_from_errno(path);
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0) throw OsError(err, std::generic_category().message(err), path);
    int dir = ::open(path_from_utf8(dir_name(path).empty() ? "." : dir_name(path)).c_str(), O_RDONLY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
#endif
}

void write_swap_plan(const UpdatePaths& paths, const SwapPlan& plan) {
    std::string text = std::string(kPlanHeader) + "\nstage\t" + plan.stage_dir + "\nversion\t" + plan.new_version +
                       "\nhash\t" + plan.remote_hash + "\n";
    for (const SwapStep& step : plan.steps)
        for (const std::string& name : step.names)
            text += std::string(step.staged ? "in\t" : "out\t") + step.dir + "\t" + name + "\n";
    text += "end\n";
    fs::create_directories(path_from_utf8(paths.swap));
    write_file(path_from_utf8(paths.plan), text);
    sync_file(paths.plan);
    write_file(path_from_utf8(paths.journal), "");
    sync_file(paths.journal);
}

std::optional<SwapPlan> read_swap_plan(const UpdatePaths& paths) {
    std::string text;
    try {
        text = read_file(path_from_utf8(paths.plan));
    } catch (const std::exception&) {
        return std::nullopt;
    }
    std::vector<std::string> lines = split_lines(text);
    if (lines.empty() || lines.front() != kPlanHeader || lines.back() != "end") return std::nullopt;
    SwapPlan plan;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        size_t tab = line.find('\t');
        if (tab == std::string::npos) return std::nullopt;
        std::string key = line.substr(0, tab), rest = line.substr(tab + 1);
        if (key == "stage") plan.stage_dir = rest;
        else if (key == "version") plan.new_version = rest;
        else if (key == "hash") plan.remote_hash = rest;
        else if (key == "in" || key == "out") {
            size_t tab2 = rest.find('\t');
            if (tab2 == std::string::npos) return std::nullopt;
            std::string dir = rest.substr(0, tab2), name = rest.substr(tab2 + 1);
            bool staged = key == "in";
            if (plan.steps.empty() || plan.steps.back().staged != staged || plan.steps.back().dir != dir)
                plan.steps.push_back({staged, dir, {}});
            plan.steps.back().names.push_back(name);
        } else {
            return std::nullopt;
        }
    }
    if (plan.stage_dir.empty()) return std::nullopt;
    return plan;
}

std::vector<std::string> read_journal(const UpdatePaths& paths) {
    try {
        return split_lines(read_file(path_from_utf8(paths.journal)));
    } catch (const std::exception&) {
        return {};
    }
}

std::string roll_back(const UpdatePaths& paths, const SwapPlan& plan) {
    std::string failures;
    auto move = [&](const std::string& from, const std::string& to) {
        std::error_code ec;
        fs::create_directories(path_from_utf8(to).parent_path(), ec);
        fs::rename(path_from_utf8(from), path_from_utf8(to), ec);
        if (ec) failures += from + " -> " + to + ": " + ec.message() + "\n";
    };
    for (auto step = plan.steps.rbegin(); step != plan.steps.rend(); ++step) {
        for (const std::string& name : step->names) {
            const std::string app = place(paths.app_dir, step->dir, name);
            const std::string backup = place(paths.backup, step->dir, name);
            const std::string staged = place(plan.stage_dir, step->dir, name);
            if (!step->staged) {
                if (present(path_from_utf8(backup))) move(backup, app);
                continue;
            }
            if (present(path_from_utf8(backup))) {
                if (present(path_from_utf8(app)) && !present(path_from_utf8(staged))) move(app, staged);
                move(backup, app);
            } else if (!present(path_from_utf8(staged)) && present(path_from_utf8(app))) {
                move(app, staged);  // a new file: the installation had none there
            }
        }
    }
    return failures;
}

}  // namespace tarvik::update
