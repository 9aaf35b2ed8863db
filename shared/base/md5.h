#pragma once
// CMD5: MD5 (RFC 1321) of a narrow string, as 32 lower-case hexadecimal characters.
// The bytes are digested exactly as given: no trimming, no change of case or encoding.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CMD5 {
public:
    CMD5() = default;
    explicit CMD5(const char* input) { Digest(input); }
    virtual ~CMD5() = default;

    // Digests the text up to its terminating 0 byte. A null pointer digests the empty text.
    bool Digest(const char* input);
    // Digests arbitrary bytes (embedded 0 bytes included).
    bool Digest(std::string_view bytes);

    // The 32-character digest text, or nullptr before anything was digested.
    const char* HexDigest() const { return m_valid ? m_hex : nullptr; }
    const uint8_t* RawDigest() const { return m_valid ? m_digest : nullptr; }

private:
    uint8_t m_valid = 0;
    uint8_t m_digest[16] = {};
    char m_hex[33] = {};
    const char* m_input = nullptr;
};

// The account password's digest as the protocol defines it: CMD5 over the password's GB2312 bytes,
// the password given as UTF-8 (what both clients hold). False, with `hex` untouched, when the text is
// not UTF-8 or holds a character GB2312 cannot represent: such a password is refused, never digested
// some other way.
bool PasswordDigestGb2312(std::string_view utf8, std::string& hex);
