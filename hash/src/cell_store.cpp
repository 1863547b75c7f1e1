#include "cell_store.hpp"

#include "vorn_internal.hpp"

#include <cstring>

namespace vorn {

struct StoreBlock {
    StoreBlock *next;
    std::size_t bytes; // usable bytes after this header
};
static_assert(sizeof(StoreBlock) % kSmallAlign == 0);

namespace {

constexpr std::size_t kFirstBlock = 512;
constexpr std::size_t kLargestBlock = 64 * 1024;

char *data_of(StoreBlock *b) {
    return reinterpret_cast<char *>(b + 1);
}

} // namespace

char *store_alloc_block(CellStore *s, std::size_t n) {
    // Blocks double with the record, so a record of n small cells holds O(log n) blocks.
    std::size_t want = s->blockBytes < kFirstBlock ? kFirstBlock : 2 * s->blockBytes;
    if (want > kLargestBlock) want = kLargestBlock;
    auto *b = static_cast<StoreBlock *>(mem_alloc_raw(sizeof(StoreBlock) + want + kStoreSlack));
    if (!b) return nullptr;
    // What is left of the old block serves later buffers of its size classes.
    while (std::size_t(s->end - s->next) >= kSmallAlign) {
        std::size_t left = std::size_t(s->end - s->next);
        if (left > kSmallBuffer) left = kSmallBuffer;
        left -= left % kSmallAlign;
        store_free(s, s->next, left);
        s->next += left;
    }
    *b = StoreBlock{s->blocks, want};
    s->blocks = b;
    s->blockBytes += want;
    s->next = data_of(b);
    s->end = s->next + want;
    return store_alloc(s, n);
}

void store_reset(CellStore *s) noexcept {
    for (char *&list : s->freed)
        list = nullptr;
    StoreBlock *keep = s->blocks;
    if (!keep) return;
    for (StoreBlock *b = keep->next; b;) {
        StoreBlock *next = b->next;
        mem_free(b);
        b = next;
    }
    keep->next = nullptr;
    s->blocks = keep;
    s->blockBytes = keep->bytes;
    s->largeKeys = 0;
    s->next = data_of(keep);
    s->end = s->next + keep->bytes;
}

void store_release(CellStore *s) noexcept {
    for (StoreBlock *b = s->blocks; b;) {
        StoreBlock *next = b->next;
        mem_free(b);
        b = next;
    }
    *s = CellStore{};
}

std::size_t store_bytes(const CellStore *s) {
    return s->blockBytes;
}

} // namespace vorn
