#include "shared/packet/packet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "shared/packet/packet_pool.h"

// ---------------------------------------------------------------------------------------------
// Packet

Packet::Packet() : m_start(m_buffer), m_cursor(m_buffer)
{
    std::memset(m_buffer, 0, 4);
}

// ---------------------------------------------------------------------------------------------
// OutPacket

void OutPacket::ZeroUpTo(const uint8_t* position)
{
    const int32_t upTo = static_cast<int32_t>(position - m_start);
    if (upTo > m_written) {
        std::memset(m_start + m_written, 0, static_cast<std::size_t>(upTo - m_written));
        m_written = upTo;
    }
}

bool OutPacket::WriteRaw(const void* bytes, int length)
{
    if (!bytes || length < 0 || Room() < length)
        return false;
    std::memcpy(m_cursor, bytes, static_cast<std::size_t>(length));
    m_cursor += length;
    if (Size() > m_written)
        m_written = Size();
    return true;
}

uint8_t* OutPacket::Claim(int n)
{
    if (n < 0 || Room() < n)
        return nullptr;
    uint8_t* at = m_cursor;
    m_cursor += n;
    if (Size() > m_written)
        m_written = Size();
    return at;
}

bool OutPacket::WriteU8(uint8_t value)
{
    return WriteRaw(&value, 1);
}

bool OutPacket::WriteU16(uint16_t netValue)
{
    return WriteRaw(&netValue, 2);
}

bool OutPacket::WriteU32(uint32_t netValue)
{
    return WriteRaw(&netValue, 4);
}

bool OutPacket::WriteU16Host(uint16_t value)
{
    return WriteU16(htons(value));
}

bool OutPacket::WriteU32Host(uint32_t value)
{
    return WriteU32(htonl(value));
}

bool OutPacket::WriteString(const char* text, int length)
{
    // The prefix counts the terminator and must fit in 16 bits.
    if (!text || length < 0 || length > 0xFFFE)
        return false;
    if (m_capacity - 2 < Size() + length + 1)
        return false;
    const uint16_t prefix = htons(static_cast<uint16_t>(length + 1));
    std::memcpy(m_cursor, &prefix, 2);
    std::memcpy(m_cursor + 2, text, static_cast<std::size_t>(length));
    m_cursor[2 + length] = 0;
    m_cursor += length + 3;
    if (Size() > m_written)
        m_written = Size();
    return true;
}

bool OutPacket::WriteString(std::string_view text)
{
    if (text.size() > 0xFFFE)
        return false;
    return WriteString(text.data() ? text.data() : "", static_cast<int>(text.size()));
}

bool OutPacket::WriteZeroTerminated(const void* bytes, int length)
{
    if (!bytes || length < 0 || Room() < length + 1)
        return false;
    std::memcpy(m_cursor, bytes, static_cast<std::size_t>(length));
    m_cursor[length] = 0;
    m_cursor += length + 1;
    if (Size() > m_written)
        m_written = Size();
    return true;
}

uint8_t* OutPacket::Skip(int n)
{
    uint8_t* old = m_cursor;
    long target = static_cast<long>(Size()) + n;
    if (target < 0)
        target = 0;
    if (target > m_capacity)
        target = m_capacity;
    m_cursor = m_start + target;
    ZeroUpTo(m_cursor);
    return old;
}

uint8_t* OutPacket::SetCursor(uint8_t* position)
{
    uint8_t* old = m_cursor;
    // Compared as addresses: a pointer into some other object is not ours to move to.
    const auto p = reinterpret_cast<std::uintptr_t>(position);
    const auto lo = reinterpret_cast<std::uintptr_t>(m_start);
    if (p >= lo && p <= lo + static_cast<std::uintptr_t>(m_capacity)) {
        m_cursor = position;
        ZeroUpTo(m_cursor);
    }
    return old;
}

