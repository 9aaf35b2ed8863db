// iconv over the Windows code pages: one character at a time through UTF-32, so that errors land on
// the character they concern, as iconv reports them.
#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32/compat/win32.h"

struct MorvaneIconv {
    enum Kind { kUtf8, kUtf16Le, kUtf16Be, kUcs4Le, kCodePage };
    Kind from, to;
    UINT fromPage, toPage;
};

namespace {

bool Parse(const char* name, MorvaneIconv::Kind& kind, UINT& page)
{
    std::string n;
    for (const char* p = name; *p; ++p)
        n += static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 'a' + 'A' : *p);
    kind = MorvaneIconv::kCodePage;
    page = 0;
    if (n == "UTF-8")
        kind = MorvaneIconv::kUtf8;
    else if (n == "UTF-16LE")
        kind = MorvaneIconv::kUtf16Le;
    else if (n == "UTF-16BE")
        kind = MorvaneIconv::kUtf16Be;
    else if (n == "UCS-4LE")
        kind = MorvaneIconv::kUcs4Le;
    else if (n.rfind("CP", 0) == 0 && n.size() > 2)
        page = static_cast<UINT>(std::strtoul(n.c_str() + 2, nullptr, 10));
    else if (n == "GB2312")
        page = IsValidCodePage(20936) ? 20936 : 936;  // the strict set where the system has it
    else if (n == "GB18030")
        page = 54936;
    else if (n == "BIG5-HKSCS")
        page = 950;
    else if (n == "EUC-JP")
        page = 20932;
    else if (n == "ASCII")
        page = 20127;
    else if (n.rfind("ISO-8859-", 0) == 0)
        page = 28590 + static_cast<UINT>(std::strtoul(n.c_str() + 9, nullptr, 10));
    else if (n == "KOI8-R")
        page = 20866;
    else if (n == "KOI8-U")
        page = 21866;
    else if (n == "TIS-620")
        page = 874;
    // Stateful encodings (ISO-2022-JP) cannot be taken a character at a time: not offered.
    return kind != MorvaneIconv::kCodePage || (page != 0 && IsValidCodePage(page));
}

// One character from `in`: its code point and length. 0 on success, else EILSEQ or EINVAL (cut).
int Decode(MorvaneIconv::Kind kind, UINT page, const unsigned char* in, size_t left, uint32_t& cp, size_t& used)
{
    switch (kind) {
    case MorvaneIconv::kUcs4Le:
        if (left < 4)
            return EINVAL;
        cp = uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
        used = 4;
        return cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000) ? EILSEQ : 0;
    case MorvaneIconv::kUtf16Le:
    case MorvaneIconv::kUtf16Be: {
        auto unit = [&](size_t i) {
            return kind == MorvaneIconv::kUtf16Le ? uint32_t(in[i]) | uint32_t(in[i + 1]) << 8
                                                  : uint32_t(in[i]) << 8 | uint32_t(in[i + 1]);
        };
        if (left < 2)
            return EINVAL;
        uint32_t u = unit(0);
        if (u >= 0xDC00 && u < 0xE000)
            return EILSEQ;
        if (u < 0xD800 || u >= 0xE000) {
            cp = u;
            used = 2;
            return 0;
        }
        if (left < 4)
            return EINVAL;
        uint32_t low = unit(2);
        if (low < 0xDC00 || low >= 0xE000)
            return EILSEQ;
        cp = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        used = 4;
        return 0;
    }
    case MorvaneIconv::kUtf8: {
        unsigned char c = in[0];
        size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || (n == 2 && c < 0xC2))
            return EILSEQ;
        uint32_t v = n == 1 ? c : c & (0x7F >> n);
        for (size_t i = 1; i < n; ++i) {
            if (i >= left)
                return EINVAL;
            if ((in[i] & 0xC0) != 0x80)
                return EILSEQ;
            v = v << 6 | (in[i] & 0x3F);
        }
        static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (v < kMin[n] || v > 0x10FFFF || (v >= 0xD800 && v < 0xE000))
            return EILSEQ;
        cp = v;
        used = n;
        return 0;
    }
    case MorvaneIconv::kCodePage: {
        // The shortest prefix the code page takes as one character.
        wchar_t wide[2];
        for (size_t n = 1; n <= 4; ++n) {
            if (n > left)
                return EINVAL;
            int w = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(in),
                                        static_cast<int>(n), wide, 2);
            if (w == 1 && !(wide[0] >= 0xD800 && wide[0] < 0xE000)) {
                cp = wide[0];
                used = n;
                return 0;
            }
            if (w == 2 && wide[0] >= 0xD800 && wide[0] < 0xDC00) {
                cp = 0x10000 + ((uint32_t(wide[0]) - 0xD800) << 10) + (uint32_t(wide[1]) - 0xDC00);
                used = n;
                return 0;
            }
        }
        return EILSEQ;
    }
    }
    return EILSEQ;
}

