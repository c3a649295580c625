// Child processes started without a shell, with standard output and standard
// error merged into one pipe that the parent reads line by line as the child
// writes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik {

class ChildProcess {
public:
    // Starts argv[0] (a path, or a bare name looked up on PATH) with the given
    // arguments and a copy of the current environment. Standard input is
    // inherited; standard output and standard error go to one pipe. A program
    // that cannot be started throws OsError naming it.
    explicit ChildProcess(const std::vector<std::string>& argv);
    // A child that is still running (an error unwound past its owner) is
    // killed and reaped: no orphan keeps running, no zombie is left.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads the merged output to its end. on_line gets every line as raw bytes
    // as soon as it is complete, its end turned into "\n" ("\r\n" and a lone
    // "\r" count as one line end, as in Python's universal newlines); the last
    // line may have no end. on_idle, when given, runs after every read and
    // while the child is silent, so that the caller can check for Ctrl-C; an
    // exception from either callback stops reading (and the destructor then
    // ends the child).
    void read_lines(const std::function<void(std::string_view)>& on_line,
                    const std::function<void()>& on_idle = {});

    // Waits for the child to end: its exit status, or minus the number of the
    // signal that ended it (POSIX). On Windows the exit code is a DWORD and
    // comes back unsigned, as Python reports it (3221225477 for an access
    // violation, not a negative number that would read like a signal).
    std::int64_t wait();

    // Ends the child at once (SIGKILL / TerminateProcess). No effect after wait().
    void kill();

    long pid() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Splits a byte stream into lines the way Python's universal-newline reading
// does; shared by the platform readers.
class LineSplitter {
public:
    void feed(std::string_view bytes, const std::function<void(std::string_view)>& on_line);
    void finish(const std::function<void(std::string_view)>& on_line);

private:
    std::string pending_;
    bool after_cr_ = false;  // the previous chunk ended with "\r"
};

struct ProcessResult {
    std::int64_t exit_code;
    std::string output;  // merged stdout/stderr, line ends as read_lines gives them
};

// Runs a program to its end and collects its merged output.
ProcessResult run_process(const std::vector<std::string>& argv);

}  // namespace tarvik
