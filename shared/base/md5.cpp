#include "shared/base/md5.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace {

struct Md5State {
    uint32_t a = 0x67452301, b = 0xefcdab89, c = 0x98badcfe, d = 0x10325476;
};

constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int kShift[64] = {7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
                            14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
                            4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};

inline uint32_t Rotl(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

void Transform(Md5State& s, const uint8_t block[64])
{
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = uint32_t(block[i * 4]) | uint32_t(block[i * 4 + 1]) << 8 | uint32_t(block[i * 4 + 2]) << 16 |
               uint32_t(block[i * 4 + 3]) << 24;
    uint32_t a = s.a, b = s.b, c = s.c, d = s.d;
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t next = d;
        d = c;
        c = b;
        b = b + Rotl(a + f + kSine[i] + m[g], kShift[i]);
        a = next;
    }
    s.a += a;
    s.b += b;
    s.c += c;
    s.d += d;
}

void Store32(uint8_t* out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out[i] = uint8_t(v >> (8 * i));
}

}  // namespace

bool CMD5::Digest(const char* input)
{
    m_input = input;
    return Digest(std::string_view(input ? input : ""));
}

bool CMD5::Digest(std::string_view bytes)
{
    Md5State s;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    size_t n = bytes.size();
    size_t full = n / 64;
    for (size_t i = 0; i < full; ++i)
        Transform(s, p + i * 64);

    // Padding: 0x80, zeros, then the length in bits, little-endian, in the last 8 bytes.
    uint8_t tail[128] = {};
    size_t rest = n % 64;
    std::memcpy(tail, p + full * 64, rest);
    tail[rest] = 0x80;
    size_t tailLen = rest < 56 ? 64 : 128;
    uint64_t bits = uint64_t(n) * 8;
    for (int i = 0; i < 8; ++i)
        tail[tailLen - 8 + i] = uint8_t(bits >> (8 * i));
    Transform(s, tail);
    if (tailLen == 128)
        Transform(s, tail + 64);

    Store32(m_digest, s.a);
    Store32(m_digest + 4, s.b);
    Store32(m_digest + 8, s.c);
    Store32(m_digest + 12, s.d);
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        m_hex[i * 2] = kHex[m_digest[i] >> 4];
        m_hex[i * 2 + 1] = kHex[m_digest[i] & 15];
    }
    m_hex[32] = 0;
    m_valid = 1;
    return true;
}

bool PasswordDigestGb2312(std::string_view utf8, std::string& hex)
{
    iconv_t cd = iconv_open("GB2312", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    // Every character takes at most two GB2312 bytes, and at least one UTF-8 byte.
    std::string out(utf8.size() * 2 + 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* to = out.data();
    size_t outLeft = out.size();
    size_t r = iconv(cd, &in, &inLeft, &to, &outLeft);
    bool ok = r != static_cast<size_t>(-1) && inLeft == 0;
    // A conversion that substitutes (r > 0 non-reversible conversions) did not keep the password.
    ok = ok && r == 0 && iconv(cd, nullptr, nullptr, &to, &outLeft) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (!ok)
        return false;
    out.resize(out.size() - outLeft);
    CMD5 md5;
    md5.Digest(std::string_view(out));
    hex = md5.HexDigest();
    return true;
}
