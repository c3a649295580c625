// Debian has no MinGW build of libcurl, so the units that use it are compiled
// but not linked here. The reachability check takes only its URL split from
// libcurl; this stand-in splits the plain "scheme://host[:port]/path" URLs the
// checks use, so that the check's own Winsock code runs. It is the only
// replacement of a library function in this program.
#include "core/http.hpp"

namespace tarvik::http {

std::optional<UrlParts> split_url(const std::string& url) {
    size_t colon = url.find("://");
    if (colon == std::string::npos) return std::nullopt;
    UrlParts p;
    p.scheme = url.substr(0, colon);
    std::string authority = url.substr(colon + 3, url.find('/', colon + 3) - (colon + 3));
    size_t port = authority.rfind(':');
    p.host = authority.substr(0, port);
    if (port != std::string::npos) p.port = authority.substr(port + 1);
    return p;
}

}  // namespace tarvik::http
