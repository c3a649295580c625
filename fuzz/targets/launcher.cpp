// launcher.py's name and version lines against Python's re.
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "build/launcher_meta.hpp"
#include "core/pytext.hpp"
#include "support/fake_host.hpp"
#include "support/py_oracle.hpp"

using namespace tarvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_fake_host();
    std::string_view text(reinterpret_cast<const char*>(data), size);
    fuzz::write_scratch_file("launcher.py", text);
    try {
        build::read_launcher_meta();
    } catch (const std::exception&) {
    }
    if (!is_valid_utf8(text)) return 0;
    std::string cpp;
    bool first = true;
    for (size_t start = 0; start < text.size();) {
        size_t lf = text.find('\n', start);
        size_t end = lf == text.npos ? text.size() : lf + 1;
        std::string_view line = text.substr(start, end - start);
        for (const char* key : {"app_name", "version"}) {
            if (!first) cpp += '\0';
            first = false;
            cpp += build::match_assignment(line, key);
        }
        start = end;
    }
    fuzz::require_agreement("launcher", fuzz::oracle("launcher", text, cpp));
    return 0;
}
