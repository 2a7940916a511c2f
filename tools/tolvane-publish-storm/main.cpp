// tolvane-publish-storm: publishes many directives in quick succession through the file
// store, as a busy companion application would; used to stress whatever watches the file.
//
//   tolvane-publish-storm DIRECTORY COUNT
//
// Publication i (1...COUNT) has a scope of generation i with 32 domains and is published at
// instant 1000 + i. The last one published is printed on standard output in its JSON form.
#include <charconv>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <tolvane/DirectiveStore.hpp>

int main(int argc, char** argv) {
    using namespace tolvane;
    long count = 0;
    if (argc == 3) {
        std::string_view text = argv[2];
        std::from_chars(text.data(), text.data() + text.size(), count);
    }
    if (count <= 0) {
        std::cerr << "usage: tolvane-publish-storm DIRECTORY COUNT (COUNT > 0)\n";
        return 2;
    }
    FileEnforcementDirectiveStore store(argv[1]);
    std::optional<EnforcementDirective> last;
    try {
        for (long i = 1; i <= count; ++i) {
            DomainSet domains;
            for (int d = 0; d < 32; ++d) {
                domains.insert(*Domain::make("site" + std::to_string((i + d) % 97) + ".example"));
            }
            last.emplace(Scope(i, std::move(domains)), std::nullopt,
                         1000.0 + static_cast<double>(i));
            store.publish(*last);
        }
    } catch (const std::exception& error) {
        std::cerr << "tolvane-publish-storm: " << error.what() << "\n";
        return 1;
    }
    std::cout << encodeJSON(*last) << "\n";
    return 0;
}
