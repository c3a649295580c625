// How the update client tells failures apart: the Python kinds that urllib's
// callers know (HTTPError, URLError, TimeoutError, other OSErrors, the rest).
#pragma once

#include <exception>
#include <string>

#include "core/http.hpp"

namespace tarvik::update {

// Throws HttpError for a final status outside 200..299.
void require_success(const http::Response& r);

// True for failures that are OSErrors in Python (URLError, HTTPError,
// TimeoutError, ConnectionResetError, FileNotFoundError, ...).
bool is_os_failure(const std::exception& e);

// The first n code points of a failure's text.
std::string text_prefix(const std::exception& e, size_t n);

}  // namespace tarvik::update
