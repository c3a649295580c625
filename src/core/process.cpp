// The platform-independent parts of the child-process helper.
#include "core/process.hpp"

namespace tarvik {

void LineSplitter::feed(std::string_view bytes, const std::function<void(std::string_view)>& on_line) {
    for (char c : bytes) {
        if (c == '\n' && after_cr_) {  // second half of "\r\n": the line is out already
            after_cr_ = false;
            continue;
        }
        after_cr_ = c == '\r';
        if (c == '\n' || c == '\r') {
            pending_ += '\n';
            on_line(pending_);
            pending_.clear();
        } else {
            pending_ += c;
        }
    }
}

void LineSplitter::finish(const std::function<void(std::string_view)>& on_line) {
    if (!pending_.empty()) on_line(pending_);
    pending_.clear();
    after_cr_ = false;
}

ProcessResult run_process(const std::vector<std::string>& argv) {
    ChildProcess child(argv);
    std::string output;
    child.read_lines([&](std::string_view line) { output += line; });
    std::int64_t code = child.wait();
    return {code, std::move(output)};
}

}  // namespace tarvik
