#include "core/baseurl.hpp"

namespace tarvik {

std::string baseurl() { return "http://127.0.0.1:8000/"; }

}  // namespace tarvik
