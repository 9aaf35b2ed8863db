// Escaping and character references.

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "shared/xml/xml_internal.h"

namespace xmltext {
namespace {

struct Entity {
    const char* name;
    uint32_t cp;
};

// The HTML 4 character entities (252 names, among them quot, amp, lt and gt) plus apos, the one
// XML name HTML 4 lacks: 253 entries. Where two names differ only in case the capitalised one
// stands first, so it wins a lookup that ignores case.
const Entity kEntities[] = {
    {"quot", 34},      {"amp", 38},      {"apos", 39},      {"lt", 60},       {"gt", 62},       {"nbsp", 160},
    {"iexcl", 161},    {"cent", 162},    {"pound", 163},    {"curren", 164},  {"yen", 165},     {"brvbar", 166},
    {"sect", 167},     {"uml", 168},     {"copy", 169},     {"ordf", 170},    {"laquo", 171},   {"not", 172},
    {"shy", 173},      {"reg", 174},     {"macr", 175},     {"deg", 176},     {"plusmn", 177},  {"sup2", 178},
    {"sup3", 179},     {"acute", 180},   {"micro", 181},    {"para", 182},    {"middot", 183},  {"cedil", 184},
    {"sup1", 185},     {"ordm", 186},    {"raquo", 187},    {"frac14", 188},  {"frac12", 189},  {"frac34", 190},
    {"iquest", 191},   {"Agrave", 192},  {"Aacute", 193},   {"Acirc", 194},   {"Atilde", 195},  {"Auml", 196},
    {"Aring", 197},    {"AElig", 198},   {"Ccedil", 199},   {"Egrave", 200},  {"Eacute", 201},  {"Ecirc", 202},
    {"Euml", 203},     {"Igrave", 204},  {"Iacute", 205},   {"Icirc", 206},   {"Iuml", 207},    {"ETH", 208},
    {"Ntilde", 209},   {"Ograve", 210},  {"Oacute", 211},   {"Ocirc", 212},   {"Otilde", 213},  {"Ouml", 214},
    {"times", 215},    {"Oslash", 216},  {"Ugrave", 217},   {"Uacute", 218},  {"Ucirc", 219},   {"Uuml", 220},
    {"Yacute", 221},   {"THORN", 222},   {"szlig", 223},    {"agrave", 224},  {"aacute", 225},  {"acirc", 226},
    {"atilde", 227},   {"auml", 228},    {"aring", 229},    {"aelig", 230},   {"ccedil", 231},  {"egrave", 232},
    {"eacute", 233},   {"ecirc", 234},   {"euml", 235},     {"igrave", 236},  {"iacute", 237},  {"icirc", 238},
    {"iuml", 239},     {"eth", 240},     {"ntilde", 241},   {"ograve", 242},  {"oacute", 243},  {"ocirc", 244},
    {"otilde", 245},   {"ouml", 246},    {"divide", 247},   {"oslash", 248},  {"ugrave", 249},  {"uacute", 250},
    {"ucirc", 251},    {"uuml", 252},    {"yacute", 253},   {"thorn", 254},   {"yuml", 255},    {"OElig", 338},
    {"oelig", 339},    {"Scaron", 352},  {"scaron", 353},   {"Yuml", 376},    {"fnof", 402},    {"circ", 710},
    {"tilde", 732},    {"Alpha", 913},   {"Beta", 914},     {"Gamma", 915},   {"Delta", 916},   {"Epsilon", 917},
    {"Zeta", 918},     {"Eta", 919},     {"Theta", 920},    {"Iota", 921},    {"Kappa", 922},   {"Lambda", 923},
    {"Mu", 924},       {"Nu", 925},      {"Xi", 926},       {"Omicron", 927}, {"Pi", 928},      {"Rho", 929},
    {"Sigma", 931},    {"Tau", 932},     {"Upsilon", 933},  {"Phi", 934},     {"Chi", 935},     {"Psi", 936},
    {"Omega", 937},    {"alpha", 945},   {"beta", 946},     {"gamma", 947},   {"delta", 948},   {"epsilon", 949},
    {"zeta", 950},     {"eta", 951},     {"theta", 952},    {"iota", 953},    {"kappa", 954},   {"lambda", 955},
    {"mu", 956},       {"nu", 957},      {"xi", 958},       {"omicron", 959}, {"pi", 960},      {"rho", 961},
    {"sigmaf", 962},   {"sigma", 963},   {"tau", 964},      {"upsilon", 965}, {"phi", 966},     {"chi", 967},
    {"psi", 968},      {"omega", 969},   {"thetasym", 977}, {"upsih", 978},   {"piv", 982},     {"ensp", 8194},
    {"emsp", 8195},    {"thinsp", 8201}, {"zwnj", 8204},    {"zwj", 8205},    {"lrm", 8206},    {"rlm", 8207},
    {"ndash", 8211},   {"mdash", 8212},  {"lsquo", 8216},   {"rsquo", 8217},  {"sbquo", 8218},  {"ldquo", 8220},
    {"rdquo", 8221},   {"bdquo", 8222},  {"Dagger", 8225},  {"dagger", 8224}, {"bull", 8226},   {"hellip", 8230},
    {"permil", 8240},  {"Prime", 8243},  {"prime", 8242},   {"lsaquo", 8249}, {"rsaquo", 8250}, {"oline", 8254},
    {"frasl", 8260},   {"euro", 8364},   {"image", 8465},   {"weierp", 8472}, {"real", 8476},   {"trade", 8482},
    {"alefsym", 8501}, {"lArr", 8656},   {"uArr", 8657},    {"rArr", 8658},   {"dArr", 8659},   {"hArr", 8660},
    {"larr", 8592},    {"uarr", 8593},   {"rarr", 8594},    {"darr", 8595},   {"harr", 8596},   {"crarr", 8629},
    {"forall", 8704},  {"part", 8706},   {"exist", 8707},   {"empty", 8709},  {"nabla", 8711},  {"isin", 8712},
    {"notin", 8713},   {"ni", 8715},     {"prod", 8719},    {"sum", 8721},    {"minus", 8722},  {"lowast", 8727},
    {"radic", 8730},   {"prop", 8733},   {"infin", 8734},   {"ang", 8736},    {"and", 8743},    {"or", 8744},
    {"cap", 8745},     {"cup", 8746},    {"int", 8747},     {"there4", 8756}, {"sim", 8764},    {"cong", 8773},
    {"asymp", 8776},   {"ne", 8800},     {"equiv", 8801},   {"le", 8804},     {"ge", 8805},     {"sub", 8834},
    {"sup", 8835},     {"nsub", 8836},   {"sube", 8838},    {"supe", 8839},   {"oplus", 8853},  {"otimes", 8855},
    {"perp", 8869},    {"sdot", 8901},   {"lceil", 8968},   {"rceil", 8969},  {"lfloor", 8970}, {"rfloor", 8971},
    {"lang", 9001},    {"rang", 9002},   {"loz", 9674},     {"spades", 9824}, {"clubs", 9827},  {"hearts", 9829},
    {"diams", 9830},
};

constexpr size_t kMaxEntityName = 9;

struct EntityMaps {
    std::unordered_map<std::string_view, uint32_t> exact;
    std::unordered_map<std::string, uint32_t> folded;  // lower-cased; the first entry wins
};

const EntityMaps& Maps()
{
    static const EntityMaps maps = [] {
        EntityMaps m;
        for (const Entity& e : kEntities) {
            m.exact.emplace(e.name, e.cp);
            std::string lower = e.name;
            for (char& c : lower)
                if (c >= 'A' && c <= 'Z')
                    c = static_cast<char>(c - 'A' + 'a');
            m.folded.emplace(lower, e.cp);
        }
        return m;
    }();
    return maps;
}

bool AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return true;
}

// Decodes the reference starting at text[0] == '&'. Returns the bytes consumed (0 = leave as is).
size_t DecodeReference(std::string& out, std::string_view text)
{
    size_t semi = text.find(';', 1);
    if (semi == std::string_view::npos)
        return 0;
    std::string_view body = text.substr(1, semi - 1);
    uint32_t cp = 0;
    if (!body.empty() && body[0] == '#') {
        std::string_view digits = body.substr(1);
        int base = 10;
        if (!digits.empty() && (digits[0] == 'x' || digits[0] == 'X')) {
            base = 16;
            digits.remove_prefix(1);
        }
        if (digits.empty() || digits.size() > 8)
            return 0;
        for (char c : digits) {
            uint32_t v;
            if (c >= '0' && c <= '9')
                v = static_cast<uint32_t>(c - '0');
            else if (base == 16 && c >= 'a' && c <= 'f')
                v = static_cast<uint32_t>(c - 'a' + 10);
            else if (base == 16 && c >= 'A' && c <= 'F')
                v = static_cast<uint32_t>(c - 'A' + 10);
            else
                return 0;
            cp = cp * static_cast<uint32_t>(base) + v;
            if (cp > 0x10FFFF)
                return 0;
        }
    } else {
        if (body.empty() || body.size() > kMaxEntityName)
            return 0;
        cp = LookupEntity(body);
        if (cp == 0)
            return 0;
    }
    if (!AppendCodePoint(out, cp))
        return 0;
    return semi + 1;
}

}  // namespace

