#include "core/framework_paths.hpp"

#include "core/host.hpp"

namespace tarvik {

FrameworkPaths locate_framework(bool resolve_links) {
    return FrameworkPaths{host().framework_dir(resolve_links)};
}

}  // namespace tarvik
