#include "shared/packet/large_packet.h"

#include <arpa/inet.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<LargePacket::BufferAllocator> g_allocator{nullptr};

uint8_t* Allocate(std::size_t bytes)
{
    LargePacket::BufferAllocator alloc = g_allocator.load(std::memory_order_relaxed);
    return static_cast<uint8_t*>(alloc ? alloc(bytes) : std::malloc(bytes));
}

}  // namespace

void LargePacket::SetBufferAllocator(BufferAllocator allocator)
{
    g_allocator.store(allocator, std::memory_order_relaxed);
}

LargePacket::LargePacket(int size, const void* bytes, int length)
{
    if (length < 0 || !bytes)
        length = 0;
    const int capacity = size > kStep ? size : kStep;
    m_buffer = Allocate(static_cast<std::size_t>(capacity));
    if (!m_buffer)
        return;  // capacity 0: writers try to grow, readers see nothing
    m_capacity = capacity;
    if (length > 0) {
        std::memcpy(m_buffer, bytes, static_cast<std::size_t>(length));
        m_writeLength = length;
    }
}

LargePacket::~LargePacket()
{
    std::free(m_buffer);
}

bool LargePacket::Grow(int k)
{
    if (k <= 0 || m_capacity > INT_MAX - k)
        return false;
    const int capacity = m_capacity + k;
    uint8_t* fresh = Allocate(static_cast<std::size_t>(capacity));
    if (!fresh)
        return false;
    if (m_writeLength > 0)
        std::memcpy(fresh, m_buffer, static_cast<std::size_t>(m_writeLength));
    std::free(m_buffer);
    m_buffer = fresh;
    m_capacity = capacity;
    return true;
}

// ---------------------------------------------------------------------------------------------
// LargeOutPacket

bool LargeOutPacket::Reserve(int n)
{
    if (n < 0 || m_writeLength > INT_MAX - n)
        return false;
    const int need = m_writeLength + n;
    if (need <= m_capacity)
        return true;
    const long k = (static_cast<long>(need - m_capacity) + kStep - 1) / kStep * kStep;
    return k <= INT_MAX && Grow(static_cast<int>(k));
}

uint8_t* LargeOutPacket::Claim(int n)
{
    if (!Reserve(n))
        return nullptr;
    uint8_t* at = m_buffer + m_writeLength;
    m_writeLength += n;
    return at;
}

bool LargeOutPacket::WriteNumber(const void* bytes, int length)
{
    if (m_capacity - m_writeLength < length && !Grow(kStep))
        return false;
    std::memcpy(m_buffer + m_writeLength, bytes, static_cast<std::size_t>(length));
    m_writeLength += length;
    return true;
}

bool LargeOutPacket::WriteU8(uint8_t value)
{
    return WriteNumber(&value, 1);
}

bool LargeOutPacket::WriteU16(uint16_t netValue)
{
    return WriteNumber(&netValue, 2);
}

bool LargeOutPacket::WriteU32(uint32_t netValue)
{
    return WriteNumber(&netValue, 4);
}

bool LargeOutPacket::WriteU16Host(uint16_t value)
{
    return WriteU16(htons(value));
}

bool LargeOutPacket::WriteU32Host(uint32_t value)
{
    return WriteU32(htonl(value));
}

bool LargeOutPacket::WriteString(const char* text, int length)
{
    if (!text || length < 0 || length > 0xFFFE || m_writeLength > INT_MAX - 2 * kStep - 0x10000)
        return false;
    const int need = m_writeLength + length + 1 + 2;
    if (m_capacity < need && !Grow(need / kStep * kStep + kStep))
        return false;
    const uint16_t prefix = htons(static_cast<uint16_t>(length + 1));
    uint8_t* at = m_buffer + m_writeLength;
    std::memcpy(at, &prefix, 2);
    std::memcpy(at + 2, text, static_cast<std::size_t>(length));
    at[2 + length] = 0;
    m_writeLength = need;
    return true;
}

bool LargeOutPacket::WriteString(std::string_view text)
{
    if (text.size() > 0xFFFE)
        return false;
    return WriteString(text.data() ? text.data() : "", static_cast<int>(text.size()));
}

bool LargeOutPacket::WriteRaw(const void* bytes, int length)
{
    if (!bytes || length < 0 || !Reserve(length))
        return false;
    std::memcpy(m_buffer + m_writeLength, bytes, static_cast<std::size_t>(length));
    m_writeLength += length;
    return true;
}

// ---------------------------------------------------------------------------------------------
// LargeInPacket

LargeInPacket::LargeInPacket(const void* bytes, int length) : LargePacket(length, bytes, length)
{
    m_limit = m_buffer ? m_writeLength : 0;
}

bool LargeInPacket::ReadRaw(void* out, int n)
{
    if (!out || !Has(n))
        return false;
    if (n > 0)
        std::memcpy(out, m_buffer + m_readLength, static_cast<std::size_t>(n));
    m_readLength += n;
    return true;
}

uint8_t LargeInPacket::ReadU8()
{
    uint8_t v = 0;
    ReadRaw(&v, 1);
    return v;
}

uint16_t LargeInPacket::ReadU16()
{
    uint16_t v = 0;
    ReadRaw(&v, 2);
    return v;
}

uint32_t LargeInPacket::ReadU32()
{
    uint32_t v = 0;
    ReadRaw(&v, 4);
    return v;
}

uint16_t LargeInPacket::ReadU16Host()
{
    return ntohs(ReadU16());
}

uint32_t LargeInPacket::ReadU32Host()
{
    return ntohl(ReadU32());
}

std::string_view LargeInPacket::ReadStringView()
{
    if (!Has(2))
        return {};
    const int n = ntohs(ReadU16());
    if (n == 0 || !Has(n) || m_buffer[m_readLength + n - 1] != 0)
        return {};
    std::string_view view(reinterpret_cast<const char*>(m_buffer + m_readLength), static_cast<std::size_t>(n - 1));
    m_readLength += n;
    return view;
}

std::string LargeInPacket::ReadString()
{
    const std::string_view view = ReadStringView();
    return std::string(view.substr(0, view.find('\0')));
}

std::span<const uint8_t> LargeInPacket::Remaining() const
{
    if (!m_buffer)
        return {};
    return {m_buffer + m_readLength, static_cast<std::size_t>(m_limit - m_readLength)};
}
