// What check_update does before anything else: finish or undo a swap that an
// update script could not complete (killed, power lost), confirm the start of
// a freshly installed version to the script that waits for it, take the
// installation's update lock, and clear what killed runs left behind.
#pragma once

#include <memory>
#include <string>

#include "update/swap_plan.hpp"
#include "update/update_lock.hpp"

namespace tarvik::update {

struct StartState {
    enum class Kind {
        ready,      // the lock is ours; the installation is exactly one version
        read_only,  // the installation cannot be written: no update possible
        busy,       // another update of this installation runs
    } kind = Kind::ready;
    bool confirmed = false;            // this start is the new version an update script waited for
    std::string detail;                // read_only: the failure text
    std::unique_ptr<UpdateLock> lock;  // held when ready
};

StartState prepare_installation(const UpdatePaths& paths, const std::string& version);

// Removes the staged trees of the update folder except the one named `keep`
// ("" removes all), then the folder itself when it is empty. Errors ignored.
void remove_stale_stages(const UpdatePaths& paths, const std::string& keep);

// Whether an update to the remote manifest of this hash failed before (its
// script rolled it back): it is not tried again.
bool is_rejected(const UpdatePaths& paths, const std::string& remote_hash);

}  // namespace tarvik::update
