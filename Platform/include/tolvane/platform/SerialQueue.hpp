// SerialQueue.hpp: a named serial dispatch queue: one worker thread runs submitted work one
// item at a time, in submission order.
//
//   SerialQueue queue("com.tolvane.filter.directive");
//   queue.async([] { ... });        returns at once; runs later on the worker
//   queue.sync([] { ... });         runs on the worker, returns when it has run
//   queue.label()                   "com.tolvane.filter.directive"
//
// Work must not throw: an exception escaping a work item ends the process, as it would on a
// dispatch queue.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace tolvane::platform {

class SerialQueue {
public:
    // Starts the worker thread, named after (the first 15 bytes of) `label`.
    explicit SerialQueue(std::string label);

    // Drains, then joins: every item submitted before destruction began runs, and so do the
    // items those items submit, until the queue is empty. Only then does the worker end.
    // REQUIRES: no other thread submits work once destruction has begun.
    // Destroying the queue from its own worker (from inside a work item) cannot join; the
    // worker is then detached and ends by itself after draining, so this is not fatal, but
    // it is not meant to be done.
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    // Queues `work` to run after everything queued before it.
    void async(std::function<void()> work);

    // Runs `work` on the worker after everything queued before it and waits for it. Called
    // from the worker itself (which would wait for itself forever) it runs `work` inline.
    void sync(const std::function<void()>& work);

    // True when called from this queue's worker thread.
    bool isCurrent() const;

private:
    struct State;
    std::string label_;
    std::shared_ptr<State> state_;
};

}  // namespace tolvane::platform
