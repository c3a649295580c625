// Sending the upload entries in batches of BATCH_SIZE multipart POSTs.
#pragma once

#include <string>
#include <vector>

#include "core/http.hpp"
#include "publish/upload_entries.hpp"

namespace tarvik::publish {

// Posts the entries batch by batch to `url`, with the form field "code" first
// when `code` is not empty. Prints one line per batch; stops at the first batch
// that is refused or cannot be sent or read, and returns false then.
// The first 500 characters of a response body as text (invalid UTF-8 replaced),
// as the failure lines quote it.
std::string body_start(const std::string& body);

bool send_batches(http::Session& session, const std::string& url, const std::string& code,
                  const std::vector<UploadEntry>& entries);

}  // namespace tarvik::publish