size_t CharLength(const char* p, const char* end)
{
    auto c = static_cast<unsigned char>(*p);
    if (c >= 0x81 && c <= 0xFE && p + 1 < end && SystemIsDoubleByte())
        return 2;
    return 1;
}

size_t EntityCount()
{
    return sizeof kEntities / sizeof kEntities[0];
}

uint32_t LookupEntity(std::string_view name)
{
    const EntityMaps& m = Maps();
    // A correctly spelt name always means its own character; only a name that matches nothing
    // exactly falls back to the case-insensitive lookup.
    auto it = m.exact.find(name);
    if (it != m.exact.end())
        return it->second;
    if (name.size() > kMaxEntityName)
        return 0;
    std::string lower(name);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    auto f = m.folded.find(lower);
    return f == m.folded.end() ? 0 : f->second;
}

bool AppendCodePoint(std::string& out, uint32_t cp)
{
    const std::string& sys = SystemEncoding();
    if (sys == "UTF-8")
        return AppendUtf8(out, cp);
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
        return true;
    }
    std::string utf8;
    AppendUtf8(utf8, cp);
    std::string converted;
    size_t lost = 0;
    if (!Convert(utf8, "UTF-8", sys, converted, lost) || lost != 0 || converted.empty())
        return false;
    out += converted;
    return true;
}

