#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>
#include <tolvane/AtomicFile.hpp>
#include <utility>

#include "Descriptor.hpp"

namespace tolvane {

namespace {

using detail::Descriptor;

[[noreturn]] void fail(int error, const std::string& what) {
    detail::failWithErrno(error, what);
}

void writeAll(int fd, std::string_view bytes, const std::string& path) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno, "cannot write " + path);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::filesystem::path parentOf(const std::filesystem::path& path) {
    const auto parent = path.parent_path();
    return parent.empty() ? "." : parent;
}

constexpr std::string_view temporarySuffix = "XXXXXX";

}  // namespace

void replaceFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
    const std::filesystem::path directory = parentOf(path);
    // mkostemp: exclusive creation under an unpredictable name with mode 0600, in the same
    // directory so the rename stays within one file system.
    std::string temporary =
        (directory / ("." + path.filename().string() + "." + std::string(temporarySuffix)))
            .string();
    Descriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0) fail(errno, "cannot create a temporary file in " + directory.string());
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
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        fail(errno, "cannot replace " + path.string());
    renamed = true;

    Descriptor parent(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() < 0) fail(errno, "cannot open " + directory.string() + " to flush it");
    if (::fsync(parent.get()) != 0 && errno != EINVAL) {  // EINVAL: cannot be flushed here
        fail(errno, "cannot flush " + directory.string());
    }
}

bool isTemporaryName(std::string_view name, std::string_view fileName) {
    if (name.size() != fileName.size() + 2 + temporarySuffix.size() || name[0] != '.' ||
        name.substr(1, fileName.size()) != fileName || name[fileName.size() + 1] != '.') {
        return false;
    }
    // mkostemp fills in letters and digits only.
    const auto tail = name.substr(fileName.size() + 2);
    return std::all_of(tail.begin(), tail.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
}

std::size_t removeStaleTemporaries(const std::filesystem::path& path) {
    const std::string fileName = path.filename().string();
    Descriptor directory(
        ::open(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (directory.get() < 0) return 0;
    const int listFd = ::dup(directory.get());
    if (listFd < 0) return 0;
    DIR* list = ::fdopendir(listFd);
    if (!list) {
        ::close(listFd);
        return 0;
    }
    std::size_t removed = 0;
    while (const dirent* entry = ::readdir(list)) {
        // unlinkat without AT_REMOVEDIR leaves a directory of the same name alone.
        if (isTemporaryName(entry->d_name, fileName) &&
            ::unlinkat(directory.get(), entry->d_name, 0) == 0) {
            ++removed;
        }
    }
    ::closedir(list);
    return removed;
}

std::optional<std::string> readFileBounded(const std::filesystem::path& path,
                                           std::size_t maximumSize) {
    // Non-blocking, so that a FIFO put in the file's place cannot stall the open.
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.get() < 0) {
        // Whatever cannot even be looked up is no file, which is not an error. Only a file
        // that exists and cannot be opened is one.
        const int openError = errno;
        struct stat status;
        if (::stat(path.c_str(), &status) != 0) return std::nullopt;
        fail(openError, "cannot open " + path.string());
    }
    struct stat status;
    if (::fstat(file.get(), &status) != 0) fail(errno, "cannot read " + path.string());
    if (S_ISDIR(status.st_mode)) fail(EISDIR, path.string() + " is a directory, not a file");
    if (!S_ISREG(status.st_mode)) fail(EINVAL, path.string() + " is not a regular file");
    const auto tooLarge = [&] {
        fail(EFBIG, path.string() + " is larger than " + std::to_string(maximumSize) + " bytes");
    };
    if (static_cast<std::uintmax_t>(status.st_size) > maximumSize) tooLarge();

    // One byte more than fstat said, so the end shows without a second allocation; a file
    // growing meanwhile is read up to one byte past the limit.
    std::string bytes(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            if (bytes.size() > maximumSize) tooLarge();
            bytes.resize(std::min(maximumSize + 1, std::max<std::size_t>(4096, bytes.size() * 2)));
        }
        const ssize_t n = ::read(file.get(), bytes.data() + used, bytes.size() - used);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno, "cannot read " + path.string());
        }
        if (n == 0) break;
        used += static_cast<std::size_t>(n);
    }
    bytes.resize(used);
    return bytes;
}

}  // namespace tolvane
