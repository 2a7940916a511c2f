#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <string>
#include <system_error>
#include <tolvane/DirectiveStore.hpp>

namespace tolvane {

namespace {

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// Closes on every way out.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, reporting the error a delayed write may surface only here.
    int close() {
        int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

// Makes `directory` and its missing parents, each 0700 (set explicitly, whatever the umask);
// existing directories are left alone.
void createDirectories(const std::filesystem::path& directory) {
    std::filesystem::path partial;
    for (const auto& component : directory) {
        partial /= component;
        struct stat status;
        for (int attempt = 0;; ++attempt) {
            if (::stat(partial.c_str(), &status) == 0) {
                if (!S_ISDIR(status.st_mode)) {
                    fail(ENOTDIR, "cannot create the directory " + partial.string());
                }
                break;
            }
            if (errno != ENOENT) fail(errno, "cannot create the directory " + partial.string());
            if (::mkdir(partial.c_str(), 0700) == 0) {
                if (::chmod(partial.c_str(), 0700) != 0) {
                    fail(errno, "cannot set the permissions of " + partial.string());
                }
                break;
            }
            // Made meanwhile by another publisher: look once more. (A link to nothing also
            // exists without being there; it fails the second time.)
            if (errno != EEXIST || attempt > 0)
                fail(errno, "cannot create the directory " + partial.string());
        }
    }
}

void writeAll(int fd, std::string_view bytes, const std::filesystem::path& path) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno, "cannot write " + path.string());
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

const std::filesystem::path& FileEnforcementDirectiveStore::defaultDirectory() {
    static const std::filesystem::path directory("/Library/Application Support/Tolvane");
    return directory;
}

FileEnforcementDirectiveStore::FileEnforcementDirectiveStore(const std::filesystem::path& directory)
    : url_(directory / fileName) {}

void FileEnforcementDirectiveStore::publish(const EnforcementDirective& directive) {
    const std::filesystem::path dir = directory();
    if (!dir.empty()) createDirectories(dir);
    // JSON has no number for NaN or the infinities; such a directive cannot be encoded, and
    // writing null in its place would leave a file no reader accepts.
    if (!std::isfinite(directive.publishedAt()) ||
        (directive.validation() && !std::isfinite(directive.validation()->expiresAt()))) {
        fail(EINVAL, "cannot encode the directive: an instant is not a finite number");
    }
    const std::string bytes = encodeJSON(directive);

    // mkostemp: exclusive creation under an unpredictable name, mode 0600, in the same
    // directory so the rename stays within one file system.
    std::string temporary = (dir / ("." + std::string(fileName) + ".XXXXXX")).string();
    Descriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0) fail(errno, "cannot create a temporary file in " + dir.string());
    bool renamed = false;
    struct RemoveUnlessRenamed {
        const std::string& path;
        const bool& renamed;
        ~RemoveUnlessRenamed() {
            if (!renamed) ::unlink(path.c_str());
        }
    } cleanup{temporary, renamed};

    writeAll(file.get(), bytes, temporary);
    if (::fchmod(file.get(), 0600) != 0) fail(errno, "cannot set the permissions of " + temporary);
    if (::fsync(file.get()) != 0) fail(errno, "cannot flush " + temporary);
    if (file.close() != 0) fail(errno, "cannot write " + temporary);
    if (::rename(temporary.c_str(), url_.c_str()) != 0) {
        fail(errno, "cannot replace " + url_.string());
    }
    renamed = true;

    // Make the rename itself durable.
    Descriptor parent(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() < 0) fail(errno, "cannot open " + dir.string() + " to flush it");
    if (::fsync(parent.get()) != 0 && errno != EINVAL) {  // EINVAL: cannot be flushed here
        fail(errno, "cannot flush " + dir.string());
    }
}

std::optional<EnforcementDirective> FileEnforcementDirectiveStore::load() const {
    // Non-blocking, so that a FIFO put in the file's place cannot stall the open.
    Descriptor file(::open(url_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
        // Whatever cannot even be looked up (nothing there, a link to nothing or in a loop, a
        // path through something that is no directory or that may not be searched) is no
        // file, which is not an error. Only a file that exists and cannot be opened is one.
        const int openError = errno;
        struct stat status;
        if (::stat(url_.c_str(), &status) != 0) return std::nullopt;
        fail(openError, "cannot open " + url_.string());
    }
    struct stat status;
    if (::fstat(file.get(), &status) != 0) fail(errno, "cannot read " + url_.string());
    if (S_ISDIR(status.st_mode)) fail(EISDIR, url_.string() + " is a directory, not a file");
    if (!S_ISREG(status.st_mode)) fail(EINVAL, url_.string() + " is not a regular file");
    if (static_cast<std::uintmax_t>(status.st_size) > maximumFileSize) {
        fail(EFBIG, url_.string() + " is larger than " + std::to_string(maximumFileSize) +
                        " bytes; a directive is never that large");
    }

    // One byte more than fstat said, so the end shows without a second allocation; the file
    // may still grow meanwhile, and is then read up to one byte past the limit.
    std::string bytes(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            if (bytes.size() > maximumFileSize) {
                fail(EFBIG, url_.string() + " is larger than " + std::to_string(maximumFileSize) +
                                " bytes; a directive is never that large");
            }
            bytes.resize(
                std::min(maximumFileSize + 1, std::max<std::size_t>(4096, bytes.size() * 2)));
        }
        ssize_t n = ::read(file.get(), bytes.data() + used, bytes.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno, "cannot read " + url_.string());
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    bytes.resize(used);
    return decodeJSON<EnforcementDirective>(bytes);
}

void InMemoryEnforcementDirectiveStore::publish(const EnforcementDirective& directive) {
    std::scoped_lock lock(lock_);
    directive_ = directive;
    history_.push_back(directive);
}

std::optional<EnforcementDirective> InMemoryEnforcementDirectiveStore::load() const {
    std::scoped_lock lock(lock_);
    return directive_;
}

std::vector<EnforcementDirective> InMemoryEnforcementDirectiveStore::publishedDirectives() const {
    std::scoped_lock lock(lock_);
    return history_;
}

}  // namespace tolvane
