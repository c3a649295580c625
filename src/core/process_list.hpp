// The running processes of the machine: ids, parents and executable names,
// and immediate termination. One implementation per platform
// (process_list_<platform>.cpp).
#pragma once

#include <string>
#include <vector>

namespace tarvik {

struct ProcessEntry {
    long pid = 0;
    long parent_pid = 0;  // 0 when unknown
    // Base name of the process's executable, full length (not the kernel's
    // 15-character short name); empty when it cannot be found out.
    std::string name;
};

// Every process that can be seen now. A process that ends while the list is
// being read is left out. Throws OsError when the list itself cannot be read.
std::vector<ProcessEntry> list_processes();

// Ends the process at once (SIGKILL / TerminateProcess). Throws OsError when
// that fails (no such process, not permitted).
void kill_process(long pid);

// This process's id.
long current_process_id();

// This process and every ancestor found in the list, following parent ids.
std::vector<long> self_and_ancestors(const std::vector<ProcessEntry>& processes);

}  // namespace tarvik
