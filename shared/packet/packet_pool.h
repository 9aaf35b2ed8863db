#pragma once
// PacketPool: recycles the storage of fixed-size packet objects.
//
// Storage comes in blocks of 128 slots; a slot is two words (next free slot while free, owning
// block) followed by the object's storage. Blocks sit on a circular list with a sentinel, ordered
//   front: [blocks with every slot free] [blocks partly in use] [full blocks] :back
// and `current` is the last block that still has a free slot (the sentinel when there is none), so
// get never searches, prefers partly used blocks, and leaves the free blocks at the front where
// Trim can give them back.
//
// Get and Put take the pool's lock, so an object may be taken on one thread and returned on
// another. When a new block cannot be allocated, Get trims every pool of the program and tries
// once more; it returns nullptr when there is still no storage.

#include <cstddef>
#include <cstdint>
#include <mutex>

class PacketPool {
public:
    // Allocates one block; must return memory from std::malloc (it is released with std::free),
    // or nullptr to simulate exhaustion. `context` is passed through.
    using BlockAllocator = void* (*)(std::size_t bytes, void* context);

    static constexpr int kSlotsPerBlock = 128;

    explicit PacketPool(std::size_t objectSize, int slotsPerBlock = kSlotsPerBlock);
    ~PacketPool();
    PacketPool(const PacketPool&) = delete;
    PacketPool& operator=(const PacketPool&) = delete;

    // Storage for one object of at most ObjectSize() bytes, aligned for any scalar type; nullptr
    // when no block could be allocated even after trimming every pool.
    void* Get();
    // Takes storage back; it must have come from Get of this pool. nullptr is ignored.
    void Put(void* storage);
    // Frees the blocks at the front whose slots are all free; returns how many were freed.
    int Trim();
    // Trims every pool of the program; returns the number of blocks freed in all.
    static int TrimAll();

    // Replaces the block allocator (nullptr restores std::malloc). Meant for tests.
    void SetBlockAllocator(BlockAllocator allocator, void* context = nullptr);

    std::size_t ObjectSize() const { return m_objectSize; }
    int SlotsPerBlock() const { return m_slotsPerBlock; }
    int BlockCount() const;
    int InUse() const;

private:
    struct Slot;
    struct Block {
        Block* prev;
        Block* next;
        int used;
        Slot* freeHead;
    };
    struct Slot {
        Slot* nextFree;
        Block* owner;
    };

    Block* NewBlockLocked();
    int TrimLocked();
    static void Unlink(Block* b);
    static void InsertAfter(Block* where, Block* b);
    Slot* SlotAt(Block* b, int index) const;

    mutable std::mutex m_lock;
    PacketPool* m_nextPool = nullptr;  // chain of every pool of the program
    PacketPool* m_prevPool = nullptr;
    Block m_sentinel;
    Block* m_current;
    std::size_t m_objectSize;
    std::size_t m_slotSize;
    int m_slotsPerBlock;
    std::size_t m_blockSize;
    int m_blocks = 0;
    int m_inUse = 0;
    BlockAllocator m_allocator = nullptr;
    void* m_allocatorContext = nullptr;

    friend struct PoolRegistry;
};