int OutPacket::SendTo(int socket, uint32_t netAddress, uint16_t netPort) const
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = netAddress;
    to.sin_port = netPort;
    return static_cast<int>(::sendto(socket, m_start, static_cast<std::size_t>(Size()), MSG_NOSIGNAL,
                                     reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

int OutPacket::Send(int socket) const
{
    const ssize_t sent = ::send(socket, m_start, static_cast<std::size_t>(Size()), MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(Size()) ? 0 : -1;
}

// ---------------------------------------------------------------------------------------------
// InPacket

void InPacket::SetData(const void* data, int length)
{
    int n = length < 0 || !data ? 0 : length;
    if (n > m_capacity)
        n = m_capacity;
    if (n > 0 && data != m_start)
        std::memmove(m_start, data, static_cast<std::size_t>(n));
    m_length = n;
    m_cursor = m_start;
}

int InPacket::Receive(int socket)
{
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    m_cursor = m_start;
    m_length = 0;
    m_address = 0;
    m_port = 0;
    // MSG_TRUNC makes recvfrom report the datagram's real size, so an oversized one is seen.
    const ssize_t got = ::recvfrom(socket, m_start, static_cast<std::size_t>(m_capacity), MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (got < 0)
        return -1;
    if (got > m_capacity) {
        errno = EMSGSIZE;
        return -1;
    }
    m_length = static_cast<int32_t>(got);
    if (from.sin_family == AF_INET) {
        m_address = from.sin_addr.s_addr;
        m_port = from.sin_port;
    }
    return static_cast<int>(got);
}

std::string InPacket::ReadString()
{
    const std::string_view view = ReadStringView();
    return std::string(view.substr(0, view.find('\0')));
}

bool InPacket::ReadRaw(void* out, int n)
{
    if (!out || !Has(n))
        return false;
    std::memcpy(out, m_cursor, static_cast<std::size_t>(n));
    m_cursor += n;
    return true;
}

// ---------------------------------------------------------------------------------------------
// PacketHeader

PacketHeader PacketHeader::Request(uint32_t session, uint16_t command, uint16_t sequence)
{
    PacketHeader h;
    h.session = session;
    h.command = command;
    h.sequence = sequence;
    h.marker = kRequestMarker;
    return h;
}

PacketHeader PacketHeader::Reply(uint16_t command)
{
    PacketHeader h;
    h.command = command;
    return h;
}

bool PacketHeader::Write(OutPacket& out) const
{
    if (out.Room() < kPacketHeaderSize)
        return false;
    out.WriteU8(lead0);
    out.WriteU8(lead1);
    out.WriteU32Host(reserved2);
    out.WriteU32Host(reserved6);
    out.WriteU32Host(session);
    out.WriteU16Host(command);
    out.WriteU16Host(sequence);
    out.WriteU16Host(marker);
    return true;
}

bool PacketHeader::Read(InPacket& in)
{
    if (in.Remaining() < kPacketHeaderSize)
        return false;
    lead0 = in.ReadU8();
    lead1 = in.ReadU8();
    reserved2 = in.ReadU32Host();
    reserved6 = in.ReadU32Host();
    session = in.ReadU32Host();
    command = in.ReadU16Host();
    sequence = in.ReadU16Host();
    marker = in.ReadU16Host();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Pooled packets

namespace {

// The pools live as long as the process: a packet released by a thread that outlives static
// destruction must still find its pool.
template <class T>
PacketPool& ProcessPool()
{
    static PacketPool* pool = new PacketPool(sizeof(T));
    return *pool;
}

}  // namespace

PacketPool& UdpOutPacket::Pool()
{
    return ProcessPool<UdpOutPacket>();
}

void* UdpOutPacket::operator new(std::size_t size) noexcept
{
    PacketPool& pool = Pool();
    return size <= pool.ObjectSize() ? pool.Get() : nullptr;
}

void UdpOutPacket::operator delete(void* storage) noexcept
{
    Pool().Put(storage);
}

UdpOutPacket* UdpOutPacket::Create()
{
    return new UdpOutPacket();
}

PacketPool& UdpInPacket::Pool()
{
    return ProcessPool<UdpInPacket>();
}

void* UdpInPacket::operator new(std::size_t size) noexcept
{
    PacketPool& pool = Pool();
    return size <= pool.ObjectSize() ? pool.Get() : nullptr;
}

void UdpInPacket::operator delete(void* storage) noexcept
{
    Pool().Put(storage);
}

UdpInPacket* UdpInPacket::Create()
{
    return new UdpInPacket();
}

UdpInPacket::UdpInPacket(const UdpInPacket& other) : InPacket()
{
    const int n = other.m_length;
    std::memcpy(m_start, other.m_start, static_cast<std::size_t>(n));
    m_length = n;
    m_address = other.m_address;
    m_port = other.m_port;
    m_header = other.m_header;
    m_hasHeader = other.m_hasHeader;
    m_cursor = m_start + (m_hasHeader ? kPacketHeaderSize : 0);
}

void UdpInPacket::ParseHeader()
{
    m_header = NoHeader();
    m_hasHeader = m_length >= kPacketHeaderSize && m_header.Read(*this);
}

void UdpInPacket::SetData(const void* data, int length)
{
    InPacket::SetData(data, length);
    ParseHeader();
}

int UdpInPacket::Receive(int socket)
{
    const int got = InPacket::Receive(socket);
    ParseHeader();
    return got;
}
