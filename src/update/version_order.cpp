#include "update/version_order.hpp"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace tarvik::update {

namespace {

struct Token {
    bool number = true;
    std::string text;  // digits without leading zeros, or lower-case letters
};

std::vector<Token> tokens(std::string_view v) {
    std::vector<Token> out;
    size_t i = 0;
    while (i < v.size()) {
        unsigned char c = static_cast<unsigned char>(v[i]);
        if (std::isdigit(c)) {
            size_t j = i;
            while (j < v.size() && std::isdigit(static_cast<unsigned char>(v[j]))) ++j;
            std::string digits(v.substr(i, j - i));
            size_t nz = digits.find_first_not_of('0');
            out.push_back({true, nz == std::string::npos ? "" : digits.substr(nz)});
            i = j;
        } else if (std::isalpha(c)) {
            std::string word;
            while (i < v.size() && std::isalpha(static_cast<unsigned char>(v[i])))
                word += static_cast<char>(std::tolower(static_cast<unsigned char>(v[i++])));
            out.push_back({false, word});
        } else {
            ++i;  // ".", "-", "_", "+" and anything else only separate
        }
    }
    return out;
}

int compare_tokens(const Token& a, const Token& b) {
    if (a.number != b.number) return a.number ? 1 : -1;  // a release is newer than a pre-release
    if (a.number && a.text.size() != b.text.size()) return a.text.size() < b.text.size() ? -1 : 1;
    int c = a.text.compare(b.text);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

}  // namespace

int compare_versions(std::string_view a, std::string_view b) {
    const std::vector<Token> ta = tokens(a), tb = tokens(b);
    const Token zero{true, ""};
    for (size_t i = 0; i < std::max(ta.size(), tb.size()); ++i) {
        int c = compare_tokens(i < ta.size() ? ta[i] : zero, i < tb.size() ? tb[i] : zero);
        if (c) return c;
    }
    return 0;
}

}  // namespace tarvik::update
