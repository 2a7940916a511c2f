#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <tolvane/platform/SerialQueue.hpp>

namespace tolvane::platform {

struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> items;
    bool stopping = false;
    std::thread worker;
    std::thread::id workerId;

    // Holds a reference to the state so a queue destroyed from its own worker stays valid
    // until the worker has drained and ended.
    static void run(std::shared_ptr<State> self) {
        for (;;) {
            std::function<void()> item;
            {
                std::unique_lock lock(self->mutex);
                self->wake.wait(lock, [&] { return self->stopping || !self->items.empty(); });
                if (self->items.empty()) return;  // stopping and drained
                item = std::move(self->items.front());
                self->items.pop_front();
            }
            item();
        }
    }
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
    std::unique_lock lock(state_->mutex);  // workerId is written before anyone reads it
    state_->worker = std::thread(&State::run, state_);
    state_->workerId = state_->worker.get_id();
    std::string name = label_.substr(0, 15);
    pthread_setname_np(state_->worker.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::scoped_lock lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (isCurrent()) {
        state_->worker.detach();
    } else {
        state_->worker.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::scoped_lock lock(state_->mutex);
        state_->items.push_back(std::move(work));
    }
    state_->wake.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    async([&] {
        work();
        // Notify under the lock: the waiter may destroy these locals as soon as it sees done.
        std::scoped_lock lock(doneMutex);
        done = true;
        doneSignal.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneSignal.wait(lock, [&] { return done; });
}

bool SerialQueue::isCurrent() const {
    std::scoped_lock lock(state_->mutex);
    return std::this_thread::get_id() == state_->workerId;
}

}  // namespace tolvane::platform
