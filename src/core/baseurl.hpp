#pragma once

#include <string>

namespace tarvik {

// Root URL of the update server, with a trailing "/". The built-in value
// addresses the development server on this machine.
std::string baseurl();

}  // namespace tarvik
