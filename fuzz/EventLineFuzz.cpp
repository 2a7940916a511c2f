// Event lines as tolvane-filter reads them: the bytes cut into lines by the host's reader
// (in two pieces, cut where the first byte says), each line fed through the runtime to the
// provider, enforcing a directive so that flows are held, dropped and released. One runtime
// lives across inputs, as in the process, so held flows pile up to the runtime's bound.
// Run with -rss_limit_mb=512 -malloc_limit_mb=64: no line may make the filter allocate much.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>
#include <tolvane/platform/Logger.hpp>
#include <tolvane/platform/SystemExtension.hpp>

#include "FilterDataProvider.hpp"
#include "FlowProtocol.hpp"

namespace {

using namespace tolvane;

struct Host {
    std::filesystem::path directory;
    std::unique_ptr<platform::SystemExtensionRuntime> runtime;
    std::unique_ptr<host::HostClock> clock;

    Host() {
        platform::Logger::setSink([](const platform::LogRecord&) {});
        directory = std::filesystem::temp_directory_path() / "tolvane-fuzz-event-line";
        std::filesystem::remove_all(directory);
        FileEnforcementDirectiveStore(directory).publish(EnforcementDirective(
            Scope(1, {*Domain::make("example.com"), *Domain::make("streaming.test")}), std::nullopt,
            0));
        clock = std::make_unique<host::HostClock>(1000);
        runtime = platform::startSystemExtensionMode([this] {
            FilterDataProvider::Options options;
            options.directiveDirectory = directory;
            options.clock = [clock = clock.get()] { return clock->now(); };
            return std::make_shared<FilterDataProvider>(std::move(options));
        });
        if (runtime->startFilter()) std::abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Host host;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    host::EventFeeder feeder(*host.runtime, *host.clock);
    host::LineReader lines;
    const auto sink = [&](std::string_view line, bool tooLong) {
        if (tooLong) return;
        try {
            feeder.feed(line);
        } catch (const host::ProtocolError&) {
        }
    };
    const std::size_t cut = size ? data[0] % (size + 1) : 0;
    lines.feed(bytes.substr(0, cut), sink);
    lines.feed(bytes.substr(cut), sink);
    lines.finish(sink);
    return 0;
}
