// Descriptor.hpp: an owned file descriptor, and the system_error our file code throws.
#pragma once

#include <unistd.h>

#include <string>
#include <system_error>
#include <utility>

namespace tolvane::detail {

[[noreturn]] inline void failWithErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// Closes on every way out unless released.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    // Closes now, reporting the error a delayed write may surface only here.
    int close() { return ::close(std::exchange(fd_, -1)); }

private:
    int fd_;
};

}  // namespace tolvane::detail
