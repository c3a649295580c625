// Ending processes and naming this one, on Linux and macOS alike.
#if !defined(_WIN32)

#include "core/process_list.hpp"

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

#include "core/errors.hpp"

namespace tarvik {

void kill_process(long pid) {
    if (::kill(static_cast<pid_t>(pid), SIGKILL) != 0) throw os_error_from_errno();
}

long current_process_id() { return static_cast<long>(::getpid()); }

}  // namespace tarvik

#endif  // !_WIN32
