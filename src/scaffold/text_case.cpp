#include "scaffold/text_case.hpp"

#include "core/pytext.hpp"
#include "scaffold/scaffold_host.hpp"

namespace tarvik::scaffold {

std::string lower_case(std::string_view text) { return scaffold_host().lower(text); }

std::string capitalised(std::string_view text) {
    std::string first = utf8_prefix(text, 1);
    return scaffold_host().upper(first) + scaffold_host().lower(text.substr(first.size()));
}

}  // namespace tarvik::scaffold
