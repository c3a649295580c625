#include "scaffold/text_case.hpp"

#include "core/pytext.hpp"
#include "core/host.hpp"

namespace tarvik::scaffold {

std::string lower_case(std::string_view text) { return host().lower(text); }

std::string capitalised(std::string_view text) {
    std::string first = utf8_prefix(text, 1);
    return host().upper(first) + host().lower(text.substr(first.size()));
}

}  // namespace tarvik::scaffold
