// The results of the Windows test program: one line per check, the count at
// the end.
#pragma once

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace wincheck {

class Checks {
public:
    // Prints "ok   name" or "FAIL name: detail".
    void expect(const std::string& name, bool ok, const std::string& detail = {});
    // Runs body; an exception it throws is a failure of that check.
    void run(const std::string& name, const std::function<void()>& body);
    // "N passed, N failed"
    int finish(const std::vector<std::string>& not_checked) const;

private:
    int passed_ = 0, failed_ = 0;
};

// Thrown by require() inside a run() body.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
void require(bool ok, const std::string& what);
// "a" == "b" with both shown when they differ.
void require_equal(const std::string& got, const std::string& expected, const std::string& what);

// Where the test program and its helper live, and a scratch folder of this run.
struct Places {
    std::filesystem::path helper;   // helper.exe
    std::filesystem::path scratch;  // emptied at start
};

std::string utf8(const std::filesystem::path& p);
std::filesystem::path from_utf8(const std::string& s);
// Waits up to `seconds` for the condition, checking every 100 ms.
bool wait_for(const std::function<bool()>& condition, double seconds);

void process_checks(Checks& c, const Places& at);
void file_checks(Checks& c, const Places& at);
void socket_checks(Checks& c, const Places& at);
void script_start_checks(Checks& c, const Places& at);
void update_script_checks(Checks& c, const Places& at);

}  // namespace wincheck
