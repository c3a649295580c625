// One update at a time per installation: a lock file in the update folder
// naming the process that holds it (the starting application while it checks
// and stages, then the update script until it ends). A lock whose process no
// longer runs is stale and is taken over.
#pragma once

#include <string>

namespace tarvik::update {

class UpdateLock {
public:
    // Tries to take the lock at `path` (its folder must exist). OsError when
    // the file cannot be created for another reason than a live holder.
    explicit UpdateLock(std::string path);
    ~UpdateLock();
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;

    bool held() const { return held_; }
    // True when the lock was taken over from a process that no longer runs.
    bool was_stale() const { return was_stale_; }
    // Passes the lock to another process (the update script): this object no
    // longer releases it.
    void hand_to(long pid);
    void release();

private:
    std::string path_;
    bool held_ = false;
    bool was_stale_ = false;
};

// Whether the process the lock text names still runs.
bool lock_holder_alive(const std::string& lock_text);

}  // namespace tarvik::update
