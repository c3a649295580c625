#include "build/signing_keys.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "core/ed25519.hpp"
#include "core/errors.hpp"
#include "core/file_io.hpp"
#include "core/host.hpp"

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tarvik::build {

namespace fs = std::filesystem;

namespace {

std::string home() {
#ifdef _WIN32
    return host().getenv("USERPROFILE").value_or("");
#else
    return host().getenv("HOME").value_or("");
#endif
}

// Writes a new file only its owner can read; fails when it exists.
void write_owner_only(const fs::path& path, const std::string& bytes) {
#ifdef _WIN32
    int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
#endif
    if (fd < 0) throw os_error_from_errno(path_text(path));
    size_t done = 0;
    while (done < bytes.size()) {
#ifdef _WIN32
        int n = _write(fd, bytes.data() + done, static_cast<unsigned>(bytes.size() - done));
#else
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
#endif
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            OsError e = os_error_from_errno(path_text(path));
#ifdef _WIN32
            _close(fd);
#else
            ::close(fd);
#endif
            std::error_code ec;
            fs::remove(path, ec);
            throw e;
        }
        done += static_cast<size_t>(n);
    }
#ifdef _WIN32
    if (_close(fd) != 0) throw os_error_from_errno(path_text(path));
#else
    if (::close(fd) != 0) throw os_error_from_errno(path_text(path));
#endif
}

}  // namespace

fs::path expand_user(const std::string& path) {
    if (path == "~" || path.starts_with("~/")) return path_from_utf8(home() + path.substr(1));
    return path_from_utf8(path);
}

fs::path default_key_path(const std::string& app_name) {
    fs::path config;
#ifdef _WIN32
    config = path_from_utf8(host().getenv("APPDATA").value_or(home()));
#else
    auto xdg = host().getenv("XDG_CONFIG_HOME");
    config = xdg && !xdg->empty() ? path_from_utf8(*xdg) : path_from_utf8(home()) / ".config";
#endif
    return config / "tarvik" / "keys" / path_from_utf8((app_name.empty() ? std::string("release") : app_name) + ".pem");
}

std::string generate_key_files(const fs::path& path) {
    if (path.has_parent_path() && !fs::exists(path.parent_path())) {
        fs::create_directories(path.parent_path());
        std::error_code ec;
        fs::permissions(path.parent_path(), fs::perms::owner_all, fs::perm_options::replace, ec);
    }
    ed25519::KeyPair pair = ed25519::generate();
    fs::path pub = path;
    pub += ".pub";
    std::error_code ec;
    if (fs::exists(fs::symlink_status(pub, ec))) throw OsError(EEXIST, std::strerror(EEXIST), path_text(pub));
    write_owner_only(path, pair.private_pem);
    write_file(pub, pair.public_pem);
    return pair.public_pem;
}

std::string read_private_key(const fs::path& path) {
    std::string text = read_file(path);
    ed25519::public_pem_of(text);  // ValueError when it is no Ed25519 key
    return text;
}

}  // namespace tarvik::build
