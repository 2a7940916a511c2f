// DirectoryWatch.hpp: a file-system object source on one directory: the directory is opened
// for events only, and every change to its entries, or to the directory itself, is handed to
// an event handler on a serial queue.
//
//   kernel events (inotify)                          handler sees
//   CREATE/MODIFY/CLOSE_WRITE/MOVED_FROM/MOVED_TO/   DirectoryEvents{.entriesChanged = true}
//     DELETE of an entry
//   ATTRIB (entry or directory)                      .attributesChanged
//   DELETE_SELF / IGNORED                            .directoryDeleted; the last event
//   MOVE_SELF                                        .directoryMoved; the watch stays on the
//                                                    moved directory
//
// Events that arrive while a delivery is still waiting on the queue are merged into it, so a
// burst of changes costs one handler call, and a change made while the handler runs always
// leads to one more call. An atomic replacement of an entry (a temporary written, then
// renamed over it) therefore shows up as one or a few calls.
//
// The watch follows the directory object, not the path: once the directory is deleted the
// watch ends, and a directory made anew at the same path is not watched.
//
// The descriptor that stays open is an event-only one (the inotify instance): it does not
// keep the directory alive. The directory itself is opened (read-only, close-on-exec, as a
// directory) only while the watch is added, to watch exactly that object; a directory
// descriptor held open would hold back the kernel's deletion notice until it was closed.
#pragma once

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <tolvane/platform/SerialQueue.hpp>

namespace tolvane::platform {

// What one delivery merged together.
struct DirectoryEvents {
    bool entriesChanged = false;     // an entry was created, written, moved in or out, deleted
    bool attributesChanged = false;  // an entry's or the directory's metadata changed
    bool directoryDeleted = false;   // the directory itself is gone; nothing follows
    bool directoryMoved = false;     // the directory itself was renamed or moved

    bool operator==(const DirectoryEvents&) const = default;
    std::string description() const;
};
std::ostream& operator<<(std::ostream& os, const DirectoryEvents& events);

class DirectoryWatch {
public:
    using EventHandler = std::function<void(const DirectoryEvents&)>;
    using CancelHandler = std::function<void()>;

    // Opens `directory` (refusing anything but a directory) and sets up the watch,
    // suspended. nullptr when the directory cannot be opened or watched;
    // errno then tells why. `queue` must outlive every handler call, that is, until the
    // cancel handler has run.
    static std::unique_ptr<DirectoryWatch> make(const std::filesystem::path& directory,
                                                SerialQueue& queue);

    // Cancels (see cancel()) and waits for the reader thread. The cancel handler, and the
    // closing of the descriptors, still happen on the queue afterwards.
    ~DirectoryWatch();

    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;

    // REQUIRES: called before resume().
    void setEventHandler(EventHandler handler);
    void setCancelHandler(CancelHandler handler);

    // Starts delivering events. Further calls do nothing.
    void resume();

    // Stops the watch: the reader thread ends at once, no event handler call starts after
    // this returns (one that is running finishes), and then, on the queue, the cancel
    // handler runs once and the descriptors are closed. Safe from any thread, the queue
    // included, and any number of times; a watch that was never resumed is cancelled the
    // same way.
    void cancel();

    // The event descriptor while the watch lives, -1 once the cancel handler has run. Only
    // for identifying the watch; never close it.
    int descriptor() const;

private:
    struct State;
    explicit DirectoryWatch(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace tolvane::platform
