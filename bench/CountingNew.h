// A global operator new that counts every allocation of the program. Include
// it in exactly one source file of a binary; the count is exact and cheap to
// read before and after the code under measurement.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

// GCC sees std::free meet a pointer from a replaced operator new once both are
// inlined into one caller; they are a matching pair here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace counting_new {
inline std::atomic<std::uint64_t> allocations{0};
}  // namespace counting_new

void* operator new(std::size_t size) {
    counting_new::allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    counting_new::allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
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
