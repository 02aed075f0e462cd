// The document's own memory.
#include "vexamemory.h"

#include <new>

namespace ORMELA {

void VexaMemory::Grow(size_t size) {
    // Blocks grow as a document does, so that a small one stays small and a
    // large one takes few blocks. The rest of the old block is left unused.
    size_t bytes = nextBlock;
    if (nextBlock < kLargestBlock) nextBlock *= 2;
    const size_t header = Round(sizeof(Block));
    if (bytes < header + size) bytes = header + size;
    Block* block = static_cast<Block*>(::operator new(bytes));
    held += bytes;
    block->next = blocks;
    blocks = block;
    cursor = reinterpret_cast<char*>(block) + header;
    end = reinterpret_cast<char*>(block) + bytes;
}

void VexaMemory::Release() {
    while (blocks) {
        Block* next = blocks->next;
        ::operator delete(blocks);
        blocks = next;
    }
    cursor = end = 0;
    nextBlock = kFirstBlock;
    held = 0;
    attributesOnHeap = false;
    for (Free*& list : lists) list = 0;
}

}  // namespace ORMELA
