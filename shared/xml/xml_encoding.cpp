// Encoding names and conversions (iconv).

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "shared/xml/xml_internal.h"

namespace xmltext {
namespace {

struct EncodingName {
    const char* name;  // lower case
    const char* canonical;
};

// Names as they appear in documents and locales. The Chinese names all go to the Windows code
// page 936 (GBK), a superset of GB2312, so that text typed on such systems survives a round trip.
const EncodingName kEncodings[] = {
    {"utf-8", "UTF-8"},
    {"utf8", "UTF-8"},
    {"utf-16", "UTF-16LE"},
    {"utf-16le", "UTF-16LE"},
    {"ucs-2", "UTF-16LE"},
    {"ucs-2le", "UTF-16LE"},
    {"unicode", "UTF-16LE"},
    {"utf-16be", "UTF-16BE"},
    {"ucs-2be", "UTF-16BE"},
    {"unicodefffe", "UTF-16BE"},
    {"gb2312", "CP936"},
    {"gbk", "CP936"},
    {"cp936", "CP936"},
    {"x-gbk", "CP936"},
    {"ms936", "CP936"},
    {"windows-936", "CP936"},
    {"euc-cn", "CP936"},
    {"gb_2312-80", "CP936"},
    {"chinese", "CP936"},
    {"csgb2312", "CP936"},
    {"gb18030", "GB18030"},
    {"big5", "CP950"},
    {"cp950", "CP950"},
    {"big5-hkscs", "BIG5-HKSCS"},
    {"shift_jis", "CP932"},
    {"shift-jis", "CP932"},
    {"sjis", "CP932"},
    {"cp932", "CP932"},
    {"windows-31j", "CP932"},
    {"euc-jp", "EUC-JP"},
    {"iso-2022-jp", "ISO-2022-JP"},
    {"euc-kr", "CP949"},
    {"ks_c_5601-1987", "CP949"},
    {"cp949", "CP949"},
    {"us-ascii", "ASCII"},
    {"ascii", "ASCII"},
    {"iso-8859-1", "ISO-8859-1"},
    {"latin1", "ISO-8859-1"},
    {"iso8859-1", "ISO-8859-1"},
    {"iso-8859-2", "ISO-8859-2"},
    {"iso-8859-5", "ISO-8859-5"},
    {"iso-8859-7", "ISO-8859-7"},
    {"iso-8859-9", "ISO-8859-9"},
    {"iso-8859-15", "ISO-8859-15"},
    {"windows-1250", "CP1250"},
    {"windows-1251", "CP1251"},
    {"windows-1252", "CP1252"},
    {"windows-1253", "CP1253"},
    {"windows-1254", "CP1254"},
    {"windows-1255", "CP1255"},
    {"windows-1256", "CP1256"},
    {"windows-1257", "CP1257"},
    {"windows-1258", "CP1258"},
    {"cp1250", "CP1250"},
    {"cp1251", "CP1251"},
    {"cp1252", "CP1252"},
    {"koi8-r", "KOI8-R"},
    {"koi8-u", "KOI8-U"},
    {"tis-620", "TIS-620"},
};

std::string Lower(std::string_view s)
{
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return r;
}

std::string LocaleEncoding()
{
    // Ask for the environment's locale without changing the process's own (a library must not).
    std::string name;
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (loc != static_cast<locale_t>(nullptr)) {
        const char* cs = nl_langinfo_l(CODESET, loc);
        if (cs)
            name = cs;
        freelocale(loc);
    }
    std::string lower = Lower(name);
    // The C/POSIX locale reports plain ASCII; this system's text is UTF-8 there.
    if (name.empty() || lower == "ansi_x3.4-1968" || lower == "ascii" || lower == "us-ascii")
        return "UTF-8";
    std::string canonical = ResolveEncoding(name);
    return canonical.empty() ? "UTF-8" : canonical;
}

std::mutex g_systemMutex;
std::string g_systemOverride;

struct Iconv {
    iconv_t cd;
    Iconv(const char* to, const char* from) : cd(iconv_open(to, from)) {}
    ~Iconv()
    {
        if (ok())
            iconv_close(cd);
    }
    bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

size_t UnitSize(const std::string& enc)
{
    if (enc.rfind("UTF-16", 0) == 0)
        return 2;
    if (enc.rfind("UTF-32", 0) == 0)
        return 4;
    return 1;
}

}  // namespace

std::string ResolveEncoding(std::string_view name)
{
    while (!name.empty() && IsSpace(name.front()))
        name.remove_prefix(1);
    while (!name.empty() && IsSpace(name.back()))
        name.remove_suffix(1);
    if (name.empty())
        return {};
    std::string lower = Lower(name);
    if (lower.rfind("utf-32", 0) == 0 || lower.rfind("ucs-4", 0) == 0)
        return lower.find("be") != std::string::npos ? "UTF-32BE" : "UTF-32LE";
    for (const EncodingName& e : kEncodings)
        if (lower == e.name)
            return e.canonical;
    // Anything else the converter knows is taken by its own name.
    std::string upper(name);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    if (upper.find_first_of("/,") != std::string::npos)
        return {};
    Iconv probe("UTF-8", upper.c_str());
    return probe.ok() ? upper : std::string();
}

const std::string& SystemEncoding()
{
    static const std::string fromLocale = LocaleEncoding();
    std::lock_guard<std::mutex> lock(g_systemMutex);
    return g_systemOverride.empty() ? fromLocale : g_systemOverride;
}

void SetSystemEncodingForTesting(const std::string& name)
{
    std::lock_guard<std::mutex> lock(g_systemMutex);
    g_systemOverride = name.empty() ? std::string() : ResolveEncoding(name);
}

bool SystemIsDoubleByte()
{
    const std::string& s = SystemEncoding();
    return s == "CP936" || s == "GB18030" || s == "CP950" || s == "CP932" || s == "CP949" || s == "BIG5-HKSCS";
}

bool Convert(std::string_view in, const std::string& from, const std::string& to, std::string& out, size_t& lost)
{
    out.clear();
    lost = 0;
    if (from == to) {
        out.assign(in);
        return true;
    }
    // Two steps through UCS-4 so that an invalid source unit and a character the target lacks
    // can each be replaced by '?' without losing the rest of the text.
    Iconv toWide("UCS-4LE", from.c_str());
    Iconv fromWide(to.c_str(), "UCS-4LE");
    if (!toWide.ok() || !fromWide.ok())
        return false;

    std::u32string wide;
    wide.resize(in.size() + 4);
    {
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        char* dst = reinterpret_cast<char*>(wide.data());
        size_t dstLeft = wide.size() * 4;
        size_t unit = UnitSize(from);
        while (srcLeft > 0) {
            if (iconv(toWide.cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<size_t>(-1))
                break;
            if (errno == E2BIG)
                break;  // cannot happen: every unit gives at most one character
            // Invalid or cut sequence: replace one unit.
            size_t skip = std::min(unit, srcLeft);
            src += skip;
            srcLeft -= skip;
            if (dstLeft >= 4) {
                const char q[4] = {'?', 0, 0, 0};
                std::memcpy(dst, q, 4);
                dst += 4;
                dstLeft -= 4;
            }
            ++lost;
            iconv(toWide.cd, nullptr, nullptr, nullptr, nullptr);
        }
        wide.resize(static_cast<size_t>(dst - reinterpret_cast<char*>(wide.data())) / 4);
    }
    // The widest targets take 4 bytes per character plus shift sequences.
    std::string buf(wide.size() * 4 + 16, '\0');
    char* src = reinterpret_cast<char*>(wide.data());
    size_t srcLeft = wide.size() * 4;
    char* dst = buf.data();
    size_t dstLeft = buf.size();
    for (;;) {
        size_t r = iconv(fromWide.cd, &src, &srcLeft, &dst, &dstLeft);
        if (r != static_cast<size_t>(-1)) {
            // glibc counts irreversible conversions in the result.
            break;
        }
        if (errno == E2BIG) {
            size_t used = static_cast<size_t>(dst - buf.data());
            buf.resize(buf.size() * 2);
            dst = buf.data() + used;
            dstLeft = buf.size() - used;
            continue;
        }
        if (srcLeft < 4)
            break;
        // A character the target lacks: write '?' in its place and go on.
        const char q[4] = {'?', 0, 0, 0};
        if (std::memcmp(src, q, 4) == 0) {
            src += 4;
            srcLeft -= 4;
            continue;
        }
        std::memcpy(src, q, 4);
        ++lost;
    }
    // Flush any shift state.
    for (;;) {
        if (iconv(fromWide.cd, nullptr, nullptr, &dst, &dstLeft) != static_cast<size_t>(-1))
            break;
        if (errno != E2BIG)
            break;
        size_t used = static_cast<size_t>(dst - buf.data());
        buf.resize(buf.size() * 2);
        dst = buf.data() + used;
        dstLeft = buf.size() - used;
    }
    buf.resize(static_cast<size_t>(dst - buf.data()));
    out = std::move(buf);
    return true;
}

}  // namespace xmltext
