#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <tolvane/AdvisoryLock.hpp>
#include <utility>

#include "Descriptor.hpp"

namespace tolvane {

namespace {

using detail::Descriptor;

[[noreturn]] void fail(int error, const std::string& what) {
    detail::failWithErrno(error, what);
}

void waitForLock(int fd, const std::string& what) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) fail(errno, "cannot lock " + what);
    }
}

}  // namespace

AdvisoryLock AdvisoryLock::onDirectory(const std::filesystem::path& directory) {
    for (;;) {
        Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd.get() < 0) fail(errno, "cannot open the directory " + directory.string());
        waitForLock(fd.get(), directory.string());
        // A directory removed and made anew meanwhile is another directory: lock that one.
        struct stat held, current;
        if (::fstat(fd.get(), &held) != 0) fail(errno, "cannot lock " + directory.string());
        if (::stat(directory.c_str(), &current) == 0 && held.st_dev == current.st_dev &&
            held.st_ino == current.st_ino) {
            return AdvisoryLock(fd.release());
        }
    }
}

AdvisoryLock AdvisoryLock::onFile(const std::filesystem::path& path) {
    // Opened for reading only: closing it then raises no close-after-write event for a
    // watcher of the directory, and flock needs no more.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600));
    if (fd.get() < 0) fail(errno, "cannot open the lock file " + path.string());
    waitForLock(fd.get(), path.string());
    return AdvisoryLock(fd.release());
}

AdvisoryLock::AdvisoryLock(AdvisoryLock&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

AdvisoryLock& AdvisoryLock::operator=(AdvisoryLock&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) ::close(descriptor_);
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

AdvisoryLock::~AdvisoryLock() {
    if (descriptor_ >= 0) ::close(descriptor_);  // closing the last descriptor unlocks
}

}  // namespace tolvane
