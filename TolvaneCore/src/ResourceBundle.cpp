#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>
#include <tolvane/ResourceBundle.hpp>
#include <vector>

namespace tolvane::resources {

namespace fs = std::filesystem;

namespace {

fs::path executablePath() {
    std::error_code error;
    fs::path path = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : path;
}

// The file that holds this function's code: the executable when the library is linked
// statically, the shared library otherwise.
fs::path libraryBinaryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&libraryBinaryPath), &info) == 0 || !info.dli_fname) {
        return {};
    }
    std::error_code error;
    fs::path path = fs::weakly_canonical(info.dli_fname, error);
    return error ? fs::path() : path;
}

bool isDirectory(const fs::path& path) {
    std::error_code error;
    return !path.empty() && fs::is_directory(path, error);
}

// The fatal message's first line is what callers match on; the second tells a person where
// the bundle was looked for and how to point at another.
std::string notFoundMessage(const std::vector<fs::path>& candidates) {
    std::string message = "unable to find bundle named TolvaneCore_TolvaneCore\n";
    if (candidates.empty()) {
        message += "looked nowhere: the running program's path is unknown";
    } else {
        message += "looked in ";
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            if (i > 0) message += ", ";
            message += candidates[i].string();
        }
    }
    message += "; set ";
    message += kResourceBundleVariable;
    message += " to the bundle directory to use another";
    return message;
}

fs::path locate() {
    std::vector<fs::path> candidates;
    if (const char* overridden = std::getenv(kResourceBundleVariable); overridden && *overridden) {
        candidates.emplace_back(overridden);
    }
    const fs::path executable = executablePath();
    if (!executable.empty()) candidates.push_back(executable.parent_path() / kResourceBundleName);
    const fs::path library = libraryBinaryPath();
    if (!library.empty() && library != executable) {
        candidates.push_back(library.parent_path() / kResourceBundleName);
    }
    if (!executable.empty()) {
        // Installed: bin/ and sbin/ programs share <prefix>/share/tolvane.
        const fs::path share = executable.parent_path().parent_path() / "share";
        candidates.push_back(share / "tolvane" / kResourceBundleName);
        candidates.push_back(share / kResourceBundleName);
    }
    for (const fs::path& candidate : candidates) {
        if (isDirectory(candidate)) return candidate;
    }
    fatalError(notFoundMessage(candidates));
}

}  // namespace

const fs::path& resourceBundleDirectory() {
    static const fs::path directory = locate();
    return directory;
}

std::optional<fs::path> resourcePath(std::string_view name, std::string_view extension) {
    std::string fileName(name);
    if (!extension.empty()) {
        fileName += '.';
        fileName += extension;
    }
    fs::path path = resourceBundleDirectory() / fileName;
    std::error_code error;
    if (!fs::exists(path, error)) return std::nullopt;
    return path;
}

void fatalError(std::string_view message) {
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(nullptr);
    std::_Exit(134);
}

}  // namespace tolvane::resources
