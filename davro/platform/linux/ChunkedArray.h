// A grow-only array in fixed chunks, for the object pool.
//
// Elements never move and chunks are never freed, so a reader that holds an index below
// size() reaches its element without a lock, also while the array grows. Constant-
// initialised and trivially destructible: usable at any time, also while the process exits.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

namespace davro::win32::detail {

template <typename T, unsigned kChunkBits, std::uint32_t kMaxSize>
class ChunkedArray {
public:
    static constexpr std::uint32_t kChunkSize = 1U << kChunkBits;
    static constexpr std::uint32_t kChunks = (kMaxSize + kChunkSize - 1) >> kChunkBits;

    // Element i, which must be below size() (or below a size read earlier).
    T* at(std::uint32_t i) const {
        return &chunks_[i >> kChunkBits].load(std::memory_order_acquire)[i & (kChunkSize - 1)];
    }
    std::uint32_t size() const { return size_.load(std::memory_order_acquire); }

    // Makes the size at least `wanted` (callers serialise); false when memory is short or
    // `wanted` is above kMaxSize, leaving the size as it was.
    bool growTo(std::uint32_t wanted) {
        if (wanted > kMaxSize) {
            return false;
        }
        for (std::uint32_t c = size_.load(std::memory_order_relaxed) >> kChunkBits;
             c < ((wanted + kChunkSize - 1) >> kChunkBits); ++c) {
            if (chunks_[c].load(std::memory_order_relaxed) == nullptr) {
                T* fresh = new (std::nothrow) T[kChunkSize];
                if (fresh == nullptr) {
                    return false;
                }
                chunks_[c].store(fresh, std::memory_order_release);
            }
        }
        if (wanted > size_.load(std::memory_order_relaxed)) {
            size_.store(wanted, std::memory_order_release);
        }
        return true;
    }

private:
    std::atomic<T*> chunks_[kChunks] = {};
    std::atomic<std::uint32_t> size_{0};
};

}  // namespace davro::win32::detail
