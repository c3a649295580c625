// Receives one multipart upload batch part by part: the "code" field is kept,
// the part "manifest" is kept in memory, and every other file part is written
// to a numbered file in the staging folder as its bytes arrive.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <httplib.h>

#include "channel_store.hpp"

namespace devserver {

struct ReceivedBatch {
    StagedBatch batch;
    std::string code;                 // the "code" field ("" when absent)
    bool code_seen = false;
    std::optional<int> refusal_status;  // first reason to refuse the batch
    std::string refusal;
};

// Reads the whole body (after a refusal the rest is read and dropped, so the
// client gets the answer rather than a reset). `expected_code`: when set, file
// parts arriving before a matching "code" field are refused with 403.
ReceivedBatch receive_batch(const httplib::Request& req, const httplib::ContentReader& reader,
                            const std::filesystem::path& staging,
                            const std::optional<std::string>& expected_code);

}  // namespace devserver
