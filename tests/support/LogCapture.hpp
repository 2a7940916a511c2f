// LogCapture.hpp: collects the log messages a test provokes.
#pragma once

#include <mutex>
#include <string>
#include <tolvane/platform/Logger.hpp>
#include <utility>
#include <vector>

namespace tolvane::testing {

// Collects every message while it lives (instead of writing them to standard error), then
// puts the earlier sink back. Captures nest.
class LogCapture {
public:
    LogCapture() {
        previous_ = platform::Logger::setSink([this](const platform::LogRecord& record) {
            std::scoped_lock lock(mutex_);
            records_.push_back(record);
        });
    }
    ~LogCapture() { platform::Logger::setSink(std::move(previous_)); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<platform::LogRecord> records() const {
        std::scoped_lock lock(mutex_);
        return records_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<platform::LogRecord> records_;
    platform::Logger::Sink previous_;
};

}  // namespace tolvane::testing
