// Running the compiler as a module of the host interpreter.
#include "build/build_steps.hpp"
#include "core/errors.hpp"
#include "core/host.hpp"
#include "core/process.hpp"
#include "core/pytext.hpp"

namespace tarvik::build {

namespace {

void replace_all(std::string& text, std::string_view from, std::string_view to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

bool is_utf8_name(std::string enc) {
    for (char& c : enc) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '-') c = '_';
    }
    return enc == "utf_8" || enc == "utf8";
}

}  // namespace

void run_compiler(const std::vector<std::string>& args) {
    std::vector<std::string> command = {host().executable(), "-m", "nuitka"};
    std::string shown;
    for (size_t i = 1; i < args.size(); ++i) {
        command.push_back(args[i]);
        if (i > 1) shown += ' ';
        shown += args[i];
    }
    println("[builder] Tarvik args: " + shown);

    // Output is text in the platform's default encoding; what does not
    // decode becomes U+FFFD.
    const bool utf8 = is_utf8_name(host().default_encoding());
    ChildProcess compiler(command);
    compiler.read_lines(
        [&](std::string_view raw) {
            std::string line = utf8 ? utf8_replace_invalid(raw) : host().decode_default(raw);
            replace_all(line, "Nuitka", "Tarvik");
            replace_all(line, "NUITKA", "TARVIK");
            host().write_stdout(line);
        },
        [] { host().check_interrupt(); });
    const std::int64_t code = compiler.wait();
    if (code != 0) throw runtime_error("Tarvik compilation failed, exit code: " + std::to_string(code));
}

}  // namespace tarvik::build
