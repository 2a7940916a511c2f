#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <system_error>
#include <tolvane/DirectiveStore.hpp>

#include "TestSupport.hpp"

namespace tolvane {
namespace {

namespace fs = std::filesystem;
using tolvane::testing::TemporaryDirectory;

EnforcementDirective enforcing(std::int64_t generation, Instant publishedAt) {
    return EnforcementDirective(Scope(generation, {*Domain::make("example.com")}), std::nullopt,
                                publishedAt);
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The error load() throws, as an errc, or nullopt when it throws something else or nothing.
std::optional<std::errc> loadFailure(const FileEnforcementDirectiveStore& store) {
    try {
        store.load();
    } catch (const std::system_error& error) {
        return static_cast<std::errc>(error.code().value());
    } catch (...) {
    }
    return std::nullopt;
}

TEST(FileEnforcementDirectiveStore, LoadsNoneWithoutFileAndCreatesNothing) {
    TemporaryDirectory tmp;
    FileEnforcementDirectiveStore store(tmp.path() / "a" / "b");
    EXPECT_EQ(store.load(), std::nullopt);
    EXPECT_FALSE(fs::exists(tmp.path() / "a"));
    // A link to nothing or a link loop counts as no file, as does a path through a plain file.
    fs::create_directories(tmp.path() / "a" / "b");
    for (const auto& target : {tmp.path() / "nowhere", store.url()}) {
        fs::remove(store.url());
        fs::create_symlink(target, store.url());
        EXPECT_EQ(store.load(), std::nullopt);
    }
    writeFile(tmp.path() / "plain", "x");
    EXPECT_EQ(FileEnforcementDirectiveStore(tmp.path() / "plain").load(), std::nullopt);
}

TEST(FileEnforcementDirectiveStore, PublishCreatesPrivateDirectoriesOnlyAndReplacesTheFile) {
    TemporaryDirectory tmp;
    mode_t previousMask = ::umask(0);  // the modes must not depend on the umask
    FileEnforcementDirectiveStore store(tmp.path() / "Application Support" / "Tolvane");
    store.publish(enforcing(7, 600.25));
    ::umask(previousMask);
    EXPECT_EQ(fs::status(tmp.path() / "Application Support").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(store.directory()).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(store.url()).permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(store.load(), enforcing(7, 600.25));
    store.publish(EnforcementDirective::idle(700));
    EXPECT_EQ(store.load(), EnforcementDirective::idle(700));
    EXPECT_EQ(entries(store.directory()), std::vector<std::string>{"enforcement-directive.json"});

    // A directory that exists keeps its own mode.
    const auto shared = fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_read;
    fs::permissions(tmp.path(), shared);
    FileEnforcementDirectiveStore(tmp.path()).publish(enforcing(1, 1));
    EXPECT_EQ(fs::status(tmp.path()).permissions(), shared);
}

TEST(FileEnforcementDirectiveStore, FailedPublishLeavesNoTemporaryAndKeepsTheOldFile) {
    TemporaryDirectory tmp;
    FileEnforcementDirectiveStore store(tmp.path());
    fs::create_directory(store.url());  // the rename cannot replace a directory
    EXPECT_THROW(store.publish(enforcing(1, 1)), std::system_error);
    EXPECT_EQ(entries(tmp.path()), std::vector<std::string>{"enforcement-directive.json"});
    writeFile(tmp.path() / "file", "x");
    EXPECT_THROW(
        FileEnforcementDirectiveStore(tmp.path() / "file" / "below").publish(enforcing(1, 1)),
        std::system_error);
}

TEST(FileEnforcementDirectiveStore, InstantsWithoutJSONNumberAreNotPublished) {
    TemporaryDirectory tmp;
    FileEnforcementDirectiveStore store(tmp.path() / "Tolvane");
    EXPECT_THROW(store.publish(EnforcementDirective::idle(std::nan(""))), std::system_error);
    EXPECT_TRUE(fs::is_directory(store.directory()));  // made before encoding
    EXPECT_EQ(store.load(), std::nullopt);
    store.publish(enforcing(1, 1));
    EXPECT_THROW(store.publish(EnforcementDirective::idle(INFINITY)), std::system_error);
    EXPECT_EQ(store.load(), enforcing(1, 1));
    EXPECT_EQ(entries(store.directory()), std::vector<std::string>{"enforcement-directive.json"});
}

// Which contents decode is the directive's own affair; the store passes its error on.
TEST(FileEnforcementDirectiveStore, RefusesUndecodableContentNonFilesAndHugeFilesUnread) {
    TemporaryDirectory tmp;
    FileEnforcementDirectiveStore store(tmp.path());
    for (const char* text :
         {"", R"({"publishedAt":1,"scope":{"generation":1,"domains":["a b"]}})"}) {
        writeFile(store.url(), text);
        EXPECT_THROW(store.load(), DecodingError) << text;
    }
    fs::remove(store.url());
    fs::create_directory(store.url());
    EXPECT_EQ(loadFailure(store), std::errc::is_a_directory);
    fs::remove(store.url());
    ASSERT_EQ(::mkfifo(store.url().c_str(), 0600), 0);  // would block a plain open
    EXPECT_EQ(loadFailure(store), std::errc::invalid_argument);
    fs::remove(store.url());
    writeFile(store.url(), "{}");
    fs::resize_file(store.url(), 100 * 1024 * 1024);  // sparse: costs no disk
    EXPECT_EQ(loadFailure(store), std::errc::file_too_large);
}

// A file that exists and cannot be read is an error; one behind a directory that may not be
// searched cannot even be seen, so there is none. Root reads everything, so it asks as an
// unprivileged user in a child process.
TEST(FileEnforcementDirectiveStore, UnreadableFileIsAnError) {
    TemporaryDirectory tmp;
    FileEnforcementDirectiveStore store(tmp.path()), hidden(tmp.path() / "hidden");
    store.publish(enforcing(1, 1));   // mode 0600
    hidden.publish(enforcing(1, 1));  // in a directory of mode 0700
    const bool root = ::geteuid() == 0;
    if (!root) fs::permissions(store.url(), fs::perms::none);
    fs::permissions(hidden.directory(), fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(tmp.path(), fs::perms::owner_all | fs::perms::others_exec);
    const auto check = [&] {
        try {
            return loadFailure(store) == std::errc::permission_denied && !hidden.load();
        } catch (...) {
            return false;
        }
    };
    if (!root) {
        EXPECT_TRUE(check());
    } else {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) ::_exit(::setgid(65534) == 0 && ::setuid(65534) == 0 && check() ? 0 : 1);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    fs::permissions(hidden.directory(), fs::perms::owner_all);
}

// Whether another open file could take the directory's lock now.
bool directoryLockIsFree(const fs::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

// That a read-check-publish under this lock loses nothing across processes is the tool
// suite's PublishersAtOnceNeverLoseAPublishedDomain.
TEST(FileEnforcementDirectiveStore, PublishersLockTheDirectoryItselfAndAddNoEntry) {
    TemporaryDirectory tmp;
    FileEnforcementDirectiveStore store(tmp.path() / "Tolvane");
    {
        const AdvisoryLock held = store.lockForPublishing();
        EXPECT_FALSE(directoryLockIsFree(store.directory()));
        store.publish(enforcing(1, 1), held);
        EXPECT_EQ(entries(store.directory()),
                  std::vector<std::string>{"enforcement-directive.json"});
    }
    EXPECT_TRUE(directoryLockIsFree(store.directory()));
}

// A publisher killed between making its temporary and renaming it leaves the temporary; the
// next publication, which holds the lock every publisher holds, removes it, and nothing else.
TEST(FileEnforcementDirectiveStore, PublishRemovesDeadPublishersTemporariesOnly) {
    TemporaryDirectory tmp;
    const std::string prefix = ".enforcement-directive.json.";
    for (const char* stale : {"Ab12Cd", "zzzzzz"}) writeFile(tmp.path() / (prefix + stale), "{");
    std::vector<std::string> kept = {prefix + "Ab12C", prefix + "Ab12C-", prefix + "Ab12Cde",
                                     ".other.json.Ab12Cd", "enforcement-directive.json.Ab12Cd"};
    for (const auto& name : kept) writeFile(tmp.path() / name, "{");
    kept.push_back(prefix + "Dir123");
    fs::create_directory(tmp.path() / kept.back());
    FileEnforcementDirectiveStore(tmp.path()).publish(enforcing(1, 1));
    kept.push_back("enforcement-directive.json");
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(entries(tmp.path()), kept);
}

TEST(InMemoryEnforcementDirectiveStore, KeepsTheCurrentDirectiveAndTheHistory) {
    InMemoryEnforcementDirectiveStore store(enforcing(0, 0));
    store.publish(enforcing(1, 1));
    store.publish(enforcing(2, 2));
    EXPECT_EQ(store.load(), enforcing(2, 2));
    EXPECT_EQ(store.publishedDirectives(),
              (std::vector<EnforcementDirective>{enforcing(1, 1), enforcing(2, 2)}));
}

}  // namespace
}  // namespace tolvane
