// NetfilterError.hpp: the one exception the kernel-facing parts throw: what was attempted,
// and what the kernel or the rule tool answered.
#pragma once

#include <stdexcept>
#include <string>

namespace tolvane::netfilter {

class NetfilterError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace tolvane::netfilter
