// The server's URL space:
//   GET|HEAD /auth/<key>/                 what the channel holds (404: nothing yet)
//   POST     /auth/<key>/                 one upload batch (multipart/form-data)
//   GET|HEAD /<key>/media/update/<path>   a served file, with byte ranges
// Keys and paths with "..", ".", empty components, backslashes, NUL or a drive
// prefix are refused with 400 before anything is read or written.
#pragma once

#include <optional>
#include <string>

#include <httplib.h>

#include "channel_store.hpp"

namespace devserver {

void route_get(ChannelStore& store, const httplib::Request& req, httplib::Response& res);
void route_post(ChannelStore& store, const std::optional<std::string>& code, const httplib::Request& req,
                httplib::Response& res, const httplib::ContentReader& reader);

}  // namespace devserver