// The bytes of one code point. 0 on success, EILSEQ when the target has no such character.
int Encode(MorvaneIconv::Kind kind, UINT page, uint32_t cp, unsigned char* out, size_t& n)
{
    switch (kind) {
    case MorvaneIconv::kUcs4Le:
        for (int i = 0; i < 4; ++i)
            out[i] = static_cast<unsigned char>(cp >> (8 * i));
        n = 4;
        return 0;
    case MorvaneIconv::kUtf16Le:
    case MorvaneIconv::kUtf16Be: {
        uint32_t units[2];
        size_t count = 1;
        units[0] = cp;
        if (cp >= 0x10000) {
            units[0] = 0xD800 + ((cp - 0x10000) >> 10);
            units[1] = 0xDC00 + ((cp - 0x10000) & 0x3FF);
            count = 2;
        }
        for (size_t i = 0; i < count; ++i) {
            unsigned char hi = static_cast<unsigned char>(units[i] >> 8), lo = static_cast<unsigned char>(units[i]);
            out[2 * i] = kind == MorvaneIconv::kUtf16Le ? lo : hi;
            out[2 * i + 1] = kind == MorvaneIconv::kUtf16Le ? hi : lo;
        }
        n = 2 * count;
        return 0;
    }
    case MorvaneIconv::kUtf8:
        if (cp < 0x80) {
            out[0] = static_cast<unsigned char>(cp);
            n = 1;
        } else if (cp < 0x800) {
            out[0] = static_cast<unsigned char>(0xC0 | cp >> 6);
            out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            out[0] = static_cast<unsigned char>(0xE0 | cp >> 12);
            out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            out[0] = static_cast<unsigned char>(0xF0 | cp >> 18);
            out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 4;
        }
        return 0;
    case MorvaneIconv::kCodePage: {
        wchar_t wide[2];
        int count = 1;
        wide[0] = static_cast<wchar_t>(cp);
        if (cp >= 0x10000) {
            wide[0] = static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
            wide[1] = static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            count = 2;
        }
        // No best-fit substitutes: a character the page lacks is an error, not a look-alike.
        BOOL substituted = FALSE;
        bool utf = page == CP_UTF8 || page == 54936;
        int written = WideCharToMultiByte(page, utf ? 0 : WC_NO_BEST_FIT_CHARS, wide, count,
                                          reinterpret_cast<char*>(out), 8, nullptr, utf ? nullptr : &substituted);
        if (written <= 0 || substituted)
            return EILSEQ;
        n = static_cast<size_t>(written);
        return 0;
    }
    }
    return EILSEQ;
}

}  // namespace

extern "C" iconv_t iconv_open(const char* to, const char* from)
{
    MorvaneIconv cd{};
    if (!Parse(from, cd.from, cd.fromPage) || !Parse(to, cd.to, cd.toPage)) {
        errno = EINVAL;
        return reinterpret_cast<iconv_t>(-1);
    }
    return new MorvaneIconv(cd);
}

extern "C" int iconv_close(iconv_t cd)
{
    delete cd;
    return 0;
}

extern "C" size_t iconv(iconv_t cd, char** in, size_t* inLeft, char** out, size_t* outLeft)
{
    if (!in || !*in)
        return 0;  // no shift state to reset or flush
    while (*inLeft > 0) {
        uint32_t cp = 0;
        size_t used = 0;
        if (int e = Decode(cd->from, cd->fromPage, reinterpret_cast<const unsigned char*>(*in), *inLeft, cp, used)) {
            errno = e;
            return static_cast<size_t>(-1);
        }
        unsigned char bytes[8];
        size_t n = 0;
        if (int e = Encode(cd->to, cd->toPage, cp, bytes, n)) {
            errno = e;
            return static_cast<size_t>(-1);
        }
        if (n > *outLeft) {
            errno = E2BIG;
            return static_cast<size_t>(-1);
        }
        std::memcpy(*out, bytes, n);
        *out += n;
        *outLeft -= n;
        *in += used;
        *inLeft -= used;
    }
    return 0;
}
