// The memory of the walk's listings: each worker fills chunks of its own, and a chunk is given
// back as soon as every listing in it has been read and released, so that a long walk never
// holds its listings and the texts made from them at once. Chunks are mapped directly (memory
// freed to the C allocator would stay with the process), but for a worker's small first one;
// a few given back are kept for reuse, since the reader releases listings at about the pace the
// workers make them.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace quillkit::cargohold::walk {

// Mapped chunks no arena uses, for the next one that needs a chunk.
class ChunkPool {
public:
    static constexpr size_t kChunkSize = size_t{64} * 1024;
    static constexpr size_t kFirstChunkSize = size_t{8} * 1024;  // enough for a small directory or two

    ChunkPool() = default;
    ChunkPool(const ChunkPool&) = delete;
    ChunkPool& operator=(const ChunkPool&) = delete;
    ~ChunkPool() {
        for (void* base : spare_) munmap(base, kChunkSize);
    }

    // `size` bytes (a multiple of the page size) of memory for a chunk; null when the system has
    // none. Below a whole chunk, from the C allocator: a small walk maps nothing.
    void* take(size_t size) {
        if (size < kChunkSize) return std::malloc(size);
        if (size == kChunkSize) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!spare_.empty()) {
                void* base = spare_.back();
                spare_.pop_back();
                return base;
            }
        }
        void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return base == MAP_FAILED ? nullptr : base;
    }

    void give(void* base, size_t size) noexcept {
        if (size < kChunkSize) return std::free(base);
        if (size == kChunkSize) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (spare_.size() < kSpareChunks) {
                spare_.push_back(base);  // within the reserved capacity: cannot throw
                return;
            }
        }
        munmap(base, size);
    }

private:
    static constexpr size_t kSpareChunks = 32;
    std::mutex mutex_;
    std::vector<void*> spare_ = reserved();

    static std::vector<void*> reserved() {
        std::vector<void*> spare;
        spare.reserve(kSpareChunks);
        return spare;
    }
};

struct Chunk {
    ChunkPool* pool = nullptr;
    char* base = nullptr;  // null once given back
    size_t size = 0;
    // The listings in it not yet released, plus one while its arena still fills it.
    std::atomic<size_t> holders{1};

    // Drops one holder; the last one gives the chunk back (on whichever thread it runs).
    void release() noexcept {
        if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1)
            pool->give(std::exchange(base, nullptr), size);
    }
};

class Arena {
public:
    explicit Arena(ChunkPool& pool) : pool_(pool) {}
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    // Only once no other thread reads its listings: gives back what is left.
    ~Arena() {
        retire();
        for (const std::unique_ptr<Chunk>& chunk : chunks_) {
            if (chunk->base) pool_.give(chunk->base, chunk->size);
        }
    }

    // Room for `size` bytes, aligned for any listing part, held for one listing of `chunk`.
    char* allocate(size_t size, Chunk*& chunk) {
        size = (size + kAlignment - 1) & ~(kAlignment - 1);
        if (!current_ || used_ + size > current_->size) start_chunk(size);
        char* memory = current_->base + used_;
        used_ += size;
        current_->holders.fetch_add(1, std::memory_order_relaxed);
        chunk = current_;
        return memory;
    }

private:
    static constexpr size_t kAlignment = alignof(std::max_align_t);

    void retire() noexcept {
        if (current_) std::exchange(current_, nullptr)->release();
    }

    void start_chunk(size_t at_least) {
        chunks_.push_back(std::make_unique<Chunk>());  // before mapping, so nothing can leak
        const size_t page = 4096;
        const size_t usual = chunks_.size() == 1 ? ChunkPool::kFirstChunkSize : ChunkPool::kChunkSize;
        const size_t size = std::max(usual, (at_least + page - 1) / page * page);
        void* base = pool_.take(size);
        if (!base) {
            chunks_.pop_back();
            throw std::bad_alloc();
        }
        Chunk& chunk = *chunks_.back();
        chunk.pool = &pool_;
        chunk.base = static_cast<char*>(base);
        chunk.size = size;
        retire();
        current_ = &chunk;
        used_ = 0;
    }

    ChunkPool& pool_;
    std::vector<std::unique_ptr<Chunk>> chunks_;
    Chunk* current_ = nullptr;
    size_t used_ = 0;
};

}  // namespace quillkit::cargohold::walk
