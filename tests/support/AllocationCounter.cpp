// Counts this thread's heap allocations, for the tests' and benchmarks' "allocates nothing".
#include <cstdint>
#include <cstdlib>
#include <new>

#include "TestSupport.hpp"

namespace {
thread_local std::uint64_t allocations = 0;
}

#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define TOLVANE_SANITIZED_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define TOLVANE_SANITIZED_ALLOCATOR 1
#endif

// The sanitizers bring their own operator new (and match it against free); there the count
// stays 0, so "allocates nothing" checks hold trivially and the plain build makes them.
#ifndef TOLVANE_SANITIZED_ALLOCATOR
void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
#endif

namespace tolvane::testing {

std::uint64_t allocationCount() {
    return allocations;
}

bool allocationCountingWorks() {
#ifdef TOLVANE_SANITIZED_ALLOCATOR
    return false;
#else
    return true;
#endif
}

}  // namespace tolvane::testing
