#include "update/failure_kinds.hpp"

#include <filesystem>

#include "core/errors.hpp"
#include "core/pytext.hpp"

namespace tarvik::update {

void require_success(const http::Response& r) {
    if (r.status < 200 || r.status > 299) throw HttpError(r.url, r.status, r.reason);
}

bool is_os_failure(const std::exception& e) {
    if (dynamic_cast<const HttpError*>(&e) || dynamic_cast<const UrlError*>(&e) ||
        dynamic_cast<const OsError*>(&e) || dynamic_cast<const std::filesystem::filesystem_error*>(&e))
        return true;
    if (auto* k = dynamic_cast<const Error*>(&e)) return k->kind() == ErrorKind::TimeoutError;
    return false;
}

std::string text_prefix(const std::exception& e, size_t n) {
    return utf8_prefix(utf8_replace_invalid(error_text(e)), n);
}

}  // namespace tarvik::update
