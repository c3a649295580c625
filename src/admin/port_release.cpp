#include "admin/port_release.hpp"

#include <exception>

#include "admin/port_owners.hpp"
#include "admin/port_probe.hpp"
#include "core/errors.hpp"
#include "core/host.hpp"

namespace tarvik::admin {

void kill_process_on_port(long long port) {
    // Probe failures (a bad port number, no name service) reach the caller.
    if (!is_port_in_use(port)) return;
    try {
        kill_port_owners(static_cast<int>(port));
    } catch (const std::exception& e) {
        println("Error: " + error_text(e));
    }
}

}  // namespace tarvik::admin
