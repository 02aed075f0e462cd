// The document's own memory: the nodes and attributes that a document's
// parses make are carved from large blocks it owns. Never installed.
#ifndef VEXA_MEMORY_INCLUDED
#define VEXA_MEMORY_INCLUDED

#include <cstddef>

#include "vexa.h"

namespace ORMELA {

// Blocks taken from the heap, carved by a bump pointer; what is given back
// goes on a list by size and is handed out again. The blocks go back to the
// heap all at once, when the document is cleared or destroyed. One document
// uses it, so it needs no lock.
class VexaMemory {
public:
    VexaMemory() : attributesOnHeap(false), blocks(0), cursor(0), end(0), nextBlock(kFirstBlock), held(0), lists() {}
    ~VexaMemory() { Release(); }

    // size bytes, aligned for any node; throws std::bad_alloc.
    void* Allocate(size_t size) {
        size = Round(size);
        Free** const list = &lists[size / kGrain];
        if (size / kGrain < kLists && *list) {
            Free* f = *list;
            *list = f->next;
            return f;
        }
        if (static_cast<size_t>(end - cursor) < size) Grow(size);
        void* place = cursor;
        cursor += size;
        return place;
    }
    // Room for size bytes at the end of the current block, for text whose
    // length is known only once it is read; Commit(used) then keeps the
    // first used bytes of it. Nothing else may be allocated in between.
    char* Reserve(size_t size) {
        size = Round(size);
        if (static_cast<size_t>(end - cursor) < size) Grow(size);
        return cursor;
    }
    void Commit(size_t used) { cursor += Round(used); }
    // Gives back what Allocate(size) returned, or what Commit(size) kept.
    void Give(void* place, size_t size) {
        size = Round(size);
        if (size / kGrain >= kLists) return;  // nothing this large is made
        Free* f = static_cast<Free*>(place);
        f->next = lists[size / kGrain];
        lists[size / kGrain] = f;
    }
    // Every block back to the heap; nothing allocated may be in use.
    void Release();
    // Bytes of the blocks taken from the heap.
    size_t Held() const { return held; }

    // Whether an attribute of a node made here holds heap memory (a value
    // set later, an attribute added later or read by a parse of the
    // element's own): only then must clearing the document look at each.
    bool attributesOnHeap;

private:
    VexaMemory(const VexaMemory&);
    VexaMemory& operator=(const VexaMemory&);

    struct Free {
        Free* next;
    };
    struct Block {
        Block* next;
    };
    static const size_t kGrain = 8;
    static const size_t kLists = 64;  // sizes up to 504 bytes
    static const size_t kFirstBlock = 16 * 1024;
    static const size_t kLargestBlock = 1024 * 1024;

    static size_t Round(size_t size) { return (size + kGrain - 1) / kGrain * kGrain; }
    void Grow(size_t size);

    Block* blocks;
    char* cursor;
    char* end;
    size_t nextBlock;
    size_t held;
    Free* lists[kLists];
};

}  // namespace ORMELA

#endif  // VEXA_MEMORY_INCLUDED
