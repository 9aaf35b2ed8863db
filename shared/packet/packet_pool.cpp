#include "shared/packet/packet_pool.h"

#include <cstdlib>

namespace {

constexpr std::size_t kAlign = alignof(std::max_align_t);

constexpr std::size_t RoundUp(std::size_t n)
{
    return (n + kAlign - 1) / kAlign * kAlign;
}

}  // namespace

// Every pool of the program, so that an allocation failure in one pool can free the idle blocks
// of all of them. Lock order: registry first, then a pool; a pool's lock is never held while the
// registry's is taken.
struct PoolRegistry {
    std::mutex lock;
    PacketPool* head = nullptr;

    static PoolRegistry& Instance()
    {
        // Never destroyed: pools built as function-local statics may be torn down after it.
        static PoolRegistry* registry = new PoolRegistry;
        return *registry;
    }
};

PacketPool::PacketPool(std::size_t objectSize, int slotsPerBlock)
    : m_current(&m_sentinel), m_objectSize(objectSize == 0 ? 1 : objectSize),
      m_slotsPerBlock(slotsPerBlock < 1 ? 1 : slotsPerBlock)
{
    m_sentinel.prev = m_sentinel.next = &m_sentinel;
    m_sentinel.used = 0;
    m_sentinel.freeHead = nullptr;
    m_slotSize = RoundUp(sizeof(Slot)) + RoundUp(m_objectSize);
    m_blockSize = RoundUp(sizeof(Block)) + static_cast<std::size_t>(m_slotsPerBlock) * m_slotSize;

    PoolRegistry& reg = PoolRegistry::Instance();
    std::lock_guard<std::mutex> guard(reg.lock);
    m_nextPool = reg.head;
    if (reg.head)
        reg.head->m_prevPool = this;
    reg.head = this;
}

PacketPool::~PacketPool()
{
    {
        PoolRegistry& reg = PoolRegistry::Instance();
        std::lock_guard<std::mutex> guard(reg.lock);
        if (m_prevPool)
            m_prevPool->m_nextPool = m_nextPool;
        else
            reg.head = m_nextPool;
        if (m_nextPool)
            m_nextPool->m_prevPool = m_prevPool;
    }
    Block* b = m_sentinel.next;
    while (b != &m_sentinel) {
        Block* next = b->next;
        std::free(b);
        b = next;
    }
}

void PacketPool::SetBlockAllocator(BlockAllocator allocator, void* context)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_allocator = allocator;
    m_allocatorContext = context;
}

int PacketPool::BlockCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_blocks;
}

int PacketPool::InUse() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_inUse;
}

void PacketPool::Unlink(Block* b)
{
    b->prev->next = b->next;
    b->next->prev = b->prev;
}

void PacketPool::InsertAfter(Block* where, Block* b)
{
    b->prev = where;
    b->next = where->next;
    where->next->prev = b;
    where->next = b;
}

PacketPool::Slot* PacketPool::SlotAt(Block* b, int index) const
{
    auto* base = reinterpret_cast<unsigned char*>(b) + RoundUp(sizeof(Block));
    return reinterpret_cast<Slot*>(base + static_cast<std::size_t>(index) * m_slotSize);
}

PacketPool::Block* PacketPool::NewBlockLocked()
{
    void* mem = m_allocator ? m_allocator(m_blockSize, m_allocatorContext) : std::malloc(m_blockSize);
    if (!mem)
        return nullptr;
    auto* b = static_cast<Block*>(mem);
    b->used = 0;
    b->freeHead = nullptr;
    for (int i = m_slotsPerBlock - 1; i >= 0; --i) {
        Slot* s = SlotAt(b, i);
        s->owner = b;
        s->nextFree = b->freeHead;
        b->freeHead = s;
    }
    ++m_blocks;
    return b;
}

void* PacketPool::Get()
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (m_current == &m_sentinel) {
        Block* fresh = NewBlockLocked();
        if (!fresh) {
            // Give back idle blocks of every pool, then try once more. Our own lock is released
            // meanwhile so that two pools failing at once cannot deadlock on each other.
            guard.unlock();
            const int freed = TrimAll();
            guard.lock();
            // Another thread may have made room while the lock was released.
            if (m_current == &m_sentinel) {
                fresh = freed > 0 ? NewBlockLocked() : nullptr;
                if (!fresh)
                    return nullptr;
            }
        }
        if (fresh) {
            // No block had a free slot, so the new block goes to the front and is the last
            // non-full block.
            InsertAfter(&m_sentinel, fresh);
            m_current = fresh;
        }
    }

    Block* b = m_current;
    Slot* s = b->freeHead;
    b->freeHead = s->nextFree;
    ++b->used;
    ++m_inUse;
    if (!b->freeHead) {
        // The block joins the full region behind it; the next non-full block is in front.
        m_current = b->prev;
    }
    return reinterpret_cast<unsigned char*>(s) + RoundUp(sizeof(Slot));
}

void PacketPool::Put(void* storage)
{
    if (!storage)
        return;
    auto* s = reinterpret_cast<Slot*>(static_cast<unsigned char*>(storage) - RoundUp(sizeof(Slot)));
    std::lock_guard<std::mutex> guard(m_lock);
    Block* b = s->owner;
    const bool wasFull = b->freeHead == nullptr;
    s->nextFree = b->freeHead;
    b->freeHead = s;
    --b->used;
    --m_inUse;

    if (wasFull) {
        // Leave the full region: stand right behind the previous current block and take over.
        Unlink(b);
        InsertAfter(m_current, b);
        m_current = b;
    }
    if (b->used == 0) {
        Block* before = b->prev;
        if (b == m_current && before != &m_sentinel) {
            // The block in front still has free slots; use it first and keep this one idle.
            m_current = before;
        }
        // Otherwise this block stays current: it is the only one with room, and handing out
        // the sentinel would allocate a fresh block on every get/put cycle.
        Unlink(b);
        InsertAfter(&m_sentinel, b);
    }
}

int PacketPool::TrimLocked()
{
    int freed = 0;
    Block* b = m_sentinel.next;
    while (b != &m_sentinel && b->used == 0) {
        Block* next = b->next;
        Unlink(b);
        if (m_current == b)
            m_current = nullptr;
        std::free(b);
        --m_blocks;
        ++freed;
        b = next;
    }
    if (m_current == nullptr) {
        // The current block was the last idle one; what follows is full or the sentinel.
        m_current = (b != &m_sentinel && b->freeHead) ? b : &m_sentinel;
    }
    return freed;
}

int PacketPool::Trim()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return TrimLocked();
}

int PacketPool::TrimAll()
{
    PoolRegistry& reg = PoolRegistry::Instance();
    std::lock_guard<std::mutex> guard(reg.lock);
    int freed = 0;
    for (PacketPool* p = reg.head; p; p = p->m_nextPool)
        freed += p->Trim();
    return freed;
}
