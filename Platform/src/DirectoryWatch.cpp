#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <ostream>
#include <thread>
#include <tolvane/platform/DirectoryWatch.hpp>
#include <utility>

namespace tolvane::platform {

namespace {
constexpr std::uint32_t watchedEvents = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                                        IN_MOVED_TO | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF |
                                        IN_ATTRIB;

void closeIfOpen(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Folds one kernel event into `events`; true when the watch has ended with it.
bool merge(std::uint32_t mask, DirectoryEvents& events) {
    if (mask & (IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE |
                IN_Q_OVERFLOW)) {
        events.entriesChanged = true;
    }
    if (mask & IN_ATTRIB) events.attributesChanged = true;
    if (mask & IN_MOVE_SELF) events.directoryMoved = true;
    if (mask & (IN_DELETE_SELF | IN_IGNORED | IN_UNMOUNT)) {
        events.directoryDeleted = true;
        return true;
    }
    return false;
}
}  // namespace

std::string DirectoryEvents::description() const {
    std::string text;
    auto add = [&](bool on, const char* name) {
        if (!on) return;
        if (!text.empty()) text += ", ";
        text += name;
    };
    add(entriesChanged, "entriesChanged");
    add(attributesChanged, "attributesChanged");
    add(directoryDeleted, "directoryDeleted");
    add(directoryMoved, "directoryMoved");
    return "[" + text + "]";
}

std::ostream& operator<<(std::ostream& os, const DirectoryEvents& events) {
    return os << events.description();
}

struct DirectoryWatch::State {
    explicit State(SerialQueue& q) : queue(q) {}
    ~State() {
        closeIfOpen(inotifyFd);
        closeIfOpen(wakeFd);
    }

    SerialQueue& queue;
    // Written before the reader starts and closed (under the mutex) on the queue after the
    // reader has been joined, so the reader uses them without the mutex.
    int inotifyFd = -1;
    int wakeFd = -1;

    std::mutex mutex;  // guards everything below
    EventHandler eventHandler;
    CancelHandler cancelHandler;
    bool resumed = false;
    bool cancelled = false;
    bool deliveryScheduled = false;
    DirectoryEvents pending;
    std::thread reader;

    static void read(const std::shared_ptr<State>& self);
    static void schedule(const std::shared_ptr<State>& self, const DirectoryEvents& events);
    static void deliver(const std::shared_ptr<State>& self);
};

void DirectoryWatch::State::schedule(const std::shared_ptr<State>& self,
                                     const DirectoryEvents& events) {
    {
        std::scoped_lock lock(self->mutex);
        if (self->cancelled) return;
        self->pending.entriesChanged |= events.entriesChanged;
        self->pending.attributesChanged |= events.attributesChanged;
        self->pending.directoryDeleted |= events.directoryDeleted;
        self->pending.directoryMoved |= events.directoryMoved;
        if (self->deliveryScheduled) return;  // merged into the delivery already waiting
        self->deliveryScheduled = true;
    }
    self->queue.async([self] { deliver(self); });
}

void DirectoryWatch::State::deliver(const std::shared_ptr<State>& self) {
    DirectoryEvents events;
    {
        std::scoped_lock lock(self->mutex);
        self->deliveryScheduled = false;
        if (self->cancelled) return;
        events = std::exchange(self->pending, DirectoryEvents{});
    }
    // Set before resume() and only cleared by the cancel work, which runs later on this
    // same queue, so it is read without the lock (and never called under it).
    if (self->eventHandler) self->eventHandler(events);
}

void DirectoryWatch::State::read(const std::shared_ptr<State>& self) {
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        pollfd fds[2] = {{self->inotifyFd, POLLIN, 0}, {self->wakeFd, POLLIN, 0}};
        int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;  // cancelled
        if (!(fds[0].revents & POLLIN)) return;
        ssize_t length = ::read(self->inotifyFd, buffer, sizeof buffer);
        if (length < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return;
        }
        DirectoryEvents events;
        bool ended = false;
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
            inotify_event header;
            std::memcpy(&header, buffer + offset, sizeof header);
            ended |= merge(header.mask, events);
            offset += static_cast<ssize_t>(sizeof header + header.len);
        }
        schedule(self, events);
        if (ended) return;  // the directory is gone: nothing can follow
    }
}

std::unique_ptr<DirectoryWatch> DirectoryWatch::make(const std::filesystem::path& directory,
                                                     SerialQueue& queue) {
    auto state = std::make_shared<State>(queue);
    // The directory is held open only while the watch is added, so that exactly the opened
    // directory is watched; kept open, it would hold back the kernel's deletion notice.
    int directoryFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd < 0) return nullptr;
    int watchError = 0;
    state->inotifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (state->inotifyFd < 0) {
        watchError = errno;
    } else {
        std::string self = "/proc/self/fd/" + std::to_string(directoryFd);
        if (::inotify_add_watch(state->inotifyFd, self.c_str(), watchedEvents) < 0 &&
            // Without /proc, the path; the window since the open is tiny.
            ::inotify_add_watch(state->inotifyFd, directory.c_str(), watchedEvents | IN_ONLYDIR) <
                0) {
            watchError = errno;
        }
    }
    ::close(directoryFd);
    if (watchError != 0) {
        errno = watchError;
        return nullptr;
    }
    state->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wakeFd < 0) return nullptr;
    return std::unique_ptr<DirectoryWatch>(new DirectoryWatch(std::move(state)));
}

DirectoryWatch::DirectoryWatch(std::shared_ptr<State> state) : state_(std::move(state)) {}

DirectoryWatch::~DirectoryWatch() {
    cancel();
}

void DirectoryWatch::setEventHandler(EventHandler handler) {
    std::scoped_lock lock(state_->mutex);
    state_->eventHandler = std::move(handler);
}

void DirectoryWatch::setCancelHandler(CancelHandler handler) {
    std::scoped_lock lock(state_->mutex);
    state_->cancelHandler = std::move(handler);
}

void DirectoryWatch::resume() {
    std::scoped_lock lock(state_->mutex);
    if (state_->resumed || state_->cancelled) return;
    state_->resumed = true;
    state_->reader = std::thread([state = state_] { State::read(state); });
}

void DirectoryWatch::cancel() {
    std::thread reader;
    {
        std::scoped_lock lock(state_->mutex);
        if (state_->cancelled) return;
        state_->cancelled = true;
        reader = std::move(state_->reader);
    }
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(state_->wakeFd, &one, sizeof one);
    if (reader.joinable()) reader.join();
    state_->queue.async([state = state_] {
        CancelHandler handler;
        {
            std::scoped_lock lock(state->mutex);
            handler = std::move(state->cancelHandler);
            state->cancelHandler = nullptr;
        }
        if (handler) handler();
        // Release what the handlers captured, then the descriptors.
        state->eventHandler = nullptr;
        std::scoped_lock lock(state->mutex);
        closeIfOpen(state->inotifyFd);
        closeIfOpen(state->wakeFd);
    });
}

int DirectoryWatch::descriptor() const {
    std::scoped_lock lock(state_->mutex);
    return state_->inotifyFd;
}

}  // namespace tolvane::platform
