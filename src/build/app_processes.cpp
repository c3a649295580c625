// Stopping copies of the application left running by an earlier build, so
// that its old distribution folder can be deleted.
#include <algorithm>

#include "build/build_host.hpp"
#include "build/build_steps.hpp"
#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/process_list.hpp"
#include "core/pytext.hpp"

namespace tarvik::build {

namespace {

// "shop" matches shop, shop.exe, shop.bin (names already lower-cased), not
// shopping or shop-helper.
bool is_app_process(const std::string& name, const std::string& target) {
    if (target.empty() || name.size() < target.size() || name.compare(0, target.size(), target) != 0)
        return false;
    return name.size() == target.size() || name[target.size()] == '.';
}

}  // namespace

void kill_app_process(const std::string& app_name) {
    std::vector<ProcessEntry> processes = list_processes();
    const std::vector<long> protected_ids = self_and_ancestors(processes);

    // Names that are not UTF-8 are compared and shown with U+FFFD in place.
    const std::string target = host().lower(utf8_replace_invalid(app_name));
    for (const ProcessEntry& p : processes) {
        const std::string name = host().lower(utf8_replace_invalid(p.name));
        if (!is_app_process(name, target)) continue;
        if (std::find(protected_ids.begin(), protected_ids.end(), p.pid) != protected_ids.end()) continue;
        try {
            kill_process(p.pid);
            println("[builder] killed leftover process: " + name + " (PID " + std::to_string(p.pid) + ")");
        } catch (const std::exception& e) {
            println("[builder] failed to kill process " + name + ": " + error_text(e));
        }
    }
}

}  // namespace tarvik::build
