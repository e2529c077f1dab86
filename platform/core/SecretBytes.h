#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <openssl/crypto.h>

namespace nimbuscrate {

// A read-only view of bytes, so that operations take plain and secret
// buffers alike.
using ByteView = std::span<const std::uint8_t>;

// Test instrumentation: when set, called with every secret buffer as it is
// given back to the heap, after it was wiped (the tests check that no key
// material reaches the heap, also from a buffer that grew or was moved).
inline std::atomic<void (*)(const std::uint8_t* data, std::size_t count)> secretBytesReleaseHook{nullptr};

// An allocator that overwrites its memory with zeros before giving it back,
// so key material never lingers in freed memory (also when a vector grows).
template <typename T>
struct CleansingAllocator {
    using value_type = T;

    CleansingAllocator() noexcept = default;
    template <typename U>
    CleansingAllocator(const CleansingAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) { return std::allocator<T>().allocate(count); }
    void deallocate(T* pointer, std::size_t count) noexcept {
        OPENSSL_cleanse(pointer, count * sizeof(T));
        if (const auto hook = secretBytesReleaseHook.load(std::memory_order_acquire)) {
            hook(reinterpret_cast<const std::uint8_t*>(pointer), count * sizeof(T));
        }
        std::allocator<T>().deallocate(pointer, count);
    }

    template <typename U>
    bool operator==(const CleansingAllocator<U>&) const noexcept {
        return true;
    }
};

// Bytes of key material or plaintext: cleansed when freed.
using SecretBytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;

inline SecretBytes secretBytesOf(ByteView bytes) { return SecretBytes(bytes.begin(), bytes.end()); }

// Overwrites a buffer with zeros now (for buffers that are reused).
inline void cleanse(std::uint8_t* data, std::size_t count) noexcept {
    if (count > 0) OPENSSL_cleanse(data, count);
}

}  // namespace nimbuscrate
