#include "core/http_parse.hpp"

#include <cctype>
#include <cstdlib>

#include "core/pytext.hpp"

namespace tarvik::http {

bool is_status_line(std::string_view line) { return line.size() > 5 && line.substr(0, 5) == "HTTP/"; }

StatusLine parse_status_line(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    StatusLine out;
    size_t sp = line.find(' ');
    if (sp == std::string_view::npos) return out;
    // strtol on a copy: the view has no terminating zero.
    std::string rest(line.substr(sp + 1));
    out.status = std::strtol(rest.c_str(), nullptr, 10);
    size_t sp2 = line.find(' ', sp + 1);
    if (sp2 != std::string_view::npos)
        for (size_t i = sp2 + 1; i < line.size(); ++i) append_utf8(out.reason, static_cast<unsigned char>(line[i]));
    return out;
}

bool is_location_header(std::string_view line) {
    constexpr std::string_view name = "location:";
    if (line.size() < name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
    return true;
}

}  // namespace tarvik::http
