#include "core/copy_files.hpp"

#include <algorithm>
#include <cerrno>
#include <set>

#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"

namespace tarvik {

namespace {

namespace fs = std::filesystem;

class TreeCopier {
public:
    explicit TreeCopier(std::vector<std::string> skipped_dirs) : skipped_(std::move(skipped_dirs)) {}

    void copy_dir(const fs::path& src, const fs::path& dst) {
        fs::path real_src = fs::canonical(src);
        if (std::find(ancestors_.begin(), ancestors_.end(), real_src) != ancestors_.end())
            throw OsError(ELOOP, "Symbolic link loop: the directory leads back to " + path_text(real_src),
                          path_text(src));
        if (destinations_.count(real_src))
            throw OsError(EINVAL, "Cannot copy a directory into itself", path_text(src));

        fs::create_directories(dst);
        fs::path real_dst = fs::canonical(dst);
        if (real_dst == real_src)
            throw OsError(EINVAL, "Cannot copy a directory onto itself", path_text(dst));
        destinations_.insert(real_dst);

        ancestors_.push_back(real_src);
        for (const fs::directory_entry& entry : fs::directory_iterator(src)) {
            host().check_interrupt();
            fs::path name = entry.path().filename();
            fs::path target = dst / name;
            if (fs::is_directory(entry.path())) {  // follows links
                if (!is_skipped(name)) copy_dir(entry.path(), target);
            } else {
                copy_file_with_metadata(entry.path(), target);
            }
        }
        ancestors_.pop_back();
    }

private:
    bool is_skipped(const fs::path& name) const {
        std::string text = path_text(name);
        return std::find(skipped_.begin(), skipped_.end(), text) != skipped_.end();
    }

    std::vector<std::string> skipped_;
    std::vector<fs::path> ancestors_;    // real paths of the source directories being copied
    std::set<fs::path> destinations_;    // real paths of the destination directories
};

}  // namespace

void copy_files(const fs::path& src_folder, const fs::path& dst_folder) {
    TreeCopier({".quasar", ".vscode"}).copy_dir(src_folder, dst_folder);
}

void copy_tree(const fs::path& src_folder, const fs::path& dst_folder) {
    TreeCopier({}).copy_dir(src_folder, dst_folder);
}

}  // namespace tarvik
