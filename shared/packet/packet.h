#pragma once
// Datagram packets of the loopback control channel.
//
// A packet holds its bytes in a 1536-byte buffer inside the object, with one cursor: the write
// position of an out packet, the read position of an in packet. Writers append nothing when the
// bytes would not fit (they return false, nobody has to check); readers return 0 or an empty
// string when the bytes are not there. 16- and 32-bit values are stored and returned as they
// are; callers convert with htons/htonl and ntohs/ntohl, or use the *Host variants.
//
// Every datagram starts with the 20-byte PacketHeader; the body follows.
//
// Pooled packets (UdpOutPacket, UdpInPacket): `new` takes storage from the program's pool for the
// class and yields nullptr, without constructing anything, when the pool has no storage left;
// `delete` gives the storage back to that pool. So the usual ways all work:
//     UdpOutPacket* p = UdpOutPacket::Create();   // nullptr: skip the operation
//     ... p->Release();
//     UdpInPacketPtr in(UdpInPacket::Create());   // std::unique_ptr, returns to the pool
// A packet may be released on another thread than the one that created it. Both classes may
// also live on the stack (no pool involved).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

class PacketPool;
class OutPacket;
class InPacket;

constexpr int kPacketCapacity = 1536;
constexpr int kPacketHeaderSize = 20;

// Base of the fixed-size packets: buffer and cursor.
class Packet {
public:
    Packet();
    virtual ~Packet() = default;
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;

    uint8_t* Data() { return m_start; }
    const uint8_t* Data() const { return m_start; }
    uint8_t* Cursor() { return m_cursor; }
    const uint8_t* Cursor() const { return m_cursor; }
    int Capacity() const { return m_capacity; }

protected:
    uint8_t* m_start;
    uint8_t* m_cursor;
    int32_t m_capacity = kPacketCapacity;
    uint8_t m_buffer[kPacketCapacity];
};

class OutPacket : public Packet {
public:
    OutPacket() = default;

    // Each writer appends nothing and returns false when its bytes do not fit.
    virtual bool WriteU8(uint8_t value);
    virtual bool WriteU16(uint16_t netValue);  // already in network order
    virtual bool WriteU32(uint32_t netValue);  // already in network order
    // u16 prefix L + 1, the L bytes of `text`, one 0 byte. Needs L + 3 bytes of room; a null
    // `text`, a negative length or a text the prefix cannot count writes nothing. Only L bytes
    // are read from `text`; the 0 byte is supplied here.
    virtual bool WriteString(const char* text, int length);
    // The bytes, then one 0 byte; no length.
    virtual bool WriteZeroTerminated(const void* bytes, int length);
    virtual bool WriteRaw(const void* bytes, int length);
    // Moves the cursor by n and returns the old cursor. The cursor is kept inside the buffer;
    // bytes skipped over that were never written are zero, so no stale bytes of a recycled
    // packet go out.
    virtual uint8_t* Skip(int n);
    // Moves the cursor to `position` and returns the old cursor. A position outside the buffer
    // leaves the cursor where it is.
    virtual uint8_t* SetCursor(uint8_t* position);

    bool WriteU16Host(uint16_t value);
    bool WriteU32Host(uint32_t value);
    bool WriteString(std::string_view text);
    // Appends n bytes for the caller to fill at once (the record writers use it); nullptr and
    // nothing appended when they do not fit.
    uint8_t* Claim(int n);

    // Bytes from the start of the buffer to the cursor.
    int Size() const { return static_cast<int>(m_cursor - m_start); }
    int Room() const { return m_capacity - Size(); }

    // sendto of the bytes to AF_INET address:port (both in network order); sendto's result.
    int SendTo(int socket, uint32_t netAddress, uint16_t netPort) const;
    // send of the bytes on a connected socket; 0 when all of them went out, else -1.
    int Send(int socket) const;

private:
    void ZeroUpTo(const uint8_t* position);

    int32_t m_written = 0;  // bytes from the start that hold written or zeroed data
};

class InPacket : public Packet {
public:
    InPacket() = default;

    // Copies min(length, capacity) bytes (a negative length counts as 0) and puts the read
    // cursor at the start. The source may lie inside this packet's own buffer.
    virtual void SetData(const void* data, int length);
    // recvfrom into the buffer. Keeps the length and the sender's address and port (network
    // order) and returns recvfrom's result. A datagram longer than the buffer is not delivered
    // cut short: it counts as an error (-1, errno EMSGSIZE, length 0).
    virtual int Receive(int socket);

    // Inline: record and list decoding is made of these.
    uint8_t ReadU8() { return Has(1) ? *m_cursor++ : 0; }
    uint16_t ReadU16()  // raw, network order
    {
        uint16_t v = 0;
        if (Has(2)) {
            std::memcpy(&v, m_cursor, 2);
            m_cursor += 2;
        }
        return v;
    }
    uint32_t ReadU32()  // raw, network order
    {
        uint32_t v = 0;
        if (Has(4)) {
            std::memcpy(&v, m_cursor, 4);
            m_cursor += 4;
        }
        return v;
    }
    uint16_t ReadU16Host()
    {
        if (!Has(2))
            return 0;
        const uint16_t v = static_cast<uint16_t>(m_cursor[0] << 8 | m_cursor[1]);
        m_cursor += 2;
        return v;
    }
    uint32_t ReadU32Host()
    {
        if (!Has(4))
            return 0;
        const uint32_t v = static_cast<uint32_t>(m_cursor[0]) << 24 | static_cast<uint32_t>(m_cursor[1]) << 16 |
                           static_cast<uint32_t>(m_cursor[2]) << 8 | m_cursor[3];
        m_cursor += 4;
        return v;
    }
    // u16 prefix n, then n bytes of which the last is the terminator: a view of the first n - 1.
    // An empty view when n is 0 or more than the bytes left; the prefix stays consumed then.
    // The view points into this packet.
    std::string_view ReadStringView()
    {
        if (!Has(2))
            return {};
        const int n = ReadU16Host();
        if (n == 0 || !Has(n))
            return {};
        const std::string_view view(reinterpret_cast<const char*>(m_cursor), static_cast<std::size_t>(n - 1));
        m_cursor += n;
        return view;
    }
    // ReadStringView up to its first 0 byte.
    std::string ReadString();
    // Copies n bytes out; false, nothing copied and the cursor unchanged when they are not there.
    bool ReadRaw(void* out, int n);

