// The "is anything listening" test that precedes a port release.
#pragma once

namespace tarvik::admin {

// Connects an IPv4 TCP socket to "localhost":port (no timeout) and closes it.
// True when the connection was accepted. A port outside 0..65535 raises
// OverflowError; a failing name lookup or socket creation raises OSError.
bool is_port_in_use(long long port);

}  // namespace tarvik::admin
