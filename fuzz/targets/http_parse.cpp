// Response head lines: the status line and the Location test.
#include <cstdint>
#include <string_view>

#include "core/http_parse.hpp"
#include "core/pytext.hpp"
#include "support/fake_host.hpp"
#include "support/py_oracle.hpp"

using namespace tarvik;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::init_fake_host();
    std::string_view line(reinterpret_cast<const char*>(data), size);
    if (http::is_status_line(line)) {
        http::StatusLine s = http::parse_status_line(line);
        if (!is_valid_utf8(s.reason)) fuzz::require_agreement("http_parse", "reason is not UTF-8");
        if (s.reason.size() > 2 * line.size()) fuzz::require_agreement("http_parse", "reason longer than the line allows");
    }
    (void)http::is_location_header(line);
    return 0;
}
