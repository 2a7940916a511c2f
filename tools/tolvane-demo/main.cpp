// tolvane-demo: a short tour of the domain model, for the README's main command until the
// filter host exists.
#include <tolvane/TolvaneCore.hpp>

#include <iostream>

int main() {
    using namespace tolvane;
    for (const char* text : {"Example.COM.", "bücher.de", "example.com:443", "exa mple.com"}) {
        auto domain = Domain::make(text);
        std::cout << "Domain(\"" << text << "\") -> " << (domain ? domain->name() : "rejected") << "\n";
    }
    Scope scope(1, {*Domain::make("example.com")});
    Scope wider = scope.strengthenedByAdding({*Domain::make("example.org")});
    std::cout << "scope " << encodeJSON(scope) << "\nstrengthened " << encodeJSON(wider) << "\n";
    DomainMatcher matcher(wider);
    for (const char* host : {"mail.example.com", "notexample.com", "EXAMPLE.org."}) {
        std::cout << "matches(" << host << ") = " << std::boolalpha << matcher.matches(host) << "\n";
    }
    std::cout << encodeJSON(EnforcementHealthStatus::degraded(DegradedReason::failedOpen)) << "\n";
    return 0;
}