    int Length() const { return m_length; }
    int Offset() const { return static_cast<int>(m_cursor - m_start); }
    int Remaining() const { return m_length - Offset(); }
    uint32_t SenderAddress() const { return m_address; }  // network order
    uint16_t SenderPort() const { return m_port; }        // network order

protected:
    bool Has(int n) const { return n >= 0 && n <= Remaining(); }

    uint32_t m_address = 0;
    uint16_t m_port = 0;
    int32_t m_length = 0;
};

// The first 20 bytes of every datagram. Fields are in host order here, big-endian on the wire.
struct PacketHeader {
    static constexpr uint16_t kRequestMarker = 0x0100;

    uint8_t lead0 = 0;  // offsets 0 and 1, reserved
    uint8_t lead1 = 0;
    uint32_t reserved2 = 0;  // offset 2
    uint32_t reserved6 = 0;  // offset 6
    uint32_t session = 0;    // offset 10
    uint16_t command = 0;    // offset 14
    uint16_t sequence = 0;   // offset 16
    uint16_t marker = 0;     // offset 18

    // The GUI's request header and the service's reply header.
    static PacketHeader Request(uint32_t session, uint16_t command, uint16_t sequence);
    static PacketHeader Reply(uint16_t command);

    // All 20 bytes or nothing.
    bool Write(OutPacket& out) const;
    // Reads 20 bytes; false (header untouched, cursor unchanged) when fewer remain.
    bool Read(InPacket& in);
};

// What a UdpInPacket reports as its command when the datagram had no header. Neither end of
// the channel acts on it, so a short datagram can never pass for a login (command 0).
constexpr uint16_t kNoCommand = 0xFFFF;

class UdpOutPacket final : public OutPacket {
public:
    UdpOutPacket() = default;
    ~UdpOutPacket() override = default;

    // A packet from the out-packet pool, or nullptr when there is no storage.
    static UdpOutPacket* Create();
    // Destroys the packet and returns its storage to the pool.
    void Release() { delete this; }
    static PacketPool& Pool();

    static void* operator new(std::size_t size) noexcept;
    static void operator delete(void* storage) noexcept;
    static void* operator new[](std::size_t) = delete;
    static void operator delete[](void*) = delete;

    // Request bookkeeping for the GUI's sender.
    uint16_t Sequence() const { return m_sequence; }
    uint16_t Command() const { return m_command; }
    void SetRequest(uint16_t command, uint16_t sequence)
    {
        m_command = command;
        m_sequence = sequence;
    }

private:
    uint16_t m_sequence = 0;
    uint16_t m_command = 0;
};

class UdpInPacket final : public InPacket {
public:
    UdpInPacket() = default;
    // Duplicates address, port, length, header and bytes; the cursor stands at the body.
    UdpInPacket(const UdpInPacket& other);
    UdpInPacket& operator=(const UdpInPacket&) = delete;
    ~UdpInPacket() override = default;

    // A packet from the in-packet pool, or nullptr when there is no storage.
    static UdpInPacket* Create();
    void Release() { delete this; }
    static PacketPool& Pool();

    static void* operator new(std::size_t size) noexcept;
    static void operator delete(void* storage) noexcept;
    static void* operator new[](std::size_t) = delete;
    static void operator delete[](void*) = delete;

    // Copies the bytes, then parses the header. The header of an earlier datagram never
    // survives: without 20 bytes there is no header (HasHeader false, Command kNoCommand).
    void SetData(const void* data, int length) override;
    // Receives, then parses the header in the same way.
    int Receive(int socket) override;

    // True when the datagram carried the 20-byte header. Dispatchers drop it otherwise.
    bool HasHeader() const { return m_hasHeader; }
    const PacketHeader& Header() const { return m_header; }
    uint16_t Command() const { return m_header.command; }
    uint16_t Sequence() const { return m_header.sequence; }
    uint32_t Session() const { return m_header.session; }
    uint16_t Marker() const { return m_header.marker; }

private:
    void ParseHeader();

    PacketHeader m_header = NoHeader();
    bool m_hasHeader = false;

    static PacketHeader NoHeader()
    {
        PacketHeader h;
        h.command = kNoCommand;
        return h;
    }
};

// Deleter for std::unique_ptr: returns the packet to its pool.
struct PacketReleaser {
    void operator()(UdpOutPacket* p) const
    {
        if (p)
            p->Release();
    }
    void operator()(UdpInPacket* p) const
    {
        if (p)
            p->Release();
    }
};

using UdpOutPacketPtr = std::unique_ptr<UdpOutPacket, PacketReleaser>;
using UdpInPacketPtr = std::unique_ptr<UdpInPacket, PacketReleaser>;
