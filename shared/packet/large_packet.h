#pragma once
// Growable packets with a heap buffer and the same encodings as the datagram packets.
//
// Writers grow the buffer instead of refusing: by 10240 bytes for a number, and for a string of
// L bytes, when capacity < used + L + 3, by (need / 10240) * 10240 + 10240 where need is
// used + L + 3. When the larger buffer cannot be allocated the packet stays as it was and the
// writer appends nothing (and returns false).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class LargePacket {
public:
    static constexpr int kStep = 10240;

    // Allocates buffers; must return memory from std::malloc or nullptr. Meant for tests;
    // nullptr restores std::malloc.
    using BufferAllocator = void* (*)(std::size_t bytes);
    static void SetBufferAllocator(BufferAllocator allocator);

    virtual ~LargePacket();
    LargePacket(const LargePacket&) = delete;
    LargePacket& operator=(const LargePacket&) = delete;

    int Capacity() const { return m_capacity; }

protected:
    // Capacity `size` when above kStep, else kStep; `bytes` (if any) copied in.
    LargePacket(int size, const void* bytes, int length);
    // Allocates capacity + k, keeps the written bytes; false (nothing changed) on failure.
    bool Grow(int k);

    uint8_t* m_buffer = nullptr;
    int32_t m_readLength = 0;   // bytes consumed by readers
    int32_t m_writeLength = 0;  // bytes written
    int32_t m_capacity = 0;
    int32_t m_limit = 0;  // readable bytes (0 for out packets)
};

class LargeOutPacket : public LargePacket {
public:
    LargeOutPacket() : LargePacket(kStep, nullptr, 0) {}
    explicit LargeOutPacket(int size) : LargePacket(size, nullptr, 0) {}
    // Starts with `bytes` already written.
    LargeOutPacket(const void* bytes, int length) : LargePacket(length, bytes, length) {}
    ~LargeOutPacket() override = default;

    bool WriteU8(uint8_t value);
    bool WriteU16(uint16_t netValue);
    bool WriteU32(uint32_t netValue);
    bool WriteU16Host(uint16_t value);
    bool WriteU32Host(uint32_t value);
    // As OutPacket::WriteString; only L bytes are read from `text`.
    bool WriteString(const char* text, int length);
    bool WriteString(std::string_view text);
    bool WriteRaw(const void* bytes, int length);

    // Makes room for n more bytes (growing in steps of 10240); false when that fails.
    bool Reserve(int n);
    // Appends n bytes for the caller to fill at once; nullptr when the room cannot be had.
    uint8_t* Claim(int n);

    const uint8_t* Data() const { return m_buffer; }
    int Size() const { return m_writeLength; }

private:
    bool WriteNumber(const void* bytes, int length);
};

class LargeInPacket : public LargePacket {
public:
    LargeInPacket(const void* bytes, int length);
    ~LargeInPacket() override = default;

    uint8_t ReadU8();
    uint16_t ReadU16();  // raw, network order
    uint32_t ReadU32();  // raw, network order
    uint16_t ReadU16Host();
    uint32_t ReadU32Host();
    // As InPacket::ReadStringView, and the string's last byte must be its 0 terminator.
    std::string_view ReadStringView();
    std::string ReadString();
    bool ReadRaw(void* out, int n);

    // The read position and the unread bytes.
    std::span<const uint8_t> Remaining() const;
    int Length() const { return m_limit; }

private:
    bool Has(int n) const { return n >= 0 && n <= m_limit - m_readLength; }
};