void AppendEscaped(std::string& out, std::string_view text, bool attribute)
{
    size_t from = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char* rep = nullptr;
        switch (text[i]) {
        case '<': rep = "&lt;"; break;
        case '&': rep = "&amp;"; break;
        case '>': rep = "&gt;"; break;
        case '\'': rep = attribute ? "&apos;" : nullptr; break;
        case '"': rep = attribute ? "&quot;" : nullptr; break;
        default: break;
        }
        if (rep) {
            out.append(text.data() + from, i - from);
            out += rep;
            from = i + 1;
        }
    }
    out.append(text.data() + from, text.size() - from);
}

void AppendDecoded(std::string& out, std::string_view text)
{
    size_t from = 0;
    for (;;) {
        size_t amp = text.find('&', from);
        if (amp == std::string_view::npos) {
            out.append(text.data() + from, text.size() - from);
            return;
        }
        out.append(text.data() + from, amp - from);
        size_t used = DecodeReference(out, text.substr(amp));
        if (used == 0) {
            out += '&';
            from = amp + 1;
        } else {
            from = amp + used;
        }
    }
}

bool IsValidUtf8(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t n;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) <= n)
            return false;
        for (size_t k = 1; k <= n; ++k) {
            if ((p[k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[k] & 0x3F);
        }
        if ((n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += n + 1;
    }
    return true;
}

}  // namespace xmltext
