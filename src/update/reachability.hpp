// The quick TCP pre-check that spares an offline start the manifest retries.
#pragma once

#include <string>

namespace tarvik::update {

// True when a TCP connection to the URL's host and port (443 for https, 80 for
// http unless the URL names one) could be opened within the timeout, or when
// the check itself cannot be made (other schemes, no host, a bad port). False
// when the name does not resolve or no address accepts a connection in time.
// Nothing is sent.
bool can_reach_server(std::string update_url, double timeout);

}  // namespace tarvik::update
