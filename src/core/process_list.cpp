#include "core/process_list.hpp"

#include <unordered_map>
#include <unordered_set>

namespace tarvik {

std::vector<long> self_and_ancestors(const std::vector<ProcessEntry>& processes) {
    std::unordered_map<long, long> parent;
    for (const auto& p : processes) parent[p.pid] = p.parent_pid;
    std::vector<long> chain;
    std::unordered_set<long> seen;
    for (long pid = current_process_id(); pid > 0 && seen.insert(pid).second;) {
        chain.push_back(pid);
        auto it = parent.find(pid);
        if (it == parent.end()) break;
        pid = it->second;
    }
    return chain;
}

}  // namespace tarvik
