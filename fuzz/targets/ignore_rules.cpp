// Glob matching and the ignore rule against fnmatch. Input lines: a path,
// then the patterns.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/ignore_rules.hpp"
#include "core/pytext.hpp"
#include "support/fake_host.hpp"
#include "support/py_oracle.hpp"

using namespace tarvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_fake_host();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (!is_valid_utf8(text)) return 0;
    std::vector<std::string> lines;
    for (size_t start = 0;;) {
        size_t lf = text.find('\n', start);
        lines.emplace_back(text.substr(start, lf == text.npos ? text.npos : lf - start));
        if (lf == text.npos) break;
        start = lf + 1;
    }
    const std::string path = lines[0];
    const std::vector<std::string> patterns(lines.begin() + 1, lines.end());
    std::string cpp;
    for (const auto& p : patterns) cpp += glob_match(p, path) ? '1' : '0';
    cpp += '|';
    for (const auto& p : patterns) cpp += glob_match(p, path, true) ? '1' : '0';
    cpp += '|';
    cpp += is_ignored(path, patterns, false) ? '1' : '0';
    fuzz::require_agreement("ignore_rules", fuzz::oracle("ignore_rules", text, cpp));
    return 0;
}
