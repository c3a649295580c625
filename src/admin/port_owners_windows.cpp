// Windows: the console tools list the connections ("netstat -ano", filtered by
// findstr) and end a process ("taskkill /PID n /F"). Only lines whose local
// address is on the port count: ":80" also appears in ":8080" and in the
// remote address of a connection to some other server's port 80.
#if defined(_WIN32)

#include "admin/port_owners.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>
#include <windows.h>

#include "core/errors.hpp"

namespace tarvik::admin {

namespace {

struct PipeCloser {
    void operator()(std::FILE* f) const noexcept { if (f) ::_pclose(f); }
};

std::string run_and_capture(const std::string& command) {
    std::unique_ptr<std::FILE, PipeCloser> pipe(::_popen(command.c_str(), "r"));
    if (!pipe) throw os_error_from_errno();
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe.get())) > 0) out.append(buf, n);
    return out;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool all_digits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

void kill_port_owners(int port) {
    const std::string needle = ":" + std::to_string(port);
    // Standard error is captured too, and dropped.
    const std::string listing = run_and_capture("(netstat -ano | findstr " + needle + ") 2>NUL");
    const std::string self = std::to_string(::GetCurrentProcessId());

    std::set<std::string> owners;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream split(line);
        std::vector<std::string> fields;
        for (std::string f; split >> f;) fields.push_back(f);
        // Proto, Local Address, Foreign Address, State, PID
        if (fields.size() < 5) continue;
        if (!ends_with(fields[1], needle)) continue;
        const std::string& pid = fields.back();
        if (!all_digits(pid) || pid == "0" || pid == self) continue;
        owners.insert(pid);
    }
    for (const std::string& pid : owners)
        std::system(("taskkill /PID " + pid + " /F").c_str());  // its own output reports a failure
}

}  // namespace tarvik::admin

#endif
