// Finding and killing the processes that hold a local TCP port. One
// implementation per platform (port_owners_<platform>.cpp).
#pragma once

namespace tarvik::admin {

// Forcibly ends every process, except the calling one, that owns a TCP socket
// whose local port is `port`. Throws when the search itself cannot be done; a
// kill that fails (process gone, not permitted) is not reported.
void kill_port_owners(int port);

}  // namespace tarvik::admin
