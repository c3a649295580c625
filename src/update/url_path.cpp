#include "update/url_path.hpp"

namespace tarvik::update {

std::string percent_encode_path(std::string_view rel) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(rel.size());
    for (char ch : rel) {
        unsigned char c = static_cast<unsigned char>(ch);
        bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '.' || c == '_' || c == '~' || c == '/';
        if (keep) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

}  // namespace tarvik::update
