#include "scaffold/remove_file.hpp"

#include <cerrno>
#include <cstdio>

#include "core/errors.hpp"
#include "core/file_io.hpp"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace tarvik::scaffold {

void remove_existing_file(const std::filesystem::path& path) {
#ifdef _WIN32
    int rc = ::_wunlink(path.c_str());
#else
    int rc = ::unlink(path.c_str());
#endif
    if (rc != 0) throw os_error_from_errno(path_text(path));
}

}  // namespace tarvik::scaffold
