#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <string>
#include <system_error>
#include <tolvane/AtomicFile.hpp>
#include <tolvane/DirectiveStore.hpp>

namespace tolvane {

namespace {

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

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

}  // namespace

const std::filesystem::path& FileEnforcementDirectiveStore::defaultDirectory() {
    static const std::filesystem::path directory(TOLVANE_DEFAULT_DIRECTORY);
    return directory;
}

bool FileEnforcementDirectiveStore::makeDirectory(const std::filesystem::path& directory) {
    struct stat status;
    const bool existed = ::stat(directory.c_str(), &status) == 0;
    createDirectories(directory);
    return !existed;
}

FileEnforcementDirectiveStore::FileEnforcementDirectiveStore(const std::filesystem::path& directory)
    : url_(directory / fileName) {}

AdvisoryLock FileEnforcementDirectiveStore::lockForPublishing() const {
    const std::filesystem::path dir = directory();
    if (dir.empty()) return AdvisoryLock::onDirectory(".");
    createDirectories(dir);
    return AdvisoryLock::onDirectory(dir);
}

void FileEnforcementDirectiveStore::publish(const EnforcementDirective& directive) {
    const AdvisoryLock held = lockForPublishing();
    publish(directive, held);
}

void FileEnforcementDirectiveStore::publish(const EnforcementDirective& directive,
                                            const AdvisoryLock&) {
    // JSON has no number for NaN or the infinities; such a directive cannot be encoded, and
    // writing null in its place would leave a file no reader accepts.
    if (!std::isfinite(directive.publishedAt()) ||
        (directive.validation() && !std::isfinite(directive.validation()->expiresAt()))) {
        fail(EINVAL, "cannot encode the directive: an instant is not a finite number");
    }
    // No other publisher runs while the lock is held, so a temporary of ours is a dead one's.
    removeStaleTemporaries(url_);
    replaceFileAtomically(url_, encodeJSON(directive));
}

std::optional<EnforcementDirective> FileEnforcementDirectiveStore::load() const {
    const auto bytes = readFileBounded(url_, maximumFileSize);
    if (!bytes) return std::nullopt;
    return decodeJSON<EnforcementDirective>(*bytes);
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
