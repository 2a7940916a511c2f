// AdvisoryLock.hpp: an exclusive flock(2) that makes a read-decide-replace of a shared file
// one step across processes. Only writers take it; readers never wait, since every file it
// guards is replaced atomically.
//
//   auto lock = AdvisoryLock::onDirectory("/d");   // the directory itself: no entry is made
//   auto lock = AdvisoryLock::onFile("/s.lock");   // a lock file, made once and kept
//
// The lock is released when the value is destroyed, or when its process ends however it
// ends. A second lock on the same object in the same process waits for ever: flock locks
// belong to the open file, not to the process.
#pragma once

#include <filesystem>

namespace tolvane {

class AdvisoryLock {
public:
    // Waits for the directory's lock. The directory must exist. Should it be replaced while
    // waiting, the lock is taken again on the one now at the path, so every holder locks the
    // same directory. Throws std::system_error.
    static AdvisoryLock onDirectory(const std::filesystem::path& directory);
    // Waits for the lock of the file at `path`, made empty with mode 0600 when missing. The
    // file is never removed: removing it would let two processes lock two different files.
    // Throws std::system_error.
    static AdvisoryLock onFile(const std::filesystem::path& path);

    AdvisoryLock(AdvisoryLock&& other) noexcept;
    AdvisoryLock& operator=(AdvisoryLock&& other) noexcept;
    AdvisoryLock(const AdvisoryLock&) = delete;
    AdvisoryLock& operator=(const AdvisoryLock&) = delete;
    ~AdvisoryLock();

private:
    explicit AdvisoryLock(int descriptor) : descriptor_(descriptor) {}
    int descriptor_ = -1;
};

}  // namespace tolvane
