// Freeing a local TCP port: the processes that hold it are killed.
#pragma once

namespace tarvik::admin {

// When something accepts connections on 127.0.0.1:port, forcibly ends every
// other process that owns a TCP socket bound to that local port. Never ends the
// calling process. Prints nothing on success; a failed search is printed as
// "Error: <description>". A port outside 0..65535 raises OverflowError.
void kill_process_on_port(long long port);

}  // namespace tarvik::admin
