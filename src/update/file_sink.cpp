#include "update/file_sink.hpp"

#include <string>

#include "core/errors.hpp"

namespace tarvik::update {

bool FileSink::begin(long status) {
    status_ = status;
    if (status < 200 || status > 299) return false;
    limit_ = range_start_ && status == 206 ? max_range_ : max_whole_;
    written_ = 0;
    local([&] {
        if (range_start_ && status == 206) {
            file_ = open_file(dest_, "r+b");
            seek_to(file_.get(), *range_start_, dest_);
        } else {
            file_ = open_file(dest_, "wb");
        }
        std::setvbuf(file_.get(), buffer_.data(), _IOFBF, buffer_.size());
    });
    return true;
}

void FileSink::write(const char* data, size_t n) {
    if (limit_ && n > limit_ - written_) {
        overflowed_ = true;
        throw runtime_error("the server sent more than the " + std::to_string(limit_) + " bytes the manifest gives");
    }
    written_ += n;
    local([&] { write_all(file_.get(), {data, n}, dest_); });
}

void FileSink::finish() {
    if (!file_) return;
    std::FILE* f = file_.release();
    if (std::fclose(f) != 0) {
        failed_locally_ = true;
        throw os_error_from_errno(path_text(dest_));
    }
}

}  // namespace tarvik::update
