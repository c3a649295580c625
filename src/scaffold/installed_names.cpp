#include "scaffold/installed_names.hpp"

#include <algorithm>

#include "scaffold/scaffold_host.hpp"

namespace tarvik::scaffold {

bool is_installed_distribution(const std::string& name) {
    std::vector<std::string> names = scaffold_host().installed_distribution_names();
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace tarvik::scaffold
