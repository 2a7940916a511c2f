// DirectiveStore.hpp: where the enforcement directive is put by its publisher and found by
// its reader: the two roles as interfaces, a file store for the system-wide directive file,
// and an in-memory store for use inside one process.
//
//   FileEnforcementDirectiveStore store(FileEnforcementDirectiveStore::defaultDirectory());
//   store.url()           "/var/lib/tolvane/enforcement-directive.json"
//   store.load()          nullopt while no file exists there
//   store.publish(d);     directory made 0700 if missing, file replaced atomically, mode 0600
//   store.load()          d
//
//   auto held = store.lockForPublishing();   a read-check-publish as one step:
//   if (store.load() ...) store.publish(next, held);
//
//   file at url()                          load()
//   -------------------------------------  ------------------------------------------------
//   missing, or cannot be looked up        nullopt
//   (a link to nothing or in a loop, a
//   directory on the way not searchable)
//   a directive's JSON form                the directive
//   empty, not JSON, not a directive       throws DecodingError
//   unreadable (permissions, I/O error)    throws std::system_error
//   a directory, FIFO or other non-file    throws std::system_error (is_a_directory /
//                                          invalid_argument), without reading it
//   larger than maximumFileSize (16 MiB)   throws std::system_error (file_too_large),
//                                          without reading it
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <tolvane/AdvisoryLock.hpp>
#include <tolvane/EnforcementDirective.hpp>
#include <vector>

namespace tolvane {

// The publisher's role.
class EnforcementDirectivePublishing {
public:
    virtual ~EnforcementDirectivePublishing() = default;
    // Makes `directive` the current one. Throws on failure.
    virtual void publish(const EnforcementDirective& directive) = 0;
};

// The reader's role.
class EnforcementDirectiveReading {
public:
    virtual ~EnforcementDirectiveReading() = default;
    // The current directive, or nullopt when none has been published. Throws on failure.
    virtual std::optional<EnforcementDirective> load() const = 0;
};

// The directive as one JSON file, "enforcement-directive.json", in a directory. A plain
// value: it holds the path and nothing else. Readers take no lock and rely on the atomic
// replacement, so a reader sees the old or the new file whole; publishers in any processes
// take the directory's advisory lock, so they never interleave.
class FileEnforcementDirectiveStore final : public EnforcementDirectivePublishing,
                                            public EnforcementDirectiveReading {
public:
    static constexpr std::string_view fileName = "enforcement-directive.json";
    // A directive is a few hundred bytes; anything past this is refused unread, so a huge
    // file can neither exhaust memory nor hold up the reader.
    static constexpr std::size_t maximumFileSize = 16 * 1024 * 1024;
    static constexpr std::filesystem::perms directoryPermissions =
        std::filesystem::perms::owner_all;
    static constexpr std::filesystem::perms filePermissions =
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;

    // "/var/lib/tolvane" on Linux ("/Library/Application Support/Tolvane" for a build that
    // targets macOS); the build option TOLVANE_DEFAULT_DIRECTORY chooses another. Built once.
    static const std::filesystem::path& defaultDirectory();

    // Makes `directory` and its missing parents, each 0700, as publishing does; true when it
    // made the directory itself. Throws std::system_error: ENOTDIR when it, or a parent, is
    // something other than a directory.
    static bool makeDirectory(const std::filesystem::path& directory);

    // Touches no file.
    explicit FileEnforcementDirectiveStore(const std::filesystem::path& directory);

    // The directive file: the directory with fileName appended.
    const std::filesystem::path& url() const { return url_; }
    // The directory that holds it.
    std::filesystem::path directory() const { return url_.parent_path(); }

    // 1. Creates the directory, with missing parents, each with mode 0700; existing ones are
    //    left as they are.
    // 2. Encodes the directive (its JSON form); an instant that is NaN or infinite cannot
    //    be encoded, which fails the publication.
    // 3. Writes it to a fresh temporary file in the same directory (created exclusively with
    //    an unpredictable name and mode 0600), flushes it to the disk, renames it over the
    //    file, and flushes the directory, so that after a crash the file holds the old or the
    //    new directive, never a mixture or nothing.
    // 4. The file therefore has mode 0600 the moment it appears.
    // Throws std::system_error naming the step and path. A failure before the rename leaves
    // no temporary file and the old directive in place; a failure to flush the directory
    // comes after the new directive has replaced the old one.
    // Steps 2 to 4 run under lockForPublishing(), which also removes the temporaries of
    // publishers killed before their rename.
    void publish(const EnforcementDirective& directive) override;
    // The same, for a caller that holds lockForPublishing() of this directory already (taking
    // it twice in one process would wait for ever).
    void publish(const EnforcementDirective& directive, const AdvisoryLock& held);

    // Makes the directory as publish does and waits for its advisory lock: the lock on the
    // directory itself, so no entry appears for a watcher to see. Hold it from reading the
    // current directive to publishing the next one when the next depends on the current.
    // Throws std::system_error.
    AdvisoryLock lockForPublishing() const;

    // Reads the whole file afresh and decodes it (see the table above). Never writes.
    std::optional<EnforcementDirective> load() const override;

    bool operator==(const FileEnforcementDirectiveStore& other) const { return url_ == other.url_; }

private:
    std::filesystem::path url_;
};

// The same two roles inside one process, remembering every publication. Safe from any
// thread; never fails.
class InMemoryEnforcementDirectiveStore final : public EnforcementDirectivePublishing,
                                                public EnforcementDirectiveReading {
public:
    // `directive` is current at first, but not part of the history.
    explicit InMemoryEnforcementDirectiveStore(
        std::optional<EnforcementDirective> directive = std::nullopt)
        : directive_(std::move(directive)) {}

    void publish(const EnforcementDirective& directive) override;
    std::optional<EnforcementDirective> load() const override;
    // Every directive published here, oldest first.
    std::vector<EnforcementDirective> publishedDirectives() const;

private:
    mutable std::mutex lock_;
    std::optional<EnforcementDirective> directive_;
    std::vector<EnforcementDirective> history_;
};

}  // namespace tolvane
